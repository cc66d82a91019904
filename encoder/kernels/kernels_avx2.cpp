// The AVX2 loops: Base64, quoted-printable and UUencode. Each function carries its
// own target attribute, so the file builds with the project's flags and the chooser calls
// nothing here on a processor without AVX2.
#include "encoder/kernels/qvKernelLoops.h"

#ifdef VEXOR_X86_KERNELS

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace vexor::detail {

namespace {

// --- The 3-to-4 and 4-to-3 reshuffles ---
//
// Base64 and UUencode cut three bytes into four 6-bit codes in the same bit order (the first
// byte's high bits first); only the characters that stand for the codes differ, so both take
// their codes from here.

// The codes of eight groups: 24 bytes from In, and 4 more read after them. Each 128-bit half
// takes four groups; their bytes are spread to one group per 32-bit word as b1 b0 b2 b1, so
// that each code lies whole inside one 16-bit half, and moved into the word's four bytes by two
// multiplications.
__attribute__((target("avx2"))) inline __m256i CodesOfGroups(const std::uint8_t* In) {
  const __m256i Spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0,
                                          2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m128i Low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(In));
  const __m128i High = _mm_loadu_si128(reinterpret_cast<const __m128i*>(In + 12));
  const __m256i X =
      _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(Low), High, 1), Spread);
  return _mm256_or_si256(
      _mm256_mulhi_epu16(_mm256_and_si256(X, _mm256_set1_epi32(0x0FC0FC00)),
                         _mm256_set1_epi32(0x04000040)),
      _mm256_mullo_epi16(_mm256_and_si256(X, _mm256_set1_epi32(0x003F03F0)),
                         _mm256_set1_epi32(0x01000010)));
}

// The 24 bytes of 32 codes (eight groups of four, each below 64), in the low 24 bytes of the
// result; the 8 bytes after them mean nothing. The codes are merged to 24 bits per word by two
// multiply-adds, and the words' bytes gathered in order.
__attribute__((target("avx2"))) inline __m256i BytesOfCodes(__m256i Codes) {
  const __m256i Gather = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                          1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i Words = _mm256_madd_epi16(
      _mm256_maddubs_epi16(Codes, _mm256_set1_epi32(0x01400140)), _mm256_set1_epi32(0x00011000));
  return _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(Words, Gather),
                                     _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
}

} // namespace

// --- Base64 ---

// Eight groups per step. The codes become characters by adding an offset chosen per range.
__attribute__((target("avx2"))) std::uint8_t*
Base64EncodeAvx2(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  // Offsets from code to character: [0] "a".."z", [1..10] digits, [11] "+", [12] "/", [13] "A"..
  const __m256i Offsets =
      _mm256_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0, 71, -4, -4,
                       -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
  // A step reads four bytes beyond the 24 that it codes: they must be the caller's.
  for (; Groups >= 10; Groups -= 8, In += 24, Out += 32) {
    const __m256i Codes = CodesOfGroups(In);
    __m256i Range = _mm256_subs_epu8(Codes, _mm256_set1_epi8(51));
    const __m256i Upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), Codes);
    Range = _mm256_or_si256(Range, _mm256_and_si256(Upper, _mm256_set1_epi8(13)));
    const __m256i Chars = _mm256_add_epi8(Codes, _mm256_shuffle_epi8(Offsets, Range));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out), Chars);
  }
  return Base64EncodePlain(In, Groups, Out);
}

