// The Base64 codec pair: the encoder, which codes the whole remainder of its source in memory,
// and the decoder, which works through the source in batches of BatchSize bytes.
//
// What a text looks like is decided in two routines, EncodePiece and DecodeText, that code one
// piece of a source with explicit carried state. Both ways of moving the bytes use them: the
// stream calls that a caller can watch (one Read and one Write for the encoder, batches for the
// decoder), and whole pieces of about a megabyte when nobody can watch or the caller asks for
// them (see TqvEncoderAccess::PiecePath), which keeps memory small and the file system's copies
// cheap.
// Inside the two routines, inner loops ("kernels") code whole groups of clean text; every
// other byte goes through the one simple step that holds the rules.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "encoder/qvBase64Internal.h"
#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/qvThreads.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VEXOR_BASE64_X86 1
#include <immintrin.h>
#endif

namespace {

using detail::TqvBase64Kernel;

// --- Tables ---

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One entry per byte value: 1 + its 6-bit code for the 64 alphabet characters, 0 for every other
// byte, "=", CR, LF and space included (those are dealt with before the table is asked).
constexpr std::array<std::uint8_t, 256> DecodeTable = [] {
  std::array<std::uint8_t, 256> T{};
  for (int I = 0; I < 64; ++I)
    T[static_cast<unsigned char>(Alphabet[I])] = static_cast<std::uint8_t>(I + 1);
  return T;
}();

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

// The 6-bit code of every 7-bit byte value, 0x80 for the values outside the alphabet; the
// AVX-512 VBMI decoder looks a whole register of characters up in it at once.
struct TCodeTable {
  std::uint8_t Code[128];
};
constexpr TCodeTable CodeTable = [] {
  TCodeTable T{};
  for (int C = 0; C < 128; ++C)
    T.Code[C] = DecodeTable[C] == 0 ? 0x80 : static_cast<std::uint8_t>(DecodeTable[C] - 1);
  return T;
}();

// The bytes that a text may hold anywhere without their being part of a group.
constexpr bool IsSkipped(std::uint8_t C) noexcept {
  return C == '\n' || C == '\r' || C == ' ' || C == '=';
}
constexpr bool IsLineBreak(std::uint8_t C) noexcept {
  return C == '\n' || C == '\r';
}

// --- Kernels ---
//
// An encoding kernel codes Groups whole groups of three bytes into 4 * Groups characters and
// returns the end of its output. A decoding kernel is entered between groups; it codes whole
// groups of four alphabet characters and skips the CR and LF that stand between groups, stops
// before anything else, and returns the number of text bytes taken (Written: bytes stored).
// Decoding kernels may store in place (Out == In): they never store beyond bytes already read.

using TEncodeKernel = std::uint8_t* (*)(const std::uint8_t* In, std::int64_t Groups,
                                        std::uint8_t* Out);
using TDecodeKernel = std::int64_t (*)(const std::uint8_t* In, std::int64_t Count,
                                       std::uint8_t* Out, std::int64_t& Written);

std::uint8_t* EncodeGroupsPlain(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  for (; Groups > 0; --Groups, In += 3, Out += 4) {
    const std::uint32_t V = std::uint32_t{In[0]} << 16 | std::uint32_t{In[1]} << 8 | In[2];
    const std::uint16_t First = PairTable[V >> 12], Second = PairTable[V & 0xFFF];
    std::memcpy(Out, &First, 2);
    std::memcpy(Out + 2, &Second, 2);
  }
  return Out;
}

std::int64_t DecodeQuadsPlain(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
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

#ifdef VEXOR_BASE64_X86

// What the vector decoding kernels share. After a step that found Clean clean characters, Whole
// of them in whole groups and already taken (I is past them): whether the kernel goes on, past
// the line breaks that ended the step. A step of Width clean characters always goes on.
inline bool GoesOn(const std::uint8_t* In, std::int64_t Count, std::int64_t& I, int Clean,
                   int Whole, int Width) {
  if (Clean == Width) return true;
  if (Clean != Whole || !IsLineBreak(In[I])) return false;
  while (I < Count && IsLineBreak(In[I])) ++I;
  return true;
}

// The rest of the text, from I (with O bytes stored), to the plain kernel.
inline std::int64_t DecodeRestPlain(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                                    std::int64_t I, std::int64_t O, std::int64_t& Written) {
  std::int64_t Tail = 0;
  I += DecodeQuadsPlain(In + I, Count - I, Out + O, Tail);
  Written = O + Tail;
  return I;
}

// AVX2: eight groups per step. Each 128-bit lane takes four groups; their bytes are spread to
// one group per 32-bit word and the four 6-bit codes of a word are moved into its four bytes by
// two multiplications. The codes become characters by adding an offset chosen per range.
__attribute__((target("avx2"))) std::uint8_t*
EncodeGroupsAvx2(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  const __m256i Spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0,
                                          2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  const __m256i FirstAndThird = _mm256_set1_epi32(0x0FC0FC00);
  const __m256i FirstAndThirdDown = _mm256_set1_epi32(0x04000040);
  const __m256i SecondAndFourth = _mm256_set1_epi32(0x003F03F0);
  const __m256i SecondAndFourthUp = _mm256_set1_epi32(0x01000010);
  // Offsets from code to character: [0] "a".."z", [1..10] digits, [11] "+", [12] "/", [13] "A"..
  const __m256i Offsets =
      _mm256_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0, 71, -4, -4,
                       -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
  // The second half-load reads four bytes beyond the 24 that a step codes.
  for (; Groups >= 10; Groups -= 8, In += 24, Out += 32) {
    const __m128i Low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(In));
    const __m128i High = _mm_loadu_si128(reinterpret_cast<const __m128i*>(In + 12));
    const __m256i X =
        _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(Low), High, 1), Spread);
    const __m256i Codes = _mm256_or_si256(
        _mm256_mulhi_epu16(_mm256_and_si256(X, FirstAndThird), FirstAndThirdDown),
        _mm256_mullo_epi16(_mm256_and_si256(X, SecondAndFourth), SecondAndFourthUp));
    __m256i Range = _mm256_subs_epu8(Codes, _mm256_set1_epi8(51));
    const __m256i Upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), Codes);
    Range = _mm256_or_si256(Range, _mm256_and_si256(Upper, _mm256_set1_epi8(13)));
    const __m256i Chars = _mm256_add_epi8(Codes, _mm256_shuffle_epi8(Offsets, Range));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out), Chars);
  }
  return EncodeGroupsPlain(In, Groups, Out);
}

