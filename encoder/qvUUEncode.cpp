// The UUencode codec pair. The encoder writes the body only: lines of a count character and
// 6-bit code characters, CR LF after each, and a terminating line of one grave accent. The
// decoder reads that text and classic UUencoded text (a "begin" line, LF or CR line ends, the
// space for zero), up to the first line whose count is zero.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VEXOR_UU_X86 1
#include <immintrin.h>
#else
#define VEXOR_UU_X86 0
#endif

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/qvThreads.h"
#include "encoder/qvUUEncodeInternal.h"

namespace {

// --- Tables and the character mapping ---

// A count character carries the counts 0 to 63 only, so no line may hold more bytes.
constexpr std::int64_t MaxLineBytes = 63;

// The character of a 6-bit value. Zero is written as the grave accent rather than the space,
// so that no line ends in a space that a mail system might strip.
constexpr std::array<std::uint8_t, 64> MakeCodeChars() {
  std::array<std::uint8_t, 64> T{};
  T[0] = 0x60;
  for (int V = 1; V < 64; ++V) T[V] = static_cast<std::uint8_t>(V + 32);
  return T;
}
constexpr std::array<std::uint8_t, 64> CodeChars = MakeCodeChars();

// The value of a byte read as a count or code: the low 6 bits of (byte - 32). The space and the
// grave accent both give 0, and every other byte gives some value too: none is invalid.
constexpr std::uint8_t ValueOf(std::uint8_t C) noexcept {
  return static_cast<std::uint8_t>((C - 32) & 63);
}

constexpr bool IsLineEnd(std::uint8_t C) noexcept {
  return C == '\r' || C == '\n';
}

// The number of code characters that carry n bytes: the smallest whole number not below 4n/3.
constexpr std::int64_t CodeCount(std::int64_t N) noexcept {
  return 4 * (N / 3) + (N % 3 == 0 ? 0 : N % 3 + 1);
}

// --- Encoding ---

// How the text of one call is cut into lines.
struct TLineLayout {
  std::int64_t BytesPerLine = 0; // source bytes of every line but the last
  bool Breaks = true;            // CR LF after each line, and the terminating line

