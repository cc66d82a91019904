// The program as a user runs it: the built binary on real files in a temporary directory.
// Most cases use a method word that names no encoding, which copies the file, so that they test
// the driver alone; the last group runs the codecs through it.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/driver_support.h"
#include "tests/support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

using vt::HelpText;
using vt::Args;
using vt::DoneText;
using vt::ExpectDone;
using vt::ExpectReport;
using vt::MixedBytes;
using vt::RealDir;
using vt::RunIn;

// The binary and its arguments, quoted for the shell.
std::string Command(const Args& A) {
  return vt::VexorCommand(A);
}

std::vector<std::string> Listing(const vt::TempDir& Dir) {
  std::vector<std::string> Names;
  for (const auto& E : fs::directory_iterator(Dir.Path)) Names.push_back(E.path().filename());
  std::sort(Names.begin(), Names.end());
  return Names;
}

// ---------------------------------------------------------------------------------------------
// Help

// Fewer than four arguments that count: the three lines byte for byte, exit 0, no file touched,
// whether standard input is at its end, a pipe already closed, or a closed handle.
TEST(DriverHelp, FewerThanFourArgumentsPrintTheHelpAndTouchNothing) {
  const std::vector<Args> Cases = {
      {},
      {"src"},
      {"src", "dst"},
      {"src", "dst", "E"},
      {"src", "dst", "E", ""}, // an empty argument is not counted
      {"", "src", "", "dst", "E"},
      {"", "", "", ""},
  };
  for (const auto& A : Cases) {
    for (const std::string Input : {"</dev/null", "<&-"}) {
      vt::TempDir Dir;
      vt::WriteFile(Dir / "src", "source");
      const auto R = RunIn(Dir, A, Input);
      SCOPED_TRACE(Command(A) + " " + Input);
      EXPECT_EQ(R.ExitCode, 0);
      EXPECT_EQ(R.Out, HelpText);
      EXPECT_EQ(R.Err, "");
      EXPECT_EQ(Listing(Dir), std::vector<std::string>{"src"});
      EXPECT_EQ(vt::ReadFile(Dir / "src"), "source");
    }
    vt::TempDir Dir;
    const auto R = vt::Shell("cd " + vt::Q(Dir.Path.string()) + " && : | " + Command(A));
    EXPECT_EQ(R.ExitCode, 0);
    EXPECT_EQ(R.Out, HelpText);
    EXPECT_TRUE(Listing(Dir).empty());
  }
}

// Exactly one character is taken from standard input; the rest is left for whoever reads next.
TEST(DriverHelp, ReadsExactlyOneCharacter) {
  const auto R = vt::Shell("printf 'xyz\\n' | { " + Command({}) + "; cat; }");
  EXPECT_EQ(R.ExitCode, 0);
  EXPECT_EQ(R.Out, HelpText + "yz\n");
}

// The help has nowhere to go: the failure is reported, not ignored.
TEST(DriverHelp, UnwritableStandardOutputIsAnError) {
  vt::TempDir Dir;
  const auto Closed = RunIn(Dir, {}, ">&-");
  ExpectReport(Closed, "EInOutError", "Bad file descriptor.");
  const auto Full = RunIn(Dir, {}, ">/dev/full");
  ExpectReport(Full, "EInOutError", "No space left on device.");
}

// ---------------------------------------------------------------------------------------------
// Copying runs: the arguments, the operation word and the method word

