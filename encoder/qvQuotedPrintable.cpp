// Quoted-printable: the encoder and the decoder.
//
// What the text looks like is decided in one place per direction: EncodeQPText for the encoder,
// DecodeQPBreaks and DecodeQPBytes for the decoder. They are written against a small policy that
// moves the bytes, of which there are two:
// - the streams as a caller sees them (streams of its own, a progress handler, a derived
//   encoder): one-byte reads and writes, one Write per escape, the decoder's whole-line reads,
//   a progress report after every line;
// - buffers of a few MiB, where no caller can see how the bytes travel: the source is read and
//   the text written in large pieces, and a kernel (plain, or vector where the processor has
//   it) codes whole lines at a time. What a kernel does not take (a lone CR for the encoder; a
//   malformed escape or a lone CR or LF for the decoder) goes to the same routines as above.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VEXOR_QP_AVX512 1
#endif

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/qvThreads.h"
#include "encoder/qvQuotedPrintableInternal.h"

namespace {

constexpr std::uint8_t CR = 13;
constexpr std::uint8_t LF = 10;

// --- Tables ---

// The text of one source byte: itself for space and printable ASCII other than "=", otherwise
// "=" and two upper-case hexadecimal digits. Four bytes, so that a run copies each element with
// one fixed-size move (the fourth byte, the length, is overwritten by what follows).
struct TElement {
  char Text[3];
  std::uint8_t Length;
};
static_assert(sizeof(TElement) == 4);

struct TElementTable {
  TElement Of[256];
};
constexpr TElementTable MakeElementTable() {
  constexpr char Hex[] = "0123456789ABCDEF";
  TElementTable T{};
  for (int B = 0; B < 256; ++B) {
    if (B >= 32 && B <= 126 && B != '=')
      T.Of[B] = {{static_cast<char>(B), 0, 0}, 1};
    else
      T.Of[B] = {{'=', Hex[B >> 4], Hex[B & 15]}, 3};
  }
  return T;
}
constexpr TElementTable Elements = MakeElementTable();

bool IsLiteral(std::uint8_t B) noexcept {
  return Elements.Of[B].Length == 1;
}

// Value of a hexadecimal digit of either case; NoDigit for every other byte.
constexpr std::uint8_t NoDigit = 0xFF;
struct TDigitTable {
  std::uint8_t Value[256];
};
constexpr TDigitTable MakeDigitTable() {
  TDigitTable T{};
  for (int B = 0; B < 256; ++B) T.Value[B] = NoDigit;
  for (int D = 0; D < 10; ++D) T.Value['0' + D] = static_cast<std::uint8_t>(D);
  for (int D = 0; D < 6; ++D) {
    T.Value['A' + D] = static_cast<std::uint8_t>(10 + D);
    T.Value['a' + D] = static_cast<std::uint8_t>(10 + D);
  }
  return T;
}
constexpr TDigitTable Digits = MakeDigitTable();

// Sizes of the buffered way: the source is read in pieces and the text gathered in a buffer of
// four pieces, past whose end vector stores may reach by up to Slack bytes. An encoder kernel is
// given no more source than the room left holds the text of.
constexpr std::int64_t DefaultPiece = 1 << 20;
constexpr std::int64_t Slack = 64;
std::atomic<std::int64_t> PieceLength{DefaultPiece};

// A small source needs no piece of full length. Total is -1 for a source of unknown size.
std::int64_t PieceFor(std::int64_t Total) {
  if (Total < 0) return PieceLength;
  return std::min<std::int64_t>(PieceLength, std::max<std::int64_t>(Total, 64));
}

// Writes the whole text with one Write; a short write raises EWriteError.
void WriteString(rtl::TStream& Stream, std::string_view Text) {
  Stream.WriteBuffer(Text.data(), static_cast<std::int64_t>(Text.size()));
}

// The column up to which a line still admits an element (which adds at most 3). Lengths below 6
// would admit nothing and end every line at once, for ever; they count as 6, one element a line.
std::int64_t ColumnLimit(std::int32_t LineLength) noexcept {
  return (LineLength < 6 ? 6 : static_cast<std::int64_t>(LineLength)) - 6;
}

// The destination through a buffer: bytes are gathered and written in pieces of megabytes, by
// a second thread when Overlap asks for one (see TqvPieceWriter).
class TBufferedOut {
public:
  TBufferedOut(rtl::TStream& Destination, std::int64_t Capacity, bool Overlap)
      : FWriter(Destination, Capacity + Slack, Overlap), FCapacity(Capacity),
        FCur(FWriter.Data()), FEnd(FCur + Capacity) {}

