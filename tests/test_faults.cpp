// Faults as a user meets them, against the built binary: devices and file systems that fill
// up, names that cannot be opened or created, files held by another run, source and
// destination that are one file, pipes at either end. Whatever happens, the run either does
// its job or ends with the three-line report and exit code 1, never hangs, and never changes
// the source.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "encoder/qvEncoder.h"
#include "tests/driver_support.h"
#include "tests/support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Each run is bounded: a run that does not end in time is a hang (exit code 124). Runs that
// write into pipes get less time, since a hang is what they look for.
constexpr int RunLimit = 120, PipeRunLimit = 10;

using vt::AllMethods;
using vt::Args;
using vt::ExpectDone;
using vt::ExpectReport;
using vt::RealDir;
using vt::TMethod;

// The program and its arguments, for the shell, under a time limit.
std::string Command(const Args& A, int Limit = RunLimit) {
  return vt::VexorCommand(A, Limit);
}

// Runs the program inside Dir with standard input from /dev/null; Tail follows the arguments.
vt::RunResult RunIn(const fs::path& Dir, const Args& A, const std::string& Tail = "") {
  return vt::RunIn(Dir, A, Tail, RunLimit);
}

// A directory with a data file and its text in each encoding, made by the program itself, so
// that every method has a source it accepts.
class TSources : public vt::TMethodSources {
public:
  explicit TSources(std::size_t Size, std::uint32_t Seed = 1)
      : TMethodSources(vt::MixedBytes(Size, Seed)) {}
};

// A child process that runs the program in the background, ended and reaped when it goes.
class TBackgroundRun {
public:
  explicit TBackgroundRun(const Args& A) {
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> Argv = {VEXOR_BINARY};
    Argv.insert(Argv.end(), A.begin(), A.end());
    std::vector<char*> Ptrs;
    for (auto& Arg : Argv) Ptrs.push_back(Arg.data());
    Ptrs.push_back(nullptr);
    if (posix_spawn(&FPid, VEXOR_BINARY, &Actions, nullptr, Ptrs.data(), environ) != 0) FPid = 0;
    posix_spawn_file_actions_destroy(&Actions);
  }
  ~TBackgroundRun() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGKILL);
    int Status = 0;
    ::waitpid(FPid, &Status, 0);
  }
  bool Running() const {
    int Status = 0;
    return FPid > 0 && ::waitpid(FPid, &Status, WNOHANG) == 0;
  }

private:
  pid_t FPid = 0;
};