// Lower-case forms of the method words and words that name no encoding copy byte for byte,
// whatever the operation word.
TEST(DriverRun, MethodWordsThatNameNoEncodingCopyTheFile) {
  const std::string Bytes = MixedBytes(70000, 7);
  const std::vector<std::string> Methods = {"X",       "x",  "qp",     "q",  "base64", "b",
                                            "uue",     "u",  "Base64", "Qp", "QP ",    " B",
                                            "BASE64X", "UU", "8BIT",   "-",  "none",   "\xC3\xA9"};
  for (const auto& Method : Methods) {
    for (const std::string Operation : {"E", "D", "e", "d", "encode", "EE"}) {
      vt::TempDir Dir;
      vt::WriteFile(Dir / "src", Bytes);
      const auto R = RunIn(Dir, {"src", "dst", Operation, Method});
      SCOPED_TRACE("operation '" + Operation + "' method '" + Method + "'");
      ExpectDone(R);
      EXPECT_TRUE(vt::ReadFile(Dir / "dst") == Bytes);
      EXPECT_TRUE(vt::ReadFile(Dir / "src") == Bytes);
    }
  }
}

// Arguments after the fourth are ignored, even ones that look like method words; empty
// arguments are skipped wherever they stand.
TEST(DriverRun, ExtraAndEmptyArgumentsDoNotChangeTheRun) {
  const std::vector<Args> Cases = {
      {"src", "dst", "E", "X", "B"},
      {"src", "dst", "D", "X", "QP", "UUE", "more"},
      {"", "src", "", "dst", "E", "", "X"},
      {"src", "dst", "E", "", "", "X", "", "BASE64"},
  };
  const std::string Bytes = MixedBytes(1000, 3);
  for (const auto& A : Cases) {
    vt::TempDir Dir;
    vt::WriteFile(Dir / "src", Bytes);
    SCOPED_TRACE(Command(A));
    ExpectDone(RunIn(Dir, A));
    EXPECT_TRUE(vt::ReadFile(Dir / "dst") == Bytes);
  }
}

// Sizes around the stream's buffers and the copy's pieces, into a new and an existing, longer
// destination: the result is exactly the source, the old contents gone.
TEST(DriverRun, CopiesExactlyAndReplacesAnExistingDestination) {
  const std::vector<std::size_t> Sizes = {
      1, 2, 61439, 61440, 61441, 262143, 262144, 262145, 3 * 1024 * 1024 + 7};
  for (const auto Size : Sizes) {
    vt::TempDir Dir;
    const std::string Bytes = vt::RandomBytes(Size, static_cast<std::uint32_t>(Size));
    vt::WriteFile(Dir / "src", Bytes);
    vt::WriteFile(Dir / "old", std::string(Size + 5000, 'o'));
    SCOPED_TRACE(Size);
    ExpectDone(RunIn(Dir, {"src", "new", "E", "X"}));
    ExpectDone(RunIn(Dir, {"src", "old", "D", "X"}));
    EXPECT_TRUE(vt::ReadFile(Dir / "new") == Bytes);
    EXPECT_TRUE(vt::ReadFile(Dir / "old") == Bytes);
  }
}

// An empty source runs no codec, under any method, and leaves an empty destination.
TEST(DriverRun, EmptySourceGivesAnEmptyDestination) {
  for (const std::string Method : {"X", "QP", "BASE64", "UUE"}) {
    for (const std::string Operation : {"E", "D"}) {
      vt::TempDir Dir;
      vt::WriteFile(Dir / "src", "");
      vt::WriteFile(Dir / "dst", "previous contents");
      SCOPED_TRACE(Operation + " " + Method);
      ExpectDone(RunIn(Dir, {"src", "dst", Operation, Method}));
      EXPECT_EQ(vt::ReadFile(Dir / "dst"), "");
      ExpectDone(RunIn(Dir, {"src", "fresh", Operation, Method}));
      EXPECT_TRUE(fs::exists(Dir / "fresh"));
      EXPECT_EQ(vt::ReadFile(Dir / "fresh"), "");
    }
  }
}

