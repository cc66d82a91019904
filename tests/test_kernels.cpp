// The choice of the codecs' inner loops. That every level gives the same bytes is tested with
// each codec (test_base64, test_qp, test_uue) and by the fuzz targets, all through the one hook
// that this file checks.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "encoder/kernels/qvKernels.h"

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

} // namespace
