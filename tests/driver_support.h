// Helpers of the suites that run the built program through a POSIX shell (test_driver,
// test_faults, test_streaming): the command line, runs inside a directory, the three-line
// report and "Done.", and a directory of sources that every method accepts.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support.h"

namespace vt {

using Args = std::vector<std::string>;

// The program and its arguments, quoted for the shell. With a Limit (seconds) the run is
// bounded, so that a hang fails the test with exit code 124 instead of stopping it.
inline std::string VexorCommand(const Args& A, int Limit = 0) {
  std::string Line = Limit > 0 ? "timeout -k 5 " + std::to_string(Limit) + " " : "";
  Line.append(Q(VEXOR_BINARY));
  for (const auto& Arg : A) Line.append(" ").append(Q(Arg));
  return Line;
}

// A shell command line run inside Dir.
inline RunResult ShellIn(const std::filesystem::path& Dir, const std::string& Line) {
  return Shell("cd " + Q(Dir.string()) + " && " + Line);
}
inline RunResult ShellIn(const TempDir& Dir, const std::string& Line) {
  return ShellIn(Dir.Path, Line);
}

// Runs the program inside Dir with Redirect after its arguments; standard input is /dev/null
// unless Redirect says otherwise.
inline RunResult RunIn(const std::filesystem::path& Dir, const Args& A,
                       const std::string& Redirect = "", int Limit = 0) {
  const std::string Stdin = Redirect.find('<') == std::string::npos ? " </dev/null" : "";
  return ShellIn(Dir, VexorCommand(A, Limit) + Stdin + " " + Redirect);
}
inline RunResult RunIn(const TempDir& Dir, const Args& A, const std::string& Redirect = "",
                       int Limit = 0) {
  return RunIn(Dir.Path, A, Redirect, Limit);
}

// The directory as the program names it in messages: getcwd resolves links.
inline std::string RealDir(const TempDir& Dir) {
  return std::filesystem::canonical(Dir.Path).string();
}

// The three-line report on standard error: the class line (its address varies with the build),
// the message with its full stop, an empty line; exit code 1. Standard output is not looked at
// here: in some runs it is the destination.
inline void ExpectReport(int ExitCode, const std::string& Err, const std::string& ClassName,
                         const std::string& Message, const std::string& Module = "vexor") {
  EXPECT_EQ(ExitCode, 1) << (ExitCode == 124 ? "the run hung" : Err);
  const auto Eol = Err.find("\r\n");
  ASSERT_NE(Eol, std::string::npos) << Err;
  const std::regex ClassLine("Exception " + ClassName + " in module " + Module +
                             " at [0-9A-F]{8}\\.");
  EXPECT_TRUE(std::regex_match(Err.substr(0, Eol), ClassLine)) << Err;
  EXPECT_EQ(Err.substr(Eol + 2), Message + "\r\n\r\n");
}

// The same for a run whose standard output is the console: nothing may reach it.
inline void ExpectReport(const RunResult& R, const std::string& ClassName,
                         const std::string& Message, const std::string& Module = "vexor") {
  EXPECT_EQ(R.Out, "");
  ExpectReport(R.ExitCode, R.Err, ClassName, Message, Module);
}

inline void ExpectDone(const RunResult& R) {
  EXPECT_EQ(R.ExitCode, 0) << (R.ExitCode == 124 ? "the run hung" : R.Err);
  EXPECT_EQ(R.Out, DoneText);
  EXPECT_EQ(R.Err, "");
}

// Every byte value, line breaks of every kind, and some noise: a copy must keep each byte.
inline std::string MixedBytes(std::size_t N, std::uint32_t Seed) {
  std::string S;
  for (int C = 0; C < 256; ++C) S += static_cast<char>(C);
  S += "line\r\nline\nline\rend=\r\n \t\x1a";
  S.push_back('\0');
  return S + RandomBytes(N, Seed);
}

// An operation word and a method word as the command line gives them.
struct TMethod {
  std::string Operation, Word;
  std::string Name() const { return Operation + " " + Word; }
  bool Encodes() const { return Operation == "E"; }
};
// Every method by its long word, and a word that names no encoding (a copy).
inline const std::vector<TMethod> AllMethods = {
    {"E", "QP"}, {"E", "BASE64"}, {"E", "UUE"}, {"E", "X"},
    {"D", "QP"}, {"D", "BASE64"}, {"D", "UUE"}, {"D", "X"}};
// The codecs by their short words.
inline const std::vector<TMethod> Codecs = {{"E", "Q"}, {"E", "B"}, {"E", "U"},
                                            {"D", "Q"}, {"D", "B"}, {"D", "U"}};

// A directory with a data file and its text in each encoding, made by the program itself, so
// that every method has a source it accepts. Source(M) names the file that method M reads.
class TMethodSources {
public:
  // Runs here are bounded like the suites' longest ones.
  static constexpr int Limit = 120;

  explicit TMethodSources(const std::string& Data,
                          const std::vector<std::string>& Words = {"QP", "BASE64", "UUE"}) {
    WriteFile(Dir / "data", Data);
    for (const std::string& Word : Words) {
      const auto R = RunIn(Dir, {"data", "data." + Word, "E", Word}, "", Limit);
      EXPECT_EQ(R.ExitCode, 0) << R.Err;
    }
  }
  std::string Source(const TMethod& M) const {
    return Dir / (M.Encodes() || M.Word == "X" ? "data" : "data." + M.Word);
  }
  // What the method writes for its source into an ordinary file.
  std::string Expected(const TMethod& M) const {
    const std::string Out = Dir / ("expected." + M.Operation + M.Word);
    const auto R = RunIn(Dir, {Source(M), Out, M.Operation, M.Word}, "", Limit);
    EXPECT_EQ(R.ExitCode, 0) << R.Err;
    return ReadFile(Out);
  }

  TempDir Dir;
};

} // namespace vt
