// The choice of the codecs' inner loops, and the vector loops against the plain ones. That every
// level gives the same bytes is also tested with each codec (test_base64, test_qp, test_uue) and
// by the fuzz targets, all through the one hook that this file checks; here the loops are called
// directly, on inputs that put every byte and every element at every lane of a step.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoder/kernels/qvKernels.h"
#include "encoder/kernels/qvKernelTables.h"

namespace detail = vexor::detail;

namespace {

using detail::TqvKernelLevel;

// The flags that the kernel reports for the first processor; empty where it tells none.
std::set<std::string> CpuFlags() {
  std::ifstream Info("/proc/cpuinfo");
  std::string Line;
  while (std::getline(Info, Line)) {
    if (Line.rfind("flags", 0) != 0) continue;
    std::istringstream Words(Line.substr(Line.find(':') + 1));
    std::set<std::string> Flags;
    for (std::string W; Words >> W;) Flags.insert(W);
    return Flags;
  }
  return {};
}

TEST(KernelLevels, TheBestLevelRunsByItselfAndEveryLevelCanBeChosen) {
  const auto Levels = detail::KernelLevels();
  ASSERT_FALSE(Levels.empty());
  EXPECT_EQ(Levels.front(), TqvKernelLevel::Plain);
  EXPECT_EQ(detail::KernelLevelInUse(), Levels.back()); // the best is chosen by itself
  EXPECT_EQ(detail::Kernels().Level, Levels.back());

  EXPECT_TRUE(detail::UseKernelLevel(TqvKernelLevel::Plain));
  EXPECT_EQ(detail::KernelLevelInUse(), TqvKernelLevel::Plain);
  for (const auto Level : Levels) {
    EXPECT_TRUE(detail::UseKernelLevel(Level));
    EXPECT_EQ(detail::KernelLevelInUse(), Level);
    EXPECT_EQ(detail::Kernels().Level, Level);
  }
  // A level above the processor's is refused and changes nothing.
  for (const auto Level : {TqvKernelLevel::Avx2, TqvKernelLevel::Avx512}) {
    if (Level <= Levels.back()) continue;
    detail::UseKernelLevel(TqvKernelLevel::Plain);
    EXPECT_FALSE(detail::UseKernelLevel(Level)) << detail::KernelLevelName(Level);
    EXPECT_EQ(detail::KernelLevelInUse(), TqvKernelLevel::Plain);
  }
  EXPECT_TRUE(detail::UseKernelLevel(Levels.back()));
  EXPECT_EQ(detail::KernelLevelInUse(), Levels.back());
}

// The levels are what the processor says it has: a probe that misses an extension would leave
// loops untested, one that claims too much would crash on older processors.
TEST(KernelLevels, FollowTheProcessorsFlags) {
  const auto Flags = CpuFlags();
#if defined(__x86_64__)
  if (Flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags to compare with";
  const auto Has = [&](const char* F) { return Flags.count(F) > 0; };
  TqvKernelLevel Want = TqvKernelLevel::Plain;
  if (Has("avx2")) {
    Want = TqvKernelLevel::Avx2;
    if (Has("avx512f") && Has("avx512bw") && Has("avx512vbmi") && Has("avx512_vbmi2") &&
        Has("bmi1") && Has("bmi2") && Has("popcnt"))
      Want = TqvKernelLevel::Avx512;
  }
  EXPECT_EQ(detail::KernelLevels().back(), Want);
#else
  (void)Flags;
  EXPECT_EQ(detail::KernelLevels(), std::vector<TqvKernelLevel>{TqvKernelLevel::Plain});
#endif
  // Every level up to the best, each once and in order.
  const auto Levels = detail::KernelLevels();
  for (std::size_t I = 0; I < Levels.size(); ++I)
    EXPECT_EQ(static_cast<int>(Levels[I]), static_cast<int>(I));
}

// --- Every level's loops against the plain ones ---

// A buffer of exactly Size + KernelMargin bytes, so that AddressSanitizer reports a loop that
// reads or writes beyond what the contract grants. Fill stands in the margin, where a loop that
// looked at it as data would code it.
struct TExactBuffer {
  TExactBuffer(std::string_view Data, std::size_t Size, std::uint8_t Fill)
      : Bytes(new std::uint8_t[Size + detail::KernelMargin]) {
    std::memset(Bytes.get(), Fill, Size + detail::KernelMargin);
    if (!Data.empty()) std::memcpy(Bytes.get(), Data.data(), Data.size());
  }
  std::unique_ptr<std::uint8_t[]> Bytes;
};

// The table of each level; the best level is restored afterwards.
class KernelLoops : public testing::Test {
protected:
  static const detail::TqvKernels& TableOf(TqvKernelLevel Level) {
    EXPECT_TRUE(detail::UseKernelLevel(Level));
    return detail::Kernels();
  }
  void TearDown() override { detail::UseKernelLevel(detail::KernelLevels().back()); }
};

// What a quoted-printable decoding loop makes of Text: the bytes taken and the bytes written.
std::pair<std::int64_t, std::string> QPDecodeWith(detail::TqvQPDecode Decode,
                                                  std::string_view Text) {
  TExactBuffer In(Text, Text.size(), '=');
  TExactBuffer Out({}, Text.size(), 0);
  std::uint8_t* W = Out.Bytes.get();
  const std::uint8_t* P = Decode(In.Bytes.get(), In.Bytes.get() + Text.size(), W);
  return {P - In.Bytes.get(),
          std::string(reinterpret_cast<const char*>(Out.Bytes.get()), W - Out.Bytes.get())};
}

// What the decoding loops take, one element at a time, as the codec's rules read the text.
std::pair<std::int64_t, std::string> QPDecodeReference(std::string_view Text) {
  const auto Digit = [](char C) { return std::isxdigit(static_cast<unsigned char>(C)) != 0; };
  std::string Out;
  std::size_t I = 0;
  while (I < Text.size()) {
    const std::string_view Rest = Text.substr(I);
    if (Rest[0] != '=' && Rest[0] != '\r' && Rest[0] != '\n') {
      Out += Rest[0];
      I += 1;
    } else if (Rest.size() >= 3 && Rest[0] == '=' && Digit(Rest[1]) && Digit(Rest[2])) {
      Out += static_cast<char>(std::stoi(std::string(Rest.substr(1, 2)), nullptr, 16));
      I += 3;
    } else if (Rest.substr(0, 3) == "=\r\n") {
      I += 3;
    } else if (Rest.substr(0, 2) == "\r\n") {
      Out += "\r\n";
      I += 2;
    } else {
      break;
    }
  }
  return {static_cast<std::int64_t>(I), Out};
}

// Clean text that fills more than two steps of the widest loop, around what is put into it.
const std::string QPBackground = [] {
  std::string T;
  for (int I = 0; I < 150; ++I) T += static_cast<char>('a' + I % 26);
  return T;
}();

TEST_F(KernelLoops, QuotedPrintableDecodingTakesCleanTextAndStopsAtAnythingElse) {
  // Elements whole, cut short and malformed, in both cases, and the bytes that stop the loops.
  const std::string Elements[] = {"=3D", "=3d", "=Af", "=\r\n", "\r\n", "=", "=A", "=G0",
                                  "=0G", "=\r", "=\n", "\r", "\n", "\n\r", "==41",
                                  "=\r\r\n", "=\r\n=41\r\n", "\r\n\r\n=3D=3D"};
  for (const auto Level : detail::KernelLevels()) {
    const auto Decode = TableOf(Level).QPDecode;
    const auto Same = [&](const std::string& Text) {
      ASSERT_EQ(QPDecodeWith(Decode, Text), QPDecodeReference(Text))
          << detail::KernelLevelName(Level) << " on " << testing::PrintToString(Text);
    };
    // Every byte value at every offset of the first steps.
    for (std::size_t At = 0; At < 70; ++At)
      for (int B = 0; B < 256; ++B) {
        std::string Text = QPBackground;
        Text[At] = static_cast<char>(B);
        Same(Text);
      }
    // Every element at every offset, the text cut at every length from there to its end.
    for (const std::string& E : Elements)
      for (std::size_t At = 0; At < 70; ++At) {
        const std::string Text = QPBackground.substr(0, At) + E + QPBackground.substr(At);
        for (std::size_t Cut = At; Cut <= Text.size(); ++Cut) Same(Text.substr(0, Cut));
      }
    // Texts dense with elements, of every length up to a few steps.
    std::mt19937 Random(7);
    for (int Round = 0; Round < 3000; ++Round) {
      std::string Text;
      const std::size_t Length = Random() % 200;
      while (Text.size() < Length)
        Text += Random() % 3 ? std::string(1, static_cast<char>('0' + Random() % 30))
                             : Elements[Random() % std::size(Elements)];
      Same(Text);
    }
  }
}

TEST_F(KernelLoops, UUDecodingTakesEveryByteAsACodeAndFindsTheFirstLineEnd) {
  std::mt19937 Random(11);
  for (const auto Level : detail::KernelLevels()) {
    const auto& K = TableOf(Level);
    const std::string Name = detail::KernelLevelName(Level);
    // Every byte value as every code of a group, at every count of groups up to a few steps.
    for (int Groups = 0; Groups <= 40; ++Groups) {
      std::string Codes(4 * Groups, '\0');
      for (auto& C : Codes) C = static_cast<char>(Random());
      TExactBuffer In(Codes, Codes.size(), 0xFF);
      TExactBuffer Out({}, 3 * Groups, 0);
      K.UUDecode(In.Bytes.get(), Groups, Out.Bytes.get());
      for (int G = 0; G < Groups; ++G) {
        std::uint32_t Bits = 0;
        for (int I = 0; I < 4; ++I) Bits = Bits << 6 | detail::uu::ValueOf(In.Bytes[4 * G + I]);
        for (int I = 0; I < 3; ++I)
          ASSERT_EQ(Out.Bytes[3 * G + I], static_cast<std::uint8_t>(Bits >> (16 - 8 * I)))
              << Name << ", " << Groups << " groups, byte " << 3 * G + I;
      }
    }
    // A CR or an LF at every place, looked for from every start up to every stop.
    for (const char End : {'\r', '\n'})
      for (std::size_t At = 0; At < 70; ++At) {
        std::string Line(70, '`');
        Line[At] = End;
        TExactBuffer In(Line, Line.size(), '\n');
        for (std::int64_t From = 0; From <= 70; From += 7)
          for (std::int64_t Stop = From; Stop <= 70; ++Stop) {
            const auto Want = At >= static_cast<std::size_t>(From) &&
                                      At < static_cast<std::size_t>(Stop)
                                  ? static_cast<std::int64_t>(At)
                                  : Stop;
            ASSERT_EQ(K.UUFindLineEnd(In.Bytes.get(), From, Stop), Want)
                << Name << ", line end at " << At << ", from " << From << " to " << Stop;
          }
      }
  }
}

// What a quoted-printable encoding loop makes of Text from Column on: the bytes taken, the text
// and the column at the end.
struct TQPEncoded {
  std::int64_t Taken;
  std::string Text;
  std::int64_t Column;
  bool operator==(const TQPEncoded&) const = default;
};
void PrintTo(const TQPEncoded& E, std::ostream* Os) {
  *Os << E.Taken << " taken, column " << E.Column << ", " << testing::PrintToString(E.Text);
}

TQPEncoded QPEncodeWith(detail::TqvQPEncode Encode, std::string_view Source, std::int64_t Column,
                        std::int64_t Limit) {
  TExactBuffer In(Source, Source.size(), '=');
  TExactBuffer Out({}, 6 * Source.size() + 3, 0);
  std::uint8_t* W = Out.Bytes.get();
  const std::uint8_t* P = Encode(In.Bytes.get(), In.Bytes.get() + Source.size(), W, Column, Limit);
  return {P - In.Bytes.get(),
          std::string(reinterpret_cast<const char*>(Out.Bytes.get()), W - Out.Bytes.get()),
          Column};
}

// The line layout of the contract, one byte at a time.
TQPEncoded QPEncodeReference(std::string_view Source, std::int64_t Column, std::int64_t Limit) {
  std::string Text;
  std::size_t I = 0;
  for (; I < Source.size(); ++I) {
    if (Column > Limit) {
      Text += "=\r\n";
      Column = 0;
    }
    const auto B = static_cast<unsigned char>(Source[I]);
    if (B == '\r') {
      if (I + 1 == Source.size() || Source[I + 1] != '\n') break;
      Text += "\r\n";
      Column = 0;
      ++I;
    } else if (B >= 32 && B <= 126 && B != '=') {
      Text += static_cast<char>(B);
      Column += 1;
    } else {
      Text += '=';
      Text += "0123456789ABCDEF"[B >> 4];
      Text += "0123456789ABCDEF"[B & 15];
      Column += 3;
    }
  }
  return {static_cast<std::int64_t>(I), Text, Column};
}

TEST_F(KernelLoops, QuotedPrintableEncodingLaysOutLinesAsTheRulesSay) {
  const std::string Background(60, 'x');
  // Limits of one element a line, of a short line and of the usual one, with columns before,
  // at and past each limit.
  const std::int64_t Limits[] = {0, 1, 9, 70};
  std::mt19937 Random(5);
  for (const auto Level : detail::KernelLevels()) {
    const auto Encode = TableOf(Level).QPEncode;
    const auto Same = [&](const std::string& Source, std::int64_t Column, std::int64_t Limit) {
      ASSERT_EQ(QPEncodeWith(Encode, Source, Column, Limit),
                QPEncodeReference(Source, Column, Limit))
          << detail::KernelLevelName(Level) << ", column " << Column << " of " << Limit << ", "
          << testing::PrintToString(Source);
    };
    for (const std::int64_t Limit : Limits)
      for (const std::int64_t Column : {std::int64_t{0}, Limit - 1, Limit, Limit + 2}) {
        if (Column < 0) continue;
        // Every byte value at every offset of the first steps.
        for (std::size_t At = 0; At < 20; ++At)
          for (int B = 0; B < 256; ++B) {
            std::string Source = Background;
            Source[At] = static_cast<char>(B);
            Same(Source, Column, Limit);
          }
        // CR, LF and their pairs amid escapes, at every length.
        for (int Round = 0; Round < 300; ++Round) {
          std::string Source;
          const std::size_t Length = Random() % 80;
          while (Source.size() < Length) {
            const char Pick[] = {'\r', '\n', '=', 'a', 'b', '\t', ' ', '\x80', '\xff'};
            Source += Random() % 4 == 0 ? "\r\n" : std::string(1, Pick[Random() % std::size(Pick)]);
          }
          Same(Source, Column, Limit);
        }
      }
  }
}

} // namespace
