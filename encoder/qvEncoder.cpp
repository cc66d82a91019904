// The component frame: construction, dispatch, the plain copy, the line-length rule and the
// progress event.
#include "encoder/qvEncoder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <system_error>

#include "encoder/qvEncoderInternal.h"

namespace detail {

const char* LoadMessage(TqvMessage Id) {
  static const char* const Table[] = {
      "Unsupported format.",
      "Wrong symbols in source stream.",
      "UUencoded line too long.",
  };
  return Table[static_cast<int>(Id)];
}

bool OverlapPays(std::int64_t Pieces) {
  static const bool Processors = std::thread::hardware_concurrency() > 1;
  return (Pieces < 0 || Pieces >= 3) && Processors;
}

std::int64_t PieceTotal(rtl::TStream& Source) {
  if (!Source.SizeKnown()) return -1;
  const std::int64_t Size = Source.Size();
  return std::max<std::int64_t>(Size - Source.Position(), 0);
}

std::int64_t ReadFull(rtl::TStream& Source, void* Buffer, std::int64_t Count) {
  auto* P = static_cast<std::uint8_t*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Count) {
    const std::int64_t Got = Source.Read(P + Done, Count - Done);
    if (Got <= 0) break;
    Done += std::min(Got, Count - Done);
  }
  return Done;
}

TqvProgress::TqvProgress(TqvEncoder& Encoder, std::int64_t Total)
    : FEncoder(Encoder), FTotal(Total), FObserved(TqvEncoderAccess::Observed(Encoder)) {
  TqvEncoderAccess::ReportProgress(FEncoder, 0, FTotal);
}

void TqvProgress::Coded(std::int64_t Bytes) {
  if (FTotal >= 0 && Bytes >= FTotal) return; // the last report says that
  TqvEncoderAccess::ReportProgress(FEncoder, Bytes, FTotal);
}

void TqvProgress::Finish(std::int64_t Bytes) {
  const std::int64_t Total = FTotal >= 0 ? FTotal : Bytes;
  TqvEncoderAccess::ReportProgress(FEncoder, Total, Total);
}

TqvPieceWriter::TqvPieceWriter(rtl::TStream& Destination, std::int64_t Capacity, bool Overlap)
    : FDestination(Destination) {
  FBuffers[0] = TqvBlock(Capacity);
  if (!Overlap || Capacity <= 0) return;
  for (int I = 1; I < Depth; ++I) FBuffers[I] = TqvBlock(Capacity);
  try {
    FWriter = std::thread(&TqvPieceWriter::WriteLoop, this);
  } catch (const std::system_error&) {
    return; // no thread to be had: every piece is written where it is coded
  }
  FFree.release(Depth - 1);
}

TqvPieceWriter::~TqvPieceWriter() {
  Stop();
}

void TqvPieceWriter::Write(std::int64_t Count) {
  if (!FWriter.joinable()) {
    FDestination.WriteBuffer(FBuffers[0].Data(), Count);
    return;
  }
  Queue({FBuffers[FFilling].Data(), Count});
  FFree.acquire(); // the oldest buffer is written (or the writing failed)
  if (FFailed.load(std::memory_order_acquire)) {
    FFree.release();
    std::rethrow_exception(FFailure);
  }
  FFilling = (FFilling + 1) % Depth;
}

void TqvPieceWriter::Finish() {
  Stop();
  if (FFailure) std::rethrow_exception(FFailure);
}

void TqvPieceWriter::Queue(TPiece Piece) {
  FQueue[FQueueTail] = Piece;
  FQueueTail = (FQueueTail + 1) % (Depth + 1);
  FQueued.release();
}

// The writer takes the queued pieces in order, and then the stop.
void TqvPieceWriter::Stop() noexcept {
  if (!FWriter.joinable()) return;
  Queue({nullptr, -1});
  FWriter.join();
}

