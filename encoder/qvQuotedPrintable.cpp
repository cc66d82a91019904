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
#include <condition_variable>
#include <mutex>
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

// The decoder's state between two bytes of its input.
struct TQPDecodeState {
  TQPEscape Escape;
  std::int64_t Breaks = 0; // line breaks met since the last line byte
  bool AfterCR = false, InLine = false;
};

// A piece's text buffer, large enough for the piece: no check apiece.
class TQPFlatOut {
public:
  explicit TQPFlatOut(std::uint8_t* Out) : FCur(Out) {}
  void Reserve(std::int64_t) {}
  void Byte(std::uint8_t B) { *FCur++ = B; }
  const std::uint8_t* Run(detail::TqvQPDecode Kernel, const std::uint8_t* P,
                          const std::uint8_t* End) {
    return Kernel(P, End, FCur);
  }
  std::uint8_t* Cur() const noexcept { return FCur; }

private:
  std::uint8_t* FCur;
};

// Decodes [P, End) from State. Clean text goes through the kernel; whatever stops it is taken a
// byte at a time, split into lines as ReadLine splits them and decoded by the escape rules,
// until the text is clean again: outside an escape, with no line break waiting to be written.
// Final: the input ends here, and line breaks at its end stand before an empty last line.
template <class TOut>
void DecodeQPText(TQPDecodeState& S, const std::uint8_t* P, const std::uint8_t* const End,
                  bool Final, detail::TqvQPDecode Run, TOut& Out) {
  while (P != End) {
    if (S.Escape.Stage == TQPEscape::Plain && S.Breaks == 0) {
      P = Out.Run(Run, P, End);
      if (P == End) break;
    }
    const std::uint8_t* B = P++;
    if (*B == CR || *B == LF) {
      if (IsLineBreak(*B, S.AfterCR)) ++S.Breaks;
      S.AfterCR = *B == CR;
      S.InLine = false;
      continue;
    }
    if (!S.InLine) {
      DecodeQPBreaks(S.Escape, S.Breaks, Out);
      S.Breaks = 0;
      S.AfterCR = false;
      S.InLine = true;
    }
    DecodeQPBytes(S.Escape, B, P, Out);
  }
  if (Final && !S.InLine) DecodeQPBreaks(S.Escape, S.Breaks, Out);
}

// Where a piece may end with the decoder's state known: just after a byte that stands in a line
// for itself or ends an escape (not a CR, an LF or "=", and no hexadecimal digit right after an
// "="). The state there is that of the start of a text: outside an escape, no line break
// waiting. Returns the cut, or 0 when the second half of In[0, Len) holds none (a run of "=",
// of escapes cut by line breaks): the next piece then waits for this one's end state.
std::int64_t FindCut(const std::uint8_t* In, std::int64_t Len) {
  for (std::int64_t C = Len - 1; C >= 2 && C >= Len / 2; --C) {
    const std::uint8_t X = In[C - 1];
    if (X == CR || X == LF || X == '=') continue;
    if (In[C - 2] == '=' && Digits.Value[X] != NoDigit) continue;
    return C;
  }
  return 0;
}