  // Room for the next Count bytes (at most the capacity), and Slack bytes beyond them, written
  // through the returned pointer and handed back with Took.
  std::uint8_t* Reserve(std::int64_t Count) {
    if (FEnd - FCur < Count) Flush();
    return FCur;
  }
  void Took(std::uint8_t* Cur) { FCur = Cur; }
  std::int64_t Room() const { return FEnd - FCur; }

  void Byte(std::uint8_t B) {
    if (FCur == FEnd) Flush();
    *FCur++ = B;
  }
  void Flush() {
    FWriter.Write(FCur - FWriter.Data());
    FCur = FWriter.Data();
    FEnd = FCur + FCapacity;
  }
  // Writes what is gathered and waits until everything is written.
  void Finish() {
    Flush();
    FWriter.Finish();
  }

private:
  detail::TqvPieceWriter FWriter;
  std::int64_t FCapacity;
  std::uint8_t* FCur;
  std::uint8_t* FEnd;
};

// Whether the text of Total source bytes (-1: unknown) is worth a second thread, in buffers of
// Capacity.
bool OverlapPays(std::int64_t Total, std::int64_t Capacity) {
  return detail::OverlapPays(Total < 0 ? -1 : (Total + Capacity - 1) / Capacity);
}

// --- Kernels ---
//
// The inner loops of the buffered way, plain and vector. They take only what is clean and
// simple and stop at anything else, which the escape rules and the line layout then take a byte
// at a time, exactly as on the streams.

// Encoder kernels: code the source bytes from P on and lay out their lines as EncodeQPText does:
// a byte is admitted while Column is at most Limit, a full line ends with a soft line break
// before the next byte, a CR LF pair is a hard line break. They stop before End and before a CR
// that no LF follows within [P, End). They write at most six bytes per source byte (an escape
// and a soft line break) and three more through Out, and may store up to Slack bytes beyond.
using TEncodeRun = const std::uint8_t* (*)(const std::uint8_t* P, const std::uint8_t* End,
                                           std::uint8_t*& Out, std::int64_t& Column,
                                           std::int64_t Limit);

const std::uint8_t* EncodeRunPlain(const std::uint8_t* P, const std::uint8_t* End,
                                   std::uint8_t*& Out, std::int64_t& Column, std::int64_t Limit) {
  std::uint8_t* W = Out;
  std::int64_t C = Column;
  while (P != End) {
    if (C > Limit) {
      std::memcpy(W, "=\r\n", 3);
      W += 3;
      C = 0;
    }
    if (*P == CR) {
      if (End - P < 2 || P[1] != LF) break;
      W[0] = CR;
      W[1] = LF;
      W += 2;
      P += 2;
      C = 0;
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

// Decoder kernels: they decode clean text from P on (bytes that stand for themselves, whole
// escapes, CR LF pairs, written as they are, and soft line breaks "=" CR LF, dropped) and stop at
// End or at the first byte that begins anything else (a CR or an LF on its own, an "=" that
// begins neither an escape nor a soft line break), for the escape rules to take. They write at
// most one byte per source byte through Out, and may store up to Slack bytes beyond.
using TDecodeRun = const std::uint8_t* (*)(const std::uint8_t* P, const std::uint8_t* End,
                                           std::uint8_t*& Out);

// Marks the bytes of Word equal to the byte that Pattern repeats: the lowest mark is exact (a
// borrow may mark bytes above it), which is all that the search for the first one needs.
constexpr std::uint64_t MarkBytes(std::uint64_t Word, std::uint64_t Pattern) noexcept {
  const std::uint64_t X = Word ^ Pattern;
  return (X - 0x0101010101010101ULL) & ~X & 0x8080808080808080ULL;
}

// Eight bytes at a time: a word without "=", CR or LF is copied whole; otherwise the bytes
// before the first of them are, and that element is taken alone.
const std::uint8_t* DecodeRunPlain(const std::uint8_t* P, const std::uint8_t* End,
                                   std::uint8_t*& Out) {
  constexpr std::uint64_t Ones = 0x0101010101010101ULL;
  std::uint8_t* W = Out;
  while (P != End) {
    if (std::endian::native == std::endian::little && End - P >= 8) {
      std::uint64_t Word;
      std::memcpy(&Word, P, 8);
      std::memcpy(W, &Word, 8); // the bytes past the first mark are written over or lie in slack
      const std::uint64_t Marks =
          MarkBytes(Word, '=' * Ones) | MarkBytes(Word, CR * Ones) | MarkBytes(Word, LF * Ones);
      if (Marks == 0) {
        P += 8;
        W += 8;
        continue;
      }
      const int Plain = std::countr_zero(Marks) / 8; // the first byte is the lowest
      P += Plain;
      W += Plain;
    } else if (*P != '=' && *P != CR && *P != LF) {
      *W++ = *P++;
      continue;
    }
    const std::uint8_t B = *P;
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

#ifdef VEXOR_QP_AVX512
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

// 21 bytes a step, whose text (at most 63 bytes) fits one register. In a row of 3-bit groups,
// one per source byte, a literal fills the first bit and an escape all three; squeezing out the
// empty bits (pext) gives the places of the elements in the text, where the first characters
// and the two digits of each escape are then spread (expand).
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))
const std::uint8_t*
EncodeRunAvx512(const std::uint8_t* P, const std::uint8_t* End, std::uint8_t*& Out,
                std::int64_t& Column, std::int64_t Limit) {
  constexpr int Step = 21;
  constexpr std::uint64_t Groups = 0x1249249249249249ULL; // bit 0 of 21 groups of 3
  const __m512i Hex = _mm512_load_si512(HexLanes.Digit);
  const __m512i Nibble = _mm512_set1_epi8(0x0F);
  std::uint8_t* W = Out;
  std::int64_t C = Column;
  while (P != End) {
    if (C > Limit) {
      std::memcpy(W, "=\r\n", 3);
      W += 3;
      C = 0;
    }
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
    if (*P == CR && C <= Limit) {
      if (End - P < 2 || P[1] != LF) break;
      W[0] = CR;
      W[1] = LF;
      W += 2;
      P += 2;
      C = 0;
    }
  }
  Out = W;
  Column = C;
  return P;
}

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

// 64 bytes a step. Every lane is looked at as the start of an element, with the two bytes after
// it (loaded shifted by one and two); lanes inside an element that starts earlier are no starts.
// The first start that is no clean element ends the run; the kept lanes are compressed together.
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))
const std::uint8_t*
DecodeRunAvx512(const std::uint8_t* P, const std::uint8_t* End, std::uint8_t*& Out) {
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
#endif

// The best kernel that the processor runs, chosen once.

bool CpuRunsAvx512() {
#ifdef VEXOR_QP_AVX512
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
#else
  return false;
#endif
}

std::atomic<detail::TqvQPKernel>& Kernel() {
  static std::atomic<detail::TqvQPKernel> InUse{CpuRunsAvx512() ? detail::TqvQPKernel::Avx512Vbmi2
                                                                : detail::TqvQPKernel::Plain};
  return InUse;
}

TEncodeRun EncodeRunInUse() {
#ifdef VEXOR_QP_AVX512
  if (Kernel().load(std::memory_order_relaxed) == detail::TqvQPKernel::Avx512Vbmi2)
    return EncodeRunAvx512;
#endif
  return EncodeRunPlain;
}

TDecodeRun DecodeRunInUse() {
#ifdef VEXOR_QP_AVX512
  if (Kernel().load(std::memory_order_relaxed) == detail::TqvQPKernel::Avx512Vbmi2)
    return DecodeRunAvx512;
#endif
  return DecodeRunPlain;
}

// --- Encoder ---

// Codes the whole source into lines of text. TIo supplies the bytes and takes the text:
//   bool Next(std::uint8_t&)    the next source byte; false at the end
//   void PutBack()              gives the byte that Next delivered last back to the source
//   bool LineFull(int64 Column) asked before every source byte
//   void Byte(uint8), Escape(uint8), LineDone()
// and, where Buffered is true, Run(Column), which codes the source bytes already at hand, line
// after line, as far as a kernel takes them.
template <class TIo> void EncodeQPText(TIo& Io) {
  for (bool More = true; More;) {
    std::int64_t Column = 0;
    bool SoftBreak = true;
    for (;;) {
      // The bytes already at hand, as far as a kernel takes them (where no one sees the calls).
      if constexpr (TIo::Buffered) Io.Run(Column);
      if (Io.LineFull(Column)) break;
      std::uint8_t B;
      if (!Io.Next(B)) {
        SoftBreak = More = false;
        break;
      }
      if (B == CR) {
        // Only a CR LF pair is a line break of the source; a CR on its own is data.
        std::uint8_t After;
        if (Io.Next(After)) {
          if (After == LF) {
            Io.Byte(CR);
            Io.Byte(LF);
            SoftBreak = false;
            break;
          }
          Io.PutBack();
        }
        Io.Escape(CR);
        Column += 3;
      } else if (IsLiteral(B)) {
        Io.Byte(B);
        Column += 1;
      } else {
        Io.Escape(B);
        Column += 3;
      }
    }
    // Written before it is known whether more source follows: a source that ends exactly at a
    // full line ends its text with a soft line break.
    if (SoftBreak) {
      Io.Byte('=');
      Io.Byte(CR);
      Io.Byte(LF);
    }
    Io.LineDone();
  }
}

// The streams as the caller sees them: one call per byte, element and line-break byte, the
// settings read before every source byte (a progress handler may change them), a report after
// every line.
class TQPEncodeStreams {
public:
  static constexpr bool Buffered = false;

  TQPEncodeStreams(TqvEncoder& Encoder, rtl::TStream& Source, rtl::TStream& Destination,
                   std::int64_t Start, std::int64_t Total)
      : FEncoder(Encoder), FSource(Source), FDestination(Destination), FStart(Start),
        FTotal(Total) {}

  bool Next(std::uint8_t& B) { return FSource.ReadByte(B); }
  void PutBack() { FSource.Seek(-1, rtl::soCurrent); }
  bool LineFull(std::int64_t Column) const {
    return !FEncoder.SuppressCrlf && Column > ColumnLimit(FEncoder.GetEffectiveCharsPerLine());
  }
  void Byte(std::uint8_t B) { FDestination.WriteByte(B); }
  void Escape(std::uint8_t B) { WriteString(FDestination, {Elements.Of[B].Text, 3}); }
  void LineDone() {
    detail::TqvEncoderAccess::ReportProgress(FEncoder, FSource.Position() - FStart, FTotal);
  }

private:
  TqvEncoder& FEncoder;
  rtl::TStream& FSource;
  rtl::TStream& FDestination;
  std::int64_t FStart, FTotal;
};

// Pieces of the source in, the text out through a buffer. Nothing can change the settings
// during the call, so they are read once.
class TQPEncodeBuffers {
public:
  static constexpr bool Buffered = true;

  TQPEncodeBuffers(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t Limit,
                   detail::TqvProgress& Progress)
      : FSource(Source), FPieceLength(PieceFor(Progress.Total())), FPiece(FPieceLength),
        FOut(Destination, 4 * FPieceLength, OverlapPays(Progress.Total(), 4 * FPieceLength)),
        FLimit(Limit), FProgress(Progress) {}

  bool Next(std::uint8_t& B) {
    if (FCur == FEnd && !Refill()) return false;
    B = *FCur++;
    return true;
  }
  void PutBack() { --FCur; } // always right after Next, so inside the current piece
  bool LineFull(std::int64_t Column) const { return Column > FLimit; }
  void Byte(std::uint8_t B) { FOut.Byte(B); }
  void Escape(std::uint8_t B) {
    std::uint8_t* Out = FOut.Reserve(3);
    std::memcpy(Out, Elements.Of[B].Text, 3);
    FOut.Took(Out + 3);
  }
  void LineDone() {}

  // Codes the bytes at hand, as far as the text buffer holds their text.
  void Run(std::int64_t& Column) {
    if (FOut.Room() < FPieceLength) FOut.Flush();
    const std::uint8_t* End = FCur + std::min(FEnd - FCur, (FOut.Room() - 3) / 6);
    std::uint8_t* Out = FOut.Reserve(0);
    FCur = FKernel(FCur, End, Out, Column, FLimit);
    FOut.Took(Out);
  }
  void Finish() {
    FOut.Finish();
    FProgress.Finish(FRead);
  }

private:
  // A piece is used up: it is reported, its text handed over first where anybody sees the
  // report. Next may be looking past a CR, whose text is not written yet.
  bool Refill() {
    if (FRead > 0) {
      if (FProgress.Observed()) FOut.Flush();
      FProgress.Coded(FRead - (FCur[-1] == CR ? 1 : 0));
    }
    const std::int64_t Count = std::max<std::int64_t>(FSource.Read(FPiece.Data(), FPieceLength), 0);
    FCur = FPiece.Data();
    FEnd = FCur + Count;
    FRead += Count;
    return Count > 0;
  }

  rtl::TStream& FSource;
  std::int64_t FPieceLength;
  detail::TqvBlock FPiece;
  const std::uint8_t* FCur = nullptr;
  const std::uint8_t* FEnd = nullptr;
  TBufferedOut FOut;
  std::int64_t FLimit;
  detail::TqvProgress& FProgress;
  std::int64_t FRead = 0; // source bytes read
  TEncodeRun FKernel = EncodeRunInUse();
};

// --- Decoder ---

// How the decoder splits its input into lines, on both of its paths: every CR is a line break,
// and so is every LF that does not directly follow a CR (a CR LF pair is one break). B is a CR
// or an LF; AfterCR says whether the byte before it was a CR.
constexpr bool IsLineBreak(std::uint8_t B, bool AfterCR) noexcept {
  return B == CR || !AfterCR;
}

// Where the decoder stands in an escape; carried from one line to the next.
struct TQPEscape {
  enum : std::uint8_t { Plain, AfterEquals, AfterDigit } Stage = Plain;
  std::uint8_t High = 0; // the first digit's value times 16, in AfterDigit
};

// Decodes bytes of a line (no CR or LF among them) by the escape rules. Malformed escapes are
// passed through: the "=" and the byte that broke it are written, a first digit before that byte
// is dropped. TOut takes Reserve(Count), then at most Count bytes through Byte(uint8).
template <class TOut>
void DecodeQPBytes(TQPEscape& Escape, const std::uint8_t* P, const std::uint8_t* End, TOut& Out) {
  Out.Reserve(End - P + 1);
  for (; P != End; ++P) {
    const std::uint8_t B = *P;
    switch (Escape.Stage) {
    case TQPEscape::Plain:
      if (B == '=')
        Escape.Stage = TQPEscape::AfterEquals;
      else
        Out.Byte(B);
      break;
    case TQPEscape::AfterEquals:
      if (Digits.Value[B] != NoDigit) {
        Escape.High = static_cast<std::uint8_t>(Digits.Value[B] << 4);
        Escape.Stage = TQPEscape::AfterDigit;
        break;
      }
      Out.Byte('=');
      Out.Byte(B);
      Escape.Stage = TQPEscape::Plain;
      break;
    case TQPEscape::AfterDigit:
      if (Digits.Value[B] != NoDigit) {
        Out.Byte(static_cast<std::uint8_t>(Escape.High | Digits.Value[B]));
      } else {
        Out.Byte('=');
        Out.Byte(B);
      }
      Escape.Stage = TQPEscape::Plain;
      break;
    }
  }
}

// Writes the line breaks ahead of a line. A line that ended inside an escape (a soft line break
// "=", or "=" and one digit) takes the next line break with it.
template <class TOut> void DecodeQPBreaks(TQPEscape& Escape, std::int64_t Breaks, TOut& Out) {
  if (Escape.Stage != TQPEscape::Plain) {
    --Breaks;
    Escape.Stage = TQPEscape::Plain;
  }
  for (; Breaks > 0; --Breaks) {
    Out.Reserve(2);
    Out.Byte(CR);
    Out.Byte(LF);
  }
}

class TQPDecodeStream {
public:
  explicit TQPDecodeStream(rtl::TStream& Destination) : FDestination(Destination) {}
  void Reserve(std::int64_t) {}
  void Byte(std::uint8_t B) { FDestination.WriteByte(B); }

private:
  rtl::TStream& FDestination;
};

// The buffer's writes, without a check apiece: the decoder reserves first.
class TQPDecodeBuffer {
public:
  TQPDecodeBuffer(rtl::TStream& Destination, std::int64_t Capacity, bool Overlap)
      : FOut(Destination, Capacity, Overlap), FCur(FOut.Reserve(0)) {}
  void Reserve(std::int64_t Count) {
    FOut.Took(FCur);
    FCur = FOut.Reserve(Count);
  }
  void Byte(std::uint8_t B) { *FCur++ = B; }
  const std::uint8_t* Run(TDecodeRun Kernel, const std::uint8_t* P, const std::uint8_t* End) {
    Reserve(End - P);
    return Kernel(P, End, FCur);
  }
  // Hands over what is gathered.
  void Flush() {
    FOut.Took(FCur);
    FOut.Flush();
    FCur = FOut.Reserve(0);
  }
  void Finish() {
    FOut.Took(FCur);
    FOut.Finish();
  }

private:
  TBufferedOut FOut;
  std::uint8_t* FCur;
};

// The whole source in pieces. Clean text goes through the kernel; whatever stops it is taken a
// byte at a time, split into lines as ReadLine splits them (every CR is a line break, and every
// LF that does not directly follow a CR) and decoded by the escape rules, until the text is clean
// again: outside an escape, with no line break waiting to be written.
// Returns the source bytes read.
std::int64_t DecodeQPBuffered(rtl::TStream& Source, rtl::TStream& Destination,
                              detail::TqvProgress& Progress) {
  const std::int64_t Length = PieceFor(Progress.Total());
  const TDecodeRun Run = DecodeRunInUse();
  detail::TqvBlock Piece(Length);
  TQPDecodeBuffer Out(Destination, 4 * Length, OverlapPays(Progress.Total(), 4 * Length));
  TQPEscape Escape;
  std::int64_t Breaks = 0; // line breaks met since the last line byte
  bool AfterCR = false, InLine = false;
  std::int64_t Done = 0;
  for (;;) {
    if (Done > 0) {
      // The text of the pieces so far is handed over before a report that anybody sees.
      if (Progress.Observed()) Out.Flush();
      Progress.Coded(Done);
    }
    const std::int64_t Count = Source.Read(Piece.Data(), Length);
    if (Count <= 0) break;
    Done += Count;
    const std::uint8_t* P = Piece.Data();
    const std::uint8_t* const End = P + Count;
    while (P != End) {
      if (Escape.Stage == TQPEscape::Plain && Breaks == 0) {
        P = Out.Run(Run, P, End);
        if (P == End) break;
      }
      const std::uint8_t* B = P++;
      if (*B == CR || *B == LF) {
        if (IsLineBreak(*B, AfterCR)) ++Breaks;
        AfterCR = *B == CR;
        InLine = false;
        continue;
      }
      if (!InLine) {
        DecodeQPBreaks(Escape, Breaks, Out);
        Breaks = 0;
        AfterCR = false;
        InLine = true;
      }
      DecodeQPBytes(Escape, B, P, Out);
    }
  }
  // Line breaks at the end of the source stand before an empty last line.
  if (!InLine) DecodeQPBreaks(Escape, Breaks, Out);
  Out.Finish();
  return Done;
}

} // namespace

void TqvEncoder::EncodeQP(rtl::TStream& Source, rtl::TStream& Destination) {
  if (detail::TqvEncoderAccess::PiecePath(*this, Source, Destination)) {
    detail::TqvProgress Progress(*this, detail::PieceTotal(Source));
    TQPEncodeBuffers Io(Source, Destination,
                        SuppressCrlf ? INT64_MAX : ColumnLimit(GetEffectiveCharsPerLine()),
                        Progress);
    EncodeQPText(Io);
    Io.Finish();
    return;
  }
  const std::int64_t Size = Source.Size();
  const std::int64_t Total = Size - Source.Position();
  const std::int64_t Start = Source.Position();
  ReportProgress(0, Total);
  TQPEncodeStreams Io(*this, Source, Destination, Start, Total);
  EncodeQPText(Io);
}

void TqvEncoder::DecodeQP(rtl::TStream& Source, rtl::TStream& Destination) {
  if (detail::TqvEncoderAccess::PiecePath(*this, Source, Destination)) {
    detail::TqvProgress Progress(*this, detail::PieceTotal(Source));
    Progress.Finish(DecodeQPBuffered(Source, Destination, Progress));
    return;
  }
  const std::int64_t Size = Source.Size();
  const std::int64_t Total = Size - Source.Position();
  const std::int64_t Start = Source.Position();
  ReportProgress(0, Total);
  TQPEscape Escape;
  TQPDecodeStream Out(Destination);
  bool End = false;
  std::int32_t Breaks = 0;
  std::string Line;
  do {
    ReadLine(Source, End, Breaks, Line);
    const auto* P = reinterpret_cast<const std::uint8_t*>(Line.data());
    DecodeQPBreaks(Escape, Breaks, Out);
    DecodeQPBytes(Escape, P, P + Line.size(), Out);
    ReportProgress(Source.Position() - Start, Total);
  } while (!End);
}

void TqvEncoder::ReadLine(rtl::TStream& Source, bool& EndFlag, std::int32_t& BreakCount,
                          std::string& Line) {
  Line.clear();
  EndFlag = false;
  BreakCount = 0;
  std::int64_t Count = 0;    // bytes of the line found so far
  std::int64_t GiveBack = 0; // bytes to seek back over before the line is read whole
  bool AfterCR = false;
  for (;;) {
    std::uint8_t B;
    if (!Source.ReadByte(B)) {
      EndFlag = true;
      GiveBack = Count;
      break;
    }
    if (B == CR || B == LF) {
      if (Count > 0) {
        // The break that ends the line is given back too: the next call counts it.
        GiveBack = Count + 1;
        break;
      }
      if (IsLineBreak(B, AfterCR)) {
        if (BreakCount == INT32_MAX) {
          // The count is full: this break is left for the next call, which returns the rest.
          Source.Seek(-1, rtl::soCurrent);
          return;
        }
        ++BreakCount;
      }
    } else {
      ++Count;
    }
    AfterCR = B == CR;
  }
  if (Count == 0) return;
  Source.Seek(-GiveBack, rtl::soCurrent);
  try {
    Line.resize(static_cast<std::size_t>(Count));
  } catch (const std::bad_alloc&) {
    throw rtl::EOutOfMemory(rtl::SOutOfMemory);
  }
  // A source that does not deliver the line again raises EReadError here rather than letting
  // the decoder code bytes that were never read.
  Source.ReadBuffer(Line.data(), Count);
}

namespace detail {

std::vector<TqvQPKernel> QPKernels() {
  std::vector<TqvQPKernel> Kernels{TqvQPKernel::Plain};
  if (CpuRunsAvx512()) Kernels.push_back(TqvQPKernel::Avx512Vbmi2);
  return Kernels;
}

bool UseQPKernel(TqvQPKernel Use) {
  const auto Runs = QPKernels();
  if (std::find(Runs.begin(), Runs.end(), Use) == Runs.end()) return false;
  Kernel() = Use;
  return true;
}

TqvQPKernel QPKernelInUse() {
  return Kernel();
}

void ForcePlainQP(bool Plain) {
  UseQPKernel(Plain ? TqvQPKernel::Plain : QPKernels().back());
}

void SetQPPieceLength(std::int64_t Bytes) {
  PieceLength = Bytes == 0 ? DefaultPiece : std::max<std::int64_t>(Bytes, 32);
}

} // namespace detail
