// vexor.exe as a user on Windows runs it: started with CreateProcessW and a command line built
// here, on real files in a temporary directory. The expected texts come from the component and
// the system's own messages, so the same checks hold under wine and on Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "encoder/qvEncoder.h"
#include "runtime/streams.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;

using vt::DoneText;
using vt::HelpText;

std::string SystemText(DWORD Code) {
  return rtl::SysErrorMessage(static_cast<int>(Code));
}

// A file by its UTF-8 name, through the wide calls, so that any name works.
fs::path PathOf(const vt::TempDir& Dir, const std::string& Name) {
  return Dir.Path / vt::Wide(Name);
}
void Put(const fs::path& Name, const std::string& Bytes) {
  std::ofstream(Name, std::ios::binary) << Bytes;
}
std::string Get(const fs::path& Name) {
  std::ifstream In(Name, std::ios::binary);
  std::ostringstream S;
  S << In.rdbuf();
  return S.str();
}

// The full path that the program shows for a name in Dir.
std::string FullName(const vt::TempDir& Dir, const std::string& Name) {
  return Dir.Path.string() + "\\" + Name;
}

vt::RunResult RunIn(const vt::TempDir& Dir, const std::string& Tail, const vt::StdinSpec& In = {}) {
  return vt::RunVexorLine(Tail, Dir.Path.string(), In);
}

// What the component makes of Bytes: the bytes that vexor.exe must write.
std::string Coded(const std::string& Bytes, TqvEncodeMethod Method, bool Encode) {
  TqvEncoder Encoder(nullptr);
  Encoder.EncodeMethod = Method;
  rtl::TMemoryStream Source(Bytes), Destination;
  if (Encode)
    Encoder.Encode(Source, Destination);
  else
    Encoder.Decode(Source, Destination);
  return std::string(Destination.Bytes());
}

