// The program's dealings with its own process and console, one file per system
// (system_posix.cpp, system_win.cpp); the rest of the program is the same everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/streams.h"

namespace rtl {

// Sets the process up before anything else runs (standard handles, signals, byte-exact
// console output).
void PrepareProcess();
// The arguments that count, the program's own name left out: empty ones are not counted.
std::vector<std::string> ProgramArguments(int argc, char** argv);
// Where "Done." goes: standard output (1), unless the destination is standard output, which
// then carries the coded bytes alone; standard error (2) in that case, unless it is the
// destination too (-1: nowhere).
int DoneHandle(TFileHandle Destination);

// The file name of the running program, as the error report names it.
std::string ModuleName();
// An address relative to the start of the module that holds it.
std::uintptr_t ModuleOffset(const void* Address);
// Writes the error report to standard error, in the console's character set; failures are
// ignored (there is nothing left to report them to).
void WriteReport(const std::string& Report) noexcept;

} // namespace rtl