// 32 characters per step, checked by two nibble tables (a character is in the alphabet when the
// classes of its low nibble meet none that its high nibble forbids) and translated by an offset
// per high nibble ("/" is the one character that needs an offset of its own).
__attribute__((target("avx2"))) std::int64_t Base64DecodeAvx2(const std::uint8_t* In,
                                                              std::int64_t Count, std::uint8_t* Out,
                                                              std::int64_t& Written) {
  const __m256i LowClasses =
      _mm256_setr_epi8(0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x04, 0x08, 0x10,
                       0x10, 0x10, 0x20, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02,
                       0x04, 0x08, 0x10, 0x10, 0x10, 0x20);
  const __m256i HighForbids =
      _mm256_setr_epi8(0x3F, 0x3F, 0x17, 0x3C, 0x01, 0x38, 0x01, 0x38, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F,
                       0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x17, 0x3C, 0x01, 0x38, 0x01, 0x38, 0x3F, 0x3F,
                       0x3F, 0x3F, 0x3F, 0x3F, 0x3F, 0x3F);
  const __m256i Offsets =
      _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                       -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i Nibble = _mm256_set1_epi8(0x0F);
  const __m256i Slash = _mm256_set1_epi8('/');
  std::int64_t I = 0, O = 0;
  while (Count - I >= 32) {
    const __m256i C = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(In + I));
    const __m256i High = _mm256_and_si256(_mm256_srli_epi32(C, 4), Nibble);
    const __m256i Bad =
        _mm256_and_si256(_mm256_shuffle_epi8(LowClasses, _mm256_and_si256(C, Nibble)),
                         _mm256_shuffle_epi8(HighForbids, High));
    const auto Good = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(Bad, _mm256_setzero_si256())));
    const int Clean = Good == 0xFFFFFFFFu ? 32 : __builtin_ctz(~Good);
    const int Whole = Clean & ~3;
    if (Whole > 0) {
      const __m256i Codes = _mm256_add_epi8(
          C, _mm256_shuffle_epi8(Offsets, _mm256_add_epi8(High, _mm256_cmpeq_epi8(C, Slash))));
      const __m256i Bytes = BytesOfCodes(Codes);
      if (Whole == 32) {
        // 24 bytes and 8 of filler: in place they fall on text already read, and a separate
        // output keeps room for them.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out + O), Bytes);
      } else {
        alignas(32) std::uint8_t Staged[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(Staged), Bytes);
        std::memcpy(Out + O, Staged, static_cast<std::size_t>(Whole / 4 * 3));
      }
      I += Whole;
      O += Whole / 4 * 3;
    }
    if (!base64::GoesOn(In, Count, I, Clean, Whole, 32)) break;
  }
  return base64::DecodeRestPlain(In, Count, Out, I, O, Written);
}

// --- Quoted-printable ---

using qp::CR;
using qp::LF;

namespace {

// For packing the kept bytes of eight lanes together: the lanes of each 8-bit mask in order (the
// shuffle bytes after them pick lane 0, whose copies the next run writes over), and how many.
struct TPackTable {
  std::uint64_t Lanes[256];
  std::uint8_t Count[256];
};
constexpr TPackTable PackTable = [] {
  TPackTable T{};
  for (int M = 0; M < 256; ++M) {
    std::uint64_t Lanes = 0;
    int N = 0;
    for (int L = 0; L < 8; ++L)
      if (M >> L & 1) Lanes |= std::uint64_t(L) << 8 * N++;
    T.Lanes[M] = Lanes;
    T.Count[M] = static_cast<std::uint8_t>(N);
  }
  return T;
}();

// The lanes of V that hold a hexadecimal digit of either case, as a byte mask, and the digits'
// values in the low nibbles: the low four bits, plus nine for letters (both cases have bit 6).
__attribute__((target("avx2"))) inline __m256i HexDigits(__m256i V, __m256i& Value) {
  const __m256i Folded = _mm256_or_si256(V, _mm256_set1_epi8(0x20)); // "A".."F" to "a".."f"
  const __m256i Decimal = _mm256_and_si256(_mm256_cmpgt_epi8(V, _mm256_set1_epi8('0' - 1)),
                                           _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), V));
  const __m256i Letter = _mm256_and_si256(_mm256_cmpgt_epi8(Folded, _mm256_set1_epi8('a' - 1)),
                                          _mm256_cmpgt_epi8(_mm256_set1_epi8('f' + 1), Folded));
  Value = _mm256_add_epi8(_mm256_and_si256(V, _mm256_set1_epi8(0x0F)),
                          _mm256_and_si256(Letter, _mm256_set1_epi8(9)));
  return _mm256_or_si256(Decimal, Letter);
}