  // The length of the text for Count source bytes: whole lines only, or with Final also the
  // last, shorter line and the end of the text.
  std::int64_t TextSize(std::int64_t Count, bool Final) const noexcept {
    const std::int64_t Eol = Breaks ? 2 : 0;
    const std::int64_t Full = Count / BytesPerLine;
    std::int64_t Size = Full * (1 + CodeCount(BytesPerLine) + Eol);
    if (Final) Size += 1 + CodeCount(Count % BytesPerLine) + Eol + (Breaks ? 3 : 0);
    return Size;
  }
};

// --- Inner loops: plain, and with AVX2 where the processor has it ---
//
// Each works on whole groups only (three bytes, four codes). The vector loops read up to Slack
// bytes past the groups that they are given and 4 bytes before them, and the decoding loop
// writes up to Slack bytes past its output, so every buffer that they work on carries that
// margin on both sides.
constexpr std::int64_t Slack = 32;

struct TKernels {
  detail::TqvUUKernel Kind;
  // Four code characters for each of Groups groups of three bytes; returns the end of the codes.
  std::uint8_t* (*EncodeGroups)(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out);
  // Three bytes for each of Groups groups of four code characters.
  void (*DecodeGroups)(const std::uint8_t* Codes, std::int64_t Groups, std::uint8_t* Out);
  // The index of the first CR or LF in In[From, Stop), or Stop.
  std::int64_t (*FindLineEnd)(const std::uint8_t* In, std::int64_t From, std::int64_t Stop);
};

std::uint8_t* EncodeGroupsPlain(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  for (; Groups > 0; --Groups, In += 3, Out += 4) {
    const unsigned B0 = In[0], B1 = In[1], B2 = In[2];
    Out[0] = CodeChars[B0 >> 2];
    Out[1] = CodeChars[((B0 << 4) | (B1 >> 4)) & 63];
    Out[2] = CodeChars[((B1 << 2) | (B2 >> 6)) & 63];
    Out[3] = CodeChars[B2 & 63];
  }
  return Out;
}

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

void DecodeGroupsPlain(const std::uint8_t* C, std::int64_t Groups, std::uint8_t* Out) {
  for (; Groups > 0; --Groups, C += 4, Out += 3) {
    const std::uint32_t W = Placed0[C[0]] | Placed1[C[1]] | Placed2[C[2]] | Placed3[C[3]];
    Out[0] = detail::LoByte(W >> 16);
    Out[1] = detail::LoByte(W >> 8);
    Out[2] = detail::LoByte(W);
  }
}

std::int64_t FindLineEndPlain(const std::uint8_t* In, std::int64_t From, std::int64_t Stop) {
  while (From < Stop && !IsLineEnd(In[From])) ++From;
  return From;
}

constexpr TKernels PlainKernels{detail::TqvUUKernel::Plain, EncodeGroupsPlain, DecodeGroupsPlain,
                                FindLineEndPlain};

#if VEXOR_UU_X86

// Eight groups: 24 bytes, read from In - 4 so that each 128-bit half holds its four groups, into
// 32 code characters. The bit order is that of every 3-to-4 code: b0's high bits first.
__attribute__((target("avx2"))) inline void EncodeBlockAvx2(const std::uint8_t* In,
                                                            std::uint8_t* Out) {
  __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(In - 4));
  // Per group, the bytes b1 b0 b2 b1, so that each code lies whole inside one 16-bit half.
  V = _mm256_shuffle_epi8(V,
                          _mm256_setr_epi8(5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14,
                                           1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
  const __m256i C02 = _mm256_mulhi_epu16(_mm256_and_si256(V, _mm256_set1_epi32(0x0FC0FC00)),
                                         _mm256_set1_epi32(0x04000040));
  const __m256i C13 = _mm256_mullo_epi16(_mm256_and_si256(V, _mm256_set1_epi32(0x003F03F0)),
                                         _mm256_set1_epi32(0x01000010));
  const __m256i Codes = _mm256_or_si256(C02, C13);
  // 0 becomes the grave accent, v the byte v + 32: ((v - 1) mod 64) + 33.
  const __m256i Chars = _mm256_add_epi8(
      _mm256_and_si256(_mm256_sub_epi8(Codes, _mm256_set1_epi8(1)), _mm256_set1_epi8(63)),
      _mm256_set1_epi8(33));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out), Chars);
}

__attribute__((target("avx2"))) std::uint8_t*
EncodeGroupsAvx2(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  if (Groups < 8) return EncodeGroupsPlain(In, Groups, Out);
  std::int64_t G = 0;
  for (; G + 8 <= Groups; G += 8) EncodeBlockAvx2(In + 3 * G, Out + 4 * G);
  // The rest as one more block ending at the last group: the groups that it repeats get the
  // same characters again.
  if (G < Groups) EncodeBlockAvx2(In + 3 * (Groups - 8), Out + 4 * (Groups - 8));
  return Out + 4 * Groups;
}

// Eight groups of four code characters into 24 bytes (and 8 bytes of no meaning after them).
__attribute__((target("avx2"))) void DecodeGroupsAvx2(const std::uint8_t* C, std::int64_t Groups,
                                                      std::uint8_t* Out) {
  const __m256i Shuffle = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                           2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  for (; Groups > 0; Groups -= 8, C += 32, Out += 24) {
    __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(C));
    V = _mm256_and_si256(_mm256_sub_epi8(V, _mm256_set1_epi8(32)), _mm256_set1_epi8(63));
    V = _mm256_maddubs_epi16(V, _mm256_set1_epi32(0x01400140));
    V = _mm256_madd_epi16(V, _mm256_set1_epi32(0x00011000));
    V = _mm256_shuffle_epi8(V, Shuffle);
    V = _mm256_permutevar8x32_epi32(V, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Out), V);
  }
}

__attribute__((target("avx2"))) std::int64_t FindLineEndAvx2(const std::uint8_t* In,
                                                             std::int64_t From, std::int64_t Stop) {
  const __m256i Cr = _mm256_set1_epi8('\r'), Lf = _mm256_set1_epi8('\n');
  for (; From < Stop; From += 32) {
    const __m256i V = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(In + From));
    const auto Mask = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(V, Cr), _mm256_cmpeq_epi8(V, Lf))));
    if (Mask != 0) return std::min(From + __builtin_ctz(Mask), Stop);
  }
  return Stop;
}

