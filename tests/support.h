// Shared test helpers: progress recording, streams that misbehave on cue, running the binary.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "encoder/qvEncoder.h"

namespace vt {

using Report = std::pair<std::int64_t, std::int64_t>;
using Reports = std::vector<Report>;

// Installs a handler on E that records every progress report.
inline void RecordProgress(TqvEncoder& E, Reports& Log) {
  E.OnProgress = [&Log](rtl::TObject*, std::int64_t Done, std::int64_t Total) {
    Log.emplace_back(Done, Total);
  };
}

// A memory-backed stream that is not one of the runtime's own classes: it publishes no buffer
// window, so every Read, Write and Seek reaches it, and it can be told to misbehave.
class TTestStream : public rtl::TStream {
public:
  TTestStream() = default;
  explicit TTestStream(std::string Bytes) : Data(std::move(Bytes)) {}

  std::int64_t Read(void* Buffer, std::int64_t Count) override {
    ++Reads;
    ReadSizes.push_back(Count);
    std::int64_t N = std::min<std::int64_t>(Count, static_cast<std::int64_t>(Data.size()) - Pos);
    if (N < 0) N = 0;
    if (MaxRead >= 0) N = std::min(N, MaxRead);
    if (ReadsLeft == 0) N = 0;
    if (ReadsLeft > 0) --ReadsLeft;
    std::copy_n(Data.data() + Pos, N, static_cast<char*>(Buffer));
    Pos += N;
    return N;
  }
  std::int64_t Write(const void* Buffer, std::int64_t Count) override {
    ++Writes;
    WriteSizes.push_back(Count);
    std::int64_t N = Count;
    if (MaxWrite >= 0) N = std::min(N, MaxWrite);
    const auto* P = static_cast<const char*>(Buffer);
    if (Pos + N > static_cast<std::int64_t>(Data.size())) Data.resize(Pos + N);
    std::copy_n(P, N, Data.data() + Pos);
    Pos += N;
    return N;
  }
  std::int64_t Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) override {
    ++Seeks;
    std::int64_t T = Offset;
    if (Origin == rtl::soCurrent) T += Pos;
    if (Origin == rtl::soEnd) T += static_cast<std::int64_t>(Data.size()) + ExtraSize;
    Pos = T;
    return Pos;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(Data.size()) + ExtraSize; }

  std::string Data;
  std::int64_t Pos = 0;
  std::int64_t MaxRead = -1;   // cap on the bytes one Read delivers (-1: none)
  std::int64_t MaxWrite = -1;  // cap on the bytes one Write takes (-1: none)
  std::int64_t ReadsLeft = -1; // reads that deliver anything (-1: all)
  std::int64_t ExtraSize = 0;  // bytes that Size promises beyond the data
  int Reads = 0, Writes = 0, Seeks = 0;
  std::vector<std::int64_t> ReadSizes, WriteSizes;
};

inline std::string RandomBytes(std::size_t N, std::uint32_t Seed) {
  std::mt19937 Gen(Seed);
  std::string S(N, '\0');
  for (auto& C : S) C = static_cast<char>(Gen() & 0xFF);
  return S;
}

// A fresh temporary directory, removed with its contents at the end of the scope.
class TempDir {
public:
  TempDir() {
    std::string Tmpl = (std::filesystem::temp_directory_path() / "vexor-test-XXXXXX").string();
    Path = mkdtemp(Tmpl.data());
  }
  ~TempDir() {
    std::error_code Ec;
    std::filesystem::remove_all(Path, Ec);
  }
  std::string operator/(const std::string& Name) const { return (Path / Name).string(); }
  std::filesystem::path Path;
};

inline void WriteFile(const std::string& Name, const std::string& Bytes) {
  std::ofstream(Name, std::ios::binary) << Bytes;
}
inline std::string ReadFile(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  std::ostringstream S;
  S << In.rdbuf();
  return S.str();
}

struct RunResult {
  int ExitCode = -1;
  std::string Out, Err;
};

// Runs a shell command line; standard output and error are captured into files.
inline RunResult Shell(const std::string& Command) {
  TempDir Tmp;
  const std::string Out = Tmp / "out", Err = Tmp / "err";
  const std::string Line = "( " + Command + " ) >" + Out + " 2>" + Err;
  const int Status = std::system(Line.c_str());
  RunResult R;
  R.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  R.Out = ReadFile(Out);
  R.Err = ReadFile(Err);
  return R;
}

inline std::string Q(const std::string& S) { // shell quoting
  std::string R = "'";
  for (char C : S) R += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return R + "'";
}

// Runs the built program with the given arguments, standard input from /dev/null.
inline RunResult Vexor(const std::vector<std::string>& Args, const std::string& Stdin = "/dev/null") {
  std::string Line = Q(VEXOR_BINARY);
  for (const auto& A : Args) Line.append(" ").append(Q(A));
  Line.append(" <").append(Stdin);
  return Shell(Line);
}

inline bool HaveCommand(const std::string& Name) {
  return std::system(("command -v " + Name + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace vt