// The decoder over pieces cut where its state is known, so that two threads can decode at once
// as the encoders' pieces are coded (see detail::RunPieces): the reads follow one another in
// order, each piece is decoded from the start state of a text, and the texts are written in
// order. What follows a piece's cut is carried to the front of the next piece. A piece that
// found no cut hands its end state to the next, which waits for it.
class TQPDecodePieces final : public detail::TqvPieceSteps {
public:
  TQPDecodePieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t Piece,
                  detail::TqvProgress& Progress)
      : FSource(Source), FDestination(Destination), FPiece(Piece), FProgress(Progress),
        FCarry(Piece) {}

  std::int64_t Consumed() const noexcept { return FConsumed; }

  bool Read(std::int64_t I, int W) override {
    if (FEnded) return false;
    TWorker& K = FWorkers[W];
    if (K.In.Data() == nullptr) { // each thread takes its buffers at its first piece
      K.In = detail::TqvBlock(FPiece + detail::KernelMargin);
      K.TextCapacity = 2 * FPiece;
      K.Text = detail::TqvBlock(K.TextCapacity + detail::KernelMargin);
    }
    std::memcpy(K.In.Data(), FCarry.Data(), static_cast<std::size_t>(FCarried));
    const std::int64_t Asked = FPiece - FCarried;
    const std::int64_t Got = detail::ReadFull(FSource, K.In.Data() + FCarried, Asked);
    const std::int64_t Len = FCarried + Got;
    FConsumed += Got;
    FEnded = Got < Asked;
    K.Fresh = FNextFresh;
    K.Final = FEnded;
    K.Count = Len;
    FCarried = 0;
    if (!FEnded) {
      const std::int64_t Cut = FindCut(K.In.Data(), Len);
      FNextFresh = Cut > 0;
      if (Cut > 0) {
        K.Count = Cut;
        FCarried = Len - Cut;
        std::memcpy(FCarry.Data(), K.In.Data() + Cut, static_cast<std::size_t>(FCarried));
      }
    }
    FThrough[I % 4] = FConsumed - FCarried;
    return true;
  }

  void Code(std::int64_t I, int W) override {
    TWorker& K = FWorkers[W];
    TQPDecodeState S;
    try {
      if (!K.Fresh) S = EndStateOf(I - 1);
      // Line breaks that the piece before left waiting are written here too.
      const std::int64_t Most = 2 * (K.Count + S.Breaks) + 4;
      if (Most > K.TextCapacity) {
        K.Text = detail::TqvBlock(Most + detail::KernelMargin);
        K.TextCapacity = Most;
      }
      TQPFlatOut Out(K.Text.Data());
      DecodeQPText(S, K.In.Data(), K.In.Data() + K.Count, K.Final, FRun, Out);
      K.Length = Out.Cur() - K.Text.Data();
    } catch (...) {
      {
        const std::lock_guard<std::mutex> Guard(FLock);
        FAborted = true;
      }
      Publish(I, S);
      throw;
    }
    Publish(I, S);
  }

  void Write(std::int64_t, int W) override {
    FDestination.WriteBuffer(FWorkers[W].Text.Data(), FWorkers[W].Length);
  }
  void Written(std::int64_t I) override { FProgress.Coded(FThrough[I % 4]); }

private:
  struct TWorker {
    detail::TqvBlock In, Text;
    std::int64_t TextCapacity = 0, Count = 0, Length = 0;
    bool Fresh = true, Final = false;
  };

  // Pieces in flight are at most three apart, so four slots keep every end state that a later
  // piece may still ask for. A lock and a condition, not an atomic wait: a piece that waits is
  // rare, and the condition wakes reliably on every system.
  void Publish(std::int64_t I, const TQPDecodeState& S) {
    {
      const std::lock_guard<std::mutex> Guard(FLock);
      FEndState[I % 4] = S;
      FCoded[I % 4] = I;
    }
    FChanged.notify_all();
  }
  TQPDecodeState EndStateOf(std::int64_t I) {
    std::unique_lock<std::mutex> Guard(FLock);
    FChanged.wait(Guard, [&] { return FCoded[I % 4] == I; });
    if (FAborted) throw rtl::EReadError(rtl::SReadError); // the other thread's failure is raised
    return FEndState[I % 4];
  }

  rtl::TStream& FSource;
  rtl::TStream& FDestination;
  std::int64_t FPiece;
  detail::TqvProgress& FProgress;
  const detail::TqvQPDecode FRun = detail::Kernels().QPDecode;
  TWorker FWorkers[2];
  // The reading side, in the order of the pieces.
  detail::TqvBlock FCarry;
  std::int64_t FCarried = 0, FConsumed = 0;
  bool FEnded = false, FNextFresh = true;
  std::int64_t FThrough[4] = {0, 0, 0, 0}; // source bytes up to the end of each piece in flight
  // The coding side.
  std::mutex FLock;
  std::condition_variable FChanged;
  TQPDecodeState FEndState[4];
  std::int64_t FCoded[4] = {-1, -1, -1, -1};
  bool FAborted = false;
};

// The whole source in pieces; returns the source bytes read.
std::int64_t DecodeQPBuffered(rtl::TStream& Source, rtl::TStream& Destination,
                              detail::TqvProgress& Progress) {
  const std::int64_t Total = Progress.Total();
  const std::int64_t Piece = PieceFor(Total);
  TQPDecodePieces Steps(Source, Destination, Piece, Progress);
  detail::RunPieces(-1, Steps,
                    detail::OverlapPays(Total >= 0 ? (Total + Piece - 1) / Piece : -1));
  return Steps.Consumed();
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