// AVX-512 VBMI: sixteen groups per step. One byte permutation spreads the groups over 32-bit
// words as in the AVX2 kernel, one multishift moves the four 6-bit codes of every word into its
// four bytes, and a second permutation looks each code up in the alphabet, which one register
// holds whole. Fewer than sixteen groups take one masked step.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push // GCC 12 takes the intrinsics' undefined inputs for uninitialised
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) std::uint8_t*
EncodeGroupsVbmi(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  const __m512i Spread = _mm512_set_epi8(
      46, 47, 45, 46, 43, 44, 42, 43, 40, 41, 39, 40, 37, 38, 36, 37, 34, 35, 33, 34, 31, 32, 30,
      31, 28, 29, 27, 28, 25, 26, 24, 25, 22, 23, 21, 22, 19, 20, 18, 19, 16, 17, 15, 16, 13, 14,
      12, 13, 10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  // Within a word b a c b (low byte first) the codes start at bits 10, 4, 22 and 16.
  const __m512i Shifts = _mm512_set1_epi64(0x3036242A1016040Aull);
  const __m512i Table = _mm512_loadu_si512(Alphabet);
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
DecodeQuadsVbmi(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
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
      if (Whole == 64) // 48 bytes and 16 of filler, as in the AVX2 kernel
        _mm512_storeu_si512(Out + O, Bytes);
      else
        _mm512_mask_storeu_epi8(Out + O, (std::uint64_t{1} << (Whole / 4 * 3)) - 1, Bytes);
      I += Whole;
      O += Whole / 4 * 3;
    }
    if (!GoesOn(In, Count, I, Clean, Whole, 64)) break;
  }
  return DecodeRestPlain(In, Count, Out, I, O, Written);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// AVX2: 32 characters per step, checked by two nibble tables (a character is in the alphabet
// when the classes of its low nibble meet none that its high nibble forbids) and translated by
// an offset per high nibble ("/" is the one character that needs an offset of its own).
__attribute__((target("avx2"))) std::int64_t DecodeQuadsAvx2(const std::uint8_t* In,
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
  const __m256i Merge12 = _mm256_set1_epi32(0x01400140);
  const __m256i Merge24 = _mm256_set1_epi32(0x00011000);
  const __m256i Gather = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                          1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i Join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
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
      const __m256i Words = _mm256_madd_epi16(_mm256_maddubs_epi16(Codes, Merge12), Merge24);
      const __m256i Bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(Words, Gather), Join);
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
    if (!GoesOn(In, Count, I, Clean, Whole, 32)) break;
  }
  return DecodeRestPlain(In, Count, Out, I, O, Written);
}

