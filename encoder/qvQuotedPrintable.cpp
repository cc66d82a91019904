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
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/qvThreads.h"
#include "encoder/kernels/qvKernelTables.h"
#include "encoder/kernels/qvKernels.h"

namespace detail = vexor::detail;

namespace {

using detail::qp::CR;
using detail::qp::Digits;
using detail::qp::Elements;
using detail::qp::LF;
using detail::qp::NoDigit;

bool IsLiteral(std::uint8_t B) noexcept {
  return Elements.Of[B].Length == 1;
}

// Sizes of the buffered way: the source is read in pieces and the text gathered in a buffer of
// four pieces, past whose end vector stores may reach by up to KernelMargin bytes. An encoder
// kernel is given no more source than the room left holds the text of.
constexpr std::int64_t DefaultPiece = 1 << 20;

// A small source needs no piece of full length. Total is -1 for a source of unknown size.
std::int64_t PieceFor(std::int64_t Total) {
  const std::int64_t Length = std::max<std::int64_t>(detail::PieceLengthOr(DefaultPiece), 32);
  if (Total < 0) return Length;
  return std::min<std::int64_t>(Length, std::max<std::int64_t>(Total, 64));
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
      : FWriter(Destination, Capacity + detail::KernelMargin, Overlap), FCapacity(Capacity),
        FCur(FWriter.Data()), FEnd(FCur + Capacity) {}

  // Room for the next Count bytes (at most the capacity), and KernelMargin bytes beyond them,
  // written through the returned pointer and handed back with Took.
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
    if (FEnded) return false;
    if (FRead > 0) {
      if (FProgress.Observed()) FOut.Flush();
      FProgress.Coded(FRead - (FCur[-1] == CR ? 1 : 0));
    }
    const std::int64_t Count = std::max<std::int64_t>(FSource.Read(FPiece.Data(), FPieceLength), 0);
    FCur = FPiece.Data();
    FEnd = FCur + Count;
    FRead += Count;
    FEnded = Count == 0;
    return !FEnded;
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
  bool FEnded = false;    // a Read gave nothing: the source is at its end
  detail::TqvQPEncode FKernel = detail::Kernels().QPEncode;
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
  const std::uint8_t* Run(detail::TqvQPDecode Kernel, const std::uint8_t* P,
                          const std::uint8_t* End) {
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
  const detail::TqvQPDecode Run = detail::Kernels().QPDecode;
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