constexpr TKernels Avx2Kernels{detail::TqvUUKernel::Avx2, EncodeGroupsAvx2, DecodeGroupsAvx2,
                               FindLineEndAvx2};

#endif

bool CanRun(detail::TqvUUKernel Kind) {
#if VEXOR_UU_X86
  if (Kind == detail::TqvUUKernel::Avx2) return __builtin_cpu_supports("avx2");
#endif
  return Kind == detail::TqvUUKernel::Plain;
}

const TKernels& KernelsOf(detail::TqvUUKernel Kind) {
#if VEXOR_UU_X86
  if (Kind == detail::TqvUUKernel::Avx2) return Avx2Kernels;
#endif
  return PlainKernels;
}

const TKernels& BestKernels() {
  return CanRun(detail::TqvUUKernel::Avx2) ? KernelsOf(detail::TqvUUKernel::Avx2) : PlainKernels;
}

// A working buffer with the vector loops' margin on both sides. The margins are zeroed so that
// no loop looks at bytes that were never written.
class TPaddedBlock {
public:
  explicit TPaddedBlock(std::int64_t Count) : FBlock(Count + 2 * Slack) {
    std::memset(FBlock.Data(), 0, Slack);
    std::memset(FBlock.Data() + Slack + Count, 0, Slack);
  }
  std::uint8_t* Data() const noexcept { return FBlock.Data() + Slack; }

private:
  detail::TqvBlock FBlock;
};

// Chosen once, before main runs; the plain loops until then.
const TKernels* GKernels = &PlainKernels;
[[maybe_unused]] const bool GKernelsChosen = (GKernels = &BestKernels(), true);

std::uint8_t* EncodeGroups(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  return GKernels->EncodeGroups(In, Groups, Out);
}

// One line of N bytes (at most MaxLineBytes): its count character and its code characters. A
// last group of one or two bytes gives only the codes that carry its bits, no padding.
std::uint8_t* EncodeLine(const std::uint8_t* In, std::int64_t N, std::uint8_t* Out) {
  *Out++ = CodeChars[static_cast<std::size_t>(N)];
  Out = EncodeGroups(In, N / 3, Out);
  In += N / 3 * 3;
  if (N % 3 == 1) {
    Out[0] = CodeChars[In[0] >> 2];
    Out[1] = CodeChars[(In[0] << 4) & 63];
    Out += 2;
  } else if (N % 3 == 2) {
    Out[0] = CodeChars[In[0] >> 2];
    Out[1] = CodeChars[((In[0] << 4) | (In[1] >> 4)) & 63];
    Out[2] = CodeChars[(In[1] << 2) & 63];
    Out += 3;
  }
  return Out;
}

std::uint8_t* AppendLineBreak(std::uint8_t* Out) {
  Out[0] = '\r';
  Out[1] = '\n';
  return Out + 2;
}

// The text of Count source bytes as lines of the layout, Report(bytes consumed) after each
// line. Without Final, Count is a whole number of lines; with it, the last line (which may be
// empty: a lone count character of zero) and, with line breaks, the terminating line follow.
template <class TReport>
std::uint8_t* EncodeText(const std::uint8_t* In, std::int64_t Count, bool Final,
                         const TLineLayout& Layout, std::uint8_t* Out, TReport&& Report) {
  const std::int64_t B = Layout.BytesPerLine;
  std::int64_t Done = 0;
  for (; Count - Done >= B; Done += B) {
    Out = EncodeLine(In + Done, B, Out);
    if (Layout.Breaks) Out = AppendLineBreak(Out);
    Report(Done + B);
  }
  if (Final) {
    Out = EncodeLine(In + Done, Count - Done, Out);
    if (Layout.Breaks) {
      Out = AppendLineBreak(Out);
      *Out++ = CodeChars[0];
      Out = AppendLineBreak(Out);
    }
    Report(Count);
  }
  return Out;
}

// --- Decoding ---

