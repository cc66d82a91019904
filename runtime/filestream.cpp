// The file stream: all of the program's system calls on files live here.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/vfs.h>
#endif
#include <utility>
#include <vector>

#include "runtime/streams.h"

namespace rtl {

namespace {

constexpr std::int64_t BufferCapacity = 256 * 1024;
constexpr std::int64_t MaxSysCall = 1 << 30; // bytes per read/write call

// Regular files held open by file streams of this process, by device and inode. flock already
// keeps a second opener out, but not on file systems that refuse locks; this set still does.
struct TOpenFiles {
  std::mutex Lock;
  std::set<std::pair<dev_t, ino_t>> Files;
};
TOpenFiles& OpenFiles() {
  static TOpenFiles Instance;
  return Instance;
}

std::string Quoted(const char* Format, const std::string& Name, int Error) {
  // Format is "Cannot open file" or "Cannot create file".
  std::string Text(Format);
  Text.append(" \"").append(Name).append("\". ").append(SysErrorMessage(Error));
  return Text;
}

bool LockRefused(int Error) {
  return Error == ENOLCK || Error == EOPNOTSUPP || Error == ENOSYS || Error == EINVAL;
}

bool IsStandardHandle(int Handle, dev_t Device, ino_t Inode) {
  struct stat St {};
  return ::fstat(Handle, &St) == 0 && S_ISREG(St.st_mode) && St.st_dev == Device &&
         St.st_ino == Inode;
}

// Whether a regular file lives on a file system whose sizes say nothing of the content: the
// kernel's own, where a file of /proc reports 0 bytes and one of /sys a page, whatever it holds.
bool SizeIsMadeUp(int Handle) {
#ifdef __linux__
  struct statfs Fs {};
  if (::fstatfs(Handle, &Fs) != 0) return false;
  switch (static_cast<unsigned long>(Fs.f_type)) {
  case 0x9fa0:     // proc
  case 0x62656572: // sysfs
  case 0x64626720: // debugfs
  case 0x74726163: // tracefs
  case 0x27e0eb:   // cgroup
  case 0x63677270: // cgroup2
  case 0x73636673: // securityfs
  case 0x62656570: // configfs
    return true;
  default:
    return false;
  }
#else
  (void)Handle;
  return false;
#endif
}

std::int64_t SysRead(int Handle, std::uint8_t* Buffer, std::int64_t Count) {
  for (;;) {
    const ssize_t N = ::read(Handle, Buffer, static_cast<std::size_t>(std::min(Count, MaxSysCall)));
    if (N >= 0) return N;
    if (errno != EINTR) throw EReadError(SReadError);
  }
}

void SysWriteAll(int Handle, const std::uint8_t* Buffer, std::int64_t Count) {
  while (Count > 0) {
    const ssize_t N =
        ::write(Handle, Buffer, static_cast<std::size_t>(std::min(Count, MaxSysCall)));
    if (N > 0) {
      Buffer += N;
      Count -= N;
    } else if (N < 0 && errno == EINTR) {
      continue;
    } else {
      throw EWriteError(SWriteError);
    }
  }
}

} // namespace

std::string ExpandFileName(const std::string& FileName) {
  std::string Path = FileName;
  if (Path.empty() || Path[0] != '/') {
    std::vector<char> Cwd(4096);
    while (::getcwd(Cwd.data(), Cwd.size()) == nullptr && errno == ERANGE)
      Cwd.resize(Cwd.size() * 2);
    std::string Joined(Cwd.data());
    Joined.append("/").append(Path);
    Path = std::move(Joined);
  }
  std::vector<std::string> Parts;
  std::size_t I = 0;
  while (I <= Path.size()) {
    std::size_t J = Path.find('/', I);
    if (J == std::string::npos) J = Path.size();
    std::string Part = Path.substr(I, J - I);
    if (Part == "..") {
      if (!Parts.empty()) Parts.pop_back();
    } else if (!Part.empty() && Part != ".") {
      Parts.push_back(std::move(Part));
    }
    I = J + 1;
  }
  std::string Result;
  for (const auto& Part : Parts) {
    Result.push_back('/');
    Result.append(Part);
  }
  if (Result.empty()) Result.push_back('/');
  return Result;
}

TFileStream::TFileStream(const std::string& FileName, TFileMode Mode)
    : FFileName(ExpandFileName(FileName)) {
  const bool Create = Mode == fmCreate;
  const char* What = Create ? "Cannot create file" : "Cannot open file";
  auto Fail = [&](int Error) -> void {
    if (FHandle >= 0) ::close(FHandle);
    FHandle = -1;
    if (Create) throw EFCreateError(Quoted(What, FFileName, Error));
    throw EFOpenError(Quoted(What, FFileName, Error));
  };

  // A pipe is opened for writing only: opened for both, we would be a reader of our own
  // output, and a destination whose real reader has gone would block instead of failing.
  struct stat Named {};
  const bool Pipe = Create && ::stat(FileName.c_str(), &Named) == 0 && S_ISFIFO(Named.st_mode);
  FHandle = !Create ? ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC)
            : Pipe  ? ::open(FileName.c_str(), O_WRONLY | O_CLOEXEC)
                    : ::open(FileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (FHandle < 0) Fail(errno);

  struct stat St {};
  if (::fstat(FHandle, &St) != 0) Fail(errno);
  if (S_ISDIR(St.st_mode)) Fail(EISDIR);

  if (S_ISREG(St.st_mode)) {
    FDevice = St.st_dev;
    FInode = St.st_ino;
    {
      auto& Open = OpenFiles();
      std::lock_guard<std::mutex> Guard(Open.Lock);
      if (!Open.Files.insert({FDevice, FInode}).second) Fail(EBUSY);
      FRegistered = true;
    }
    if (::flock(FHandle, LOCK_EX | LOCK_NB) != 0) {
      const int Error = errno;
      if (!LockRefused(Error)) {
        Unregister();
        Fail(Error == EWOULDBLOCK ? EBUSY : Error);
      }
    }
    // Our own standard output may be the destination: the program then says nothing there.
    // Standard error alone may not: a report would land inside the coded bytes.
    const bool Output = Create && IsStandardHandle(STDOUT_FILENO, FDevice, FInode);
    if (Create && !Output && IsStandardHandle(STDERR_FILENO, FDevice, FInode)) {
      Unregister();
      Fail(EBUSY);
    }
    // Standard output opened for appending ("vexor a /dev/stdout E B >> log") is appended to,
    // as any program's output would be; emptying it would lose what the file held.
    const int OutputFlags = Output ? ::fcntl(STDOUT_FILENO, F_GETFL) : 0;
    if (Output && OutputFlags != -1 && (OutputFlags & O_APPEND) != 0) {
      if (::fcntl(FHandle, F_SETFL, ::fcntl(FHandle, F_GETFL) | O_APPEND) != 0) {
        const int Error = errno;
        Unregister();
        Fail(Error);
      }
      FBase = static_cast<std::int64_t>(St.st_size);
    } else if (Create) {
      // Only now, with the file known to be ours alone, is an existing destination emptied. A
      // file that is empty already is left alone: on ext4 a truncation to nothing marks the
      // file as replaced, and its close then waits for the new blocks to be allocated (tens of
      // milliseconds for a few hundred megabytes), which a new file has no reason to pay.
      struct stat Now {};
      if ((::fstat(FHandle, &Now) != 0 || Now.st_size != 0) && ::ftruncate(FHandle, 0) != 0) {
        const int Error = errno;
        Unregister();
        Fail(Error);
      }
    }
  }

  FSeekable = ::lseek(FHandle, 0, SEEK_CUR) >= 0;
  FSizeKnown = Create || (S_ISREG(St.st_mode) && FSeekable && !SizeIsMadeUp(FHandle));
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
  Unregister();
  ::close(FHandle);
}

void TFileStream::Unregister() noexcept {
  if (!FRegistered) return;
  auto& Open = OpenFiles();
  std::lock_guard<std::mutex> Guard(Open.Lock);
  Open.Files.erase({FDevice, FInode});
  FRegistered = false;
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
    const std::int64_t N = SysRead(FHandle, Data.get() + Len, Cap - Len);
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
  const std::int64_t N = SysRead(FHandle, FBuffer.get(), FCapacity);
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
  SysWriteAll(FHandle, FBuffer.get(), Dirty);
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
    if (Pos != FBase + FValid && FSeekable && ::lseek(FHandle, Pos, SEEK_SET) < 0)
      throw EStreamError(SysErrorMessage(errno));
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
      const std::int64_t N = SysRead(FHandle, Out + Done, Left);
      if (N == 0) break;
      FBase += N;
      Done += N;
      continue;
    }
    const std::int64_t N = SysRead(FHandle, FBuffer.get(), FCapacity);
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
    SysWriteAll(FHandle, In, Count);
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
  if (FSeekable && ::lseek(FHandle, Target, SEEK_SET) < 0)
    throw EStreamError(SysErrorMessage(errno));
  FBase = Target;
  return Target;
}

std::int64_t TFileStream::Size() {
  if (!FSizeKnown && !FInMemory && FHandle >= 0) SlurpSource();
  if (FInMemory) return FMemBase + FValid;
  struct stat St {};
  if (FHandle < 0 || ::fstat(FHandle, &St) != 0) return 0;
  std::int64_t Result = St.st_size;
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
    Unregister();
    ::close(FHandle);
    FHandle = -1;
    throw;
  }
  Unregister();
  const int Handle = FHandle;
  FHandle = -1;
  if (::close(Handle) != 0 && errno != EINTR) throw EWriteError(SWriteError);
}

} // namespace rtl