// The report in the console's OEM code page, as vexor.exe writes it.
std::string Oem(const std::string& Utf8) {
  const std::wstring W = vt::Wide(Utf8);
  if (W.empty()) return {};
  const int N = ::WideCharToMultiByte(::GetOEMCP(), 0, W.data(), static_cast<int>(W.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string S(static_cast<std::size_t>(N), '\0');
  ::WideCharToMultiByte(::GetOEMCP(), 0, W.data(), static_cast<int>(W.size()), S.data(), N,
                        nullptr, nullptr);
  return S;
}

// The three-line report: the class line with the module vexor.exe and an address of eight
// hexadecimal digits, the message with its full stop, an empty line; nothing on standard output,
// exit code 1. Message is UTF-8; the report is in the OEM code page.
void ExpectReport(const vt::RunResult& R, const std::string& ClassName,
                  const std::string& Message) {
  EXPECT_EQ(R.ExitCode, 1);
  EXPECT_EQ(R.Out, "");
  const auto Eol = R.Err.find('\n');
  ASSERT_NE(Eol, std::string::npos) << R.Err;
  const std::string ClassLine = R.Err.substr(0, Eol);
  const std::regex Pattern("^Exception " + ClassName + " in module vexor\\.exe at [0-9A-F]{8}\\.\r$");
  EXPECT_TRUE(std::regex_match(ClassLine, Pattern)) << ClassLine;
  EXPECT_EQ(R.Err.substr(Eol + 1), Oem(Message) + ".\r\n\r\n");
}

void ExpectDone(const vt::RunResult& R) {
  EXPECT_EQ(R.ExitCode, 0) << R.Err;
  EXPECT_EQ(R.Out, DoneText);
  EXPECT_EQ(R.Err, "");
}

// Every byte value, line breaks of every kind, and noise.
std::string MixedBytes(std::size_t N, std::uint32_t Seed) {
  std::string S;
  for (int C = 0; C < 256; ++C) S += static_cast<char>(C);
  S += "line\r\nline\nline\rend=\r\n \t\x1a";
  S.push_back('\0');
  return S + vt::RandomBytes(N, Seed);
}

std::vector<std::string> Listing(const vt::TempDir& Dir) {
  std::vector<std::string> Names;
  for (const auto& E : fs::directory_iterator(Dir.Path)) Names.push_back(E.path().filename().string());
  std::sort(Names.begin(), Names.end());
  return Names;
}

// ---------------------------------------------------------------------------------------------

// Fewer than four arguments that count: the help byte for byte (CR LF as written), exit 0, no
// file touched, with standard input at its end, absent, or a pipe of which exactly one
// character is taken.
TEST(WindowsHelp, FewerThanFourArgumentsPrintTheHelpAndTouchNothing) {
  const std::vector<std::string> Tails = {
      "", "src", "src dst", "src dst E", "src dst E \"\"", "\"\" src \"\" dst E", "\"\" \"\" \"\" \"\"",
      "src \"\"\"\" dst\tE"};
  for (const auto& Tail : Tails) {
    SCOPED_TRACE(Tail);
    for (const auto Kind : {vt::StdinSpec::Null, vt::StdinSpec::None}) {
      vt::TempDir Dir;
      Put(Dir.Path / "src", "source");
      vt::StdinSpec In;
      In.Kind = Kind;
      const auto R = RunIn(Dir, Tail, In);
      EXPECT_EQ(R.ExitCode, 0);
      EXPECT_EQ(R.Out, HelpText);
      EXPECT_EQ(R.Err, "");
      EXPECT_EQ(Listing(Dir), std::vector<std::string>{"src"});
      EXPECT_EQ(Get(Dir.Path / "src"), "source");
    }
  }
  vt::TempDir Dir;
  std::string Rest;
  const auto R = vt::RunVexorLine("", Dir.Path.string(), {vt::StdinSpec::Bytes, "xyz\r\n"}, &Rest);
  EXPECT_EQ(R.ExitCode, 0);
  EXPECT_EQ(R.Out, HelpText);
  EXPECT_EQ(Rest, "yz\r\n");
}

// Every method, both ways, by its long and its short word, on real files: byte for byte what
// the component (and so the Linux build) writes, and back to the original.
TEST(WindowsRun, EveryMethodBothWaysByteForByte) {
  const std::string Bytes = MixedBytes(300000, 5);
  const struct {
    std::string Word;
    TqvEncodeMethod Method;
  } Methods[] = {{"BASE64", cmBase64}, {"B", cmBase64}, {"QP", cmQuotedPrintable},
                 {"Q", cmQuotedPrintable}, {"UUE", cmUUEncode}, {"U", cmUUEncode},
                 {"none", cmNone}, {"b", cmNone}};
  for (const auto& M : Methods) {
    SCOPED_TRACE(M.Word);
    vt::TempDir Dir;
    Put(Dir.Path / "src.bin", Bytes);
    ExpectDone(RunIn(Dir, "src.bin coded.txt E " + M.Word));
    const std::string Text = Get(Dir.Path / "coded.txt");
    EXPECT_TRUE(Text == Coded(Bytes, M.Method, true));
    ExpectDone(RunIn(Dir, "coded.txt back.bin D " + M.Word));
    EXPECT_TRUE(Get(Dir.Path / "back.bin") == Bytes);
    EXPECT_TRUE(Get(Dir.Path / "src.bin") == Bytes);
  }
  // Text written elsewhere decodes too: LF line breaks, a classic UUencoded file.
  vt::TempDir Dir;
  Put(Dir.Path / "lf.b64", "aGVs\nbG8=\n");
  ExpectDone(RunIn(Dir, "lf.b64 out D B"));
  EXPECT_EQ(Get(Dir.Path / "out"), "hello");
  Put(Dir.Path / "classic.uu", "begin 644 x\n%:&5L;&\\`\n`\nend\n");
  ExpectDone(RunIn(Dir, "classic.uu out D U"));
  EXPECT_EQ(Get(Dir.Path / "out"), "hello");
}

// A destination that exists and is longer is replaced; a decoding error is reported, exit 1.
TEST(WindowsRun, ReplacesTheDestinationAndReportsBadText) {
  vt::TempDir Dir;
  Put(Dir.Path / "src", "abc");
  Put(Dir.Path / "dst", std::string(100000, 'o'));
  ExpectDone(RunIn(Dir, "src dst E B"));
  EXPECT_EQ(Get(Dir.Path / "dst"), "YWJj");
  Put(Dir.Path / "bad", "YW*j");
  const auto R = RunIn(Dir, "bad out D B");
  ExpectReport(R, "EqvEncoderError", "Wrong symbols in source stream");
}

// The command line is split by the program's rules, not the C runtime's.
TEST(WindowsRun, TheCommandLineIsSplitByTheProgramsRules) {
  const std::string Bytes = MixedBytes(1000, 3);
  const std::string Encoded = Coded(Bytes, cmBase64, true);
  const struct {
    std::string Tail, Source, Destination;
  } Cases[] = {
      {"\"my file.bin\" \"the out.b64\" E B", "my file.bin", "the out.b64"},
      {"s\"r\"c d\"s\"t E B", "src", "dst"},             // quotes inside an argument
      {"src \"\" dst E \"\" B", "src", "dst"},            // two quotes alone are no argument
      {"src \"\"\"\"\tdst E B", "src", "dst"},
      {"src\tdst\x01" "E\x1f" "B", "src", "dst"},          // tabs and control characters
      {"  src\r\ndst   E  B  ", "src", "dst"},
      {"src dst E B ignored words", "src", "dst"},        // after the fourth: ignored
      {"\"sp ace\\\"in dst E B", "sp ace\\in", "dst"},   // a backslash before a quote is plain
      {"src \"\"dst E B", "src", "dst"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Tail);
    vt::TempDir Dir;
    fs::create_directory(Dir.Path / "sp ace");
    Put(Dir.Path / C.Source, Bytes);
    ExpectDone(RunIn(Dir, C.Tail));
    EXPECT_TRUE(Get(Dir.Path / C.Destination) == Encoded);
  }
}

// Names outside the ANSI code page work both as source and as destination.
TEST(WindowsRun, NamesOutsideTheAnsiCodePage) {
  vt::TempDir Dir;
  const std::string Greek = "\xCE\xB1\xCE\xB2\xCE\xB3 \xE6\x96\x87\xE5\xAD\x97.bin";  // αβγ 文字
  const std::string Coded64 = "\xCE\xB4\xCE\xBF\xCE\xBA\xE3\x83\x86.b64";                // δοκテ
  const std::string Bytes = MixedBytes(5000, 8);
  Put(PathOf(Dir, Greek), Bytes);
  ExpectDone(RunIn(Dir, "\"" + Greek + "\" " + Coded64 + " E B"));
  EXPECT_TRUE(Get(PathOf(Dir, Coded64)) == Coded(Bytes, cmBase64, true));
  ExpectDone(RunIn(Dir, Coded64 + " \xCF\x89.bin D B"));
  EXPECT_TRUE(Get(PathOf(Dir, "\xCF\x89.bin")) == Bytes);
  // A missing one is named in the report, as far as the OEM code page can show it.
  const std::string Missing = "\xCE\xBB\xE6\x96\x87.txt";
  ExpectReport(RunIn(Dir, Missing + " out E B"), "EFOpenError",
               "Cannot open file \"" + FullName(Dir, Missing) + "\". " +
                   SystemText(ERROR_FILE_NOT_FOUND));
}

// The report is in the console's OEM code page: an "é" is 0x82 in code pages 437 and 850.
TEST(WindowsReport, IsWrittenInTheOemCodePage) {
  vt::TempDir Dir;
  const std::string Name = "caf\xC3\xA9.txt";
  const auto R = RunIn(Dir, Name + " out E B");
  ExpectReport(R, "EFOpenError",
               "Cannot open file \"" + FullName(Dir, Name) + "\". " +
                   SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(R.Err.find("\xC3\xA9"), std::string::npos) << R.Err;
  if (::GetOEMCP() == 437 || ::GetOEMCP() == 850) {
    EXPECT_NE(R.Err.find("caf\x82.txt"), std::string::npos) << R.Err;
  }
}

// A missing source and a destination in a missing folder: the full path and the system's text;
// nothing is created.
TEST(WindowsReport, MissingSourceAndMissingFolder) {
  vt::TempDir Dir;
  ExpectReport(RunIn(Dir, "missing.txt out E B"), "EFOpenError",
               "Cannot open file \"" + FullName(Dir, "missing.txt") + "\". " +
                   SystemText(ERROR_FILE_NOT_FOUND));
  Put(Dir.Path / "src", "abc");
  ExpectReport(RunIn(Dir, "src nodir\\out E B"), "EFCreateError",
               "Cannot create file \"" + FullName(Dir, "nodir\\out") + "\". " +
                   SystemText(ERROR_PATH_NOT_FOUND));
  ExpectReport(RunIn(Dir, ".\\sub\\..\\gone.txt out E B"), "EFOpenError",
               "Cannot open file \"" + FullName(Dir, "gone.txt") + "\". " +
                   SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Listing(Dir), std::vector<std::string>{"src"});
}

// Source and destination the same file, by the same name or another spelling of it: the
// sharing-violation report, exit 1, and the file exactly as it was.
TEST(WindowsReport, TheSameFileByAnyNameIsRefusedAndLeftAsItWas) {
  vt::TempDir Dir;
  const std::string Full = FullName(Dir, "a.txt");
  std::string Slashes = Full;
  std::replace(Slashes.begin(), Slashes.end(), '\\', '/');
  const struct {
    std::string Spelling, Shown;
  } Cases[] = {
      {"a.txt", Full},
      {"A.TXT", FullName(Dir, "A.TXT")},
      {".\\a.txt", Full},
      {"sub\\..\\a.txt", Full},
      {"\"" + Full + "\"", Full},
      {"\"" + Slashes + "\"", Full},
  };
  const std::string Precious = MixedBytes(70000, 1);
  Put(Dir.Path / "a.txt", Precious);
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Spelling);
    for (const char* Method : {"B", "none"}) {
      const auto R = RunIn(Dir, "a.txt " + C.Spelling + " E " + Method);
      ExpectReport(R, "EFCreateError",
                   "Cannot create file \"" + C.Shown + "\". " + SystemText(ERROR_SHARING_VIOLATION));
      EXPECT_TRUE(Get(Dir.Path / "a.txt") == Precious);
    }
  }
  EXPECT_EQ(Listing(Dir), std::vector<std::string>{"a.txt"});
}

// A file that another process holds with no sharing: refused as destination and as source,
// and left as it was.
TEST(WindowsReport, AFileHeldByAnotherProcessIsRefused) {
  vt::TempDir Dir;
  Put(Dir.Path / "src", "abc");
  Put(Dir.Path / "held", "kept");
  const HANDLE Held = ::CreateFileW((Dir.Path / "held").wstring().c_str(),
                                    GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(Held, INVALID_HANDLE_VALUE);
  const std::string Busy = SystemText(ERROR_SHARING_VIOLATION);
  ExpectReport(RunIn(Dir, "src held E B"), "EFCreateError",
               "Cannot create file \"" + FullName(Dir, "held") + "\". " + Busy);
  ExpectReport(RunIn(Dir, "held out E B"), "EFOpenError",
               "Cannot open file \"" + FullName(Dir, "held") + "\". " + Busy);
  ::CloseHandle(Held);
  EXPECT_EQ(Get(Dir.Path / "held"), "kept");
  ExpectDone(RunIn(Dir, "held out E B"));
  EXPECT_EQ(Get(Dir.Path / "out"), "a2VwdA==");
}

// A pipe by its name is read as it arrives, and a device takes the coded bytes.
TEST(WindowsRun, APipeSourceAndADeviceDestination) {
  vt::TempDir Dir;
  const std::string Bytes = MixedBytes(2000000, 4);
  const std::string Pipe = "\\\\.\\pipe\\" + Dir.Path.filename().string();
  const HANDLE Server = ::CreateNamedPipeA(Pipe.c_str(), PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
  ASSERT_NE(Server, INVALID_HANDLE_VALUE);
  std::thread Writer([Server, &Bytes] {
    ::ConnectNamedPipe(Server, nullptr);
    for (std::size_t Done = 0; Done < Bytes.size();) {
      DWORD N = 0;
      const DWORD Piece = static_cast<DWORD>(std::min<std::size_t>(Bytes.size() - Done, 60000));
      if (!::WriteFile(Server, Bytes.data() + Done, Piece, &N, nullptr)) break;
      Done += N;
    }
    ::CloseHandle(Server);
  });
  const auto R = RunIn(Dir, Pipe + " out.uu E U");
  Writer.join();
  ExpectDone(R);
  EXPECT_TRUE(Get(Dir.Path / "out.uu") == Coded(Bytes, cmUUEncode, true));
  Put(Dir.Path / "src", "abc");
  ExpectDone(RunIn(Dir, "src NUL E B"));
  EXPECT_EQ(Listing(Dir), (std::vector<std::string>{"out.uu", "src"}));
}

// What the Windows build does not run, and why.
TEST(WindowsSuite, PosixOnlySuites) {
  GTEST_SKIP() << "POSIX only, not built for Windows: test_driver (a POSIX shell, /dev/stdin, "
                  "/dev/full, FIFOs, symbolic links, flock held by a second process), "
                  "test_faults (fault injection through POSIX calls), test_streaming "
                  "(terminals, FIFOs, /proc and /sys), test_large (posix_spawn)";
}

} // namespace
