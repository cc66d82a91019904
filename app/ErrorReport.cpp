#include "app/ErrorReport.h"

#include <cstdio>
#include <new>

#include "app/System.h"
#include "runtime/sysutils.h"

namespace rtl {

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
    WriteReport(Report);
  } catch (...) {
    // Nothing is left to report to.
  }
  return 1;
}

} // namespace rtl
