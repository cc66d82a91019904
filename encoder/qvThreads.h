// The thread layer of the piece paths. Not installed.
//
// Two schemes, one for each kind of codec:
// - The Base64 and UUencode encoders code each piece on its own: its text depends only on where
//   it stands in the source. RunPieces (and CodePieces over it) give every other piece to a
//   second thread, which reads, codes and writes it, so that each piece stays in one processor's
//   cache; the reads and the writes still follow the order of the pieces.
// - The decoders and the quoted-printable encoder carry state from one piece to the next (a
//   group, an escape, a line), so one thread codes; TqvPieceWriter lets a second thread write
//   each coded piece while the next one is read and coded.
// Both start their thread only where it pays (OverlapPays), and fall back to the calling
// thread when none can be had. Reports of progress stay on the calling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <semaphore>
#include <thread>

#include "encoder/qvEncoderInternal.h"

namespace vexor::detail {

// Whether a second thread for the writing pays for work of this many pieces (-1: a source of
// unknown size): a thread costs more than it saves on one or two, and nothing at all when the
// process may run on one processor only (see UsableProcessors).
bool OverlapPays(std::int64_t Pieces);

// The processors this process may really run on at once: those of its affinity mask (taskset),
// fewer when a CPU quota of its control group allows less (a container's limit); at least 1.
// A second thread on one processor only takes turns with the first, and costs its start.
unsigned UsableProcessors();

// The writing end of a piece path. A codec codes each piece into Data() and hands it
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

} // namespace vexor::detail
