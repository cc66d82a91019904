// Sources of more than 4 GiB: the counts are 64-bit all the way, the Base64 decoder works in
// bounded memory, and the progress totals are the real sizes. The text is a Base64 chunk
// repeated, so every decoded byte can be checked, and its size is 4 GiB and some, so that a
// count cut to 32 bits would come out far too small.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "encoder/qvEncoder.h"
#include "runtime/streams.h"
#include "tests/support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t FourGiB = std::int64_t{1} << 32;
// 1001 lines of 57 bytes: the chunk's text is whole lines, so chunks follow one another
// without a partial group between them.
constexpr std::int64_t ChunkBytes = 57 * 1001;
// The resident memory a run may take, whatever the size of its source.
constexpr long MaxResidentKiB = 64 * 1024;

double SecondsSince(Clock::time_point Start) {
  return std::chrono::duration<double>(Clock::now() - Start).count();
}

// A destination that keeps nothing and counts what it is given.
class TDiscardStream final : public rtl::TStream {
public:
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t Count) override {
    if (Count > 0) Written += Count;
    return Count;
  }
  std::int64_t Seek(std::int64_t, rtl::TSeekOrigin) override { return Written; }
  std::int64_t Written = 0;
};

// The progress reports of a run, folded as they come: keeping half a million pairs would prove
// nothing more.
struct TProgressSummary {
  std::int64_t Count = 0, FirstDone = -1, FirstTotal = -1, LastDone = -1, LastTotal = -1;
  bool Steady = true; // every total the same, no count going back or past its total
  void Add(std::int64_t Done, std::int64_t Total) {
    if (Count++ == 0) {
      FirstDone = Done;
      FirstTotal = Total;
    } else if (Total != FirstTotal || Done < LastDone) {
      Steady = false;
    }
    if (Done > Total) Steady = false;
    LastDone = Done;
    LastTotal = Total;
  }
};

struct TMeasuredRun {
  int ExitCode = -1;
  long MaxResidentKiB = 0;
  double Seconds = 0;
  std::string Err;
};