void TqvPieceWriter::WriteLoop() {
  for (;;) {
    FQueued.acquire();
    const TPiece Piece = FQueue[FQueueHead];
    FQueueHead = (FQueueHead + 1) % (Depth + 1);
    if (Piece.Count < 0) return;
    if (!FFailed.load(std::memory_order_relaxed)) { // nothing is written after a failed write
      try {
        FDestination.WriteBuffer(Piece.Data, Piece.Count);
      } catch (...) {
        FFailure = std::current_exception();
        FFailed.store(true, std::memory_order_release);
      }
    }
    FFree.release();
  }
}

namespace {

// Whose turn it is among the pieces: the number of the piece that may go next, or -1 once a
// thread has failed.
class TTurn {
public:
  bool WaitFor(std::int64_t Piece) {
    for (;;) {
      const std::int64_t Now = FNext.load(std::memory_order_acquire);
      if (Now == Piece) return true;
      if (Now < 0) return false;
      FNext.wait(Now, std::memory_order_acquire);
    }
  }
  void Pass(std::int64_t Piece) { // a failure stays: the turn does not go on after it
    std::int64_t Expected = Piece;
    FNext.compare_exchange_strong(Expected, Piece + 1, std::memory_order_release,
                                  std::memory_order_relaxed);
    FNext.notify_all();
  }
  void Fail() {
    FNext.store(-1, std::memory_order_release);
    FNext.notify_all();
  }
  std::int64_t Now() const { return FNext.load(std::memory_order_acquire); }

private:
  std::atomic<std::int64_t> FNext{0};
};

struct TRun {
  TqvPieceSteps& Steps;
  std::int64_t Pieces;
  TTurn Reads, Writes;
  std::mutex Lock;
  std::exception_ptr Failure; // the first one
  std::int64_t Reported = 0;  // pieces passed to Written; the calling thread's alone

  // Written runs on the calling thread (worker 0): for the other thread's pieces it runs when
  // the calling thread next holds the turn to write, or once both have stopped.
  void ReportBefore(std::int64_t Piece) {
    for (; Reported < Piece; ++Reported) Steps.Written(Reported);
  }

  void Work(int Worker, int Stride) noexcept {
    try {
      for (std::int64_t I = Worker; I < Pieces; I += Stride) {
        if (!Reads.WaitFor(I)) return;
        const bool Exists = Steps.Read(I, Worker);
        Reads.Pass(I); // a later piece finds out for itself that it does not exist
        if (!Exists) return;
        Steps.Code(I, Worker);
        if (!Writes.WaitFor(I)) return;
        if (Worker == 0) ReportBefore(I);
        Steps.Write(I, Worker);
        if (Worker == 0) ReportBefore(I + 1);
        Writes.Pass(I);
      }
    } catch (...) {
      {
        const std::lock_guard<std::mutex> Guard(Lock);
        if (!Failure) Failure = std::current_exception();
      }
      Reads.Fail();
      Writes.Fail();
    }
  }
};

} // namespace

void RunPieces(std::int64_t Pieces, TqvPieceSteps& Steps, bool TwoThreads) {
  if (Pieces < 0) Pieces = INT64_MAX;
  TRun Run{Steps, Pieces, {}, {}, {}, {}};
  std::thread Second;
  if (TwoThreads && Pieces > 1) {
    try {
      Second = std::thread(&TRun::Work, &Run, 1, 2);
    } catch (const std::system_error&) {
      // no second thread to be had: this one does every piece
    }
  }
  Run.Work(0, Second.joinable() ? 2 : 1);
  if (Second.joinable()) Second.join();
  if (Run.Failure) std::rethrow_exception(Run.Failure);
  Run.ReportBefore(Run.Writes.Now());
}

void CodePieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t N, std::int64_t Piece,
                std::int64_t TextCapacity, std::int64_t Margin, const TqvPieceCode& Code,
                TqvProgress& Progress) {
  const std::int64_t Pieces = N >= 0 ? (N + Piece - 1) / Piece : -1;
  const bool TwoThreads = OverlapPays(Pieces);
  const std::int64_t InCapacity = (N >= 0 ? std::min(N, Piece) : Piece) + 2 * Margin;
  struct TSteps final : TqvPieceSteps {
    TSteps(rtl::TStream& S, rtl::TStream& D, std::int64_t N_, std::int64_t P, std::int64_t M,
           const TqvPieceCode& C, TqvProgress& Pr, std::int64_t InCapacity,
           std::int64_t TextCapacity, bool Two)
        : Source(S), Destination(D), N(N_), Pieces(N_ >= 0 ? (N_ + P - 1) / P : -1), Piece(P),
          Margin(M), Coder(C), Progress(Pr),
          In{TqvBlock(InCapacity), TqvBlock(Two ? InCapacity : 0)},
          Text{TqvBlock(TextCapacity), TqvBlock(Two ? TextCapacity : 0)} {
      for (const TqvBlock& B : In) // the margin before the bytes; the one after is set per read
        if (B.Data() != nullptr) std::memset(B.Data(), 0, static_cast<std::size_t>(Margin));
    }
    bool Read(std::int64_t I, int W) override {
      std::uint8_t* const Bytes = In[W].Data() + Margin;
      if (N >= 0) {
        Count[W] = std::min(Piece, N - I * Piece);
        Last[W] = I == Pieces - 1;
        Source.ReadBuffer(Bytes, Count[W]);
      } else {
        // The piece after a short one does not exist; a full one may be followed by nothing,
        // which makes an empty last piece.
        const std::int64_t Ended = EndedAt.load(std::memory_order_acquire);
        if (Ended >= 0 && I > Ended) return false;
        Count[W] = ReadFull(Source, Bytes, Piece);
        Last[W] = Count[W] < Piece;
        if (Last[W]) {
          EndBytes = I * Piece + Count[W];
          EndedAt.store(I, std::memory_order_release);
        }
      }
      std::memset(Bytes + Count[W], 0, static_cast<std::size_t>(Margin));
      return true;
    }
    void Code(std::int64_t I, int W) override {
      Length[W] = Coder(In[W].Data() + Margin, Count[W], I, Last[W], Text[W].Data());
    }
    void Write(std::int64_t, int W) override { Destination.WriteBuffer(Text[W].Data(), Length[W]); }
    void Written(std::int64_t I) override { Progress.Coded(Through(I)); }

    // The source bytes in pieces 0 to I: every piece is whole but the last one.
    std::int64_t Through(std::int64_t I) const {
      if (N >= 0) return std::min((I + 1) * Piece, N);
      return EndedAt.load(std::memory_order_acquire) == I ? EndBytes : (I + 1) * Piece;
    }

    rtl::TStream &Source, &Destination;
    std::int64_t N, Pieces, Piece, Margin;
    const TqvPieceCode& Coder;
    TqvProgress& Progress;
    TqvBlock In[2], Text[2];
    std::int64_t Count[2] = {0, 0}, Length[2] = {0, 0};
    bool Last[2] = {false, false};
    std::atomic<std::int64_t> EndedAt{-1}; // the piece that ended a source of unknown size
    std::int64_t EndBytes = 0;             // the bytes of that source, set before EndedAt
  } Steps(Source, Destination, N, Piece, Margin, Code, Progress, InCapacity, TextCapacity,
          TwoThreads);
  RunPieces(Pieces, Steps, TwoThreads);
  Progress.Finish(N >= 0 ? N : Steps.EndBytes);
}

} // namespace detail

void RaiseEncoderError(const std::string& Message, std::int32_t Code) {
  throw EqvEncoderError(Message, Code);
}

TqvEncoder::TqvEncoder(rtl::TComponent* AOwner) : rtl::TComponent(AOwner) {}

