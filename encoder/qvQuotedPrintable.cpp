// Quoted-printable: the encoder and the decoder.
//
// Both move the bytes one at a time on the streams, as callers with streams of their own see
// them; the speed comes from the streams' own buffers (TStream::ReadByte / WriteByte). The layout
// of the text lives in EncodeQPText and DecodeQPLine, written against a small policy object so
// that the way the bytes travel stays apart from what they become.
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"

namespace {

constexpr std::uint8_t CR = 13;
constexpr std::uint8_t LF = 10;

// --- Tables ---

// Space and printable ASCII other than "=" stand for themselves; every other byte is escaped.
constexpr bool IsLiteral(std::uint8_t B) noexcept {
  return B >= 32 && B <= 126 && B != '=';
}

// "=" and two upper-case hexadecimal digits for every byte value.
struct TEscapeTable {
  char Text[256][3];
};
constexpr TEscapeTable MakeEscapeTable() {
  constexpr char Hex[] = "0123456789ABCDEF";
  TEscapeTable T{};
  for (int B = 0; B < 256; ++B) {
    T.Text[B][0] = '=';
    T.Text[B][1] = Hex[B >> 4];
    T.Text[B][2] = Hex[B & 15];
  }
  return T;
}
constexpr TEscapeTable Escapes = MakeEscapeTable();

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

// Writes the whole text with one Write; a short write raises EWriteError.
void WriteString(rtl::TStream& Stream, std::string_view Text) {
  Stream.WriteBuffer(Text.data(), static_cast<std::int64_t>(Text.size()));
}

// The column up to which a line still admits an element (which adds at most 3). Lengths below 6
// would admit nothing and end every line at once, for ever; they count as 6, one element a line.
std::int64_t ColumnLimit(std::int32_t LineLength) noexcept {
  return (LineLength < 6 ? 6 : static_cast<std::int64_t>(LineLength)) - 6;
}

// --- Encoder ---

// Codes the whole source into lines of text. TIo supplies the bytes and takes the text:
//   bool Next(std::uint8_t&)    the next source byte; false at the end
//   void PutBack()              gives the byte that Next delivered last back to the source
//   bool LineFull(int64 Column) asked before every source byte
//   void Byte(uint8), Escape(uint8), LineDone()
template <class TIo> void EncodeQPText(TIo& Io) {
  for (bool More = true; More;) {
    std::int64_t Column = 0;
    bool SoftBreak = true;
    for (;;) {
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
  void Escape(std::uint8_t B) { WriteString(FDestination, {Escapes.Text[B], 3}); }
  void LineDone() {
    detail::TqvEncoderAccess::ReportProgress(FEncoder, FSource.Position() - FStart, FTotal);
  }

private:
  TqvEncoder& FEncoder;
  rtl::TStream& FSource;
  rtl::TStream& FDestination;
  std::int64_t FStart, FTotal;
};

// --- Decoder ---

// Where the decoder stands in an escape; carried from one line to the next.
struct TQPEscape {
  enum : std::uint8_t { Plain, AfterEquals, AfterDigit } Stage = Plain;
  std::uint8_t High = 0; // the first digit's value times 16, in AfterDigit
};

// Decodes bytes of a line by the escape rules. Malformed escapes are passed through: the "=" and
// the byte that broke it are written, a first digit before that byte is dropped.
template <class TOut>
void DecodeQPBytes(TQPEscape& Escape, const std::uint8_t* P, const std::uint8_t* End, TOut& Out) {
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

// Decodes one line with the line breaks ahead of it. A line that ended inside an escape (a soft
// line break "=", or "=" and one digit) takes the next line break with it.
template <class TOut>
void DecodeQPLine(TQPEscape& Escape, std::int64_t Breaks, const std::uint8_t* P,
                  const std::uint8_t* End, TOut& Out) {
  if (Escape.Stage != TQPEscape::Plain) {
    --Breaks;
    Escape.Stage = TQPEscape::Plain;
  }
  for (; Breaks > 0; --Breaks) {
    Out.Byte(CR);
    Out.Byte(LF);
  }
  DecodeQPBytes(Escape, P, End, Out);
}

class TQPDecodeStream {
public:
  explicit TQPDecodeStream(rtl::TStream& Destination) : FDestination(Destination) {}
  void Byte(std::uint8_t B) { FDestination.WriteByte(B); }

private:
  rtl::TStream& FDestination;
};

} // namespace

void TqvEncoder::EncodeQP(rtl::TStream& Source, rtl::TStream& Destination) {
  const std::int64_t Size = Source.Size();
  const std::int64_t Total = Size - Source.Position();
  const std::int64_t Start = Source.Position();
  ReportProgress(0, Total);
  TQPEncodeStreams Io(*this, Source, Destination, Start, Total);
  EncodeQPText(Io);
}

void TqvEncoder::DecodeQP(rtl::TStream& Source, rtl::TStream& Destination) {
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
    DecodeQPLine(Escape, Breaks, P, P + Line.size(), Out);
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
      if (!(B == LF && AfterCR)) {
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
