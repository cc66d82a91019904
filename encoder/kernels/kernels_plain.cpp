// The plain loops of every codec: what every processor runs, and what the vector loops hand
// their short rests to. Portable C++, no intrinsics.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "encoder/kernels/qvKernelLoops.h"

namespace vexor::detail {

// --- Base64 ---

using base64::Alphabet;
using base64::DecodeTable;
using base64::IsLineBreak;

namespace {

// The two characters of every 12-bit half of a group, first character in the low byte.
constexpr std::array<std::uint16_t, 4096> PairTable = [] {
  std::array<std::uint16_t, 4096> T{};
  for (int I = 0; I < 4096; ++I)
    T[I] = static_cast<std::uint16_t>(static_cast<unsigned char>(Alphabet[I >> 6]) |
                                      static_cast<unsigned char>(Alphabet[I & 63]) << 8);
  return T;
}();

// The bits that each character of a group contributes, by its place in the group; a byte
// outside the alphabet sets the top bit, which no group of four valid characters reaches.
constexpr std::uint32_t BadQuad = 0x80000000u;
struct TQuadTables {
  std::uint32_t Place[4][256];
};
constexpr TQuadTables QuadTables = [] {
  TQuadTables T{};
  for (int C = 0; C < 256; ++C)
    for (int P = 0; P < 4; ++P)
      T.Place[P][C] = DecodeTable[C] == 0
                          ? BadQuad
                          : static_cast<std::uint32_t>(DecodeTable[C] - 1) << (18 - 6 * P);
  return T;
}();

} // namespace

std::uint8_t* Base64EncodePlain(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  for (; Groups > 0; --Groups, In += 3, Out += 4) {
    const std::uint32_t V = std::uint32_t{In[0]} << 16 | std::uint32_t{In[1]} << 8 | In[2];
    const std::uint16_t First = PairTable[V >> 12], Second = PairTable[V & 0xFFF];
    std::memcpy(Out, &First, 2);
    std::memcpy(Out + 2, &Second, 2);
  }
  return Out;
}

std::int64_t Base64DecodePlain(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                               std::int64_t& Written) {
  const auto& P = QuadTables.Place;
  std::int64_t I = 0, O = 0;
  while (Count - I >= 4) {
    const std::uint32_t V = P[0][In[I]] | P[1][In[I + 1]] | P[2][In[I + 2]] | P[3][In[I + 3]];
    if (V & BadQuad) {
      if (!IsLineBreak(In[I])) break;
      ++I;
      continue;
    }
    Out[O] = static_cast<std::uint8_t>(V >> 16);
    Out[O + 1] = static_cast<std::uint8_t>(V >> 8);
    Out[O + 2] = static_cast<std::uint8_t>(V);
    O += 3;
    I += 4;
  }
  Written = O;
  return I;
}

// --- Quoted-printable ---

using qp::CR;
using qp::Digits;
using qp::Elements;
using qp::LF;
using qp::NoDigit;
using qp::TElement;

const std::uint8_t* QPEncodePlain(const std::uint8_t* P, const std::uint8_t* End,
                                  std::uint8_t*& Out, std::int64_t& Column, std::int64_t Limit) {
  std::uint8_t* W = Out;
  std::int64_t C = Column;
  while (P != End) {
    qp::EndFullLine(W, C, Limit);
    if (*P == CR) {
      if (!qp::TakeLineBreak(P, End, W, C)) break;
      continue;
    }
    const TElement& E = Elements.Of[*P++];
    std::memcpy(W, &E, sizeof E);
    W += E.Length;
    C += E.Length;
  }
  Out = W;
  Column = C;
  return P;
}

namespace {

// Marks the bytes of Word equal to the byte that Pattern repeats: the lowest mark is exact (a
// borrow may mark bytes above it), which is all that the search for the first one needs.
constexpr std::uint64_t MarkBytes(std::uint64_t Word, std::uint64_t Pattern) noexcept {
  const std::uint64_t X = Word ^ Pattern;
  return (X - 0x0101010101010101ULL) & ~X & 0x8080808080808080ULL;
}

} // namespace

// The places of the bytes of Word equal to the byte that Pattern repeats, as the low eight
// bits, the first byte's lowest. Exact for every byte, unlike MarkBytes.
constexpr unsigned PlacesOf(std::uint64_t Word, std::uint64_t Pattern) noexcept {
  constexpr std::uint64_t Low7 = 0x7F7F7F7F7F7F7F7FULL;
  const std::uint64_t X = Word ^ Pattern;
  const std::uint64_t Zero = ~(((X & Low7) + Low7) | X | Low7); // 0x80 in each zero byte
  return static_cast<unsigned>(((Zero >> 7) * 0x0102040810204080ULL) >> 56);
}

// 64 bytes a window. The places of "=", CR and LF in the window are found first, for all of its
// bytes at once, and tell apart the soft line breaks, the CR LF pairs (which are kept as they
// are) and the lone CR and LF that stop the loop; then only the "=" are visited, in order, each
// copying the clean bytes before it. Nothing that a visit finds decides where the next one
// looks, so a text with an escape every few bytes keeps the processor busy rather than waiting
// for one element to be decoded before the next is found.
const std::uint8_t* QPDecodePlain(const std::uint8_t* P, const std::uint8_t* End,
                                  std::uint8_t*& Out) {
  constexpr std::uint64_t Ones = 0x0101010101010101ULL;
  std::uint8_t* W = Out;
  // A window reads 64 bytes and the two after them, and copies up to 64 bytes from any byte of
  // it: they must be the caller's or its margin's.
  while (std::endian::native == std::endian::little && End - P >= 66) {
    std::uint64_t Equals = 0, Crs = 0, Lfs = 0;
    for (int I = 0; I < 8; ++I) {
      std::uint64_t Word;
      std::memcpy(&Word, P + 8 * I, 8);
      Equals |= std::uint64_t{PlacesOf(Word, '=' * Ones)} << 8 * I;
      Crs |= std::uint64_t{PlacesOf(Word, CR * Ones)} << 8 * I;
      Lfs |= std::uint64_t{PlacesOf(Word, LF * Ones)} << 8 * I;
    }
    // The same places seen from one and two bytes before, the bytes after the window included.
    const std::uint64_t CrNext = Crs >> 1 | std::uint64_t{P[64] == CR} << 63;
    const std::uint64_t LfNext = Lfs >> 1 | std::uint64_t{P[64] == LF} << 63;
    const std::uint64_t LfAfter =
        Lfs >> 2 | std::uint64_t{P[64] == LF} << 62 | std::uint64_t{P[65] == LF} << 63;
    const std::uint64_t Soft = Equals & CrNext & LfAfter;
    const std::uint64_t InSoft = Soft << 1 | Soft << 2;
    const std::uint64_t Pair = Crs & LfNext & ~InSoft;
    // A CR or LF of no pair and no soft line break stops the loop, and so the window.
    const std::uint64_t Lone = (Crs & ~Pair & ~InSoft) | (Lfs & ~(Pair << 1) & ~InSoft);
    const int Stop = std::countr_zero(Lone); // 64 when there is none
    std::uint64_t Visit = Stop == 64 ? Equals : Equals & ((std::uint64_t{1} << Stop) - 1);
    int Pos = 0; // the first byte of the window not taken yet
    while (Visit != 0) {
      const int At = std::countr_zero(Visit);
      Visit &= Visit - 1;
      std::memcpy(W, P + Pos, 32);
      if (At - Pos > 32) std::memcpy(W + 32, P + Pos + 32, 32);
      W += At - Pos;
      Pos = At + 3;
      if (Soft >> At & 1) continue;
      const std::uint8_t High = Digits.Value[P[At + 1]], Low = Digits.Value[P[At + 2]];
      if ((High | Low) == NoDigit) { // not both digits: nothing that the loops take
        Out = W;
        return P + At;
      }
      *W++ = static_cast<std::uint8_t>(High << 4 | Low);
    }
    const int Clean = std::max(Stop, Pos) - Pos;
    std::memcpy(W, P + Pos, 64);
    W += Clean;
    if (Stop < 64) {
      Out = W;
      return P + Stop;
    }
    // A pair at the last byte: its LF is the next window's first byte.
    const bool PairEnds = Pair >> 63;
    *W = LF;
    W += PairEnds;
    P += std::max(Pos, 64) + PairEnds;
  }
  // The rest one element at a time.
  while (P != End) {
    const std::uint8_t B = *P;
    if (B != '=' && B != CR && B != LF) {
      *W++ = *P++;
      continue;
    }
    const std::int64_t Left = End - P;
    if (B == '=' && Left >= 3) {
      const std::uint8_t High = Digits.Value[P[1]], Low = Digits.Value[P[2]];
      if ((High | Low) != NoDigit) { // both are digits
        *W++ = static_cast<std::uint8_t>(High << 4 | Low);
        P += 3;
        continue;
      }
      if (P[1] == CR && P[2] == LF) {
        P += 3;
        continue;
      }
    } else if (B == CR && Left >= 2 && P[1] == LF) {
      W[0] = CR;
      W[1] = LF;
      W += 2;
      P += 2;
      continue;
    }
    break;
  }
  Out = W;
  return P;
}

// --- UUencode ---

using uu::CodeChars;
using uu::IsLineEnd;
using uu::ValueOf;

std::uint8_t* UUEncodePlain(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  for (; Groups > 0; --Groups, In += 3, Out += 4) {
    const unsigned B0 = In[0], B1 = In[1], B2 = In[2];
    Out[0] = CodeChars[B0 >> 2];
    Out[1] = CodeChars[((B0 << 4) | (B1 >> 4)) & 63];
    Out[2] = CodeChars[((B1 << 2) | (B2 >> 6)) & 63];
    Out[3] = CodeChars[B2 & 63];
  }
  return Out;
}

namespace {

// The value of each byte already moved to its place in a 24-bit group, one table per position,
// so that a group costs four loads and three ors.
template <int Shift> constexpr std::array<std::uint32_t, 256> MakePlacedValues() {
  std::array<std::uint32_t, 256> T{};
  for (int C = 0; C < 256; ++C)
    T[C] = std::uint32_t{ValueOf(static_cast<std::uint8_t>(C))} << Shift;
  return T;
}
constexpr auto Placed0 = MakePlacedValues<18>();
constexpr auto Placed1 = MakePlacedValues<12>();
constexpr auto Placed2 = MakePlacedValues<6>();
constexpr auto Placed3 = MakePlacedValues<0>();

} // namespace

void UUDecodePlain(const std::uint8_t* C, std::int64_t Groups, std::uint8_t* Out) {
  for (; Groups > 0; --Groups, C += 4, Out += 3) {
    const std::uint32_t W = Placed0[C[0]] | Placed1[C[1]] | Placed2[C[2]] | Placed3[C[3]];
    Out[0] = static_cast<std::uint8_t>(W >> 16);
    Out[1] = static_cast<std::uint8_t>(W >> 8);
    Out[2] = static_cast<std::uint8_t>(W);
  }
}

// Eight bytes a step; the lowest mark that MarkBytes leaves is exact. A step may read up to
// seven bytes past Stop, which the caller's margin holds.
std::int64_t UUFindLineEndPlain(const std::uint8_t* In, std::int64_t From, std::int64_t Stop) {
  constexpr std::uint64_t Ones = 0x0101010101010101ULL;
  if constexpr (std::endian::native == std::endian::little) {
    for (; From < Stop; From += 8) {
      std::uint64_t Word;
      std::memcpy(&Word, In + From, 8);
      const std::uint64_t Marks = MarkBytes(Word, '\r' * Ones) | MarkBytes(Word, '\n' * Ones);
      if (Marks != 0) return std::min<std::int64_t>(From + std::countr_zero(Marks) / 8, Stop);
    }
    return Stop;
  }
  while (From < Stop && !IsLineEnd(In[From])) ++From;
  return From;
}

} // namespace vexor::detail