// The bytes of a line that announces Count bytes, from the Stored codes that it holds. A line
// cut short yields only what its codes carry, three bytes for every four.
std::int64_t DecodeLineCodes(const std::uint8_t* Codes, std::int64_t Stored, std::int64_t Count,
                             std::uint8_t* Out) {
  const std::int64_t Yield = std::min(Count, Stored * 3 / 4);
  const std::int64_t Groups = Yield / 3;
  if (Groups > 0) GKernels->DecodeGroups(Codes, Groups, Out);
  const std::uint8_t* C = Codes + 4 * Groups;
  std::uint8_t* O = Out + 3 * Groups;
  if (Yield % 3 >= 1) O[0] = detail::LoByte((ValueOf(C[0]) << 2) | (ValueOf(C[1]) >> 4));
  if (Yield % 3 == 2) O[1] = detail::LoByte((ValueOf(C[1]) << 4) | (ValueOf(C[2]) >> 2));
  return Yield;
}

// The line reader of the decoder. It works on a window of the input and carries between windows
// only whether the "begin" test has been made and whether the rest of a line is being skipped;
// a line whose decoding needs bytes beyond the window is left for the next one.
class TLineDecoder {
public:
  struct TStep {
    std::int64_t Consumed = 0; // bytes of the window that are done with
    std::int64_t Written = 0;  // decoded bytes
    bool Stopped = false;      // a count of zero ended the text
  };

  // Decodes the lines in In[0, Len) into Out (which takes at least Len * 3 / 4 bytes). AtEnd:
  // In[Len - 1] is the last byte of the input, which ends the line that it stands on. Report(A,
  // B) names the window indexes A to B - 1 that the progress reports fall on: each code that a
  // line stores, and each line end.
  template <class TReport>
  TStep Decode(const std::uint8_t* In, std::int64_t Len, bool AtEnd, std::uint8_t* Out,
               TReport&& Report) {
    TStep Step;
    std::int64_t P = 0;
    while (P < Len) {
      if (FSkipping) {
        const std::int64_t End = GKernels->FindLineEnd(In, P, Len);
        if (End == Len) {
          if (AtEnd) Report(Len - 1, Len); // the last byte ends the line, whatever it is
          P = Len;
          break;
        }
        Report(End, End + 1);
        FSkipping = false;
        P = End + 1;
        continue;
      }
      const std::uint8_t C = In[P];
      if (IsLineEnd(C) || (AtEnd && P == Len - 1)) {
        // An empty line, or a last byte where a count character would stand: nothing to decode.
        Report(P, P + 1);
        ++P;
        continue;
      }
      if (!FBeginTested) {
        if (!AtEnd && Len - P < 5) break;
        // Tested once, at the first line that holds a character; a later "begin" line is data.
        FBeginTested = true;
        if (Len - P >= 5 && std::memcmp(In + P, "begin", 5) == 0) {
          FSkipping = true;
          ++P;
          continue;
        }
      }
      const std::int64_t Count = ValueOf(C);
      const std::int64_t Announced = Count * 4 / 3;
      if (Announced == 0) {
        Step.Stopped = true;
        break;
      }
      // The line stores at most one code beyond those it announces; the rest of it is skipped.
      const std::int64_t Limit = P + 2 + Announced;
      const std::int64_t Stop = std::min(Len, Limit);
      const std::int64_t I = GKernels->FindLineEnd(In, P + 1, Stop);
      std::int64_t Stored, Next;
      if (I < Stop) {
        // The line ends within the codes that it stores; its line end is reported with them.
        Stored = I - P - 1;
        Next = I + 1;
      } else if (Stop == Limit) {
        Stored = Announced + 1;
        Next = Limit;
        FSkipping = true;
      } else if (AtEnd) {
        // The last byte of the input ends the line and is stored as its last code.
        Stored = Len - P - 1;
        Next = Len;
      } else {
        break; // the line waits for the next window
      }
      Report(P + 1, Next);
      Step.Written += DecodeLineCodes(In + P + 1, Stored, Count, Out + Step.Written);
      P = Next;
    }
    Step.Consumed = P;
    return Step;
  }

private:
  bool FBeginTested = false;
  bool FSkipping = false;
};

