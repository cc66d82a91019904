// Helpers that the codec sources share. Not installed.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <semaphore>
#include <thread>
#include <typeinfo>

#include "encoder/qvEncoder.h"

namespace detail {

// The module's translatable messages, fetched when an error is raised.
enum class TqvMessage { UnsupportedFormat, WrongSymbols, LineTooLong };
const char* LoadMessage(TqvMessage Id);

// Keeps the low 8 bits of an integer.
constexpr std::uint8_t LoByte(std::int64_t Value) noexcept {
  return static_cast<std::uint8_t>(Value & 0xFF);
}

// A working buffer. A request of 0 bytes or less gives no block; one that cannot be met raises
// EOutOfMemory. Released when it goes out of scope, also when an exception passes.
class TqvBlock {
public:
  TqvBlock() = default;
  explicit TqvBlock(std::int64_t Count) {
    if (Count <= 0) return;
    try {
      FData.reset(new std::uint8_t[static_cast<std::size_t>(Count)]);
    } catch (const std::bad_alloc&) {
      throw rtl::EOutOfMemory(rtl::SOutOfMemory);
    }
  }
  std::uint8_t* Data() const noexcept { return FData.get(); }

private:
  std::unique_ptr<std::uint8_t[]> FData;
};

// The writing end of an unobserved path. A codec codes each piece into Data() and hands it
// over with Write; when Overlap is asked for, a second thread writes the pieces into the
// destination while the codec reads and codes the next one into another buffer, so the
// system's copy of the text into the file no longer adds to the time of the coding. A piece is
// queued before the codec waits for a free buffer, so the writer goes from one piece straight
// to the next. The pieces reach the destination whole and in order, with the same calls as
// without the thread.
//
// Finish waits for the last piece and raises what a write raised; nothing is written after a
// failed write. Leaving the scope without Finish (an exception on the coding side) still waits
// for the pieces handed over, so that the destination holds them all; a write error that comes
// after that other error is not raised again.
class TqvPieceWriter {
public:
  // Overlap is ignored when no second thread can be had.
  TqvPieceWriter(rtl::TStream& Destination, std::int64_t Capacity, bool Overlap);
  ~TqvPieceWriter();
  TqvPieceWriter(const TqvPieceWriter&) = delete;
  TqvPieceWriter& operator=(const TqvPieceWriter&) = delete;

  std::uint8_t* Data() const noexcept { return FBuffers[FFilling].Data(); }
  void Write(std::int64_t Count);
  void Finish();

  // Buffers in turn: one being coded into, the other queued for the writer or free. More were
  // measured and gave nothing.
  static constexpr int Depth = 2;

private:
  struct TPiece {
    const std::uint8_t* Data;
    std::int64_t Count; // -1: the writer stops
  };
  void Queue(TPiece Piece);
  void WriteLoop();
  void Stop() noexcept;

