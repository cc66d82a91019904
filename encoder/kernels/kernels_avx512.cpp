// The AVX-512 loops: Base64 with VBMI, quoted-printable with VBMI2. UUencode has none; at
// this level it runs its AVX2 loops. Each function carries its own target attribute, so the
// file builds with the project's flags and the chooser calls nothing here on a processor
// without these extensions.
#include "encoder/kernels/qvKernelLoops.h"

#ifdef VEXOR_X86_KERNELS

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace vexor::detail {

// --- Base64 ---

namespace {

// The 6-bit code of every 7-bit byte value, 0x80 for the values outside the alphabet; the
// decoder looks a whole register of characters up in it at once.
struct TCodeTable {
  std::uint8_t Code[128];
};
constexpr TCodeTable CodeTable = [] {
  TCodeTable T{};
  for (int C = 0; C < 128; ++C)
    T.Code[C] = base64::DecodeTable[C] == 0 ? 0x80
                                            : static_cast<std::uint8_t>(base64::DecodeTable[C] - 1);
  return T;
}();

} // namespace

// AVX-512 VBMI: sixteen groups per step. One byte permutation spreads the groups over 32-bit
// words as in the AVX2 loop, one multishift moves the four 6-bit codes of every word into its
// four bytes, and a second permutation looks each code up in the alphabet, which one register
// holds whole. Fewer than sixteen groups take one masked step.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push // GCC 12 takes the intrinsics' undefined inputs for uninitialised
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) std::uint8_t*
Base64EncodeVbmi(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  const __m512i Spread = _mm512_set_epi8(
      46, 47, 45, 46, 43, 44, 42, 43, 40, 41, 39, 40, 37, 38, 36, 37, 34, 35, 33, 34, 31, 32, 30,
      31, 28, 29, 27, 28, 25, 26, 24, 25, 22, 23, 21, 22, 19, 20, 18, 19, 16, 17, 15, 16, 13, 14,
      12, 13, 10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  // Within a word b a c b (low byte first) the codes start at bits 10, 4, 22 and 16.
  const __m512i Shifts = _mm512_set1_epi64(0x3036242A1016040Aull);
  const __m512i Table = _mm512_loadu_si512(base64::Alphabet);
  constexpr __mmask64 FullLoad = (1ull << 48) - 1;
  for (; Groups >= 16; Groups -= 16, In += 48, Out += 64) {
    const __m512i Words = _mm512_permutexvar_epi8(Spread, _mm512_maskz_loadu_epi8(FullLoad, In));
    const __m512i Codes = _mm512_multishift_epi64_epi8(Shifts, Words);
    _mm512_storeu_si512(Out, _mm512_permutexvar_epi8(Codes, Table));
  }
  if (Groups == 0) return Out;
  const __mmask64 Load = (1ull << (3 * Groups)) - 1, Store = (1ull << (4 * Groups)) - 1;
  const __m512i Words = _mm512_permutexvar_epi8(Spread, _mm512_maskz_loadu_epi8(Load, In));
  const __m512i Codes = _mm512_multishift_epi64_epi8(Shifts, Words);
  _mm512_mask_storeu_epi8(Out, Store, _mm512_permutexvar_epi8(Codes, Table));
  return Out + 4 * Groups;
}

// AVX-512 VBMI: 64 characters per step, looked up in the 128-entry code table by one two-table
// permutation (a byte with its top bit set, or one that the table marks, is outside the
// alphabet), merged to 24 bits per group by two multiply-adds and gathered by one permutation.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) std::int64_t
Base64DecodeVbmi(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                 std::int64_t& Written) {
  const __m512i Low = _mm512_loadu_si512(CodeTable.Code);
  const __m512i High = _mm512_loadu_si512(CodeTable.Code + 64);
  const __m512i Merge12 = _mm512_set1_epi32(0x01400140);
  const __m512i Merge24 = _mm512_set1_epi32(0x00011000);
  // Byte 3g + k of the result is byte 2 - k of word g.
  const __m512i Gather = _mm512_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 60, 61, 62,
                                         56, 57, 58, 52, 53, 54, 48, 49, 50, 44, 45, 46, 40, 41, 42,
                                         36, 37, 38, 32, 33, 34, 28, 29, 30, 24, 25, 26, 20, 21, 22,
                                         16, 17, 18, 12, 13, 14, 8, 9, 10, 4, 5, 6, 0, 1, 2);
  std::int64_t I = 0, O = 0;
  while (Count - I >= 64) {
    const __m512i C = _mm512_loadu_si512(In + I);
    const __m512i Codes = _mm512_permutex2var_epi8(Low, C, High);
    const std::uint64_t Bad = _mm512_movepi8_mask(_mm512_or_si512(Codes, C));
    const int Clean = Bad == 0 ? 64 : __builtin_ctzll(Bad);
    const int Whole = Clean & ~3;
    if (Whole > 0) {
      const __m512i Words = _mm512_madd_epi16(_mm512_maddubs_epi16(Codes, Merge12), Merge24);
      const __m512i Bytes = _mm512_permutexvar_epi8(Gather, Words);
      if (Whole == 64) // 48 bytes and 16 of filler, as in the AVX2 loop
        _mm512_storeu_si512(Out + O, Bytes);
      else
        _mm512_mask_storeu_epi8(Out + O, (std::uint64_t{1} << (Whole / 4 * 3)) - 1, Bytes);
      I += Whole;
      O += Whole / 4 * 3;
    }
    if (!base64::GoesOn(In, Count, I, Clean, Whole, 64)) break;
  }
  return base64::DecodeRestPlain(In, Count, Out, I, O, Written);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// --- Quoted-printable ---

using qp::CR;
using qp::Digits;
using qp::LF;
using qp::NoDigit;

namespace {

// The mask of the first N of 64 lanes.
__attribute__((target("bmi2"), always_inline)) inline __mmask64 LanesBelow(std::int64_t N) {
  return N >= 64 ? ~0ULL : N <= 0 ? 0 : _bzhi_u64(~0ULL, static_cast<unsigned>(N));
}

// The sixteen hexadecimal digits in each 128-bit lane, for a byte shuffle.
struct THexLanes {
  alignas(64) char Digit[64];
};
constexpr THexLanes MakeHexLanes() {
  THexLanes T{};
  for (int I = 0; I < 64; ++I) T.Digit[I] = "0123456789ABCDEF"[I % 16];
  return T;
}
constexpr THexLanes HexLanes = MakeHexLanes();

} // namespace

// 21 bytes a step, whose text (at most 63 bytes) fits one register. In a row of 3-bit groups,
// one per source byte, a literal fills the first bit and an escape all three; squeezing out the
// empty bits (pext) gives the places of the elements in the text, where the first characters
// and the two digits of each escape are then spread (expand).
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))
const std::uint8_t*
QPEncodeVbmi2(const std::uint8_t* P, const std::uint8_t* End, std::uint8_t*& Out,
              std::int64_t& Column, std::int64_t Limit) {
  constexpr int Step = 21;
  constexpr std::uint64_t Groups = 0x1249249249249249ULL; // bit 0 of 21 groups of 3
  const __m512i Hex = _mm512_load_si512(HexLanes.Digit);
  const __m512i Nibble = _mm512_set1_epi8(0x0F);
  std::uint8_t* W = Out;
  std::int64_t C = Column;
  while (P != End) {
    qp::EndFullLine(W, C, Limit);
    const __mmask64 In = LanesBelow(std::min<std::int64_t>(End - P, Step));
    const __m512i V = _mm512_maskz_loadu_epi8(In, P);
    const __mmask64 Literal = _mm512_mask_cmpge_epu8_mask(In, V, _mm512_set1_epi8(32)) &
                              _mm512_cmple_epu8_mask(V, _mm512_set1_epi8(126)) &
                              _mm512_cmpneq_epi8_mask(V, _mm512_set1_epi8('='));
    const std::uint64_t Escape = In & ~Literal;
    // Up to the first CR or the end of the lanes...
    const std::uint64_t Stops = _mm512_mask_cmpeq_epi8_mask(In, V, _mm512_set1_epi8(CR)) | ~In;
    unsigned N = static_cast<unsigned>(_tzcnt_u64(Stops));
    const std::uint64_t Spread = _pdep_u64(Escape, Groups);
    const std::uint64_t Slots = Groups | Spread << 1 | Spread << 2;
    const std::uint64_t Starts = _pext_u64(Groups, Slots);
    const std::uint64_t EscapeStarts = _pext_u64(Spread, Slots);
    // ...and while the line admits them: the bytes that start at most Limit - C slots on (at
    // least one, as C is at most Limit here).
    if (Limit - C < 63) {
      const auto Fit = _mm_popcnt_u64(_bzhi_u64(Starts, static_cast<unsigned>(Limit - C + 1)));
      N = std::min(N, static_cast<unsigned>(Fit));
    }
    const auto Length = static_cast<unsigned>(N + 2 * _mm_popcnt_u64(_bzhi_u64(Escape, N)));
    const __m512i First = _mm512_mask_blend_epi8(Escape, V, _mm512_set1_epi8('='));
    const __m512i High =
        _mm512_shuffle_epi8(Hex, _mm512_and_si512(_mm512_srli_epi16(V, 4), Nibble));
    const __m512i Low = _mm512_shuffle_epi8(Hex, _mm512_and_si512(V, Nibble));
    __m512i Text = _mm512_maskz_expand_epi8(Starts, First);
    Text =
        _mm512_mask_expand_epi8(Text, EscapeStarts << 1, _mm512_maskz_compress_epi8(Escape, High));
    Text =
        _mm512_mask_expand_epi8(Text, EscapeStarts << 2, _mm512_maskz_compress_epi8(Escape, Low));
    _mm512_storeu_si512(W, Text);
    W += Length;
    C += Length;
    if (N == Step) {
      P += Step; // a constant step lets the next load start before this one is coded
      continue;
    }
    P += N;
    if (P == End) break;
    // Stopped by a CR while the line still admits it (else the soft line break comes first).
    if (*P == CR && C <= Limit && !qp::TakeLineBreak(P, End, W, C)) break;
  }
  Out = W;
  Column = C;
  return P;
}