// A new destination gets mode 0666 less the umask; an existing one keeps its own mode.
TEST(DriverRun, DestinationModeFollowsTheUmask) {
  vt::TempDir Dir;
  vt::WriteFile(Dir / "src", "abc");
  vt::WriteFile(Dir / "kept", "old");
  ::chmod((Dir / "kept").c_str(), 0600);
  const auto R =
      vt::Shell("cd " + vt::Q(Dir.Path.string()) + " && umask 027 && " +
                Command({"src", "new", "E", "X"}) + " && " + Command({"src", "kept", "E", "X"}));
  EXPECT_EQ(R.ExitCode, 0) << R.Err;
  EXPECT_EQ(fs::status(Dir / "new").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(fs::status(Dir / "kept").permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(vt::ReadFile(Dir / "kept"), "abc");
}

// A source that cannot seek (a pipe) is copied exactly as it arrives; a destination that is not
// a regular file is written as it comes. Standard output as the destination carries the bytes
// alone, and "Done." goes to standard error.
TEST(DriverRun, PipesAsSourceAndDestination) {
  vt::TempDir Dir;
  const std::string Bytes = MixedBytes(700000, 11); // more than the stream's first buffer
  vt::WriteFile(Dir / "src", Bytes);
  const auto R = vt::Shell("cd " + vt::Q(Dir.Path.string()) + " && cat src | " +
                           Command({"/dev/stdin", "piped", "E", "X"}));
  ExpectDone(R);
  EXPECT_TRUE(vt::ReadFile(Dir / "piped") == Bytes);

  const auto ToPipe = vt::Shell("cd " + vt::Q(Dir.Path.string()) + " && " +
                                Command({"src", "/dev/stdout", "E", "X"}) + " </dev/null | cat");
  EXPECT_EQ(ToPipe.ExitCode, 0) << ToPipe.Err;
  EXPECT_TRUE(ToPipe.Out == Bytes);
  EXPECT_EQ(ToPipe.Err, DoneText);
  ExpectDone(RunIn(Dir, {"src", "/dev/null", "E", "X"}));
}

// ---------------------------------------------------------------------------------------------
// Failures and the report

// A missing source: the full path in the message, "." and ".." folded by the letter of the
// name (a ".." after a link to a directory goes back up the name, not the link's target), and
// the destination never created or, when it exists, left as it was.
TEST(DriverReport, MissingSourceNamesTheFullPath) {
  vt::TempDir Dir;
  fs::create_directories(Dir.Path / "real" / "deep");
  fs::create_directory_symlink(Dir.Path / "real" / "deep", Dir.Path / "link");
  const std::string Real = RealDir(Dir);
  const std::vector<std::string> Names = {"missing",
                                          "./missing",
                                          "real/../missing",
                                          "real/./deep/../../missing",
                                          "link/../missing",
                                          ".//real//..//missing",
                                          "../" + fs::path(Real).filename().string() + "/missing",
                                          Real + "/./real/../missing"};
  const std::string Expected =
      "Cannot open file \"" + Real + "/missing\". No such file or directory.";
  for (const auto& Name : Names) {
    SCOPED_TRACE(Name);
    const auto Fresh = RunIn(Dir, {Name, "dst", "E", "X"});
    ExpectReport(Fresh, "EFOpenError", Expected);
    EXPECT_FALSE(fs::exists(Dir / "dst"));
    vt::WriteFile(Dir / "kept", "keep me");
    const auto Existing = RunIn(Dir, {Name, "kept", "E", "X"});
    ExpectReport(Existing, "EFOpenError", Expected);
    EXPECT_EQ(vt::ReadFile(Dir / "kept"), "keep me");
  }
}

// The module in the report is the executable's own file name, whatever it is called.
TEST(DriverReport, NamesTheExecutableItRunsAs) {
  vt::TempDir Dir;
  fs::copy_file(VEXOR_BINARY, Dir.Path / "conv-tool");
  const auto R = vt::Shell("cd " + vt::Q(Dir.Path.string()) + " && ./conv-tool nothing dst E X");
  ExpectReport(R, "EFOpenError",
               "Cannot open file \"" + RealDir(Dir) + "/nothing\". No such file or directory.",
               "conv-tool");
}

// Names that cannot be opened or created, each with the system's own text.
TEST(DriverReport, FilesThatCannotBeOpenedOrCreated) {
  vt::TempDir Dir;
  const std::string Real = RealDir(Dir);
  fs::create_directory(Dir.Path / "dir");
  vt::WriteFile(Dir / "src", "abc");
  vt::WriteFile(Dir / "file", "a file");
  struct Case {
    Args A;
    const char* ClassName;
    std::string Message;
  };
  std::vector<Case> Cases = {
      {{"dir", "dst", "E", "X"},
       "EFOpenError",
       "Cannot open file \"" + Real + "/dir\". Is a directory."},
      {{"src", "dir", "E", "X"},
       "EFCreateError",
       "Cannot create file \"" + Real + "/dir\". Is a directory."},
      {{"src", "nodir/dst", "E", "X"},
       "EFCreateError",
       "Cannot create file \"" + Real + "/nodir/dst\". No such file or directory."},
      {{"src", "file/dst", "E", "X"},
       "EFCreateError",
       "Cannot create file \"" + Real + "/file/dst\". Not a directory."},
  };
  if (::geteuid() != 0) { // root reads and writes regardless of the mode
    vt::WriteFile(Dir / "locked", "secret");
    ::chmod((Dir / "locked").c_str(), 0);
    vt::WriteFile(Dir / "readonly", "unchanged");
    ::chmod((Dir / "readonly").c_str(), 0444);
    Cases.push_back({{"locked", "dst", "E", "X"},
                     "EFOpenError",
                     "Cannot open file \"" + Real + "/locked\". Permission denied."});
    Cases.push_back({{"src", "readonly", "E", "X"},
                     "EFCreateError",
                     "Cannot create file \"" + Real + "/readonly\". Permission denied."});
  }
  for (const auto& C : Cases) {
    SCOPED_TRACE(Command(C.A));
    ExpectReport(RunIn(Dir, C.A), C.ClassName, C.Message);
  }
  EXPECT_FALSE(fs::exists(Dir / "dst"));
  EXPECT_EQ(vt::ReadFile(Dir / "file"), "a file");
  if (::geteuid() != 0) {
    EXPECT_EQ(vt::ReadFile(Dir / "readonly"), "unchanged");
  }
}

// The source is held for the run, so a destination that is the same file, by any name, is
// refused and the file stays exactly as it was.
TEST(DriverReport, SourceAsDestinationIsRefusedByAnyName) {
  vt::TempDir Dir;
  const std::string Real = RealDir(Dir);
  const std::string Bytes = MixedBytes(5000, 5);
  vt::WriteFile(Dir / "src", Bytes);
  fs::create_hard_link(Dir.Path / "src", Dir.Path / "hard");
  fs::create_symlink("src", Dir.Path / "soft");
  fs::create_symlink("soft", Dir.Path / "softer");
  fs::create_directory(Dir.Path / "sub");
  const std::vector<std::pair<std::string, std::string>> Names = {
      {"src", "src"},   {"./src", "src"}, {"sub/../src", "src"}, {Real + "/src", "src"},
      {"hard", "hard"}, {"soft", "soft"}, {"softer", "softer"}};
  for (const auto& [Dst, Shown] : Names) {
    for (const std::string Method : {"X", "BASE64"}) {
      SCOPED_TRACE(Dst + " " + Method);
      ExpectReport(RunIn(Dir, {"src", Dst, "E", Method}), "EFCreateError",
                   "Cannot create file \"" + Real + "/" + Shown + "\". Device or resource busy.");
      EXPECT_TRUE(vt::ReadFile(Dir / "src") == Bytes);
    }
  }
  // The other way round: the link as the source, the file itself as the destination.
  ExpectReport(RunIn(Dir, {"soft", "src", "E", "X"}), "EFCreateError",
               "Cannot create file \"" + Real + "/src\". Device or resource busy.");
  EXPECT_TRUE(vt::ReadFile(Dir / "src") == Bytes);
}

// Another process holds a file: the source cannot be opened, the destination cannot be
// created, and an existing destination is not emptied.
TEST(DriverReport, FilesHeldByAnotherProcess) {
  if (!vt::HaveCommand("flock")) GTEST_SKIP() << "flock (util-linux) is not installed";
  vt::TempDir Dir;
  const std::string Real = RealDir(Dir);
  vt::WriteFile(Dir / "src", "source bytes");
  vt::WriteFile(Dir / "dst", "destination bytes");
  const auto Held = [&](const std::string& File, const Args& A) {
    return vt::Shell("cd " + vt::Q(Dir.Path.string()) + " && flock -x " + vt::Q(File) + " " +
                     Command(A) + " </dev/null");
  };
  ExpectReport(Held("src", {"src", "dst", "E", "X"}), "EFOpenError",
               "Cannot open file \"" + Real + "/src\". Device or resource busy.");
  ExpectReport(Held("src", {"src", "new", "E", "X"}), "EFOpenError",
               "Cannot open file \"" + Real + "/src\". Device or resource busy.");
  EXPECT_FALSE(fs::exists(Dir / "new"));
  ExpectReport(Held("dst", {"src", "dst", "E", "X"}), "EFCreateError",
               "Cannot create file \"" + Real + "/dst\". Device or resource busy.");
  EXPECT_EQ(vt::ReadFile(Dir / "src"), "source bytes");
  EXPECT_EQ(vt::ReadFile(Dir / "dst"), "destination bytes");
  // Once the holder is gone the same run succeeds.
  ExpectDone(RunIn(Dir, {"src", "dst", "E", "X"}));
  EXPECT_EQ(vt::ReadFile(Dir / "dst"), "source bytes");
}

// A full disk ends the run with the write error and no "Done.".
TEST(DriverReport, FullDestinationDevice) {
  vt::TempDir Dir;
  for (const std::size_t Size : {std::size_t{1}, std::size_t{100000}, std::size_t{1000000}}) {
    vt::WriteFile(Dir / "src", vt::RandomBytes(Size, 9));
    SCOPED_TRACE(Size);
    ExpectReport(RunIn(Dir, {"src", "/dev/full", "E", "X"}), "EWriteError", "Stream write error.");
  }
}

// "Done." that cannot be written is an error too; the destination is complete all the same,
// and the text never lands in one of the run's files.
TEST(DriverReport, UnwritableStandardOutputAfterTheRun) {
  vt::TempDir Dir;
  const std::string Bytes = MixedBytes(100000, 13);
  vt::WriteFile(Dir / "src", Bytes);
  struct Case {
    std::string Redirect, Message;
  };
  const std::vector<Case> Cases = {
      {">&-", "Bad file descriptor."},
      {"<&- >&-", "Bad file descriptor."},
      {">/dev/full", "No space left on device."},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Redirect);
    fs::remove(Dir.Path / "dst");
    ExpectReport(RunIn(Dir, {"src", "dst", "E", "X"}, C.Redirect), "EInOutError", C.Message);
    EXPECT_TRUE(vt::ReadFile(Dir / "dst") == Bytes);
    EXPECT_TRUE(vt::ReadFile(Dir / "src") == Bytes);
  }
  // Every standard handle closed: nothing can be reported, but the exit code still says so.
  const auto R = RunIn(Dir, {"src", "dst", "E", "X"}, "<&- >&- 2>&-");
  EXPECT_EQ(R.ExitCode, 1);
  EXPECT_TRUE(vt::ReadFile(Dir / "dst") == Bytes);
}

// A reader that has gone away: the program reports the broken pipe instead of dying by the
// signal.
TEST(DriverReport, StandardOutputReaderGone) {
  vt::TempDir Dir;
  vt::WriteFile(Dir / "src", "abc");
  const std::string Src = Dir / "src", Dst = Dir / "dst", Err = Dir / "err";
  int Pipe[2];
  ASSERT_EQ(::pipe(Pipe), 0);
  ::close(Pipe[0]);
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
  posix_spawn_file_actions_addopen(&Actions, 2, Err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addclose(&Actions, Pipe[1]);
  std::vector<std::string> Argv = {VEXOR_BINARY, Src, Dst, "E", "X"};
  std::vector<char*> Ptrs;
  for (auto& A : Argv) Ptrs.push_back(A.data());
  Ptrs.push_back(nullptr);
  pid_t Pid = 0;
  const int Spawned = posix_spawn(&Pid, VEXOR_BINARY, &Actions, nullptr, Ptrs.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  ::close(Pipe[1]);
  ASSERT_EQ(Spawned, 0);
  int Status = 0;
  ASSERT_EQ(::waitpid(Pid, &Status, 0), Pid);
  ASSERT_TRUE(WIFEXITED(Status)) << "ended by signal " << WTERMSIG(Status);
  vt::RunResult R;
  R.ExitCode = WEXITSTATUS(Status);
  R.Err = vt::ReadFile(Err);
  ExpectReport(R, "EInOutError", "Broken pipe.");
  EXPECT_EQ(vt::ReadFile(Dst), "abc");
}

// Standard output that is the destination itself: were "Done." written there, it would land
// on top of the result (">dst" over the first bytes, ">>dst" after them) while the run reports
// success. The driver sees that the two are one file and says "Done." on standard error instead.
TEST(DriverRun, DestinationThatIsStandardOutputGetsTheBytesAlone) {
  // Standard output redirected into the destination file, by every form of redirection: the
  // file holds the bytes alone ("Done." goes to standard error), ">>" appends to what it held,
  // and with standard error in the file too nothing is said at all.
  vt::TempDir Dir;
  vt::WriteFile(Dir / "src", "abcdefghijkl");
  const struct {
    std::string Redirect, Err, Left;
  } Cases[] = {
      {">dst", DoneText, "abcdefghijkl"},
      {">>dst", DoneText, "keptabcdefghijkl"},
      {"1<>dst", DoneText, "abcdefghijkl"},
      {">dst 2>&1", "", "abcdefghijkl"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Redirect);
    vt::WriteFile(Dir / "dst", "kept");
    const auto R = RunIn(Dir, {"src", "dst", "E", "X"}, C.Redirect);
    EXPECT_EQ(R.ExitCode, 0) << R.Err;
    EXPECT_EQ(R.Err, C.Err);
    EXPECT_EQ(vt::ReadFile(Dir / "dst"), C.Left);
  }
}

// Standard error alone is still no destination: a report would land inside the coded bytes.
TEST(DriverReport, DestinationThatIsStandardErrorIsRefused) {
  vt::TempDir Dir;
  const std::string Real = RealDir(Dir);
  vt::WriteFile(Dir / "src", "abcdefghijkl");
  vt::WriteFile(Dir / "dst", "kept");
  const auto R = RunIn(Dir, {"src", "dst", "E", "X"}, ">out 2>>dst");
  EXPECT_EQ(R.ExitCode, 1);
  const std::string Left = vt::ReadFile(Dir / "dst");
  EXPECT_NE(Left.find("Cannot create file \"" + Real + "/dst\". Device or resource busy."),
            std::string::npos)
      << Left;
  EXPECT_EQ(Left.rfind("kept", 0), 0u) << Left;
}

// ---------------------------------------------------------------------------------------------
// Runs that need a codec

// The short method words act exactly as the long ones, in both directions: same exit code,
// same texts, same destination.
TEST(DriverCodec, ShortMethodWordsActAsTheLongOnes) {
  const std::vector<std::string> Sources = {MixedBytes(3000, 17), "YWJj\r\nZGVm", "=41=42\r\n",
                                            "#86)C\r\n`\r\n"};
  for (const auto& [Short, Long] : std::vector<std::pair<std::string, std::string>>{
           {"Q", "QP"}, {"B", "BASE64"}, {"U", "UUE"}}) {
    for (const std::string Operation : {"E", "D"}) {
      for (const auto& Bytes : Sources) {
        vt::TempDir Dir;
        vt::WriteFile(Dir / "src", Bytes);
        const auto A = RunIn(Dir, {"src", "short", Operation, Short});
        const auto B = RunIn(Dir, {"src", "long", Operation, Long});
        SCOPED_TRACE(Operation + " " + Short + "/" + Long);
        EXPECT_EQ(A.ExitCode, B.ExitCode);
        EXPECT_EQ(A.Out, B.Out);
        EXPECT_EQ(A.Err, B.Err);
        EXPECT_TRUE(vt::ReadFile(Dir / "short") == vt::ReadFile(Dir / "long"));
      }
    }
  }
}

// Only "E" encodes; every other operation word, "e" included, decodes.
TEST(DriverCodec, OnlyCapitalEEncodes) {
  for (const std::string Operation : {"E", "e", "D", "d", "X", "EE", "Encode"}) {
    vt::TempDir Dir;
    vt::WriteFile(Dir / "src", "YWJj");
    SCOPED_TRACE(Operation);
    ExpectDone(RunIn(Dir, {"src", "dst", Operation, "B"}));
    EXPECT_EQ(vt::ReadFile(Dir / "dst"), Operation == "E" ? "WVdKag==" : "abc");
  }
}

// The README's example: a file to Base64 and back, with coreutils' base64 as a witness.
TEST(DriverCodec, Base64RoundTripAgainstCoreutils) {
  if (!vt::HaveCommand("base64")) GTEST_SKIP() << "coreutils base64 is not installed";
  vt::TempDir Dir;
  const std::string Bytes = MixedBytes(200000, 19);
  vt::WriteFile(Dir / "data", Bytes);
  const std::string Cd = "cd " + vt::Q(Dir.Path.string()) + " && ";
  ExpectDone(RunIn(Dir, {"data", "data.b64", "E", "BASE64"}));
  ExpectDone(RunIn(Dir, {"data.b64", "back", "D", "BASE64"}));
  EXPECT_TRUE(vt::ReadFile(Dir / "back") == Bytes);
  EXPECT_EQ(vt::Shell(Cd + "tr -d '\\r' <data.b64 | base64 -d >peer").ExitCode, 0);
  EXPECT_TRUE(vt::ReadFile(Dir / "peer") == Bytes);
  EXPECT_EQ(vt::Shell(Cd + "base64 data >coreutils.b64").ExitCode, 0);
  ExpectDone(RunIn(Dir, {"coreutils.b64", "fromPeer", "D", "B"}));
  EXPECT_TRUE(vt::ReadFile(Dir / "fromPeer") == Bytes);
}

// Bad Base64 text: the decoder's error in the report (its message already ends in a full stop),
// and the destination keeps the batches decoded before it.
TEST(DriverCodec, WrongSymbolsInBase64Text) {
  vt::TempDir Dir;
  std::string Text;
  for (int I = 0; I < 2048; ++I) Text += "QUJD"; // one whole batch of 8192 characters: "ABC"...
  vt::WriteFile(Dir / "src", Text + "QU*D");
  vt::WriteFile(Dir / "dst", "old contents");
  ExpectReport(RunIn(Dir, {"src", "dst", "D", "BASE64"}), "EqvEncoderError",
               "Wrong symbols in source stream.");
  std::string Abc;
  for (int I = 0; I < 2048; ++I) Abc += "ABC";
  EXPECT_EQ(vt::ReadFile(Dir / "dst"), Abc);
}

} // namespace