// Stores the Keep lanes of 16 bytes one after another from W on, as two runs of eight lanes;
// up to 16 bytes from W on are written. Returns the end of the kept bytes.
__attribute__((target("avx2"))) inline std::uint8_t* PackLanes(__m128i Bytes, unsigned Keep,
                                                               std::uint8_t* W) {
  const unsigned Low = Keep & 0xFF, High = Keep >> 8 & 0xFF;
  const __m128i Lanes =
      _mm_set_epi64x(static_cast<long long>(PackTable.Lanes[High] + 0x0808080808080808ULL),
                     static_cast<long long>(PackTable.Lanes[Low]));
  const __m128i Packed = _mm_shuffle_epi8(Bytes, Lanes);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(W), Packed);
  W += PackTable.Count[Low];
  _mm_storel_epi64(reinterpret_cast<__m128i*>(W), _mm_unpackhi_epi64(Packed, Packed));
  return W + PackTable.Count[High];
}

} // namespace

namespace {

// For the encoder: where each byte of the text of eight source bytes comes from, by which of the
// eight are escaped. A literal is its own byte; an escape is "=" and its two digits. The text
// (up to 24 bytes, then zeros) is gathered from two registers, each a 16-byte half copied into
// both 128-bit lanes: Literals holds the eight bytes and their high digits, Lows their low
// digits and "=" eight times; a lane that one register does not give is 0x80 in its table,
// which the shuffle turns into zero.
struct TExpandTable {
  alignas(32) std::int8_t FromLiterals[256][32];
  alignas(32) std::int8_t FromLows[256][32];
  std::uint8_t Length[256];
};
constexpr TExpandTable ExpandTable = [] {
  TExpandTable T{};
  for (int M = 0; M < 256; ++M) {
    for (int J = 0; J < 32; ++J) T.FromLiterals[M][J] = T.FromLows[M][J] = -128;
    int N = 0;
    for (int I = 0; I < 8; ++I) {
      if (M >> I & 1) {
        T.FromLows[M][N++] = static_cast<std::int8_t>(8 + I); // "="
        T.FromLiterals[M][N++] = static_cast<std::int8_t>(8 + I); // high digit
        T.FromLows[M][N++] = static_cast<std::int8_t>(I);      // low digit
      } else {
        T.FromLiterals[M][N++] = static_cast<std::int8_t>(I);
      }
    }
    T.Length[M] = static_cast<std::uint8_t>(N);
  }
  return T;
}();

} // namespace

