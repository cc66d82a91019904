// The component frame: initial values, dispatch, the plain copy, the line-length rule,
// progress and the error class.
#include <gtest/gtest.h>

#include <atomic>
#if defined(__linux__)
#include <sched.h>
#endif
#include <stdexcept>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/qvThreads.h"
#include "tests/support.h"

namespace detail = vexor::detail;

namespace {

TEST(Frame, InitialValues) {
  TqvEncoder E;
  EXPECT_EQ(E.EncodeMethod, cmBase64);
  EXPECT_EQ(E.CharsPerLine, 76);
  EXPECT_FALSE(E.SuppressCrlf);
  EXPECT_EQ(E.BatchSize, 8192);
  EXPECT_FALSE(E.OnProgress);
  EXPECT_FALSE(E.AllowESC);
  EXPECT_TRUE(E.CharSet.empty());
  EXPECT_EQ(E.ErrorProcessing, epStop);
  EXPECT_EQ(E.Owner(), nullptr);
}

TEST(Frame, OwnerDeletesWhatItOwnsAndForgetsWhatIsDeletedFirst) {
  struct Probe : TqvEncoder {
    Probe(rtl::TComponent* Owner, int& Count) : TqvEncoder(Owner), Alive(Count) { ++Alive; }
    ~Probe() override { --Alive; }
    int& Alive;
  };
  int Alive = 0;
  {
    rtl::TComponent Owner(nullptr);
    new Probe(&Owner, Alive);
    auto* Second = new Probe(&Owner, Alive);
    new Probe(&Owner, Alive);
    EXPECT_EQ(Owner.ComponentCount(), 3);
    delete Second;
    EXPECT_EQ(Owner.ComponentCount(), 2);
    EXPECT_EQ(Alive, 2);
  }
  EXPECT_EQ(Alive, 0);
}

struct LineCase {
  std::int32_t CharsPerLine, QP, B64, UUE;
};

TEST(Frame, EffectiveCharsPerLineFollowsEachMethodsRule) {
  const LineCase Cases[] = {
      {-5, 4, 64, 3},       {0, 4, 64, 3},         {1, 4, 64, 3},        {3, 4, 64, 3},
      {4, 4, 64, 4},        {63, 63, 64, 63},      {64, 64, 64, 64},     {65, 65, 64, 65},
      {66, 66, 68, 66},     {67, 67, 68, 67},      {69, 69, 72, 69},     {73, 73, 72, 73},
      {74, 74, 76, 74},     {76, 76, 76, 76},      {77, 77, 80, 77},     {81, 81, 80, 81},
      {100, 100, 100, 100}, {131, 131, 132, 131},  {132, 132, 132, 132}, {133, 132, 136, 132},
      {200, 132, 200, 132}, {INT32_MIN, 4, 64, 3},
  };
  TqvEncoder E;
  for (const auto& C : Cases) {
    E.CharsPerLine = C.CharsPerLine;
    E.EncodeMethod = cmQuotedPrintable;
    EXPECT_EQ(E.GetEffectiveCharsPerLine(), C.QP) << C.CharsPerLine;
    E.EncodeMethod = cmBase64;
    EXPECT_EQ(E.GetEffectiveCharsPerLine(), C.B64) << C.CharsPerLine;
    E.EncodeMethod = cmUUEncode;
    EXPECT_EQ(E.GetEffectiveCharsPerLine(), C.UUE) << C.CharsPerLine;
  }
  // Base64 ties go to the even multiple of 4, all the way up; no value overflows.
  E.EncodeMethod = cmBase64;
  for (std::int32_t M = 16; M < 2000; ++M) {
    E.CharsPerLine = 4 * M + 1;
    EXPECT_EQ(E.GetEffectiveCharsPerLine(), M % 2 == 0 ? 4 * M : 4 * M + 4);
    E.CharsPerLine = 4 * M + 2;
    EXPECT_EQ(E.GetEffectiveCharsPerLine(), 4 * M + 4);
  }
  E.CharsPerLine = INT32_MAX;
  EXPECT_EQ(E.GetEffectiveCharsPerLine() % 4, 0);
  EXPECT_GT(E.GetEffectiveCharsPerLine(), INT32_MAX - 8);
}

const int AllMethods[] = {cmNone, cmQuotedPrintable, cmBase64, cmUUEncode, cm8Bit, 5, 255};

TEST(Frame, NothingLeftInTheSourceReturnsBeforeAnything) {
  for (int Method : AllMethods) {
    for (bool Encode : {true, false}) {
      for (std::int64_t Pos : {0, 3, 9}) { // empty, at the end, beyond the end
        vt::TTestStream Src(Pos == 0 ? "" : "abc"), Dst("keep");
        Src.Pos = Pos;
        TqvEncoder E;
        vt::Reports Log;
        vt::RecordProgress(E, Log);
        E.EncodeMethod = static_cast<TqvEncodeMethod>(Method);
        if (Encode)
          E.Encode(Src, Dst);
        else
          E.Decode(Src, Dst);
        EXPECT_TRUE(Log.empty()) << Method;
        EXPECT_EQ(Src.Reads, 0);
        EXPECT_EQ(Dst.Writes, 0);
        EXPECT_EQ(Dst.Data, "keep");
        EXPECT_EQ(Src.Pos, Pos);
      }
    }
  }
}

TEST(Frame, AMethodAboveEightBitIsRefusedBeforeAnything) {
  for (int Method : {5, 6, 100, 255}) {
    for (bool Encode : {true, false}) {
      vt::TTestStream Src("data"), Dst;
      TqvEncoder E;
      vt::Reports Log;
      vt::RecordProgress(E, Log);
      E.EncodeMethod = static_cast<TqvEncodeMethod>(Method);
      try {
        Encode ? E.Encode(Src, Dst) : E.Decode(Src, Dst);
        FAIL() << "no error for method " << Method;
      } catch (const EqvEncoderError& Err) {
        EXPECT_EQ(Err.ErrorCode, -1);
        EXPECT_EQ(Err.Message(), "Unsupported format.");
        EXPECT_STREQ(Err.ClassName(), "EqvEncoderError");
      }
      EXPECT_TRUE(Log.empty());
      EXPECT_EQ(Src.Reads, 0);
      EXPECT_EQ(Dst.Writes, 0);
    }
  }
}

TEST(Frame, PlainMethodsCopyTheRestOfTheSourceWithTwoReports) {
  const std::string Bytes = vt::RandomBytes(200000, 7);
  for (TqvEncodeMethod Method : {cmNone, cm8Bit}) {
    for (bool Encode : {true, false}) {
      for (std::int64_t Start : {0, 1, 61439, 199999}) {
        vt::TTestStream Src(Bytes), Dst("xy");
        Src.Pos = Start;
        Dst.Pos = 2; // written at the destination's position
        TqvEncoder E;
        vt::Reports Log;
        vt::RecordProgress(E, Log);
        E.EncodeMethod = Method;
        Encode ? E.Encode(Src, Dst) : E.Decode(Src, Dst);
        const std::int64_t N = 200000 - Start;
        EXPECT_EQ(Dst.Data, "xy" + Bytes.substr(static_cast<std::size_t>(Start)));
        EXPECT_EQ(Log, (vt::Reports{{0, N}, {N, N}}));
        for (auto Size : Dst.WriteSizes) EXPECT_LE(Size, 61440);
        EXPECT_EQ(Src.Pos, 200000);
      }
    }
  }
}

TEST(Frame, PlainCopyThroughRuntimeStreams) {
  const std::string Bytes = vt::RandomBytes(100000, 3);
  rtl::TMemoryStream Src(Bytes), Dst;
  TqvEncoder E;
  E.EncodeMethod = cmNone;
  E.Encode(Src, Dst);
  EXPECT_EQ(Dst.Bytes(), Bytes);
}

TEST(Frame, AHandlerThatRaisesStopsTheOperation) {
  vt::TTestStream Src("abcdef"), Dst;
  TqvEncoder E;
  E.EncodeMethod = cmNone;
  E.OnProgress = [](rtl::TObject*, std::int64_t, std::int64_t) {
    throw rtl::Exception("stop here");
  };
  EXPECT_THROW(E.Encode(Src, Dst), rtl::Exception);
  EXPECT_EQ(Dst.Writes, 0);
  EXPECT_TRUE(Dst.Data.empty());
}

TEST(Frame, ProgressComesFromTheEncoderThroughTheVirtualOperation) {
  struct Counting : TqvEncoder {
    void ReportProgress(std::int64_t Done, std::int64_t Total) override {
      Log.emplace_back(Done, Total);
      TqvEncoder::ReportProgress(Done, Total);
    }
    vt::Reports Log;
  };
  Counting E;
  rtl::TObject* Sender = nullptr;
  E.OnProgress = [&](rtl::TObject* S, std::int64_t, std::int64_t) { Sender = S; };
  E.EncodeMethod = cmNone;
  rtl::TMemoryStream Src("abc"), Dst;
  E.Decode(Src, Dst);
  EXPECT_EQ(E.Log, (vt::Reports{{0, 3}, {3, 3}}));
  EXPECT_EQ(Sender, &E);
}

TEST(Frame, CopyFromRaisesOnShortReadsAndShortWrites) {
  TqvEncoder E;
  E.EncodeMethod = cmNone;
  {
    vt::TTestStream Src("abcdef"), Dst;
    Src.ExtraSize = 10; // promises more than it holds
    try {
      E.Encode(Src, Dst);
      FAIL();
    } catch (const rtl::EReadError& Err) {
      EXPECT_EQ(Err.Message(), "Stream read error");
      EXPECT_STREQ(Err.ClassName(), "EReadError");
    }
  }
  {
    vt::TTestStream Src("abcdef"), Dst;
    Dst.MaxWrite = 2;
    try {
      E.Encode(Src, Dst);
      FAIL();
    } catch (const rtl::EWriteError& Err) {
      EXPECT_EQ(Err.Message(), "Stream write error");
      EXPECT_STREQ(Err.ClassName(), "EWriteError");
    }
  }
  {
    // A source that delivers in small pieces is still copied whole.
    vt::TTestStream Src(vt::RandomBytes(70000, 1)), Dst;
    Src.MaxRead = 1000;
    E.Encode(Src, Dst);
    EXPECT_EQ(Dst.Data, Src.Data);
  }
}

TEST(Frame, ExceptionClassesNameThemselves) {
  EXPECT_STREQ(rtl::Exception("x").ClassName(), "Exception");
  EXPECT_STREQ(rtl::EStreamError("x").ClassName(), "EStreamError");
  EXPECT_STREQ(rtl::EReadError("x").ClassName(), "EReadError");
  EXPECT_STREQ(rtl::EWriteError("x").ClassName(), "EWriteError");
  EXPECT_STREQ(rtl::EFOpenError("x").ClassName(), "EFOpenError");
  EXPECT_STREQ(rtl::EFCreateError("x").ClassName(), "EFCreateError");
  EXPECT_STREQ(rtl::EInOutError("x").ClassName(), "EInOutError");
  EXPECT_STREQ(rtl::EOutOfMemory("x").ClassName(), "EOutOfMemory");
  try {
    RaiseEncoderError("boom", -7);
  } catch (const EqvEncoderError& Err) {
    EXPECT_EQ(Err.ErrorCode, -7);
    EXPECT_STREQ(Err.what(), "boom");
  }
}

// The writing end of the unobserved paths, with and without its second thread: every piece
// reaches the destination whole, in order, as one write call of its own.
TEST(PieceWriter, PiecesArriveWholeAndInOrder) {
  for (const bool Overlap : {false, true}) {
    SCOPED_TRACE(Overlap ? "overlapped" : "in line");
    vt::TTestStream Dst;
    std::string Expected;
    std::vector<std::int64_t> Sizes;
    {
      detail::TqvPieceWriter W(Dst, 5000, Overlap);
      for (int I = 0; I < 200; ++I) {
        const auto Count = static_cast<std::int64_t>(I * 37 % 5000 + 1);
        const std::string Piece = vt::RandomBytes(static_cast<std::size_t>(Count), I);
        std::copy(Piece.begin(), Piece.end(), W.Data());
        W.Write(Count);
        Expected += Piece;
        Sizes.push_back(Count);
      }
      W.Finish();
    }
    EXPECT_TRUE(Dst.Data == Expected);
    EXPECT_EQ(Dst.WriteSizes, Sizes);
  }
}

// A write that fails is raised on the coding side, by the next Write or by Finish, and no piece
// is written after it.
TEST(PieceWriter, AFailedWriteIsRaisedAndEndsTheWriting) {
  for (const bool Overlap : {false, true}) {
    SCOPED_TRACE(Overlap ? "overlapped" : "in line");
    vt::TTestStream Dst;
    Dst.MaxWrite = 100; // the first piece of more than 100 bytes is written short
    int Handed = 0;
    auto Run = [&] {
      detail::TqvPieceWriter W(Dst, 1000, Overlap);
      for (const std::int64_t Count : {50, 60, 500, 70, 80, 90}) {
        std::fill_n(W.Data(), Count, static_cast<std::uint8_t>('a' + Handed));
        W.Write(Count);
        ++Handed;
      }
      W.Finish();
    };
    EXPECT_THROW(Run(), rtl::EWriteError);
    EXPECT_EQ(Dst.WriteSizes, (std::vector<std::int64_t>{50, 60, 500}));
    EXPECT_LE(Handed, 3); // at most the one piece after the failed write was coded
  }
}

// An error on the coding side still leaves every piece handed over in the destination.
TEST(PieceWriter, AnErrorWhileCodingKeepsWhatWasHandedOver) {
  for (const bool Overlap : {false, true}) {
    SCOPED_TRACE(Overlap ? "overlapped" : "in line");
    rtl::TMemoryStream Dst;
    try {
      detail::TqvPieceWriter W(Dst, 3, Overlap);
      for (const char C : std::string("abcdef")) {
        std::fill_n(W.Data(), 3, static_cast<std::uint8_t>(C));
        W.Write(3);
      }
      throw std::runtime_error("the source failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(Dst.Bytes(),
              "aaabbbcccdddeeefff");
  }
}

// Pieces coded on two threads: the reads and the writes each come in the order of the pieces,
// every piece is coded once, and a failure ends the run with no later piece read or written.
TEST(PieceSteps, ReadsAndWritesKeepTheOrderOfThePieces) {
  struct TRecorder : detail::TqvPieceSteps {
    std::vector<std::int64_t> Reads, Writes;
    std::atomic<int> Coded{0};
    std::int64_t FailReadAt = -1, FailWriteAt = -1;
    bool Read(std::int64_t I, int) override {
      if (I == FailReadAt) throw rtl::EReadError(rtl::SReadError);
      Reads.push_back(I);
      return true;
    }
    void Code(std::int64_t, int) override { ++Coded; }
    void Write(std::int64_t I, int) override {
      if (I == FailWriteAt) throw rtl::EWriteError(rtl::SWriteError);
      Writes.push_back(I);
    }
  };
  std::vector<std::int64_t> All(500);
  for (std::size_t I = 0; I < All.size(); ++I) All[I] = static_cast<std::int64_t>(I);
  for (const bool Two : {false, true}) {
    SCOPED_TRACE(Two ? "two threads" : "one thread");
    TRecorder Clean;
    detail::RunPieces(500, Clean, Two);
    EXPECT_EQ(Clean.Reads, All);
    EXPECT_EQ(Clean.Writes, All);
    EXPECT_EQ(Clean.Coded, 500);

    TRecorder BadRead;
    BadRead.FailReadAt = 300;
    EXPECT_THROW(detail::RunPieces(500, BadRead, Two), rtl::EReadError);
    EXPECT_EQ(BadRead.Reads, std::vector<std::int64_t>(All.begin(), All.begin() + 300));
    EXPECT_LE(BadRead.Writes.size(), 300u);

    TRecorder BadWrite;
    BadWrite.FailWriteAt = 200;
    EXPECT_THROW(detail::RunPieces(500, BadWrite, Two), rtl::EWriteError);
    EXPECT_EQ(BadWrite.Writes, std::vector<std::int64_t>(All.begin(), All.begin() + 200));
    EXPECT_LE(BadWrite.Reads.size(), 203u); // the other thread may have read a piece or two on
  }
}

} // namespace

#if defined(__linux__)
// A process held to one processor (taskset, a container's affinity) starts no second thread:
// the count follows the affinity mask of the caller.
TEST(PieceThreads, UsableProcessorsFollowTheAffinityMask) {
  cpu_set_t All;
  CPU_ZERO(&All);
  ASSERT_EQ(::sched_getaffinity(0, sizeof All, &All), 0);
  EXPECT_LE(detail::UsableProcessors(), static_cast<unsigned>(CPU_COUNT(&All)));
  cpu_set_t One;
  CPU_ZERO(&One);
  for (int Cpu = 0; Cpu < CPU_SETSIZE; ++Cpu)
    if (CPU_ISSET(Cpu, &All)) {
      CPU_SET(Cpu, &One);
      break;
    }
  ASSERT_EQ(::sched_setaffinity(0, sizeof One, &One), 0);
  const unsigned Held = detail::UsableProcessors();
  ASSERT_EQ(::sched_setaffinity(0, sizeof All, &All), 0);
  EXPECT_EQ(Held, 1u);
}
#endif
