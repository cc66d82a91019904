// System texts on Windows: FormatMessageW, in UTF-8; and the UTF-8 / UTF-16 conversions that
// every call into the system with a name or a text goes through.
#include <windows.h>

#include "runtime/platform.h"
#include "runtime/sysutils.h"

namespace rtl {

std::wstring WideFromUtf8(std::string_view Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int N = ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, nullptr, 0);
  std::wstring Result(static_cast<std::size_t>(N), L'\0');
  if (N > 0) ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), Size, Result.data(), N);
  return Result;
}

std::string Utf8FromWide(std::wstring_view Text) {
  if (Text.empty()) return {};
  const int Size = static_cast<int>(Text.size());
  const int N = ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, nullptr, 0, nullptr, nullptr);
  std::string Result(static_cast<std::size_t>(N), '\0');
  if (N > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), Size, Result.data(), N, nullptr, nullptr);
  return Result;
}

// ErrorCode is a system error code (GetLastError). A code the system has no text for is shown
// by its number.
std::string SysErrorMessage(int ErrorCode) {
  wchar_t* Buffer = nullptr;
  const DWORD N = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
          FORMAT_MESSAGE_ARGUMENT_ARRAY,
      nullptr, static_cast<DWORD>(ErrorCode), 0, reinterpret_cast<wchar_t*>(&Buffer), 0, nullptr);
  std::string Text;
  if (N != 0 && Buffer) Text = Utf8FromWide(std::wstring_view(Buffer, N));
  if (Buffer) ::LocalFree(Buffer);
  Text = TrimSystemText(std::move(Text));
  if (Text.empty()) Text = "System error " + std::to_string(static_cast<unsigned>(ErrorCode));
  return Text;
}

} // namespace rtl
