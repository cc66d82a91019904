// The file stream's system calls on Windows. Names are UTF-8 in the program and UTF-16 at the
// system. Files are opened with no sharing: while a stream holds a file, no other open of it
// succeeds, in this process or another, by whatever name; the system refuses it with its
// sharing-violation error. A destination is opened with CREATE_ALWAYS, which empties it only
// once the open has succeeded, so a destination that is the source (opened first) is refused
// before anything is lost.
#include <windows.h>

#include <algorithm>

#include "runtime/platform.h"
#include "runtime/streams.h"

namespace rtl {

namespace {

constexpr std::int64_t MaxSysCall = 1 << 30; // bytes per ReadFile/WriteFile call

HANDLE AsHandle(TFileHandle Handle) {
  return reinterpret_cast<HANDLE>(Handle);
}

} // namespace

std::string ExpandFileName(const std::string& FileName) {
  const std::wstring Name = WideFromUtf8(FileName);
  std::wstring Full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD N = ::GetFullPathNameW(Name.c_str(), static_cast<DWORD>(Full.size()), Full.data(),
                                       nullptr);
    if (N == 0) return FileName;
    if (N < Full.size()) {
      Full.resize(N);
      return Utf8FromWide(Full);
    }
    Full.resize(N);
  }
}

void TFileStream::Open(const std::string& FileName, TFileMode Mode) {
  const bool Create = Mode == fmCreate;
  const HANDLE Handle = ::CreateFileW(WideFromUtf8(FileName).c_str(),
                                      Create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                      0, // no sharing
                                      nullptr, Create ? CREATE_ALWAYS : OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (Handle == INVALID_HANDLE_VALUE) {
    const std::string Text = SysErrorMessage(static_cast<int>(::GetLastError()));
    if (Create) throw EFCreateError("Cannot create file \"" + FFileName + "\". " + Text);
    throw EFOpenError("Cannot open file \"" + FFileName + "\". " + Text);
  }
  FHandle = reinterpret_cast<TFileHandle>(Handle);
  // A pipe, the console or another device: no size and no seeking; such a source is read as
  // it arrives.
  const bool Disk = ::GetFileType(Handle) == FILE_TYPE_DISK;
  FSeekable = Disk;
  FSizeKnown = Create || Disk;
}

void TFileStream::Unregister() noexcept {
  // The system's sharing rules keep the file ours; there is no list to leave.
}

bool TFileStream::ReleaseHandle() noexcept {
  const HANDLE Handle = AsHandle(FHandle);
  FHandle = -1;
  return ::CloseHandle(Handle) != 0;
}

std::int64_t TFileStream::SysRead(std::uint8_t* Buffer, std::int64_t Count) {
  DWORD N = 0;
  if (::ReadFile(AsHandle(FHandle), Buffer, static_cast<DWORD>(std::min(Count, MaxSysCall)), &N,
                 nullptr))
    return N;
  // A pipe whose writer has gone is at its end.
  const DWORD Error = ::GetLastError();
  if (Error == ERROR_BROKEN_PIPE || Error == ERROR_HANDLE_EOF) return 0;
  throw EReadError(SReadError);
}

void TFileStream::SysWriteAll(const std::uint8_t* Buffer, std::int64_t Count) {
  while (Count > 0) {
    DWORD N = 0;
    if (!::WriteFile(AsHandle(FHandle), Buffer, static_cast<DWORD>(std::min(Count, MaxSysCall)),
                     &N, nullptr) ||
        N == 0)
      throw EWriteError(SWriteError);
    Buffer += N;
    Count -= N;
  }
}

void TFileStream::SysSeek(std::int64_t Offset) {
  LARGE_INTEGER To;
  To.QuadPart = Offset;
  if (!::SetFilePointerEx(AsHandle(FHandle), To, nullptr, FILE_BEGIN))
    throw EStreamError(SysErrorMessage(static_cast<int>(::GetLastError())));
}

std::int64_t TFileStream::SysSize() noexcept {
  LARGE_INTEGER Size;
  if (!::GetFileSizeEx(AsHandle(FHandle), &Size)) return -1;
  return Size.QuadPart;
}

} // namespace rtl