#endif // VEXOR_BASE64_X86

struct TKernels {
  TqvBase64Kernel Kind;
  TEncodeKernel Encode;
  TDecodeKernel Decode;
};

bool CanRun(TqvBase64Kernel Kind) {
  switch (Kind) {
  case TqvBase64Kernel::Plain:
    return true;
#ifdef VEXOR_BASE64_X86
  case TqvBase64Kernel::Avx2:
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
  case TqvBase64Kernel::Avx512Vbmi:
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi");
#endif
  default:
    return false;
  }
}

TKernels KernelsOf(TqvBase64Kernel Kind) {
  switch (Kind) {
#ifdef VEXOR_BASE64_X86
  case TqvBase64Kernel::Avx2:
    return {Kind, EncodeGroupsAvx2, DecodeQuadsAvx2};
  case TqvBase64Kernel::Avx512Vbmi:
    return {Kind, EncodeGroupsVbmi, DecodeQuadsVbmi};
#endif
  default:
    return {TqvBase64Kernel::Plain, EncodeGroupsPlain, DecodeQuadsPlain};
  }
}

// AVX-512 VBMI first: over memory streams its encoder is about a third faster than the AVX2 one
// and its decoder a few per cent; on whole conversions of files the copies in and out of the
// operating system leave the decoders' difference within the noise.
TqvBase64Kernel BestKernel() {
  for (const auto Kind : {TqvBase64Kernel::Avx512Vbmi, TqvBase64Kernel::Avx2})
    if (CanRun(Kind)) return Kind;
  return TqvBase64Kernel::Plain;
}

TKernels& Kernels() {
  static TKernels Active = KernelsOf(BestKernel());
  return Active;
}

// --- Piece lengths of the unobserved paths ---

// About a megabyte of text per piece: large enough that the file stream hands it straight to the
// operating system, small enough that the piece and its text stay in the processor's caches.
constexpr std::int64_t DefaultEncodePiece = 3 * 256 * 1024;
constexpr std::int64_t DefaultDecodePiece = 1024 * 1024;
std::int64_t PieceOverride = 0;

// --- Encoding ---

// The layout of a text: a CR LF before every LineBytes source bytes but the first ones, or
// none at all when LineBytes is 0. LineBytes is a multiple of 3 whenever it is not 0.
std::int64_t TextLength(std::int64_t N, std::int64_t LineBytes) {
  const std::int64_t Chars = 4 * ((N + 2) / 3);
  if (LineBytes == 0 || N == 0) return Chars;
  return Chars + 2 * ((N + LineBytes - 1) / LineBytes - 1);
}