namespace {

using TCodec = void (TqvEncoder::*)(rtl::TStream&, rtl::TStream&);
using TCodecTable = TCodec[cm8Bit + 1];

// Both directions share the frame: nothing left means nothing happens, not even the method
// check; a method number above cm8Bit is refused before anything is read, written or reported.
// A source that cannot tell its size without being read whole (a pipe) is not asked for it
// where the codec will move pieces: it is asked only whether a byte is left.
void Dispatch(TqvEncoder& Encoder, TqvEncodeMethod Method, const TCodecTable& Table,
              rtl::TStream& Source, rtl::TStream& Destination) {
  if (!Source.SizeKnown() && detail::TqvEncoderAccess::PiecePath(Encoder, Source, Destination)) {
    if (Source.AtEnd()) return;
  } else {
    const std::int64_t Size = Source.Size();
    if (Size - Source.Position() <= 0) return;
  }
  if (Method > cm8Bit)
    RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::UnsupportedFormat), -1);
  (Encoder.*Table[Method])(Source, Destination);
}

} // namespace

struct detail::TqvEncoderAccess::Codecs {
  static constexpr TCodecTable Encoders = {&TqvEncoder::CopyPlain, &TqvEncoder::EncodeQP,
                                           &TqvEncoder::EncodeBase64, &TqvEncoder::EncodeUUE,
                                           &TqvEncoder::CopyPlain};
  static constexpr TCodecTable Decoders = {&TqvEncoder::CopyPlain, &TqvEncoder::DecodeQP,
                                           &TqvEncoder::DecodeBase64, &TqvEncoder::DecodeUUE,
                                           &TqvEncoder::CopyPlain};
};

void TqvEncoder::Encode(rtl::TStream& Source, rtl::TStream& Destination) {
  Dispatch(*this, EncodeMethod, detail::TqvEncoderAccess::Codecs::Encoders, Source, Destination);
}

void TqvEncoder::Decode(rtl::TStream& Source, rtl::TStream& Destination) {
  Dispatch(*this, EncodeMethod, detail::TqvEncoderAccess::Codecs::Decoders, Source, Destination);
}

void TqvEncoder::CopyPlain(rtl::TStream& Source, rtl::TStream& Destination) {
  if (!Source.SizeKnown() && detail::TqvEncoderAccess::PiecePath(*this, Source, Destination)) {
    // Up to the end, as the bytes arrive.
    constexpr std::int64_t Piece = 1 << 20;
    detail::TqvProgress Progress(*this, -1);
    const detail::TqvBlock Buffer(Piece);
    std::int64_t Done = 0;
    for (;;) {
      const std::int64_t Got = detail::ReadFull(Source, Buffer.Data(), Piece);
      Destination.WriteBuffer(Buffer.Data(), Got);
      Done += Got;
      if (Got < Piece) break;
      Progress.Coded(Done);
    }
    Progress.Finish(Done);
    return;
  }
  // 64-bit count: for sources below 2^31 bytes this equals the 32-bit difference, and larger
  // sources are copied whole instead of wrapping.
  const std::int64_t Size = Source.Size();
  const std::int64_t N = Size - Source.Position();
  ReportProgress(0, N);
  if (N > 0) Destination.CopyFrom(Source, N);
  ReportProgress(N, N);
}

std::int32_t TqvEncoder::GetEffectiveCharsPerLine() const {
  const std::int32_t C = CharsPerLine;
  switch (EncodeMethod) {
  case cmQuotedPrintable:
    return C < 4 ? 4 : (C > 132 ? 132 : C);
  case cmUUEncode:
    return C < 3 ? 3 : (C > 132 ? 132 : C);
  case cmBase64: {
    if (C < 64) return 64;
    // 4 * round(C / 4 + 0.25) with ties to even; nearbyint uses the default rounding mode,
    // which is to-nearest-even. Computed in 64 bits so that no C overflows.
    const double Q = std::nearbyint(static_cast<double>(C) / 4.0 + 0.25);
    const auto R = static_cast<std::int64_t>(Q) * 4;
    return R > INT32_MAX ? static_cast<std::int32_t>(R - 4) : static_cast<std::int32_t>(R);
  }
  default:
    return C;
  }
}

void TqvEncoder::ReportProgress(std::int64_t ABytesProceed, std::int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}
