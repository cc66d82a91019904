// The file stream's system calls on POSIX systems: opening with locks, reading, writing,
// seeking, sizes, closing, and full paths.
#include <algorithm>
#include <cerrno>
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

constexpr std::int64_t MaxSysCall = 1 << 30; // bytes per read/write call

// Regular files held open by file streams of this process, by device and inode. flock already
// keeps a second opener out, but not on file systems that refuse locks; this set still does.
struct TOpenFiles {
  std::mutex Lock;
  std::set<std::pair<std::uint64_t, std::uint64_t>> Files;
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

bool IsStandardHandle(int Handle, std::uint64_t Device, std::uint64_t Inode) {
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

void TFileStream::Open(const std::string& FileName, TFileMode Mode) {
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
}

void TFileStream::Unregister() noexcept {
  if (!FRegistered) return;
  auto& Open = OpenFiles();
  std::lock_guard<std::mutex> Guard(Open.Lock);
  Open.Files.erase({FDevice, FInode});
  FRegistered = false;
}

bool TFileStream::ReleaseHandle() noexcept {
  Unregister();
  const int Handle = FHandle;
  FHandle = -1;
  return ::close(Handle) == 0 || errno == EINTR;
}

std::int64_t TFileStream::SysRead(std::uint8_t* Buffer, std::int64_t Count) {
  for (;;) {
    const ssize_t N = ::read(FHandle, Buffer, static_cast<std::size_t>(std::min(Count, MaxSysCall)));
    if (N >= 0) return N;
    if (errno != EINTR) throw EReadError(SReadError);
  }
}

void TFileStream::SysWriteAll(const std::uint8_t* Buffer, std::int64_t Count) {
  while (Count > 0) {
    const ssize_t N =
        ::write(FHandle, Buffer, static_cast<std::size_t>(std::min(Count, MaxSysCall)));
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

void TFileStream::SysSeek(std::int64_t Offset) {
  if (::lseek(FHandle, Offset, SEEK_SET) < 0) throw EStreamError(SysErrorMessage(errno));
}

std::int64_t TFileStream::SysSize() noexcept {
  struct stat St {};
  if (::fstat(FHandle, &St) != 0) return -1;
  return St.st_size;
}

} // namespace rtl
