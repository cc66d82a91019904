// The program's process and console on POSIX systems.
#include <cerrno>
#include <climits>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/ErrorReport.h"
#include "app/System.h"

namespace rtl {

namespace {

bool WriteAll(int Handle, const std::string& Text) {
  std::size_t Done = 0;
  while (Done < Text.size()) {
    const ssize_t N = ::write(Handle, Text.data() + Done, Text.size() - Done);
    if (N > 0)
      Done += static_cast<std::size_t>(N);
    else if (!(N < 0 && errno == EINTR))
      return false;
  }
  return true;
}

bool SameFile(int Handle, const struct stat& File) {
  struct stat St {};
  return ::fstat(Handle, &St) == 0 && St.st_dev == File.st_dev && St.st_ino == File.st_ino;
}

} // namespace

void PrepareProcess() {
  // A reader that has gone away is a write error that we report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  // A standard handle that the caller closed is taken by /dev/null, so that no file this run
  // opens can land on it. Output handles get it read-only, so writing there still fails as
  // writing to a closed handle does; a closed input simply has nothing to read, like one at its
  // end.
  for (int Handle = 0; Handle <= 2; ++Handle) {
    if (::fcntl(Handle, F_GETFD) != -1) continue;
    const int Null = ::open("/dev/null", O_RDONLY);
    if (Null >= 0 && Null != Handle) {
      ::dup2(Null, Handle);
      ::close(Null);
    }
  }
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  // The shell has split the line and removed the quotes; an empty argument is not counted.
  std::vector<std::string> Args;
  for (int I = 1; I < argc; ++I)
    if (argv[I][0] != '\0') Args.emplace_back(argv[I]);
  return Args;
}

int DoneHandle(TFileHandle Destination) {
  struct stat File {};
  if (::fstat(Destination, &File) != 0 || !SameFile(STDOUT_FILENO, File)) return STDOUT_FILENO;
  return SameFile(STDERR_FILENO, File) ? -1 : STDERR_FILENO;
}

void WriteLn(const std::string& Text, int Handle) {
  std::string Line;
  Line.reserve(Text.size() + 2);
  Line.append(Text).append("\r\n");
  if (!WriteAll(Handle, Line)) throw EInOutError(SysErrorMessage(errno));
}

void ReadChar() {
  char C;
  for (;;) {
    const ssize_t N = ::read(STDIN_FILENO, &C, 1);
    if (N >= 0) return;
    if (errno != EINTR) throw EInOutError(SysErrorMessage(errno));
  }
}

std::string ModuleName() {
  char Path[PATH_MAX];
  const ssize_t N = ::readlink("/proc/self/exe", Path, sizeof Path - 1);
  std::string Name = N > 0 ? std::string(Path, static_cast<std::size_t>(N)) : "vexor";
  const auto Slash = Name.rfind('/');
  return Slash == std::string::npos ? Name : Name.substr(Slash + 1);
}

// The linker's name for the ELF header of the program itself, the start of its module.
extern "C" const char __ehdr_start[] __attribute__((weak));

std::uintptr_t ModuleOffset(const void* Address) {
  Dl_info Info{};
  if (Address && ::dladdr(Address, &Info) != 0 && Info.dli_fbase)
    return reinterpret_cast<std::uintptr_t>(Address) -
           reinterpret_cast<std::uintptr_t>(Info.dli_fbase);
  // A program linked statically has no loader to ask; the address is then in the program.
  const auto Start = reinterpret_cast<std::uintptr_t>(__ehdr_start);
  const auto At = reinterpret_cast<std::uintptr_t>(Address);
  if (Address && Start != 0 && At >= Start) return At - Start;
  return At;
}

void WriteReport(const std::string& Report) noexcept {
  WriteAll(STDERR_FILENO, Report);
}

} // namespace rtl