// The group that the last one or two bytes of a source give, padded with "=".
void EncodeLastGroup(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out) {
  const std::uint8_t Rest[3] = {In[0], Count > 1 ? In[1] : std::uint8_t{0}, 0};
  EncodeGroupsPlain(Rest, 1, Out);
  Out[3] = '=';
  if (Count == 1) Out[2] = '=';
}

// Writes the text of Count source bytes that follow the first Done bytes of the same source, in
// the layout of LineBytes; returns the number of characters written. Done is a multiple of 3,
// and so is Count unless these are the last bytes of the source. The text of a whole source is
// the same whichever way it is cut into such pieces.
std::int64_t EncodePiece(const std::uint8_t* In, std::int64_t Count, std::int64_t Done,
                         std::int64_t LineBytes, std::uint8_t* Out) {
  const TEncodeKernel EncodeGroups = Kernels().Encode;
  std::uint8_t* O = Out;
  // Where in its line the piece begins; every later run begins a line of its own.
  std::int64_t Column = LineBytes > 0 ? Done % LineBytes : 0;
  bool Break = LineBytes > 0 && Column == 0 && Done > 0;
  while (Count > 0) {
    if (Break) {
      *O++ = '\r';
      *O++ = '\n';
    }
    const std::int64_t Run = LineBytes > 0 ? std::min(Count, LineBytes - Column) : Count;
    O = EncodeGroups(In, Run / 3, O);
    In += Run / 3 * 3;
    if (Run % 3 != 0) { // only the very end of a source ends inside a group
      EncodeLastGroup(In, Run % 3, O);
      return O + 4 - Out;
    }
    Count -= Run;
    Column = 0;
    Break = true;
  }
  return O - Out;
}

// Codes the N bytes from the source's position in pieces of whole lines, each read, coded and
// written before the next: the same text and positions as one Read and one Write, in bounded
// memory.
// N is -1 for a source of unknown size, which is coded up to its end.
void EncodeInPieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t N,
                    std::int64_t LineBytes, detail::TqvProgress& Progress) {
  std::int64_t Piece = PieceOverride > 0 ? PieceOverride : DefaultEncodePiece;
  if (LineBytes > 0 && LineBytes <= Piece)
    Piece = Piece / LineBytes * LineBytes;
  else
    Piece = std::max<std::int64_t>(3, Piece / 3 * 3);
  if (N >= 0) Piece = std::max<std::int64_t>(std::min(Piece, N), 1);
  const std::int64_t MostChars =
      4 * ((Piece + 2) / 3) + (LineBytes > 0 ? 2 * (Piece / LineBytes + 1) : 0);
  detail::CodePieces(Source, Destination, N, Piece, MostChars, 0,
                     [&](const std::uint8_t* In, std::int64_t Count, std::int64_t Index, bool,
                         std::uint8_t* Text) {
                       return EncodePiece(In, Count, Index * Piece, LineBytes, Text);
                     },
                     Progress);
}

// --- Decoding ---

struct TDecodeResult {
  std::int64_t Read = 0;    // text bytes taken
  std::int64_t Written = 0; // bytes decoded
  bool WrongSymbol = false; // stopped at In[Read], which belongs to no Base64 text
};