// Eight source bytes a step while they hold no CR and all of them fit the line: which of them
// are escaped is found by comparisons, and their text is gathered by two shuffles from tables.
// Anything else (a CR, the end of a line, the last few bytes) takes one element the plain way.
__attribute__((target("avx2"))) const std::uint8_t*
QPEncodeAvx2(const std::uint8_t* P, const std::uint8_t* End, std::uint8_t*& Out,
             std::int64_t& Column, std::int64_t Limit) {
  const __m128i Hex = _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B',
                                    'C', 'D', 'E', 'F');
  const __m128i Nibble = _mm_set1_epi8(0x0F);
  std::uint8_t* W = Out;
  std::int64_t C = Column;
  while (End - P >= 8) {
    const __m128i V = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(P));
    // Literals: 32 to 126 but "="; the signed comparisons leave out the bytes from 128 on.
    const __m128i Literal =
        _mm_andnot_si128(_mm_cmpeq_epi8(V, _mm_set1_epi8('=')),
                         _mm_and_si128(_mm_cmpgt_epi8(V, _mm_set1_epi8(31)),
                                       _mm_cmpgt_epi8(_mm_set1_epi8(127), V)));
    const auto Escaped = static_cast<unsigned>(~_mm_movemask_epi8(Literal)) & 0xFF;
    const auto HasCr = _mm_movemask_epi8(_mm_cmpeq_epi8(V, _mm_set1_epi8(CR))) & 0xFF;
    // The column at which the last of the eight starts: the text of the seven before it.
    const std::int64_t LastStart = ExpandTable.Length[Escaped & 0x7F] - 1;
    if (HasCr == 0 && C + LastStart <= Limit) {
      const __m128i High = _mm_shuffle_epi8(Hex, _mm_and_si128(_mm_srli_epi16(V, 4), Nibble));
      const __m128i Low = _mm_shuffle_epi8(Hex, _mm_and_si128(V, Nibble));
      const __m256i Literals = _mm256_broadcastsi128_si256(_mm_unpacklo_epi64(V, High));
      const __m256i Lows =
          _mm256_broadcastsi128_si256(_mm_unpacklo_epi64(Low, _mm_set1_epi8('=')));
      const __m256i Text = _mm256_or_si256(
          _mm256_shuffle_epi8(Literals, _mm256_load_si256(reinterpret_cast<const __m256i*>(
                                            ExpandTable.FromLiterals[Escaped]))),
          _mm256_shuffle_epi8(Lows, _mm256_load_si256(reinterpret_cast<const __m256i*>(
                                        ExpandTable.FromLows[Escaped]))));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(W), Text);
      const int Length = ExpandTable.Length[Escaped];
      W += Length;
      C += Length;
      P += 8;
      continue;
    }
    // One element as the plain loop takes it.
    qp::EndFullLine(W, C, Limit);
    if (*P == CR) {
      if (qp::TakeLineBreak(P, End, W, C)) continue;
      Out = W;
      Column = C;
      return P;
    }
    const qp::TElement& E = qp::Elements.Of[*P++];
    std::memcpy(W, &E, sizeof E);
    W += E.Length;
    C += E.Length;
  }
  Out = W;
  Column = C;
  return QPEncodePlain(P, End, Out, Column, Limit);
}

// 32 bytes a step, each lane looked at as the start of an element with the two bytes after it
// (loaded again one and two bytes on), as in the AVX-512 loop; the kept lanes are packed eight
// at a time by a shuffle from a table. A step reads 34 bytes, so the last 33 go to the plain
// loop.
__attribute__((target("avx2"))) const std::uint8_t*
QPDecodeAvx2(const std::uint8_t* P, const std::uint8_t* End, std::uint8_t*& Out) {
  const __m256i Equals = _mm256_set1_epi8('='), Cr = _mm256_set1_epi8(CR);
  const __m256i Lf = _mm256_set1_epi8(LF);
  std::uint8_t* W = Out;
  while (End - P >= 34) {
    const __m256i V0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P));
    const __m256i V1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + 1));
    const __m256i V2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(P + 2));
    const __m256i EqualsV = _mm256_cmpeq_epi8(V0, Equals);
    const __m256i CrV = _mm256_cmpeq_epi8(V0, Cr);
    const __m256i LfV = _mm256_cmpeq_epi8(V0, Lf);
    const auto Marks = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(EqualsV, _mm256_or_si256(CrV, LfV))));
    if (Marks == 0) { // nothing but bytes that stand for themselves
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(W), V0);
      P += 32;
      W += 32;
      continue;
    }
    __m256i Value1, Value2;
    const __m256i EscapeV =
        _mm256_and_si256(EqualsV, _mm256_and_si256(HexDigits(V1, Value1), HexDigits(V2, Value2)));
    const __m256i SoftV = _mm256_and_si256(
        EqualsV, _mm256_and_si256(_mm256_cmpeq_epi8(V1, Cr), _mm256_cmpeq_epi8(V2, Lf)));
    const __m256i PairV = _mm256_and_si256(CrV, _mm256_cmpeq_epi8(V1, Lf));
    const auto Escape = static_cast<std::uint32_t>(_mm256_movemask_epi8(EscapeV));
    const auto Soft = static_cast<std::uint32_t>(_mm256_movemask_epi8(SoftV));
    const auto Pair = static_cast<std::uint32_t>(_mm256_movemask_epi8(PairV));
    const std::uint32_t Three = Escape | Soft;
    // Lanes that an element begun in an earlier lane covers; none of them can begin one itself
    // but the CR of a soft line break, whose pair covers the same LF.
    const std::uint32_t Inside = Three << 1 | Three << 2 | Pair << 1;
    const std::uint32_t Odd = Marks & ~(Three | Pair | Inside);
    // The values are below 16, so the 16-bit shift moves no bits from one byte to the next.
    const __m256i Text =
        _mm256_blendv_epi8(V0, _mm256_or_si256(_mm256_slli_epi16(Value1, 4), Value2), EscapeV);
    const unsigned Stop = Odd ? static_cast<unsigned>(__builtin_ctz(Odd)) : 32;
    const std::uint32_t Before = Stop == 32 ? ~0u : (1u << Stop) - 1;
    const std::uint32_t Keep = Before & ~(Three << 1 | Three << 2 | Soft);
    W = PackLanes(_mm256_castsi256_si128(Text), Keep & 0xFFFF, W);
    W = PackLanes(_mm256_extracti128_si256(Text, 1), Keep >> 16, W);
    if (Odd) { // the byte at Stop begins nothing that the loops take
      Out = W;
      return P + Stop;
    }
    // An element that begins in the last two lanes ends in the next 32 bytes: a CR LF pair at
    // the last lane leaves its LF to write, an escape or a soft line break one or two bytes to
    // skip. At most one of them is there.
    const std::uint32_t PairEnds = (Pair & ~Inside) >> 31;
    *W = LF;
    W += PairEnds;
    P += 32 + PairEnds + (Three >> 30 & 1) + 2 * (Three >> 31);
  }
  Out = W;
  return QPDecodePlain(P, End, Out);
}

