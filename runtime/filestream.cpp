// The file stream: its buffering, the same on every system. The system calls are in
// filestream_posix.cpp and filestream_win.cpp.
#include <algorithm>
#include <cstring>
#include <utility>

#include "runtime/streams.h"

namespace rtl {

namespace {

constexpr std::int64_t BufferCapacity = 256 * 1024;

} // namespace

TFileStream::TFileStream(const std::string& FileName, TFileMode Mode)
    : FFileName(ExpandFileName(FileName)) {
  Open(FileName, Mode);
  FCapacity = BufferCapacity;
  FBuffer.reset(new std::uint8_t[static_cast<std::size_t>(FCapacity)]);
}

TFileStream::~TFileStream() {
  if (FHandle < 0) return;
  try {
    FlushWrites();
  } catch (...) {
    // A destructor must not throw; a caller that needs to know calls Close first.
  }
  ReleaseHandle();
}

void TFileStream::SlurpSource() {
  // The bytes of the read buffer (the position may stand inside it) and the whole rest of the
  // source become the buffer, and stay the buffer: reads and seeks then work inside it exactly
  // as they would on a file with those bytes.
  if (FMode == TBufMode::Writing) FlushWrites();
  const std::int64_t Pos = LogicalPosition();
  const std::int64_t Start = FMode == TBufMode::Reading ? FBase : Pos;
  std::int64_t Cap = BufferCapacity, Len = 0;
  std::unique_ptr<std::uint8_t[]> Data(new std::uint8_t[static_cast<std::size_t>(Cap)]);
  if (FMode == TBufMode::Reading) {
    std::memcpy(Data.get(), FBuffer.get(), static_cast<std::size_t>(FValid));
    Len = FValid;
  }
  for (;;) {
    if (Len == Cap) {
      std::unique_ptr<std::uint8_t[]> Bigger(new std::uint8_t[static_cast<std::size_t>(Cap * 2)]);
      std::memcpy(Bigger.get(), Data.get(), static_cast<std::size_t>(Len));
      Data = std::move(Bigger);
      Cap *= 2;
    }
    const std::int64_t N = SysRead(Data.get() + Len, Cap - Len);
    if (N == 0) break;
    Len += N;
  }
  FBuffer = std::move(Data);
  FCapacity = Cap;
  FInMemory = true;
  FMemBase = FBase = Start;
  FValid = Len;
  FMode = TBufMode::Reading;
  FReadCur = FBuffer.get() + (Pos - Start);
  FReadEnd = FBuffer.get() + Len;
}

// The next bytes of the source into the buffer, once the buffer is used up; false at the end.
bool TFileStream::FillReadBuffer() {
  if (FMode == TBufMode::Writing) FlushWrites();
  if (FMode == TBufMode::Reading) {
    if (FReadCur != FReadEnd) return true;
    FBase += FValid;
    FValid = 0;
    FMode = TBufMode::Idle;
    FReadCur = FReadEnd = nullptr;
  }
  const std::int64_t N = SysRead(FBuffer.get(), FCapacity);
  if (N == 0) return false;
  FMode = TBufMode::Reading;
  FValid = N;
  FReadCur = FBuffer.get();
  FReadEnd = FBuffer.get() + N;
  return true;
}

bool TFileStream::AtEnd() {
  if (SizeKnown()) return TStream::AtEnd();
  return FHandle < 0 || !FillReadBuffer();
}

std::int64_t TFileStream::LogicalPosition() const noexcept {
  switch (FMode) {
  case TBufMode::Reading:
    return FBase + (FReadCur - FBuffer.get());
  case TBufMode::Writing:
    return FBase + (FWriteCur - FBuffer.get());
  default:
    return FBase;
  }
}

void TFileStream::FlushWrites() {
  if (FMode != TBufMode::Writing) return;
  const std::int64_t Dirty = FWriteCur - FBuffer.get();
  // Leave writing mode first: a failed write must not be retried by a later flush.
  FMode = TBufMode::Idle;
  FWriteCur = FWriteEnd = nullptr;
  SysWriteAll(FBuffer.get(), Dirty);
  FBase += Dirty;
}

void TFileStream::EnterIdle() {
  if (FMode == TBufMode::Writing) {
    FlushWrites();
  } else if (FMode == TBufMode::Reading) {
    const std::int64_t Pos = LogicalPosition();
    FMode = TBufMode::Idle;
    FReadCur = FReadEnd = nullptr;
    // The operating system stands at the end of the buffered bytes; bring it back.
    if (Pos != FBase + FValid && FSeekable) SysSeek(Pos);
    FBase = Pos;
    FValid = 0;
  }
}

std::int64_t TFileStream::Read(void* Buffer, std::int64_t Count) {
  if (Count <= 0 || FHandle < 0) return 0;
  auto* Out = static_cast<std::uint8_t*>(Buffer);
  std::int64_t Done = 0;
  if (FMode == TBufMode::Writing) FlushWrites();
  if (FMode == TBufMode::Reading) {
    const std::int64_t N = std::min<std::int64_t>(Count, FReadEnd - FReadCur);
    std::memcpy(Out, FReadCur, static_cast<std::size_t>(N));
    FReadCur += N;
    Done = N;
    if (Done == Count || FInMemory) return Done;
    // The buffer is used up: the OS offset is its end, which is the position.
    FBase += FValid;
    FValid = 0;
    FMode = TBufMode::Idle;
    FReadCur = FReadEnd = nullptr;
  }
  if (FInMemory) return Done; // positioned beyond the end
  while (Done < Count) {
    const std::int64_t Left = Count - Done;
    if (Left >= FCapacity) {
      // Large reads go straight into the caller's memory.
      const std::int64_t N = SysRead(Out + Done, Left);
      if (N == 0) break;
      FBase += N;
      Done += N;
      continue;
    }
    const std::int64_t N = SysRead(FBuffer.get(), FCapacity);
    if (N == 0) break;
    const std::int64_t Take = std::min(Left, N);
    std::memcpy(Out + Done, FBuffer.get(), static_cast<std::size_t>(Take));
    Done += Take;
    if (Take < N) {
      FMode = TBufMode::Reading;
      FValid = N;
      FReadCur = FBuffer.get() + Take;
      FReadEnd = FBuffer.get() + N;
      break;
    }
    FBase += N;
  }
  return Done;
}

std::int64_t TFileStream::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  if (FHandle < 0 || FInMemory) throw EWriteError(SWriteError);
  const auto* In = static_cast<const std::uint8_t*>(Buffer);
  if (FMode == TBufMode::Reading) EnterIdle();
  if (FMode == TBufMode::Writing && Count <= FWriteEnd - FWriteCur) {
    std::memcpy(FWriteCur, In, static_cast<std::size_t>(Count));
    FWriteCur += Count;
    return Count;
  }
  FlushWrites();
  if (Count >= FCapacity) {
    SysWriteAll(In, Count);
    FBase += Count;
    return Count;
  }
  FMode = TBufMode::Writing;
  FWriteCur = FBuffer.get();
  FWriteEnd = FBuffer.get() + FCapacity;
  std::memcpy(FWriteCur, In, static_cast<std::size_t>(Count));
  FWriteCur += Count;
  return Count;
}