// Whether some process holds the file's lock, as the program takes it for every file it opens.
bool Held(const std::string& Name) {
  const int Fd = ::open(Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return false;
  const bool Busy = ::flock(Fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(Fd);
  return Busy;
}

bool WaitUntilHeld(const std::string& Name) {
  for (int I = 0; I < 500; ++I) {
    if (Held(Name)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Destinations that take no more

// A device that refuses every byte: the write error for every method, whether the refusal
// comes in the middle of the run or at the final flush.
TEST(Faults, DestinationOnAFullDevice) {
  for (const std::size_t Size : {std::size_t{10}, std::size_t{700000}, std::size_t{3} << 20}) {
    TSources S(Size);
    for (const auto& M : AllMethods) {
      SCOPED_TRACE(M.Name() + " of " + std::to_string(Size));
      const std::string Before = vt::ReadFile(S.Source(M));
      ExpectReport(RunIn(S.Dir.Path, {S.Source(M), "/dev/full", M.Operation, M.Word}),
                   "EWriteError", "Stream write error.");
      EXPECT_TRUE(vt::ReadFile(S.Source(M)) == Before);
    }
  }
}

// A small file system of its own, mounted for one test and gone after it.
class TSmallFileSystem {
public:
  TSmallFileSystem(const fs::path& Where, const std::string& Size) : FWhere(Where) {
    fs::create_directories(Where);
    const auto R =
        vt::Shell("mount -t tmpfs -o size=" + Size + " vexor-test " + vt::Q(Where.string()));
    if (R.ExitCode == 0)
      FMounted = true;
    else
      FRefusal = R.Err.empty() ? "mount exited with " + std::to_string(R.ExitCode) : R.Err;
  }
  ~TSmallFileSystem() {
    if (FMounted) vt::Shell("umount " + vt::Q(FWhere.string()));
  }
  bool Mounted() const { return FMounted; }
  const std::string& Refusal() const { return FRefusal; }

private:
  fs::path FWhere;
  bool FMounted = false;
  std::string FRefusal;
};

// A file system that fills up part-way through the run: the write error, no "Done.", and what
// did reach the destination is the start of the right output, not garbage.
TEST(Faults, FileSystemThatFillsPartWay) {
  TSources S(3 << 20, 2);
  TSmallFileSystem Small(S.Dir.Path / "small", "1m");
  if (!Small.Mounted()) GTEST_SKIP() << "cannot mount a small file system: " << Small.Refusal();
  const std::string Dst = S.Dir / "small/out";
  for (const auto& M : AllMethods) {
    SCOPED_TRACE(M.Name());
    const std::string Expected = S.Expected(M);
    ASSERT_GT(Expected.size(), std::size_t{1} << 20); // more than the file system holds
    const std::string Before = vt::ReadFile(S.Source(M));
    ExpectReport(RunIn(S.Dir.Path, {S.Source(M), Dst, M.Operation, M.Word}), "EWriteError",
                 "Stream write error.");
    const std::string Written = vt::ReadFile(Dst);
    EXPECT_LT(Written.size(), Expected.size());
    EXPECT_TRUE(Expected.compare(0, Written.size(), Written) == 0)
        << "the destination is not the start of the output";
    EXPECT_TRUE(vt::ReadFile(S.Source(M)) == Before);
    fs::remove(Dst);
  }
}

// ---------------------------------------------------------------------------------------------
// Names that cannot be opened or created

// Each has its own report, names the full path with the system's text, and leaves the source
// as it was.
TEST(Faults, DestinationsThatCannotBeCreated) {
  TSources S(1000);
  const std::string Real = RealDir(S.Dir);
  fs::create_directory(S.Dir.Path / "folder");
  struct TCase {
    std::string Destination, Message;
  };
  const std::vector<TCase> Cases = {
      {"missing/out",
       "Cannot create file \"" + Real + "/missing/out\". No such file or directory."},
      {"data.QP/out", "Cannot create file \"" + Real + "/data.QP/out\". Not a directory."},
      {"folder", "Cannot create file \"" + Real + "/folder\". Is a directory."},
  };
  const std::string Before = vt::ReadFile(S.Dir / "data");
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Destination);
    ExpectReport(RunIn(S.Dir.Path, {"data", C.Destination, "E", "BASE64"}), "EFCreateError",
                 C.Message);
    EXPECT_TRUE(vt::ReadFile(S.Dir / "data") == Before);
  }
  EXPECT_FALSE(fs::exists(S.Dir.Path / "missing"));
  EXPECT_TRUE(fs::is_empty(S.Dir.Path / "folder"));
}

// A source that is a directory cannot be opened; the destination is never created, and one
// that exists keeps its contents.
TEST(Faults, SourceIsADirectory) {
  vt::TempDir Dir;
  const std::string Real = RealDir(Dir);
  fs::create_directory(Dir.Path / "folder");
  vt::WriteFile(Dir / "kept", "kept bytes");
  for (const auto& M : AllMethods) {
    SCOPED_TRACE(M.Name());
    ExpectReport(RunIn(Dir.Path, {"folder", "new", M.Operation, M.Word}), "EFOpenError",
                 "Cannot open file \"" + Real + "/folder\". Is a directory.");
    EXPECT_FALSE(fs::exists(Dir.Path / "new"));
    ExpectReport(RunIn(Dir.Path, {"folder", "kept", M.Operation, M.Word}), "EFOpenError",
                 "Cannot open file \"" + Real + "/folder\". Is a directory.");
    EXPECT_EQ(vt::ReadFile(Dir / "kept"), "kept bytes");
  }
}

// A second run that is still going holds its source and its destination: a run that wants
// either as its source cannot open it, and a run that wants either as its destination cannot
// create it, nor empty it.
TEST(Faults, FilesHeldByASecondRunningVexor) {
  TSources S(2 << 20, 3);
  // The first run writes into a pipe whose reader never reads, so it blocks with its source
  // open. The reader is this test, which keeps the pipe open until the first run is ended.
  const std::string Pipe = S.Dir / "pipe";
  ASSERT_EQ(::mkfifo(Pipe.c_str(), 0600), 0);
  struct TReader {
    int Fd;
    ~TReader() { ::close(Fd); }
  } Reader{::open(Pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  ASSERT_GE(Reader.Fd, 0);
  TBackgroundRun First({S.Dir / "data", Pipe, "E", "X"});
  ASSERT_TRUE(WaitUntilHeld(S.Dir / "data")) << "the first run did not open its source";
  const std::string Real = RealDir(S.Dir);
  const std::string Before = vt::ReadFile(S.Dir / "data");

  ExpectReport(RunIn(S.Dir.Path, {"data", "out", "E", "BASE64"}), "EFOpenError",
               "Cannot open file \"" + Real + "/data\". Device or resource busy.");
  EXPECT_FALSE(fs::exists(S.Dir.Path / "out"));
  ExpectReport(RunIn(S.Dir.Path, {"data.QP", "data", "D", "QP"}), "EFCreateError",
               "Cannot create file \"" + Real + "/data\". Device or resource busy.");
  EXPECT_TRUE(First.Running());
  EXPECT_TRUE(vt::ReadFile(S.Dir / "data") == Before);
}

// The same with another program holding the lock (util-linux flock).
TEST(Faults, SourceHeldByAnotherProgram) {
  if (!vt::HaveCommand("flock")) GTEST_SKIP() << "flock (util-linux) is not installed";
  TSources S(1000);
  const std::string Real = RealDir(S.Dir);
  for (const auto& M : AllMethods) {
    SCOPED_TRACE(M.Name());
    const auto R =
        vt::Shell("cd " + vt::Q(S.Dir.Path.string()) + " && flock -x " + vt::Q(S.Source(M)) + " " +
                  Command({S.Source(M), "out", M.Operation, M.Word}) + " </dev/null");
    ExpectReport(R, "EFOpenError",
                 "Cannot open file \"" + Real + "/" + fs::path(S.Source(M)).filename().string() +
                     "\". Device or resource busy.");
    EXPECT_FALSE(fs::exists(S.Dir.Path / "out"));
  }
}

// Source and destination one file, by the same name, another spelling, a hard link or a
// symbolic link: refused before anything is written, the file byte for byte as it was.
TEST(Faults, SourceAsDestinationIsRefusedForEveryMethod) {
  TSources S(5000, 4);
  const std::string Real = RealDir(S.Dir);
  fs::create_directory(S.Dir.Path / "sub");
  for (const auto& M : AllMethods) {
    const std::string Src = fs::path(S.Source(M)).filename().string();
    fs::remove(S.Dir.Path / "hard");
    fs::remove(S.Dir.Path / "soft");
    fs::create_hard_link(S.Dir.Path / Src, S.Dir.Path / "hard");
    fs::create_symlink(Src, S.Dir.Path / "soft");
    const std::string Before = vt::ReadFile(S.Dir / Src);
    for (const auto& [Dst, Shown] : std::vector<std::pair<std::string, std::string>>{
             {Src, Src}, {"sub/../" + Src, Src}, {"hard", "hard"}, {"soft", "soft"}}) {
      SCOPED_TRACE(M.Name() + " into " + Dst);
      ExpectReport(RunIn(S.Dir.Path, {Src, Dst, M.Operation, M.Word}), "EFCreateError",
                   "Cannot create file \"" + Real + "/" + Shown + "\". Device or resource busy.");
      EXPECT_TRUE(vt::ReadFile(S.Dir / Src) == Before);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Pipes

// A destination pipe whose reader has gone, after reading a little: a report and exit code 1,
// never a hang, never "Done.". The output is larger than any pipe's buffer, so it cannot all
// vanish into one.
TEST(Faults, DestinationPipeWhoseReaderHasGone) {
  TSources S(2 << 20, 5);
  const std::string Dir = vt::Q(S.Dir.Path.string());
  const std::string Fifo = S.Dir / "fifo";
  ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
  for (const auto& M : {TMethod{"E", "BASE64"}, TMethod{"E", "QP"}, TMethod{"D", "X"}}) {
    SCOPED_TRACE(M.Name());
    // The program's standard output, named as its destination.
    const auto Stdout =
        vt::Shell("cd " + Dir + " && { " +
                  Command({S.Source(M), "/dev/stdout", M.Operation, M.Word}, PipeRunLimit) +
                  " </dev/null; echo $? >code; } | head -c 100 >/dev/null");
    auto Reported = Stdout;
    Reported.ExitCode = std::stoi(vt::ReadFile(S.Dir / "code"));
    ExpectReport(Reported, "EWriteError", "Stream write error.");
    // A named pipe.
    const auto Named = vt::Shell("cd " + Dir + " && { head -c 100 fifo >/dev/null & } && " +
                                 Command({S.Source(M), "fifo", M.Operation, M.Word}, PipeRunLimit) +
                                 " </dev/null; code=$?; wait; exit $code");
    ExpectReport(Named, "EWriteError", "Stream write error.");
  }
}

// The reader is gone before the run starts: opening the pipe succeeds, the first write fails.
TEST(Faults, DestinationPipeWithoutAReader) {
  TSources S(2 << 20, 6);
  auto R = vt::Shell("cd " + vt::Q(S.Dir.Path.string()) + " && { sleep 0.5; " +
                     Command({"data", "/dev/stdout", "E", "BASE64"}, PipeRunLimit) +
                     " </dev/null; echo $? >code; } | true");
  R.ExitCode = std::stoi(vt::ReadFile(S.Dir / "code"));
  ExpectReport(R, "EWriteError", "Stream write error.");
}

// A source that is a pipe, a process substitution or a named pipe is coded exactly as a file
// with the same bytes, for every method. The source is larger than the stream's buffer.
TEST(Faults, SourcePipesAreCodedAsFiles) {
  TSources S(700000, 7);
  const std::string Fifo = S.Dir / "fifo";
  ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
  for (const auto& M : AllMethods) {
    const std::string Expected = S.Expected(M);
    const std::string Cat = "cat " + vt::Q(S.Source(M));
    const std::string Tail = " out " + M.Operation + " " + M.Word + " </dev/null";
    const std::string Vexor = Command({});
    const std::vector<std::pair<std::string, std::string>> Forms = {
        {"pipe", Cat + " | " + Vexor + " /dev/stdin out " + M.Operation + " " + M.Word},
        {"process substitution", "bash -c " + vt::Q(Vexor + " <(" + Cat + ")" + Tail)},
        {"named pipe",
         "{ " + Cat + " >fifo & } && " + Vexor + " fifo" + Tail + "; code=$?; wait; exit $code"},
    };
    for (const auto& [Form, Line] : Forms) {
      SCOPED_TRACE(M.Name() + " from a " + Form);
      fs::remove(S.Dir.Path / "out");
      ExpectDone(vt::Shell("cd " + vt::Q(S.Dir.Path.string()) + " && " + Line));
      EXPECT_TRUE(vt::ReadFile(S.Dir / "out") == Expected);
    }
  }
}

} // namespace