// --- UUencode ---

namespace {

// Eight groups into 32 code characters: 0 becomes the grave accent, v the byte v + 32, that is
// ((v - 1) mod 64) + 33.
__attribute__((target("avx2"))) inline void UUEncodeBlock(const std::uint8_t* In,
                                                          std::uint8_t* Out) {
  const __m256i Codes = CodesOfGroups(In);
  const __m256i Chars = _mm256_add_epi8(
      _mm256_and_si256(_mm256_sub_epi8(Codes, _mm256_set1_epi8(1)), _mm256_set1_epi8(63)),
      _mm256_set1_epi8(33));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out), Chars);
}

} // namespace

__attribute__((target("avx2"))) std::uint8_t*
UUEncodeAvx2(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  if (Groups < 8) return UUEncodePlain(In, Groups, Out);
  std::int64_t G = 0;
  for (; G + 8 <= Groups; G += 8) UUEncodeBlock(In + 3 * G, Out + 4 * G);
  // The rest as one more block ending at the last group: the groups that it repeats get the
  // same characters again.
  if (G < Groups) UUEncodeBlock(In + 3 * (Groups - 8), Out + 4 * (Groups - 8));
  return Out + 4 * Groups;
}

// Eight groups of four code characters into 24 bytes (and 8 bytes of no meaning after them).
__attribute__((target("avx2"))) void UUDecodeAvx2(const std::uint8_t* C, std::int64_t Groups,
                                                  std::uint8_t* Out) {
  for (; Groups > 0; Groups -= 8, C += 32, Out += 24) {
    const __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(C));
    const __m256i Codes =
        _mm256_and_si256(_mm256_sub_epi8(V, _mm256_set1_epi8(32)), _mm256_set1_epi8(63));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out), BytesOfCodes(Codes));
  }
}

__attribute__((target("avx2"))) std::int64_t
UUFindLineEndAvx2(const std::uint8_t* In, std::int64_t From, std::int64_t Stop) {
  const __m256i Cr = _mm256_set1_epi8('\r'), Lf = _mm256_set1_epi8('\n');
  for (; From < Stop; From += 32) {
    const __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(In + From));
    const auto Mask = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(V, Cr), _mm256_cmpeq_epi8(V, Lf))));
    if (Mask != 0) return std::min(From + __builtin_ctz(Mask), Stop);
  }
  return Stop;
}

} // namespace vexor::detail

#endif // VEXOR_X86_KERNELS
