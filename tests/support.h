// Shared test helpers: progress recording, streams that misbehave on cue, running the binary.
#pragma once

#include <algorithm>
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

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

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
#ifdef _WIN32
  // No mkdtemp on Windows: a random name that no directory has yet.
  TempDir() {
    static std::mt19937_64 Gen(std::random_device{}());
    const auto Base = std::filesystem::temp_directory_path();
    do Path = Base / ("vexor-test-" + std::to_string(Gen() % 1000000000000ULL));
    while (!std::filesystem::create_directory(Path));
  }
#else
  TempDir() {
    std::string Tmpl = (std::filesystem::temp_directory_path() / "vexor-test-XXXXXX").string();
    Path = mkdtemp(Tmpl.data());
  }
#endif
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

// The program's console texts, as a user on any system sees them.
inline const std::string HelpText =
    "This console app encodes / decodes files in Base64, Quoted-Printable, and UUEncode "
    "formats.\r\n"
    "Usage: Vexor.exe srcfile destfile operation[E][D] method[QP][BASE64][UUE]\r\n"
    "Press Enter to continue...\r\n";
inline const std::string DoneText = "Done.\r\n";

struct RunResult {
  int ExitCode = -1;
  std::string Out, Err;
};

inline std::string Q(const std::string& S) { // shell quoting
  std::string R = "'";
  for (char C : S) R += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return R + "'";
}

#ifndef _WIN32
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
#else
// Windows: vexor.exe is started with CreateProcessW and a command line built here, so that it
// runs in the same (emulated) system as the test. There is no POSIX shell, and the peers that the
// suites compare against on Linux are not at hand.

inline std::wstring Wide(const std::string& S) {
  if (S.empty()) return {};
  const int N = ::MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), nullptr, 0);
  std::wstring W(static_cast<std::size_t>(N), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, S.data(), static_cast<int>(S.size()), W.data(), N);
  return W;
}

// The program's path as Windows names it: a cross build's path is a Unix one, which wine shows
// on drive Z:.
inline std::string VexorExe() {
  std::string P = VEXOR_BINARY;
  if (!P.empty() && P[0] == '/') P = "Z:" + P;
  for (auto& C : P)
    if (C == '/') C = '\\';
  return P;
}

// One argument for vexor.exe's command line: in double quotes when it holds white space or is
// empty (it cannot hold a quote).
inline std::string QuoteArg(const std::string& A) {
  const bool White = A.empty() || std::any_of(A.begin(), A.end(), [](char C) {
                       return static_cast<unsigned char>(C) <= ' ';
                     });
  return White ? "\"" + A + "\"" : A;
}

// How a run's standard input is given: the NUL device, a pipe that carries these bytes and
// then ends, or no handle at all.
struct StdinSpec {
  enum { Null, Bytes, None } Kind = Null;
  std::string Data;
};

// Runs vexor.exe with Tail after its name on the command line, as it stands, in directory Dir
// (empty: the current one). Standard output and error go to files. With input bytes, Rest gets
// what the program left unread.
inline RunResult RunVexorLine(const std::string& Tail, const std::string& Dir = "",
                              const StdinSpec& In = {}, std::string* Rest = nullptr) {
  TempDir Tmp;
  SECURITY_ATTRIBUTES Inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  auto Create = [&](const std::string& Name) {
    return ::CreateFileW(Wide(Name).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &Inherit, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE Out = Create(Tmp / "out"), Err = Create(Tmp / "err");
  HANDLE Input = nullptr, Writer = nullptr;
  if (In.Kind == StdinSpec::Null) {
    Input = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &Inherit,
                          OPEN_EXISTING, 0, nullptr);
  } else if (In.Kind == StdinSpec::Bytes) {
    ::CreatePipe(&Input, &Writer, &Inherit, 1 << 20);
    ::SetHandleInformation(Writer, HANDLE_FLAG_INHERIT, 0);
    DWORD N = 0;
    if (!In.Data.empty())
      ::WriteFile(Writer, In.Data.data(), static_cast<DWORD>(In.Data.size()), &N, nullptr);
    ::CloseHandle(Writer);
    if (Rest) { // our own reading end, to see what is left once the program is done
      HANDLE Mine = nullptr;
      ::DuplicateHandle(::GetCurrentProcess(), Input, ::GetCurrentProcess(), &Mine, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
      Writer = Mine;
    }
  }
  STARTUPINFOW Info{};
  Info.cb = sizeof Info;
  Info.dwFlags = STARTF_USESTDHANDLES;
  Info.hStdInput = Input;
  Info.hStdOutput = Out;
  Info.hStdError = Err;
  std::wstring Line = Wide(QuoteArg(VexorExe()) + (Tail.empty() ? "" : " " + Tail));
  PROCESS_INFORMATION Process{};
  const std::wstring WDir = Wide(Dir);
  RunResult R;
  if (::CreateProcessW(nullptr, Line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                       Dir.empty() ? nullptr : WDir.c_str(), &Info, &Process)) {
    ::WaitForSingleObject(Process.hProcess, INFINITE);
    DWORD Code = 0;
    ::GetExitCodeProcess(Process.hProcess, &Code);
    R.ExitCode = static_cast<int>(Code);
    ::CloseHandle(Process.hThread);
    ::CloseHandle(Process.hProcess);
  } else {
    R.Err = "CreateProcessW failed: " + std::to_string(::GetLastError());
  }
  if (Input) ::CloseHandle(Input);
  if (Writer && Rest) {
    Rest->clear();
    char Buffer[4096];
    DWORD N = 0;
    while (::ReadFile(Writer, Buffer, sizeof Buffer, &N, nullptr) && N > 0) Rest->append(Buffer, N);
    ::CloseHandle(Writer);
  }
  ::CloseHandle(Out);
  ::CloseHandle(Err);
  R.Out += ReadFile(Tmp / "out");
  R.Err += ReadFile(Tmp / "err");
  return R;
}

// Runs the built program with the given arguments, standard input from NUL.
inline RunResult Vexor(const std::vector<std::string>& Args) {
  std::string Tail;
  for (const auto& A : Args) Tail.append(Tail.empty() ? "" : " ").append(QuoteArg(A));
  return RunVexorLine(Tail);
}

inline RunResult Shell(const std::string&) {
  RunResult R;
  R.Err = "no POSIX shell on Windows";
  return R;
}

inline bool HaveCommand(const std::string&) {
  return false;
}
#endif

} // namespace vt