// Decodes the Count text bytes at In into Out, carrying the group state across calls. Out may
// be In: a byte is stored only after the characters that make it have been read, so the output
// never overtakes the input. Stops at the first wrong symbol.
TDecodeResult DecodeText(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                         std::uint8_t& QuadPosition, std::uint8_t& PartialByte) {
  const TDecodeKernel DecodeQuads = Kernels().Decode;
  TDecodeResult R;
  std::uint8_t Quad = QuadPosition, Partial = PartialByte;
  std::int64_t I = 0, O = 0;
  while (I < Count) {
    if (Quad == 0) {
      // Between groups the partial byte is dead (the next character replaces it), so the
      // kernel need not carry it.
      std::int64_t Written = 0;
      I += DecodeQuads(In + I, Count - I, Out + O, Written);
      O += Written;
      if (I == Count) break;
    }
    const std::uint8_t C = In[I];
    if (!IsSkipped(C)) {
      const std::uint8_t Entry = DecodeTable[C];
      if (Entry == 0) {
        R.WrongSymbol = true;
        break;
      }
      const auto V = static_cast<std::uint8_t>(Entry - 1);
      switch (Quad) {
      case 0:
        Partial = detail::LoByte(V << 2);
        Quad = 1;
        break;
      case 1:
        Out[O++] = static_cast<std::uint8_t>(Partial | V >> 4);
        Partial = detail::LoByte(V << 4);
        Quad = 2;
        break;
      case 2:
        Out[O++] = static_cast<std::uint8_t>(Partial | V >> 2);
        Partial = detail::LoByte(V << 6);
        Quad = 3;
        break;
      default:
        Out[O++] = static_cast<std::uint8_t>(Partial | V);
        Quad = 0;
        break;
      }
    }
    ++I;
  }
  QuadPosition = Quad;
  PartialByte = Partial;
  R.Read = I;
  R.Written = O;
  return R;
}

// The bytes that the first Count characters of a clean text give, entered at group place Quad.
std::int64_t DecodedLength(const std::uint8_t* In, std::int64_t Count, std::uint8_t Quad) {
  std::int64_t Bytes = 0;
  for (std::int64_t I = 0; I < Count; ++I) {
    if (DecodeTable[In[I]] == 0) continue;
    if (Quad != 0) ++Bytes;
    Quad = (Quad + 1) & 3;
  }
  return Bytes;
}

enum class TDecodeEnd { EndOfText, WrongSymbolStop, WrongSymbolContinue };

// Decodes the source in pieces of whole batches and leaves the destination and both positions as
// batch by batch decoding would: under a stop, only the batches before the failing one written
// and the source after it; under continue, everything before the wrong symbol written and the
// source after the batch that follows the failing one.
// A source of unknown size (Progress.Total() -1) is decoded up to its end, and is not moved back
// after a wrong symbol: a pipe cannot be.
TDecodeEnd DecodeInPieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t Batch,
                          bool StopOnWrongSymbol, bool& DecodeStopped,
                          detail::TqvProgress& Progress) {
  const std::int64_t Total = Progress.Total();
  const std::int64_t Preferred = PieceOverride > 0 ? PieceOverride : DefaultDecodePiece;
  // No longer than the whole batches that cover the text: a short text takes little memory.
  std::int64_t Piece = Batch >= Preferred ? Batch : Preferred / Batch * Batch;
  if (Total >= 0) Piece = std::min(Piece, (Total + Batch - 1) / Batch * Batch);
  // A piece of one batch decodes in place: a failing batch then writes nothing, so its text is
  // not needed afterwards. Longer pieces keep their text to count what the earlier batches gave.
  const bool InPlace = Piece == Batch;
  detail::TqvBlock In(Piece);
  // In place, a piece must be written before the next read reuses its block: no second thread.
  detail::TqvPieceWriter Separate(
      Destination, InPlace ? 0 : Piece / 4 * 3 + 64,
      !InPlace && detail::OverlapPays(Total >= 0 ? (Total + Piece - 1) / Piece : -1));
  const auto Emit = [&](std::int64_t Count) {
    if (InPlace)
      Destination.WriteBuffer(In.Data(), Count);
    else
      Separate.Write(Count);
  };
  const bool Seekable = Total >= 0;
  std::uint8_t QuadPosition = 0, PartialByte = 0;
  std::int64_t Done = 0; // text bytes read
  DecodeStopped = false;
  for (;;) {
    // Whole pieces, so that every piece begins at a batch border whatever the stream delivers
    // per call; a short piece is the last.
    const std::int64_t Got = detail::ReadFull(Source, In.Data(), Piece);
    if (Got <= 0) {
      Separate.Finish();
      Progress.Finish(Done);
      return TDecodeEnd::EndOfText;
    }
    std::uint8_t* const Out = InPlace ? In.Data() : Separate.Data();
    const std::uint8_t QuadAtStart = QuadPosition;
    const TDecodeResult R = DecodeText(In.Data(), Got, Out, QuadPosition, PartialByte);
    if (!R.WrongSymbol) {
      Emit(R.Written);
      Done += Got;
      if (Got < Piece) {
        Separate.Finish();
        Progress.Finish(Done);
        return TDecodeEnd::EndOfText;
      }
      Progress.Coded(Done);
      continue;
    }
    const std::int64_t PieceStart = Done;
    const std::int64_t BatchStart = R.Read / Batch * Batch;
    if (StopOnWrongSymbol) {
      Emit(DecodedLength(In.Data(), BatchStart, QuadAtStart));
      Separate.Finish();
      if (Seekable)
        Source.SetPosition(Source.Position() - Got + std::min(BatchStart + Batch, Got));
      return TDecodeEnd::WrongSymbolStop;
    }
    Emit(R.Written);
    Separate.Finish();
    DecodeStopped = true;
    const std::int64_t NextEnd = BatchStart + 2 * Batch;
    if (NextEnd <= Got) {
      if (Seekable) Source.SetPosition(Source.Position() - Got + NextEnd);
    } else if (Got == Piece) { // the failing batch ends this piece; the next one is still unread
      Source.Read(In.Data(), Batch);
    }
    Progress.Finish(PieceStart + Got);
    return TDecodeEnd::WrongSymbolContinue;
  }
}

} // namespace

