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
  return Pieces >= 3 && Processors;
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

private:
  std::atomic<std::int64_t> FNext{0};
};

struct TRun {
  TqvPieceSteps& Steps;
  std::int64_t Pieces;
  TTurn Reads, Writes;
  std::mutex Lock;
  std::exception_ptr Failure; // the first one

  void Work(int Worker, int Stride) noexcept {
    try {
      for (std::int64_t I = Worker; I < Pieces; I += Stride) {
        if (!Reads.WaitFor(I)) return;
        Steps.Read(I, Worker);
        Reads.Pass(I);
        Steps.Code(I, Worker);
        if (!Writes.WaitFor(I)) return;
        Steps.Write(I, Worker);
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
}

void CodePieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t N, std::int64_t Piece,
                std::int64_t TextCapacity, std::int64_t Margin, const TqvPieceCode& Code) {
  const std::int64_t Pieces = (N + Piece - 1) / Piece;
  const bool TwoThreads = OverlapPays(Pieces);
  const std::int64_t InCapacity = std::min(N, Piece) + 2 * Margin;
  struct TSteps final : TqvPieceSteps {
    TSteps(rtl::TStream& S, rtl::TStream& D, std::int64_t N_, std::int64_t P, std::int64_t M,
           const TqvPieceCode& C, std::int64_t InCapacity, std::int64_t TextCapacity, bool Two)
        : Source(S), Destination(D), N(N_), Piece(P), Margin(M),
          Coder(C), In{TqvBlock(InCapacity), TqvBlock(Two ? InCapacity : 0)},
          Text{TqvBlock(TextCapacity), TqvBlock(Two ? TextCapacity : 0)} {
      for (const TqvBlock& B : In) // the margins around the largest piece
        if (B.Data() != nullptr) {
          std::memset(B.Data(), 0, static_cast<std::size_t>(Margin));
          std::memset(B.Data() + InCapacity - Margin, 0, static_cast<std::size_t>(Margin));
        }
    }
    std::int64_t Count(std::int64_t I) const { return std::min(Piece, N - I * Piece); }
    void Read(std::int64_t I, int W) override {
      Source.ReadBuffer(In[W].Data() + Margin, Count(I));
    }
    void Code(std::int64_t I, int W) override {
      Length[W] = Coder(In[W].Data() + Margin, Count(I), I, Text[W].Data());
    }
    void Write(std::int64_t, int W) override { Destination.WriteBuffer(Text[W].Data(), Length[W]); }

    rtl::TStream &Source, &Destination;
    std::int64_t N, Piece, Margin;
    const TqvPieceCode& Coder;
    TqvBlock In[2], Text[2];
    std::int64_t Length[2] = {0, 0};
  } Steps(Source, Destination, N, Piece, Margin, Code, InCapacity, TextCapacity, TwoThreads);
  RunPieces(Pieces, Steps, TwoThreads);
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
void Dispatch(TqvEncoder& Encoder, TqvEncodeMethod Method, const TCodecTable& Table,
              rtl::TStream& Source, rtl::TStream& Destination) {
  const std::int64_t Size = Source.Size();
  if (Size - Source.Position() <= 0) return;
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
