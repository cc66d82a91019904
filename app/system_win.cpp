// The program's process and console on Windows.
#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

#include "app/CommandLine.h"
#include "app/ErrorReport.h"
#include "app/System.h"
#include "runtime/platform.h"

namespace rtl {

namespace {

HANDLE StandardHandle(int Handle) {
  return ::GetStdHandle(Handle == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
}

bool WriteAll(HANDLE Handle, const std::string& Text) {
  std::size_t Done = 0;
  while (Done < Text.size()) {
    DWORD N = 0;
    if (!::WriteFile(Handle, Text.data() + Done, static_cast<DWORD>(Text.size() - Done), &N,
                     nullptr) ||
        N == 0)
      return false;
    Done += N;
  }
  return true;
}

bool SameFile(HANDLE Handle, const BY_HANDLE_FILE_INFORMATION& File) {
  BY_HANDLE_FILE_INFORMATION Info{};
  return Handle != nullptr && Handle != INVALID_HANDLE_VALUE &&
         ::GetFileInformationByHandle(Handle, &Info) &&
         Info.dwVolumeSerialNumber == File.dwVolumeSerialNumber &&
         Info.nFileIndexHigh == File.nFileIndexHigh && Info.nFileIndexLow == File.nFileIndexLow;
}

} // namespace

void PrepareProcess() {
  // Console lines end in CR LF as they are written: nothing in the C runtime may translate
  // them (the program writes through the system, but the runtime's streams are flushed too).
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // A failure is the program's report on standard error, never a message box.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX);
}

std::vector<std::string> ProgramArguments(int, char**) {
  // The command line as the system gives it, split by the program's own rules; its first word
  // is the program's name.
  std::vector<std::string> Words = SplitCommandLine(Utf8FromWide(::GetCommandLineW()));
  if (!Words.empty()) Words.erase(Words.begin());
  return Words;
}

int DoneHandle(TFileHandle Destination) {
  // A file that the shell redirected standard output into is held open by it, so it cannot be
  // the destination (the system refuses a second open); a device may.
  BY_HANDLE_FILE_INFORMATION File{};
  if (!::GetFileInformationByHandle(reinterpret_cast<HANDLE>(Destination), &File) ||
      !SameFile(StandardHandle(1), File))
    return 1;
  return SameFile(StandardHandle(2), File) ? -1 : 2;
}

void WriteLn(const std::string& Text, int Handle) {
  std::string Line;
  Line.reserve(Text.size() + 2);
  Line.append(Text).append("\r\n");
  if (!WriteAll(StandardHandle(Handle), Line))
    throw EInOutError(SysErrorMessage(static_cast<int>(::GetLastError())));
}

void ReadChar() {
  const HANDLE Input = ::GetStdHandle(STD_INPUT_HANDLE);
  // No standard input at all is an input at its end.
  if (Input == nullptr || Input == INVALID_HANDLE_VALUE) return;
  char C;
  DWORD N = 0;
  if (::ReadFile(Input, &C, 1, &N, nullptr)) return;
  const DWORD Error = ::GetLastError();
  if (Error == ERROR_BROKEN_PIPE || Error == ERROR_HANDLE_EOF || Error == ERROR_INVALID_HANDLE)
    return;
  throw EInOutError(SysErrorMessage(static_cast<int>(Error)));
}

std::string ModuleName() {
  std::wstring Path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD N = ::GetModuleFileNameW(nullptr, Path.data(), static_cast<DWORD>(Path.size()));
    if (N == 0) return "vexor.exe";
    if (N < Path.size()) {
      Path.resize(N);
      break;
    }
    Path.resize(Path.size() * 2);
  }
  const auto Slash = Path.find_last_of(L"\\/");
  return Utf8FromWide(Slash == std::wstring::npos ? Path : Path.substr(Slash + 1));
}

std::uintptr_t ModuleOffset(const void* Address) {
  HMODULE Module = nullptr;
  if (Address && ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                          GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                      static_cast<LPCWSTR>(Address), &Module))
    return reinterpret_cast<std::uintptr_t>(Address) - reinterpret_cast<std::uintptr_t>(Module);
  return reinterpret_cast<std::uintptr_t>(Address);
}

void WriteReport(const std::string& Report) noexcept {
  // The report is read in the console, whose character set is the OEM code page: a file name
  // outside it shows its characters as the code page's nearest or as question marks.
  try {
    const std::wstring Wide = WideFromUtf8(Report);
    std::string Oem;
    if (!Wide.empty()) {
      const UINT CodePage = ::GetOEMCP();
      const int Size = static_cast<int>(Wide.size());
      const int N =
          ::WideCharToMultiByte(CodePage, 0, Wide.data(), Size, nullptr, 0, nullptr, nullptr);
      Oem.assign(static_cast<std::size_t>(N > 0 ? N : 0), '\0');
      if (N > 0)
        ::WideCharToMultiByte(CodePage, 0, Wide.data(), Size, Oem.data(), N, nullptr, nullptr);
      else
        Oem = Report;
    }
    WriteAll(StandardHandle(2), Oem);
  } catch (...) {
    // Out of memory while converting: nothing is left to report to.
  }
}

} // namespace rtl