// --- Pieces, for callers that cannot see the stream calls ---

constexpr std::int64_t DefaultPieceLength = 1 << 20;
std::int64_t GPieceLength = DefaultPieceLength;

void NoReport(std::int64_t) {}
void NoReports(std::int64_t, std::int64_t) {}

// The encoder's text in pieces of whole lines, so that memory stays small whatever N is (-1: a
// source of unknown size, coded up to its end).
void EncodeInPieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t N,
                    const TLineLayout& Layout, detail::TqvProgress& Progress) {
  const std::int64_t B = Layout.BytesPerLine;
  const std::int64_t Piece = std::max<std::int64_t>(1, GPieceLength / B) * B;
  detail::CodePieces(Source, Destination, N, Piece,
                     Layout.TextSize(N >= 0 ? std::min(N, Piece) : Piece, true), Slack,
                     [&](const std::uint8_t* In, std::int64_t Count, std::int64_t, bool Last,
                         std::uint8_t* Text) {
                       return EncodeText(In, Count, Last, Layout, Text, NoReport) - Text;
                     },
                     Progress);
}

// The decoder over pieces of the source. A line that a piece cuts before its decoding can be
// decided is held back and read again at the front of the next piece.
void DecodeInPieces(rtl::TStream& Source, rtl::TStream& Destination,
                    detail::TqvProgress& Progress) {
  const std::int64_t N = Progress.Total(); // -1: up to the end of the source
  const std::int64_t Start = Source.Position();
  // A line is decided by its count character and at most 85 codes, or by five bytes for the
  // "begin" test: never more than this is held back.
  constexpr std::int64_t HeldMax = 128;
  const std::int64_t Piece = std::max<std::int64_t>(1, GPieceLength);
  const std::int64_t Room = (N >= 0 ? std::min(N, Piece) : Piece) + HeldMax;
  TPaddedBlock Input(Room);
  // The decoding loop writes up to Slack bytes past its output.
  detail::TqvPieceWriter Output(
      Destination, Room + Slack, detail::OverlapPays(N >= 0 ? (N + Piece - 1) / Piece : -1));
  TLineDecoder Decoder;
  std::int64_t Held = 0, Done = 0;
  for (;;) {
    std::int64_t Take;
    bool AtEnd;
    if (N >= 0) {
      Take = std::min(N - Done, Piece);
      Source.ReadBuffer(Input.Data() + Held, Take);
      AtEnd = Done + Take == N;
    } else {
      Take = detail::ReadFull(Source, Input.Data() + Held, Piece);
      AtEnd = Take < Piece;
    }
    Done += Take;
    const std::int64_t Len = Held + Take;
    std::memset(Input.Data() + Len, 0, Slack);
    const auto Step = Decoder.Decode(Input.Data(), Len, AtEnd, Output.Data(), NoReports);
    if (Step.Written > 0) Output.Write(Step.Written);
    if (Step.Stopped) {
      Output.Finish();
      // The whole-source way has read everything by now; so leave the source at its end. A
      // source of unknown size is left where the text ended.
      if (N >= 0 && !AtEnd) Source.SetPosition(Start + N);
      Progress.Finish(N >= 0 ? N : Done);
      return;
    }
    if (AtEnd) {
      Output.Finish();
      Progress.Finish(Done);
      return;
    }
    Progress.Coded(Done);
    Held = Len - Step.Consumed;
    std::memmove(Input.Data(), Input.Data() + Step.Consumed, static_cast<std::size_t>(Held));
  }
}

// One line must carry the whole text when no line breaks are written, so a source of unknown
// size is read as far as that line could reach before anything is decided.
void EncodeOneLine(rtl::TStream& Source, rtl::TStream& Destination,
                   detail::TqvProgress& Progress) {
  TPaddedBlock Input(MaxLineBytes + 1);
  const std::int64_t N = detail::ReadFull(Source, Input.Data(), MaxLineBytes + 1);
  if (N > MaxLineBytes) RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::LineTooLong), -3);
  if (N > 0) {
    TLineLayout Layout;
    Layout.BytesPerLine = N;
    Layout.Breaks = false;
    TPaddedBlock Text(Layout.TextSize(N, true));
    const std::int64_t Length =
        EncodeText(Input.Data(), N, true, Layout, Text.Data(), NoReport) - Text.Data();
    Destination.WriteBuffer(Text.Data(), Length);
  }
  Progress.Finish(N);
}

} // namespace