namespace {

// Digit values of the bytes 0 to 127 for a two-register byte permutation; 0x80 for no digit.
struct TDigitLanes {
  alignas(64) std::uint8_t Value[128];
};
constexpr TDigitLanes MakeDigitLanes() {
  TDigitLanes T{};
  for (int B = 0; B < 128; ++B) T.Value[B] = Digits.Value[B] == NoDigit ? 0x80 : Digits.Value[B];
  return T;
}
constexpr TDigitLanes DigitLanes = MakeDigitLanes();

} // namespace

// 64 bytes a step. Every lane is looked at as the start of an element, with the two bytes after
// it (loaded shifted by one and two); lanes inside an element that starts earlier are no starts.
// The first start that is no clean element ends the run; the kept lanes are compressed together.
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))
const std::uint8_t*
QPDecodeVbmi2(const std::uint8_t* P, const std::uint8_t* End, std::uint8_t*& Out) {
  const __m512i Low = _mm512_load_si512(DigitLanes.Value);
  const __m512i High = _mm512_load_si512(DigitLanes.Value + 64);
  const __m512i Equals = _mm512_set1_epi8('='), Cr = _mm512_set1_epi8(CR);
  const __m512i Lf = _mm512_set1_epi8(LF), Nibble = _mm512_set1_epi8(0x0F);
  std::uint8_t* W = Out;
  while (P != End) {
    const std::int64_t Left = End - P;
    const __mmask64 In0 = LanesBelow(Left), In1 = LanesBelow(Left - 1), In2 = LanesBelow(Left - 2);
    const __m512i V0 = _mm512_maskz_loadu_epi8(In0, P);
    const __m512i V1 = _mm512_maskz_loadu_epi8(In1, P + 1);
    const __m512i V2 = _mm512_maskz_loadu_epi8(In2, P + 2);
    const __m512i D1 = _mm512_permutex2var_epi8(Low, V1, High);
    const __m512i D2 = _mm512_permutex2var_epi8(Low, V2, High);
    // A digit: below 128, and so is its value. Lanes past the end hold 0, no digit.
    const __mmask64 Digit1 = ~_mm512_movepi8_mask(_mm512_or_si512(V1, D1));
    const __mmask64 Digit2 = ~_mm512_movepi8_mask(_mm512_or_si512(V2, D2));
    const __mmask64 IsEquals = _mm512_cmpeq_epi8_mask(V0, Equals);
    const __mmask64 IsCr = _mm512_cmpeq_epi8_mask(V0, Cr);
    const __mmask64 IsLf = _mm512_cmpeq_epi8_mask(V0, Lf);
    const __mmask64 Escape = IsEquals & Digit1 & Digit2;
    const __mmask64 Soft =
        IsEquals & _mm512_cmpeq_epi8_mask(V1, Cr) & _mm512_cmpeq_epi8_mask(V2, Lf);
    const __mmask64 Pair = IsCr & _mm512_cmpeq_epi8_mask(V1, Lf);
    const __mmask64 Three = Escape | Soft;
    const __mmask64 Inside = Three << 1 | Three << 2 | Pair << 1;
    const __mmask64 Odd = In0 & ~Inside & ((IsEquals & ~Three) | (IsCr & ~Pair) | IsLf);
    const unsigned Stop = Odd ? static_cast<unsigned>(_tzcnt_u64(Odd)) : 64;
    const __mmask64 Before = Stop >= 64 ? In0 : _bzhi_u64(In0, Stop);
    const __mmask64 Keep = Before & ~(Three << 1 | Three << 2) & ~Soft;
    const __m512i Value = _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(D1, Nibble), 4), D2);
    const __m512i Text = _mm512_mask_blend_epi8(Escape, V0, Value);
    _mm512_storeu_si512(W, _mm512_maskz_compress_epi8(Keep, Text));
    W += _mm_popcnt_u64(Keep);
    if (Odd) {
      P += Stop;
      break;
    }
    if (Left <= 64) {
      P = End;
      break;
    }
    // Elements that begin in the last lanes end in the next 64 bytes.
    if ((Pair & ~Inside) >> 63) {
      *W++ = LF;
      P += 65;
    } else {
      P += Three >> 63 ? 66 : Three >> 62 ? 65 : 64;
    }
  }
  Out = W;
  return P;
}

} // namespace vexor::detail

#endif // VEXOR_X86_KERNELS
