#include "app/ErrorReport.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <dlfcn.h>
#include <new>
#include <unistd.h>

#include "runtime/sysutils.h"

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

std::string ModuleName() {
  char Path[PATH_MAX];
  const ssize_t N = ::readlink("/proc/self/exe", Path, sizeof Path - 1);
  std::string Name = N > 0 ? std::string(Path, static_cast<std::size_t>(N)) : "vexor";
  const auto Slash = Name.rfind('/');
  return Slash == std::string::npos ? Name : Name.substr(Slash + 1);
}

// The address relative to the start of the module that holds it.
std::uintptr_t ModuleOffset(const void* Address) {
  Dl_info Info{};
  if (Address && ::dladdr(Address, &Info) != 0 && Info.dli_fbase)
    return reinterpret_cast<std::uintptr_t>(Address) -
           reinterpret_cast<std::uintptr_t>(Info.dli_fbase);
  return reinterpret_cast<std::uintptr_t>(Address);
}

} // namespace

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

std::string FormatExceptionReport(const std::string& ClassName, const std::string& Module,
                                  const void* Address, const std::string& Message) {
  char Hex[17];
  std::snprintf(Hex, sizeof Hex, "%08X", static_cast<unsigned>(ModuleOffset(Address)));
  std::string Report = "Exception ";
  Report.append(ClassName).append(" in module ").append(Module).append(" at ").append(Hex);
  Report.append(".\r\n").append(Message);
  if (!Message.empty() && Message.back() != '.') Report += '.';
  Report += "\r\n";
  return Report;
}

int ShowException(std::exception_ptr E) noexcept {
  std::string ClassName = "Exception", Message;
  const void* Address = nullptr;
  try {
    std::rethrow_exception(E);
  } catch (const Exception& Ex) {
    ClassName = Ex.ClassName();
    Message = Ex.Message();
    Address = Ex.RaiseAddress();
  } catch (const std::bad_alloc&) {
    ClassName = "EOutOfMemory";
    Message = SOutOfMemory;
  } catch (const std::exception& Ex) {
    Message = Ex.what();
  } catch (...) {
    Message = "Unknown exception";
  }
  try {
    std::fflush(stdout);
    std::string Report = FormatExceptionReport(ClassName, ModuleName(), Address, Message);
    Report.append("\r\n");
    WriteAll(STDERR_FILENO, Report);
  } catch (...) {
    // Nothing is left to report to.
  }
  return 1;
}

} // namespace rtl
