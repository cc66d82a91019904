// The runtime: buffered file stream against a plain model, opening rules, system failures,
// memory stream, the error report's form.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "app/ErrorReport.h"
#include "runtime/streams.h"
#include "tests/support.h"

namespace {

// Random reads, writes, seeks and size queries on a file stream and on a memory stream must
// see the same bytes, positions and sizes: the file stream's buffer is invisible.
TEST(FileStream, BufferedOperationsMatchAPlainModel) {
  vt::TempDir Dir;
  const std::string Name = Dir / "f";
  for (std::uint32_t Seed = 1; Seed <= 12; ++Seed) {
    std::mt19937 Gen(Seed);
    const std::string Initial = vt::RandomBytes(Gen() % 600000, Seed);
    vt::WriteFile(Name, Initial);
    rtl::TMemoryStream Model;
    {
      rtl::TFileStream F(Name, rtl::fmCreate); // emptied
      EXPECT_EQ(F.Size(), 0);
      F.WriteBuffer(Initial.data(), static_cast<std::int64_t>(Initial.size()));
      Model.WriteBuffer(Initial.data(), static_cast<std::int64_t>(Initial.size()));
      std::string A, B;
      for (int Op = 0; Op < 3000; ++Op) {
        const std::int64_t Len = (Gen() % 4 == 0) ? Gen() % 300000 : Gen() % 40;
        switch (Gen() % 6) {
        case 0: {
          A.assign(static_cast<std::size_t>(Len), '\0');
          B = A;
          ASSERT_EQ(F.Read(A.data(), Len), Model.Read(B.data(), Len)) << Seed << ":" << Op;
          ASSERT_EQ(A, B);
          break;
        }
        case 1: {
          const std::string Bytes = vt::RandomBytes(static_cast<std::size_t>(Len), Gen());
          F.WriteBuffer(Bytes.data(), Len);
          Model.WriteBuffer(Bytes.data(), Len);
          break;
        }
        case 2: {
          const std::int64_t To = static_cast<std::int64_t>(Gen() % (Model.Size() + 10));
          ASSERT_EQ(F.Seek(To, rtl::soBeginning), Model.Seek(To, rtl::soBeginning));
          break;
        }
        case 3: {
          const std::int64_t By = -static_cast<std::int64_t>(Gen() % (Model.Position() + 1));
          ASSERT_EQ(F.Seek(By, rtl::soCurrent), Model.Seek(By, rtl::soCurrent));
          break;
        }
        case 4: {
          std::uint8_t X = 0, Y = 0;
          ASSERT_EQ(F.ReadByte(X), Model.ReadByte(Y));
          ASSERT_EQ(X, Y);
          if (Gen() % 2) {
            F.WriteByte(X ^ 0x5A);
            Model.WriteByte(Y ^ 0x5A);
          }
          break;
        }
        default:
          ASSERT_EQ(F.Size(), Model.Size());
        }
        ASSERT_EQ(F.Position(), Model.Position()) << Seed << ":" << Op;
      }
      F.Close();
    }
    EXPECT_EQ(vt::ReadFile(Name), Model.Bytes()) << Seed;
  }
}

TEST(FileStream, OpeningAMissingFileNamesItsFullPath) {
  vt::TempDir Dir;
  const std::string Cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(Dir.Path);
  try {
    rtl::TFileStream F("./sub/../missing.txt", rtl::fmOpenRead);
    FAIL();
  } catch (const rtl::EFOpenError& E) {
    EXPECT_EQ(E.Message(),
              "Cannot open file \"" + (Dir / "missing.txt") + "\". No such file or directory");
  }
  try {
    rtl::TFileStream F("nodir/x", rtl::fmCreate);
    FAIL();
  } catch (const rtl::EFCreateError& E) {
    EXPECT_EQ(E.Message(),
              "Cannot create file \"" + (Dir / "nodir/x") + "\". No such file or directory");
  }
  std::filesystem::current_path(Cwd);
}

TEST(FileStream, ExpandFileNameFoldsLexically) {
  EXPECT_EQ(rtl::ExpandFileName("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(rtl::ExpandFileName("/../x"), "/x");
  EXPECT_EQ(rtl::ExpandFileName("//a//b/"), "/a/b");
  EXPECT_EQ(rtl::ExpandFileName("x"), std::filesystem::current_path().string() + "/x");
}

TEST(FileStream, TheSameFileCannotBeOpenedTwiceAndIsLeftAsItWas) {
  vt::TempDir Dir;
  const std::string Name = Dir / "f", Link = Dir / "link", Hard = Dir / "hard";
  vt::WriteFile(Name, "precious");
  std::filesystem::create_symlink(Name, Link);
  std::filesystem::create_hard_link(Name, Hard);
  rtl::TFileStream Src(Name, rtl::fmOpenRead);
  for (const auto& Other : {Name, Link, Hard}) {
    try {
      rtl::TFileStream Dst(Other, rtl::fmCreate);
      FAIL() << Other;
    } catch (const rtl::EFCreateError& E) {
      EXPECT_EQ(E.Message(), "Cannot create file \"" + Other + "\". Device or resource busy");
    }
    EXPECT_THROW(rtl::TFileStream(Other, rtl::fmOpenRead), rtl::EFOpenError);
  }
  EXPECT_EQ(vt::ReadFile(Name), "precious");
}

TEST(FileStream, ADirectoryIsNotASource) {
  vt::TempDir Dir;
  try {
    rtl::TFileStream F(Dir.Path.string(), rtl::fmOpenRead);
    FAIL();
  } catch (const rtl::EFOpenError& E) {
    EXPECT_EQ(E.Message(), "Cannot open file \"" + Dir.Path.string() + "\". Is a directory");
  }
}

TEST(FileStream, OperatingSystemFailuresRaise) {
  // Writing to a full device: buffered, so the failure shows at the latest on Close.
  {
    rtl::TFileStream F("/dev/full", rtl::fmCreate);
    const std::string Bytes(1000, 'x');
    EXPECT_THROW(
        {
          F.WriteBuffer(Bytes.data(), 1000);
          F.Close();
        },
        rtl::EWriteError);
  }
  {
    rtl::TFileStream F("/dev/full", rtl::fmCreate);
    const std::string Big(1 << 20, 'x'); // larger than the buffer: written at once
    EXPECT_THROW(F.Write(Big.data(), 1 << 20), rtl::EWriteError);
  }
  // A read that the kernel refuses (offset 0 of our own address space is not mapped).
  {
    rtl::TFileStream F("/proc/self/mem", rtl::fmOpenRead);
    char C;
    try {
      F.Read(&C, 1);
      FAIL();
    } catch (const rtl::EReadError& E) {
      EXPECT_EQ(E.Message(), "Stream read error");
    }
  }
}

TEST(FileStream, APipeSourceIsHeldWholeAndSeeksLikeAFile) {
  vt::TempDir Dir;
  const std::string Fifo = Dir / "fifo";
  ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
  const std::string Bytes = vt::RandomBytes(700000, 9);
  vt::WriteFile(Dir / "data", Bytes);
  ASSERT_EQ(std::system(("cat " + vt::Q(Dir / "data") + " >" + vt::Q(Fifo) + " &").c_str()), 0);
  rtl::TFileStream F(Fifo, rtl::fmOpenRead);
  EXPECT_EQ(F.Size(), 700000);
  std::string Got(700000, '\0');
  F.ReadBuffer(Got.data(), 700000);
  EXPECT_EQ(Got, Bytes);
  char C;
  EXPECT_EQ(F.Read(&C, 1), 0);
  EXPECT_EQ(F.Seek(-5, rtl::soEnd), 699995);
  EXPECT_EQ(F.Read(Got.data(), 10), 5);
  EXPECT_EQ(F.Seek(800000, rtl::soBeginning), 800000);
  EXPECT_EQ(F.Read(&C, 1), 0);
  F.SetPosition(3);
  std::uint8_t B;
  ASSERT_TRUE(F.ReadByte(B));
  EXPECT_EQ(B, static_cast<std::uint8_t>(Bytes[3]));
}

TEST(MemoryStream, GrowsAndSeeksBeyondItsEnd) {
  rtl::TMemoryStream M("abc");
  EXPECT_EQ(M.Size(), 3);
  M.Seek(5, rtl::soBeginning);
  char C;
  EXPECT_EQ(M.Read(&C, 1), 0);
  M.WriteBuffer("x", 1);
  EXPECT_EQ(M.Bytes(), std::string_view("abc\0\0x", 6));
  EXPECT_EQ(M.Position(), 6);
  EXPECT_THROW(M.Seek(-1, rtl::soBeginning), rtl::EStreamError);
}

TEST(Streams, OneByteCallsReachAStreamWithoutAWindow) {
  vt::TTestStream S("ab");
  std::uint8_t B;
  EXPECT_TRUE(S.ReadByte(B));
  EXPECT_TRUE(S.ReadByte(B));
  EXPECT_FALSE(S.ReadByte(B));
  EXPECT_EQ(S.Reads, 3);
  S.WriteByte('z');
  EXPECT_EQ(S.Writes, 1);
  S.MaxWrite = 0;
  EXPECT_THROW(S.WriteByte('z'), rtl::EWriteError);
}

TEST(ErrorReport, HasThreeLinesAndAddsTheFullStop) {
  int Anchor = 0;
  const std::string R =
      rtl::FormatExceptionReport("EReadError", "vexor", &Anchor, "Stream read error");
  EXPECT_TRUE(R.starts_with("Exception EReadError in module vexor at ")) << R;
  EXPECT_TRUE(R.ends_with(".\r\nStream read error.\r\n")) << R;
  const std::string Addr = R.substr(40, 8);
  EXPECT_EQ(Addr.find_first_not_of("0123456789ABCDEF"), std::string::npos) << R;
  EXPECT_TRUE(rtl::FormatExceptionReport("E", "m", nullptr, "Ends.").ends_with("\r\nEnds.\r\n"));
  EXPECT_TRUE(rtl::FormatExceptionReport("E", "m", nullptr, "").ends_with(".\r\n\r\n"));
}

} // namespace
