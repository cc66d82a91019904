// System texts on POSIX systems: strerror.
#include <cstring>

#include "runtime/platform.h"
#include "runtime/sysutils.h"

namespace rtl {

std::string SysErrorMessage(int ErrorCode) {
  return TrimSystemText(std::strerror(ErrorCode));
}

} // namespace rtl
