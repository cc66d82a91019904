// Exception classes of the runtime. Every failure is one of these; the message is the text the
// user reads.
#pragma once

#include <exception>
#include <string>

namespace rtl {

class Exception : public std::exception {
public:
  explicit Exception(std::string Message);

  const std::string& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FMessage.c_str(); }
  // The class's own name, as the error report shows it.
  virtual const char* ClassName() const noexcept { return "Exception"; }
  // Code address at which the exception object was created.
  const void* RaiseAddress() const noexcept { return FAddress; }

protected:
  const void* FAddress;

private:
  std::string FMessage;
};

#define RTL_EXCEPTION_CLASS(Name, Base)                                                            \
  class Name : public Base {                                                                       \
  public:                                                                                          \
    using Base::Base;                                                                              \
    const char* ClassName() const noexcept override { return #Name; }                              \
  }

RTL_EXCEPTION_CLASS(EStreamError, Exception);
RTL_EXCEPTION_CLASS(EReadError, EStreamError);
RTL_EXCEPTION_CLASS(EWriteError, EStreamError);
RTL_EXCEPTION_CLASS(EFOpenError, EStreamError);
RTL_EXCEPTION_CLASS(EFCreateError, EStreamError);
RTL_EXCEPTION_CLASS(EInOutError, Exception);
RTL_EXCEPTION_CLASS(EOutOfMemory, Exception);

#undef RTL_EXCEPTION_CLASS

// The runtime's fixed messages.
inline constexpr const char* SReadError = "Stream read error";
inline constexpr const char* SWriteError = "Stream write error";
inline constexpr const char* SOutOfMemory = "Out of memory";

// Operating-system text for an errno value, with trailing white space, control characters and
// full stops removed.
std::string SysErrorMessage(int ErrorCode);

} // namespace rtl