std::int64_t TFileStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  const std::int64_t Pos = LogicalPosition();
  if (Origin == soCurrent && Offset == 0) return Pos;
  std::int64_t Target = Offset;
  if (Origin == soCurrent)
    Target += Pos;
  else if (Origin == soEnd)
    Target += Size();
  if (Target < 0) throw EStreamError("Invalid stream position");
  if (FMode == TBufMode::Reading && Target >= FBase && Target <= FBase + FValid) {
    FReadCur = FBuffer.get() + (Target - FBase); // inside the buffer: no system call
    return Target;
  }
  if (FInMemory) {
    // Bytes that were read before the source was taken whole are gone.
    if (Target < FMemBase) throw EStreamError("Invalid stream position");
    if (Target <= FMemBase + FValid) {
      FMode = TBufMode::Reading;
      FBase = FMemBase;
      FReadCur = FBuffer.get() + (Target - FMemBase);
      FReadEnd = FBuffer.get() + FValid;
    } else { // beyond the end of the bytes held
      FMode = TBufMode::Idle;
      FReadCur = FReadEnd = nullptr;
      FBase = Target;
    }
    return Target;
  }
  // A pipe or a terminal goes only forwards, by reading.
  if (!FSeekable) {
    if (Target != Pos) throw EStreamError("Invalid stream position");
    return Pos;
  }
  EnterIdle();
  if (FSeekable) SysSeek(Target);
  FBase = Target;
  return Target;
}

std::int64_t TFileStream::Size() {
  if (!FSizeKnown && !FInMemory && FHandle >= 0) SlurpSource();
  if (FInMemory) return FMemBase + FValid;
  std::int64_t Result = FHandle < 0 ? -1 : SysSize();
  if (Result < 0) return 0;
  if (FMode == TBufMode::Writing) Result = std::max(Result, LogicalPosition());
  return Result;
}

void TFileStream::Flush() {
  FlushWrites();
}

void TFileStream::Close() {
  if (FHandle < 0) return;
  try {
    FlushWrites();
  } catch (...) {
    ReleaseHandle();
    throw;
  }
  if (!ReleaseHandle()) throw EWriteError(SWriteError);
}

} // namespace rtl