// Runs the built program, with its peak resident memory from the kernel's accounting.
TMeasuredRun RunMeasured(const vt::TempDir& Dir, std::vector<std::string> Args) {
  const std::string ErrName = Dir / "stderr";
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&Actions, 2, ErrName.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  Args.insert(Args.begin(), VEXOR_BINARY);
  std::vector<char*> Argv;
  for (auto& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  TMeasuredRun R;
  const auto Start = Clock::now();
  pid_t Pid = 0;
  const int Spawned = posix_spawn(&Pid, VEXOR_BINARY, &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  if (Spawned != 0) return R;
  int Status = 0;
  rusage Usage{};
  if (::wait4(Pid, &Status, 0, &Usage) != Pid) return R;
  R.Seconds = SecondsSince(Start);
  R.ExitCode = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  R.MaxResidentKiB = Usage.ru_maxrss;
  R.Err = vt::ReadFile(ErrName);
  return R;
}

// Compares a file with Piece repeated; reads it in pieces of that size.
::testing::AssertionResult HoldsRepeated(const std::string& Name, const std::string& Piece,
                                         std::int64_t Repeats) {
  const std::int64_t Size = static_cast<std::int64_t>(fs::file_size(Name));
  const std::int64_t Want = static_cast<std::int64_t>(Piece.size()) * Repeats;
  if (Size != Want)
    return ::testing::AssertionFailure() << Name << " holds " << Size << " bytes, not " << Want;
  std::ifstream In(Name, std::ios::binary);
  std::string Got(Piece.size(), '\0');
  for (std::int64_t I = 0; I < Repeats; ++I) {
    In.read(Got.data(), static_cast<std::streamsize>(Got.size()));
    if (!In || Got != Piece)
      return ::testing::AssertionFailure() << Name << " differs in piece " << I << " (offset "
                                           << I * static_cast<std::int64_t>(Piece.size()) << ")";
  }
  return ::testing::AssertionSuccess();
}

// The text on disk, written once and removed with its directory.
struct TLargeText {
  TLargeText() {
    Chunk = vt::RandomBytes(static_cast<std::size_t>(ChunkBytes), 64);
    // The chunk's text in lines of 76 with CR LF after every line, the last included.
    TqvEncoder E;
    rtl::TMemoryStream In(Chunk), Out;
    E.Encode(In, Out);
    ChunkText = Out.Bytes();
    ChunkText.append("\r\n");
    // Enough chunks for a text of 4 GiB and 100 MiB.
    Repeats = (FourGiB + (100 << 20)) / static_cast<std::int64_t>(ChunkText.size()) + 1;
    TextName = Dir / "big.b64";
    const auto Start = Clock::now();
    std::ofstream Text(TextName, std::ios::binary);
    for (std::int64_t I = 0; I < Repeats; ++I)
      Text.write(ChunkText.data(), static_cast<std::streamsize>(ChunkText.size()));
    Text.close();
    std::cout << "writing the " << TextSize() << "-byte text took " << SecondsSince(Start)
              << " s\n";
  }
  std::int64_t TextSize() const { return Repeats * static_cast<std::int64_t>(ChunkText.size()); }

  vt::TempDir Dir;
  std::string Chunk, ChunkText, TextName;
  std::int64_t Repeats = 0;
};

// The program copies the whole text and decodes all of it, in memory that does not grow with
// the source.
void ProgramCopiesAndDecodes(const TLargeText& T) {
  ASSERT_GT(T.TextSize(), FourGiB);
  ASSERT_EQ(static_cast<std::int64_t>(fs::file_size(T.TextName)), T.TextSize());

  const std::string Copy = T.Dir / "copy";
  const auto Copied = RunMeasured(T.Dir, {T.TextName, Copy, "D", "X"});
  std::cout << "copy: " << Copied.Seconds << " s, peak " << Copied.MaxResidentKiB << " KiB\n";
  EXPECT_EQ(Copied.ExitCode, 0) << Copied.Err;
  EXPECT_LT(Copied.MaxResidentKiB, MaxResidentKiB);
  EXPECT_TRUE(HoldsRepeated(Copy, T.ChunkText, T.Repeats));
  fs::remove(Copy);

  const std::string Decoded = T.Dir / "decoded";
  const auto Run = RunMeasured(T.Dir, {T.TextName, Decoded, "D", "BASE64"});
  std::cout << "Base64 decoding: " << Run.Seconds << " s, peak " << Run.MaxResidentKiB << " KiB\n";
  EXPECT_EQ(Run.ExitCode, 0) << Run.Err;
  EXPECT_LT(Run.MaxResidentKiB, MaxResidentKiB);
  EXPECT_GT(static_cast<std::int64_t>(fs::file_size(Decoded)), std::int64_t{1} << 31);
  EXPECT_TRUE(HoldsRepeated(Decoded, T.Chunk, T.Repeats));
  fs::remove(Decoded);
}

// Through the component: the progress totals are the source's 64-bit size, and every byte
// arrives at the destination.
void ProgressTotalsAreTheFullSizes(const TLargeText& T) {
  TqvEncoder E;
  TProgressSummary Progress;
  E.OnProgress = [&Progress](rtl::TObject*, std::int64_t Done, std::int64_t Total) {
    Progress.Add(Done, Total);
  };
  const std::int64_t Size = T.TextSize();

  E.EncodeMethod = cmNone;
  {
    rtl::TFileStream Source(T.TextName, rtl::fmOpenRead);
    TDiscardStream Sink;
    const auto Start = Clock::now();
    E.Decode(Source, Sink);
    std::cout << "copy through the component: " << SecondsSince(Start) << " s\n";
    EXPECT_EQ(Sink.Written, Size);
    EXPECT_EQ(Progress.Count, 2);
    EXPECT_EQ(Progress.FirstDone, 0);
    EXPECT_EQ(Progress.FirstTotal, Size);
    EXPECT_EQ(Progress.LastDone, Size);
    EXPECT_TRUE(Progress.Steady);
  }

  Progress = {};
  E.EncodeMethod = cmBase64;
  {
    rtl::TFileStream Source(T.TextName, rtl::fmOpenRead);
    TDiscardStream Sink;
    const auto Start = Clock::now();
    E.Decode(Source, Sink);
    std::cout << "Base64 decoding through the component: " << SecondsSince(Start) << " s, "
              << Progress.Count << " reports\n";
    EXPECT_EQ(Sink.Written, T.Repeats * ChunkBytes);
    EXPECT_EQ(Progress.FirstDone, 0);
    EXPECT_EQ(Progress.FirstTotal, Size);
    EXPECT_EQ(Progress.LastDone, Size);
    EXPECT_EQ(Progress.LastTotal, Size);
    EXPECT_TRUE(Progress.Steady);
    // One report per batch of BatchSize bytes, and one before the first.
    EXPECT_GE(Progress.Count, Size / E.BatchSize);
  }
}

// One test, so that the text is written once: each test runs in a process of its own.
TEST(LargeSource, CountsHoldBeyondFourGiB) {
  const TLargeText Text;
  {
    SCOPED_TRACE("the program");
    ProgramCopiesAndDecodes(Text);
  }
  SCOPED_TRACE("the component");
  ProgressTotalsAreTheFullSizes(Text);
}

} // namespace
