// The thread layer: the piece writer for the codecs that carry state, and the pieces coded on
// two threads for those that do not.
#include "encoder/qvThreads.h"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>

#if defined(__linux__)
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#elif defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace vexor::detail {

namespace {

#if defined(__linux__)
// A small file of the kernel's, whole; empty when it cannot be read.
std::string ReadSmallFile(const std::string& Name) {
  std::string Text;
  const int Handle = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (Handle < 0) return Text;
  char Buffer[4096];
  for (;;) {
    const ssize_t N = ::read(Handle, Buffer, sizeof Buffer);
    if (N <= 0 || Text.size() > 65536) break;
    Text.append(Buffer, static_cast<std::size_t>(N));
  }
  ::close(Handle);
  return Text;
}

// The processors that the CPU quota of this process's control group allows (a container's
// limit, or one set with systemd), the smallest along the way from its group up to the root;
// 0 when no quota is set. Only the whole processors count: a quota of one and a half still
// cannot run two threads at once.
unsigned QuotaProcessors() {
  const std::string Groups = ReadSmallFile("/proc/self/cgroup");
  unsigned Least = 0;
  auto Consider = [&Least](double Quota, double Period) {
    if (Quota <= 0 || Period <= 0) return;
    const auto Whole = static_cast<unsigned>(std::max(1.0, Quota / Period));
    Least = Least == 0 ? Whole : std::min(Least, Whole);
  };
  std::size_t Start = 0;
  while (Start < Groups.size()) {
    std::size_t End = Groups.find('\n', Start);
    if (End == std::string::npos) End = Groups.size();
    const std::string Line = Groups.substr(Start, End - Start);
    Start = End + 1;
    const std::size_t A = Line.find(':'), B = A == std::string::npos ? A : Line.find(':', A + 1);
    if (B == std::string::npos) continue;
    const std::string Controllers = Line.substr(A + 1, B - A - 1);
    std::string Path = Line.substr(B + 1);
    if (Controllers.empty()) { // the unified hierarchy: "max 100000" or "50000 100000"
      for (;;) {
        const std::string Max = ReadSmallFile("/sys/fs/cgroup" + Path + "/cpu.max");
        if (!Max.empty() && Max.compare(0, 3, "max") != 0) {
          double Quota = 0, Period = 0;
          if (std::sscanf(Max.c_str(), "%lf %lf", &Quota, &Period) == 2) Consider(Quota, Period);
        }
        if (Path.empty() || Path == "/") break;
        Path.erase(Path.rfind('/'));
      }
    } else if (("," + Controllers + ",").find(",cpu,") != std::string::npos) {
      for (const char* Dir : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        const std::string Base = Dir + (Path == "/" ? std::string() : Path);
        const std::string Quota = ReadSmallFile(Base + "/cpu.cfs_quota_us");
        const std::string Period = ReadSmallFile(Base + "/cpu.cfs_period_us");
        if (!Quota.empty() && !Period.empty()) {
          Consider(std::atof(Quota.c_str()), std::atof(Period.c_str()));
          break;
        }
      }
    }
  }
  return Least;
}
#endif

} // namespace

unsigned UsableProcessors() {
  unsigned N = 0;
#if defined(__linux__)
  cpu_set_t Set;
  CPU_ZERO(&Set);
  if (::sched_getaffinity(0, sizeof Set, &Set) == 0) N = static_cast<unsigned>(CPU_COUNT(&Set));
  if (const unsigned Quota = QuotaProcessors(); Quota > 0 && (N == 0 || Quota < N)) N = Quota;
#elif defined(_WIN32)
  DWORD_PTR Process = 0, System = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &Process, &System))
    N = static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(Process)));
#endif
  if (N == 0) N = std::thread::hardware_concurrency();
  return std::max(N, 1u);
}

bool OverlapPays(std::int64_t Pieces) {
  if (Pieces >= 0 && Pieces < 3) return false;
  // Asked once, and only by work large enough for a thread: a small file pays nothing for it.
  static const bool TwoProcessors = UsableProcessors() > 1;
  return TwoProcessors;
}

TqvPieceWriter::TqvPieceWriter(rtl::TStream& Destination, std::int64_t Capacity, bool Overlap)
    : FDestination(Destination) {
  FBuffers[0] = TqvBlock(Capacity);
  if (!Overlap || Capacity <= 0) return;
  try {
    FWriter = std::thread(&TqvPieceWriter::WriteLoop, this);
  } catch (const std::system_error&) {
    return; // no thread to be had: every piece is written where it is coded
  }
  // The other buffers serve the thread only, so they are taken once it runs.
  try {
    for (int I = 1; I < Depth; ++I) FBuffers[I] = TqvBlock(Capacity);
  } catch (...) {
    Stop();
    throw;
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
#if defined(_WIN32)
  // libstdc++ 12 for Windows has no futex under std::atomic::wait, and its fallback loses
  // wake-ups; the turn waits on a condition variable there.
  bool WaitFor(std::int64_t Piece) {
    std::unique_lock<std::mutex> Guard(FLock);
    FChanged.wait(Guard, [&] { return FNext.load() == Piece || FNext.load() < 0; });
    return FNext.load() == Piece;
  }
  void Pass(std::int64_t Piece) {
    {
      const std::lock_guard<std::mutex> Guard(FLock);
      std::int64_t Expected = Piece;
      FNext.compare_exchange_strong(Expected, Piece + 1);
    }
    FChanged.notify_all();
  }
  void Fail() {
    {
      const std::lock_guard<std::mutex> Guard(FLock);
      FNext.store(-1);
    }
    FChanged.notify_all();
  }
#else
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
#endif
  std::int64_t Now() const { return FNext.load(std::memory_order_acquire); }

private:
  std::atomic<std::int64_t> FNext{0};
#if defined(_WIN32)
  std::mutex FLock;
  std::condition_variable FChanged;
#endif
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
           const TqvPieceCode& C, TqvProgress& Pr, std::int64_t InCapacity_,
           std::int64_t TextCapacity_)
        : Source(S), Destination(D), N(N_), Pieces(N_ >= 0 ? (N_ + P - 1) / P : -1), Piece(P),
          Margin(M), InCapacity(InCapacity_), TextCapacity(TextCapacity_), Coder(C),
          Progress(Pr) {}
    bool Read(std::int64_t I, int W) override {
      // Each thread takes its buffers at its first piece: the second thread's exist only once
      // it runs. The margin before the bytes is set once; the one after them at every read.
      if (In[W].Data() == nullptr) {
        In[W] = TqvBlock(InCapacity);
        Text[W] = TqvBlock(TextCapacity);
        std::memset(In[W].Data(), 0, static_cast<std::size_t>(Margin));
      }
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
    std::int64_t N, Pieces, Piece, Margin, InCapacity, TextCapacity;
    const TqvPieceCode& Coder;
    TqvProgress& Progress;
    TqvBlock In[2], Text[2];
    std::int64_t Count[2] = {0, 0}, Length[2] = {0, 0};
    bool Last[2] = {false, false};
    std::atomic<std::int64_t> EndedAt{-1}; // the piece that ended a source of unknown size
    std::int64_t EndBytes = 0;             // the bytes of that source, set before EndedAt
  } Steps(Source, Destination, N, Piece, Margin, Code, Progress, InCapacity, TextCapacity);
  RunPieces(Pieces, Steps, TwoThreads);
  Progress.Finish(N >= 0 ? N : Steps.EndBytes);
}

} // namespace vexor::detail
