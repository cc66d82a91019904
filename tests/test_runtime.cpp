// The runtime: buffered file stream against a plain model, opening rules, system failures,
// memory stream, the error report's form.
#include <gtest/gtest.h>

#include <random>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32
// The system's texts, as the program shows them.
std::string SystemText(DWORD Code) {
  return rtl::SysErrorMessage(static_cast<int>(Code));
}
#endif

TEST(FileStream, OpeningAMissingFileNamesItsFullPath) {
  vt::TempDir Dir;
  const std::string Cwd = std::filesystem::current_path().string();
  std::filesystem::current_path(Dir.Path);
#ifdef _WIN32
  const std::string NoFile = SystemText(ERROR_FILE_NOT_FOUND);
  const std::string NoPath = SystemText(ERROR_PATH_NOT_FOUND), NoDirX = Dir / "nodir\\x";
  EXPECT_NE(NoFile, NoPath);
#else
  const std::string NoFile = "No such file or directory", NoPath = NoFile;
  const std::string NoDirX = Dir / "nodir/x";
#endif
  try {
    rtl::TFileStream F("./sub/../missing.txt", rtl::fmOpenRead);
    FAIL();
  } catch (const rtl::EFOpenError& E) {
    EXPECT_EQ(E.Message(), "Cannot open file \"" + (Dir / "missing.txt") + "\". " + NoFile);
  }
  try {
    rtl::TFileStream F("nodir/x", rtl::fmCreate);
    FAIL();
  } catch (const rtl::EFCreateError& E) {
    EXPECT_EQ(E.Message(), "Cannot create file \"" + NoDirX + "\". " + NoPath);
  }
  std::filesystem::current_path(Cwd);
}

#ifdef _WIN32
// The system's full path: "." and ".." folded, slashes made backslashes.
TEST(FileStream, ExpandFileNameGivesTheSystemsFullPath) {
  EXPECT_EQ(rtl::ExpandFileName("C:\\a\\b\\..\\c\\.\\d"), "C:\\a\\c\\d");
  EXPECT_EQ(rtl::ExpandFileName("C:/a/b/../x"), "C:\\a\\x");
  EXPECT_EQ(rtl::ExpandFileName("x"), (std::filesystem::current_path() / "x").string());
  // Names outside the ANSI code page come back as they went in.
  const std::string Greek = "C:\\\xCE\xB1\xCE\xB2\xCE\xB3\\\xE6\x96\x87.txt";
  EXPECT_EQ(rtl::ExpandFileName(Greek), Greek);
}
#else
TEST(FileStream, ExpandFileNameFoldsLexically) {
  EXPECT_EQ(rtl::ExpandFileName("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(rtl::ExpandFileName("/../x"), "/x");
  EXPECT_EQ(rtl::ExpandFileName("//a//b/"), "/a/b");
  EXPECT_EQ(rtl::ExpandFileName("x"), std::filesystem::current_path().string() + "/x");
}
#endif

#ifdef _WIN32
// No sharing: by its own name, another spelling of it or a hard link, a file that a stream holds
// cannot be opened again, and a destination that is refused is left as it was.
TEST(FileStream, TheSameFileCannotBeOpenedTwiceAndIsLeftAsItWas) {
  vt::TempDir Dir;
  const std::string Name = Dir / "f", Hard = Dir / "hard";
  vt::WriteFile(Name, "precious");
  std::filesystem::create_hard_link(Name, Hard);
  auto Src = std::make_unique<rtl::TFileStream>(Name, rtl::fmOpenRead);
  const std::string Busy = SystemText(ERROR_SHARING_VIOLATION);
  const std::string Dot = Dir.Path.string() + "\\.\\f", Upper = Dir / "F";
  for (const auto& Other : {Name, Dot, Upper, Hard}) {
    try {
      rtl::TFileStream Dst(Other, rtl::fmCreate);
      FAIL() << Other;
    } catch (const rtl::EFCreateError& E) {
      EXPECT_EQ(E.Message(),
                "Cannot create file \"" + rtl::ExpandFileName(Other) + "\". " + Busy);
    }
    EXPECT_THROW(rtl::TFileStream(Other, rtl::fmOpenRead), rtl::EFOpenError);
  }
  EXPECT_EQ(vt::ReadFile(Name), ""); // not even this process reads it while it is held
  Src.reset();
  EXPECT_EQ(vt::ReadFile(Name), "precious");
}
#else
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
#endif

TEST(FileStream, ADirectoryIsNotASource) {
  vt::TempDir Dir;
#ifdef _WIN32
  const std::string Text = SystemText(ERROR_ACCESS_DENIED);
#else
  const std::string Text = "Is a directory";
#endif
  try {
    rtl::TFileStream F(Dir.Path.string(), rtl::fmOpenRead);
    FAIL();
  } catch (const rtl::EFOpenError& E) {
    EXPECT_EQ(E.Message(), "Cannot open file \"" + Dir.Path.string() + "\". " + Text);
  }
}

TEST(FileStream, OperatingSystemFailuresRaise) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX only: /dev/full and /proc/self/mem";
#endif
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

// A pipe by its name, with a writer that sends Bytes and goes: a FIFO and cat on POSIX systems,
// a named pipe and a thread on Windows (joined by the returned object).
struct TPipeWriter {
  std::string Name;
  std::thread Writer;
  ~TPipeWriter() {
    if (Writer.joinable()) Writer.join();
  }
};

void StartPipeWriter(TPipeWriter& Pipe, const vt::TempDir& Dir, const std::string& Bytes) {
#ifdef _WIN32
  Pipe.Name = "\\\\.\\pipe\\" + Dir.Path.filename().string();
  const HANDLE Server = ::CreateNamedPipeA(Pipe.Name.c_str(), PIPE_ACCESS_OUTBOUND,
                                           PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
  ASSERT_NE(Server, INVALID_HANDLE_VALUE);
  Pipe.Writer = std::thread([Server, Bytes] {
    ::ConnectNamedPipe(Server, nullptr);
    for (std::size_t Done = 0; Done < Bytes.size();) {
      DWORD N = 0;
      const DWORD Piece = static_cast<DWORD>(std::min<std::size_t>(Bytes.size() - Done, 50000));
      if (!::WriteFile(Server, Bytes.data() + Done, Piece, &N, nullptr)) break;
      Done += N;
    }
    ::CloseHandle(Server); // the reader gets what is left, then the end
  });
#else
  Pipe.Name = Dir / "fifo";
  ASSERT_EQ(mkfifo(Pipe.Name.c_str(), 0600), 0);
  vt::WriteFile(Dir / "data", Bytes);
  ASSERT_EQ(std::system(("cat " + vt::Q(Dir / "data") + " >" + vt::Q(Pipe.Name) + " &").c_str()),
            0);
#endif
}

TEST(FileStream, APipeSourceIsHeldWholeAndSeeksLikeAFile) {
  vt::TempDir Dir;
  const std::string Bytes = vt::RandomBytes(700000, 9);
  TPipeWriter Pipe;
  StartPipeWriter(Pipe, Dir, Bytes);
  if (HasFatalFailure()) return;
  rtl::TFileStream F(Pipe.Name, rtl::fmOpenRead);
  EXPECT_FALSE(F.SizeKnown());
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
