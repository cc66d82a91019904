// The UUencode codec pair. The encoder writes the body only: lines of a count character and
// 6-bit code characters, CR LF after each, and a terminating line of one grave accent. The
// decoder reads that text and classic UUencoded text (a "begin" line, LF or CR line ends, the
// space for zero), up to the first line whose count is zero.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/qvThreads.h"
#include "encoder/kernels/qvKernelTables.h"
#include "encoder/kernels/qvKernels.h"

namespace detail = vexor::detail;

namespace {

// --- Tables and the character mapping ---

// A count character carries the counts 0 to 63 only, so no line may hold more bytes.
constexpr std::int64_t MaxLineBytes = 63;

using detail::uu::CodeChars;
using detail::uu::IsLineEnd;
using detail::uu::ValueOf;

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

// The vector loops read up to KernelMargin bytes past the groups that they are given, and the
// decoding loop writes up to KernelMargin bytes past its output, so every buffer that they work
// on carries that margin.
using detail::KernelMargin;

// A working buffer with the loops' margin after its bytes, zeroed so that no loop looks at
// bytes that were never written.
class TPaddedBlock {
public:
  explicit TPaddedBlock(std::int64_t Count) : FBlock(Count + KernelMargin) {
    std::memset(FBlock.Data() + Count, 0, KernelMargin);
  }
  std::uint8_t* Data() const noexcept { return FBlock.Data(); }

private:
  detail::TqvBlock FBlock;
};

// One line of N bytes (at most MaxLineBytes): its count character and its code characters. A
// last group of one or two bytes gives only the codes that carry its bits, no padding.
std::uint8_t* EncodeLine(const std::uint8_t* In, std::int64_t N, std::uint8_t* Out,
                         detail::TqvUUEncode EncodeGroups) {
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
  const detail::TqvUUEncode EncodeGroups = detail::Kernels().UUEncode;
  std::int64_t Done = 0;
  for (; Count - Done >= B; Done += B) {
    Out = EncodeLine(In + Done, B, Out, EncodeGroups);
    if (Layout.Breaks) Out = AppendLineBreak(Out);
    Report(Done + B);
  }
  if (Final) {
    Out = EncodeLine(In + Done, Count - Done, Out, EncodeGroups);
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
                             std::uint8_t* Out, detail::TqvUUDecode DecodeGroups) {
  const std::int64_t Yield = std::min(Count, Stored * 3 / 4);
  const std::int64_t Groups = Yield / 3;
  if (Groups > 0) DecodeGroups(Codes, Groups, Out);
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
        const std::int64_t End = FKernels.UUFindLineEnd(In, P, Len);
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
      const std::int64_t I = FKernels.UUFindLineEnd(In, P + 1, Stop);
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
      Step.Written +=
          DecodeLineCodes(In + P + 1, Stored, Count, Out + Step.Written, FKernels.UUDecode);
      P = Next;
    }
    Step.Consumed = P;
    return Step;
  }

private:
  const detail::TqvKernels& FKernels = detail::Kernels();
  bool FBeginTested = false;
  bool FSkipping = false;
};

// --- Pieces, for callers that cannot see the stream calls ---

constexpr std::int64_t DefaultPieceLength = 1 << 20;

void NoReport(std::int64_t) {}
void NoReports(std::int64_t, std::int64_t) {}

// The encoder's text in pieces of whole lines, so that memory stays small whatever N is (-1: a
// source of unknown size, coded up to its end).
void EncodeInPieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t N,
                    const TLineLayout& Layout, detail::TqvProgress& Progress) {
  const std::int64_t B = Layout.BytesPerLine;
  const std::int64_t Piece =
      std::max<std::int64_t>(1, detail::PieceLengthOr(DefaultPieceLength) / B) * B;
  detail::CodePieces(Source, Destination, N, Piece,
                     Layout.TextSize(N >= 0 ? std::min(N, Piece) : Piece, true), KernelMargin,
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
  const std::int64_t Piece =
      std::max<std::int64_t>(1, detail::PieceLengthOr(DefaultPieceLength));
  const std::int64_t Room = (N >= 0 ? std::min(N, Piece) : Piece) + HeldMax;
  TPaddedBlock Input(Room);
  // The decoding loop writes up to KernelMargin bytes past its output.
  detail::TqvPieceWriter Output(
      Destination, Room + KernelMargin,
      detail::OverlapPays(N >= 0 ? (N + Piece - 1) / Piece : -1));
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
    std::memset(Input.Data() + Len, 0, KernelMargin);
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