  rtl::TStream& FDestination;
  TqvBlock FBuffers[Depth];
  int FFilling = 0;
  std::thread FWriter;
  TPiece FQueue[Depth + 1]; // handed over and not yet written, and room for the stop
  int FQueueHead = 0, FQueueTail = 0;
  std::counting_semaphore<Depth + 1> FQueued{0}; // pieces (or the stop) waiting for the writer
  std::counting_semaphore<Depth> FFree{0};       // buffers written and free to code into
  // Set by the writer once FFailure holds a failed write; the coding side may look at FFailure
  // only after seeing it set, or after the writer has ended.
  std::atomic<bool> FFailed{false};
  std::exception_ptr FFailure;
};

// Whether a second thread for the writing pays for work of this many pieces (-1: a source of
// unknown size): a thread costs more than it saves on one or two, and nothing at all when the
// process has one processor.
bool OverlapPays(std::int64_t Pieces);

// The bytes from the source's position to its end, or -1 when the source cannot tell without
// being read to its end (see TStream::SizeKnown).
std::int64_t PieceTotal(rtl::TStream& Source);

// Reads until Count bytes are in or the source has ended (a Read of 0); returns the count.
// Streams may deliver fewer bytes than asked at any call.
std::int64_t ReadFull(rtl::TStream& Source, void* Buffer, std::int64_t Count);

// The progress reports of a piece path: (0, Total) when it is made, (coded so far, Total) after
// each piece but the last, and (Total, Total) at Finish; with a Total of -1 (a source of unknown
// size) Finish reports the bytes coded as both numbers. Every report goes through
// ReportProgress on the calling thread.
class TqvProgress {
public:
  TqvProgress(TqvEncoder& Encoder, std::int64_t Total);
  void Coded(std::int64_t Bytes);
  void Finish(std::int64_t Bytes);
  // Whether anybody sees the reports (a handler, or a class derived from TqvEncoder); a path
  // may then hand over its text at every report, so that the destination holds what was
  // reported when a handler raises.
  bool Observed() const noexcept { return FObserved; }
  std::int64_t Total() const noexcept { return FTotal; }

private:
  TqvEncoder& FEncoder;
  std::int64_t FTotal;
  bool FObserved;
};

// Pieces that can be coded each on its own (their text depends only on where they stand), on
// two threads at once: piece I goes to thread I % 2, which reads it, codes it into buffers of
// its own and writes its text. The reads follow one another in the order of the pieces, and so
// do the writes, so the streams see the same calls as when one thread does it all; what one
// thread reads, codes and writes stays in its own processor's cache.
class TqvPieceSteps {
public:
  virtual ~TqvPieceSteps() = default;
  // Worker is 0 or 1: which of the two sets of buffers to use. Read returns false when there is
  // no such piece (the one before it ended the source), which ends the run.
  virtual bool Read(std::int64_t Piece, int Worker) = 0;
  virtual void Code(std::int64_t Piece, int Worker) = 0;
  virtual void Write(std::int64_t Piece, int Worker) = 0;
  // Called on the calling thread, in the order of the pieces, once each piece is written.
  virtual void Written(std::int64_t) {}
};
// Runs the steps of Pieces pieces (-1: until a Read finds no piece), on two threads when
// TwoThreads is true and one can be had. The first failure of either thread, Written's
// included, is raised once both have stopped; after it, no piece is read or written any more.
void RunPieces(std::int64_t Pieces, TqvPieceSteps& Steps, bool TwoThreads);

// Codes the N bytes from Source's position (N -1: up to the end of a source of unknown size) in
// pieces of Piece bytes, each on its own: Code(In, Count, Index, Last, Text) writes the text of
// piece Index, at most TextCapacity bytes, and returns its length; Last says that no byte
// follows (the last piece may be shorter than the others, and with N -1 it may be empty). The
// texts are written to Destination in order and reported to Progress. Every input buffer has
// Margin zero bytes before and after its bytes, for kernels that read a little beyond them. Two
// threads share the pieces when that pays (see OverlapPays).
using TqvPieceCode =
    std::function<std::int64_t(const std::uint8_t* In, std::int64_t Count, std::int64_t Index,
                               bool Last, std::uint8_t* Text)>;
void CodePieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t N, std::int64_t Piece,
                std::int64_t TextCapacity, std::int64_t Margin, const TqvPieceCode& Code,
                TqvProgress& Progress);

// Reaches the private members of TqvEncoder, for the codec sources and white-box tests.
struct TqvEncoderAccess {
  struct Codecs; // the dispatch tables of Encode and Decode
  static void EncodeBase64(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) {
    E.EncodeBase64(S, D);
  }
  static void DecodeBase64(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) {
    E.DecodeBase64(S, D);
  }
  static void EncodeQP(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.EncodeQP(S, D); }
  static void DecodeQP(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.DecodeQP(S, D); }
  static void EncodeUUE(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.EncodeUUE(S, D); }
  static void DecodeUUE(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.DecodeUUE(S, D); }
  static bool& DecodeStopped(TqvEncoder& E) { return E.DecodeStopped; }
  static void ReportProgress(TqvEncoder& E, std::int64_t Done, std::int64_t Total) {
    E.ReportProgress(Done, Total);
  }

  // Whether a codec moves pieces instead of the stream calls its format fixes: when the caller
  // asks for it (Streaming), or when no caller can observe how the bytes travel (the encoder
  // is exactly a TqvEncoder, so ReportProgress is the plain one, no handler is set, and both
  // streams are the runtime's own classes). Never for a stream that is its own destination: its
  // reads and writes interleave, and only the calls of the format give the same result.
  static bool PiecePath(const TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) {
    if (&S == &D) return false;
    return E.Streaming || (typeid(E) == typeid(TqvEncoder) && !E.OnProgress &&
                           IsRuntimeStream(S) && IsRuntimeStream(D));
  }
  static bool Observed(const TqvEncoder& E) {
    return typeid(E) != typeid(TqvEncoder) || static_cast<bool>(E.OnProgress);
  }
  static bool IsRuntimeStream(rtl::TStream& S) {
    return typeid(S) == typeid(rtl::TFileStream) || typeid(S) == typeid(rtl::TMemoryStream);
  }
};

} // namespace detail
