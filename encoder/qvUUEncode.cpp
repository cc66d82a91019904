// The UUencode codec pair. The encoder writes the body only: lines of a count character and
// 6-bit code characters, CR LF after each, and a terminating line of one grave accent. The
// decoder reads that text and classic UUencoded text (a "begin" line, LF or CR line ends, the
// space for zero), up to the first line whose count is zero.
#include <algorithm>
#include <array>
#include <cstring>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"

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

// Four code characters for each of Groups full groups of three bytes.
std::uint8_t* EncodeGroups(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out) {
  for (; Groups > 0; --Groups, In += 3, Out += 4) {
    const unsigned B0 = In[0], B1 = In[1], B2 = In[2];
    Out[0] = CodeChars[B0 >> 2];
    Out[1] = CodeChars[((B0 << 4) | (B1 >> 4)) & 63];
    Out[2] = CodeChars[((B1 << 2) | (B2 >> 6)) & 63];
    Out[3] = CodeChars[B2 & 63];
  }
  return Out;
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
  const std::uint8_t* C = Codes;
  std::uint8_t* O = Out;
  for (std::int64_t G = Yield / 3; G > 0; --G, C += 4, O += 3) {
    const unsigned V0 = ValueOf(C[0]), V1 = ValueOf(C[1]), V2 = ValueOf(C[2]), V3 = ValueOf(C[3]);
    O[0] = detail::LoByte((V0 << 2) | (V1 >> 4));
    O[1] = detail::LoByte((V1 << 4) | (V2 >> 2));
    O[2] = detail::LoByte((V2 << 6) | V3);
  }
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
        const std::int64_t End = FindLineEnd(In, P, Len);
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
      std::int64_t I = P + 1;
      while (I < Stop && !IsLineEnd(In[I])) ++I;
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
  static std::int64_t FindLineEnd(const std::uint8_t* In, std::int64_t From, std::int64_t Len) {
    while (From < Len && !IsLineEnd(In[From])) ++From;
    return From;
  }

  bool FBeginTested = false;
  bool FSkipping = false;
};

} // namespace

void TqvEncoder::EncodeUUE(rtl::TStream& Source, rtl::TStream& Destination) {
  const std::int64_t Size = Source.Size();
  const std::int64_t N = Size - Source.Position();
  ReportProgress(0, N);
  if (N <= 0) return;

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

  detail::TqvBlock Input(N);
  Source.ReadBuffer(Input.Data(), N);
  const std::int64_t TextSize = Layout.TextSize(N, true);
  detail::TqvBlock Text(TextSize);
  EncodeText(Input.Data(), N, true, Layout, Text.Data(),
             [this, N](std::int64_t Done) { ReportProgress(Done, N); });
  Destination.WriteBuffer(Text.Data(), TextSize);
}

void TqvEncoder::DecodeUUE(rtl::TStream& Source, rtl::TStream& Destination) {
  const std::int64_t Size = Source.Size();
  const std::int64_t N = Size - Source.Position();
  ReportProgress(0, N);
  if (N <= 0) return;

  detail::TqvBlock Input(N);
  Source.ReadBuffer(Input.Data(), N);
  detail::TqvBlock Output(N);
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