namespace detail {

std::vector<TqvBase64Kernel> Base64Kernels() {
  std::vector<TqvBase64Kernel> Result;
  for (const auto Kind :
       {TqvBase64Kernel::Plain, TqvBase64Kernel::Avx2, TqvBase64Kernel::Avx512Vbmi})
    if (CanRun(Kind)) Result.push_back(Kind);
  return Result;
}

bool UseBase64Kernel(TqvBase64Kernel Kernel) {
  if (!CanRun(Kernel)) return false;
  Kernels() = KernelsOf(Kernel);
  return true;
}

TqvBase64Kernel Base64KernelInUse() {
  return Kernels().Kind;
}

void ForcePlainBase64(bool Plain) {
  UseBase64Kernel(Plain ? TqvBase64Kernel::Plain : BestKernel());
}

void SetBase64PieceLength(std::int64_t Bytes) {
  PieceOverride = std::max<std::int64_t>(Bytes, 0);
}

} // namespace detail

void TqvEncoder::EncodeBase64(rtl::TStream& Source, rtl::TStream& Destination) {
  if (detail::TqvEncoderAccess::PiecePath(*this, Source, Destination)) {
    const std::int64_t N = detail::PieceTotal(Source);
    detail::TqvProgress Progress(*this, N);
    if (N == 0) return;
    EncodeInPieces(Source, Destination, N,
                   SuppressCrlf ? 0 : 3 * std::int64_t{GetEffectiveCharsPerLine()} / 4, Progress);
    return;
  }
  const std::int64_t Size = Source.Size();
  const std::int64_t N = Size - Source.Position();
  ReportProgress(0, N);
  if (N <= 0) return;
  const std::int64_t LineBytes =
      SuppressCrlf ? 0 : 3 * std::int64_t{GetEffectiveCharsPerLine()} / 4;
  const std::int64_t T = TextLength(N, LineBytes);

  detail::TqvBlock Input(N);
  detail::TqvBlock Text(T);
  // A stream may deliver the remainder in several pieces; one that delivers less than its size
  // promised raises rather than leave part of the buffer unread.
  Source.ReadBuffer(Input.Data(), N);

  // The progress checkpoints fall before the characters with indexes 1, S + 1, 2S + 1, ... of
  // the text and report values from just above N / 2 towards N. The text is coded in slices so
  // that each report follows the work that it stands for.
  const std::int64_t Spacing = T / 1000, Half = N / 2;
  std::int64_t Checkpoint = 0;
  auto ReportCheckpointsBefore = [&](std::int64_t CharsDone) {
    if (Spacing <= 0) return;
    for (; Checkpoint * Spacing + 1 < CharsDone; ++Checkpoint) {
      const std::int64_t Value = Half + 1 + Checkpoint * Half / 1000;
      if (Value < N) ReportProgress(Value, N);
    }
  };
  const std::int64_t Slice = std::max<std::int64_t>(3 * 16384, (N / 1000 + 2) / 3 * 3);
  std::int64_t Done = 0, CharsDone = 0;
  while (Done < N) {
    const std::int64_t Count = std::min(Slice, N - Done);
    CharsDone += EncodePiece(Input.Data() + Done, Count, Done, LineBytes, Text.Data() + CharsDone);
    Done += Count;
    ReportCheckpointsBefore(CharsDone);
  }

  Destination.WriteBuffer(Text.Data(), T);
  ReportProgress(N, N);
}

