#include "runtime/sysutils.h"

#include <cstring>

namespace rtl {

// Not inlined, so that the return address is the code that created the exception object.
[[gnu::noinline]] Exception::Exception(std::string Message)
    : FAddress(__builtin_extract_return_addr(__builtin_return_address(0))),
      FMessage(std::move(Message)) {}

std::string SysErrorMessage(int ErrorCode) {
  std::string Text = std::strerror(ErrorCode);
  while (!Text.empty()) {
    unsigned char C = static_cast<unsigned char>(Text.back());
    if (C <= ' ' || C == '.' || C == 127)
      Text.pop_back();
    else
      break;
  }
  return Text;
}

} // namespace rtl