namespace detail {

std::vector<TqvUUKernel> UUKernels() {
  std::vector<TqvUUKernel> Kinds;
  for (auto Kind : {TqvUUKernel::Plain, TqvUUKernel::Avx2})
    if (CanRun(Kind)) Kinds.push_back(Kind);
  return Kinds;
}

bool UseUUKernel(TqvUUKernel Kernel) {
  if (!CanRun(Kernel)) return false;
  GKernels = &KernelsOf(Kernel);
  return true;
}

TqvUUKernel UUKernelInUse() {
  return GKernels->Kind;
}

void ForcePlainUUCodecs(bool Plain) {
  GKernels = Plain ? &PlainKernels : &BestKernels();
}

void SetUUPieceLength(std::int64_t Bytes) {
  GPieceLength = Bytes > 0 ? Bytes : DefaultPieceLength;
}

} // namespace detail

void TqvEncoder::EncodeUUE(rtl::TStream& Source, rtl::TStream& Destination) {
  const bool Pieces = detail::TqvEncoderAccess::PiecePath(*this, Source, Destination);
  std::int64_t N; // -1 on the piece path: a source of unknown size, coded up to its end
  std::optional<detail::TqvProgress> Progress;
  if (Pieces) {
    N = detail::PieceTotal(Source);
    Progress.emplace(*this, N);
    if (N == 0) return;
  } else {
    const std::int64_t Size = Source.Size();
    N = Size - Source.Position();
    ReportProgress(0, N);
    if (N <= 0) return;
  }
  if (N < 0 && SuppressCrlf) {
    EncodeOneLine(Source, Destination, *Progress);
    return;
  }

  TLineLayout Layout;
  if (SuppressCrlf) {
    // One line must carry everything, and a count character cannot say more than 63.
    if (N > MaxLineBytes)
      RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::LineTooLong), -3);
    Layout.BytesPerLine = N;
    Layout.Breaks = false;
  } else {
    // Longer lines would need a count that no count character carries; 85 characters and up
    // all give the longest line that decodes back.
    Layout.BytesPerLine = std::min<std::int64_t>(3 * GetEffectiveCharsPerLine() / 4, MaxLineBytes);
  }

  if (Pieces) {
    EncodeInPieces(Source, Destination, N, Layout, *Progress);
    return;
  }
  TPaddedBlock Input(N);
  Source.ReadBuffer(Input.Data(), N);
  const std::int64_t TextSize = Layout.TextSize(N, true);
  detail::TqvBlock Text(TextSize);
  EncodeText(Input.Data(), N, true, Layout, Text.Data(),
             [this, N](std::int64_t Done) { ReportProgress(Done, N); });
  Destination.WriteBuffer(Text.Data(), TextSize);
}

void TqvEncoder::DecodeUUE(rtl::TStream& Source, rtl::TStream& Destination) {
  if (detail::TqvEncoderAccess::PiecePath(*this, Source, Destination)) {
    detail::TqvProgress Progress(*this, detail::PieceTotal(Source));
    if (Progress.Total() != 0) DecodeInPieces(Source, Destination, Progress);
    return;
  }
  const std::int64_t Size = Source.Size();
  const std::int64_t N = Size - Source.Position();
  ReportProgress(0, N);
  if (N <= 0) return;

  TPaddedBlock Input(N);
  Source.ReadBuffer(Input.Data(), N);
  TPaddedBlock Output(N);
  TLineDecoder Decoder;
  const auto Step = Decoder.Decode(Input.Data(), N, true, Output.Data(),
                                   [this, N](std::int64_t From, std::int64_t To) {
                                     for (; From < To; ++From) ReportProgress(From, N);
                                   });
  // The one Write is made even for no bytes, as callers that count calls expect.
  if (Step.Written > 0)
    Destination.WriteBuffer(Output.Data(), Step.Written);
  else
    Destination.Write(Output.Data(), 0);
}