void TqvEncoder::DecodeBase64(rtl::TStream& Source, rtl::TStream& Destination) {
  const bool StopOnWrongSymbol = ErrorProcessing != epContinue;
  if (detail::TqvEncoderAccess::PiecePath(*this, Source, Destination)) {
    const std::int64_t Total = detail::PieceTotal(Source);
    detail::TqvProgress Progress(*this, Total);
    const std::int64_t Batch =
        Total >= 0 ? std::min<std::int64_t>(BatchSize, Total) : std::int64_t{BatchSize};
    DecodeStopped = false;
    if (Batch <= 0) { // a batch of no bytes reads nothing
      Progress.Finish(0);
      return;
    }
    if (DecodeInPieces(Source, Destination, Batch, StopOnWrongSymbol, DecodeStopped, Progress) ==
        TDecodeEnd::WrongSymbolStop)
      RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::WrongSymbols), -2);
    return;
  }
  const std::int64_t Size = Source.Size();
  const std::int64_t Total = Size - Source.Position();
  const std::int64_t Start = Source.Position();
  ReportProgress(0, Total);
  const std::int64_t Batch = std::min<std::int64_t>(BatchSize, Total);

  detail::TqvBlock Buffer(Batch);
  std::uint8_t QuadPosition = 0, PartialByte = 0;
  DecodeStopped = false;
  // A batch length of 0 or less reads nothing.
  auto ReadBatch = [&]() -> std::int64_t {
    if (Batch <= 0) return 0;
    return std::min(Source.Read(Buffer.Data(), Batch), Batch);
  };
  std::int64_t Count = ReadBatch();
  while (Count > 0 && !DecodeStopped) {
    const std::int32_t Decoded = DecodeBase64Chunk(Buffer.Data(), static_cast<std::int32_t>(Count),
                                                   QuadPosition, PartialByte);
    if (Decoded > 0) Destination.WriteBuffer(Buffer.Data(), Decoded);
    Count = ReadBatch();
    const std::int64_t Position = Source.Position();
    ReportProgress(Position - Start, Total);
  }
}

std::int32_t TqvEncoder::DecodeBase64Chunk(std::uint8_t* Buffer, std::int32_t Count,
                                           std::uint8_t& QuadPosition, std::uint8_t& PartialByte) {
  const TDecodeResult R = DecodeText(Buffer, Count, Buffer, QuadPosition, PartialByte);
  if (R.WrongSymbol) {
    // Any policy but epContinue stops with the error: a value outside the enumeration must not
    // lose the rest of the text without a word.
    if (ErrorProcessing != epContinue)
      RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::WrongSymbols), -2);
    DecodeStopped = true;
  }
  return static_cast<std::int32_t>(R.Written);
}
