#include "runtime/sysutils.h"

#include "runtime/platform.h"

namespace rtl {

// Not inlined, so that the return address is the code that created the exception object.
[[gnu::noinline]] Exception::Exception(std::string Message)
    : FAddress(__builtin_extract_return_addr(__builtin_return_address(0))),
      FMessage(std::move(Message)) {}

std::string TrimSystemText(std::string Text) {
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
