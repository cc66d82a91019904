// The program's console: its lines on standard output, the one character it reads, and the
// top-level error report. Only the program uses them; the library leaves the console alone.
#pragma once

#include <exception>
#include <string>

namespace rtl {

// Writes Text and CR LF to standard output (Handle 1) or standard error (2), as bytes; raises
// EInOutError when that fails.
void WriteLn(const std::string& Text, int Handle = 1);
// Reads one character from standard input and drops it; end of input returns at once.
// Raises EInOutError when the read fails.
void ReadChar();

// The three-line report for the exception being handled (call inside a catch block):
// "Exception <class> in module <module> at <address>." CR LF, the message with a full stop,
// CR LF, and an empty line. Flushes standard output, writes the report to standard error and
// returns the exit code 1.
int ShowException(std::exception_ptr E) noexcept;

// The report text for one exception, as ShowException writes it.
std::string FormatExceptionReport(const std::string& ClassName, const std::string& Module,
                                  const void* Address, const std::string& Message);

} // namespace rtl
