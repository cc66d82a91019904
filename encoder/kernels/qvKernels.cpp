// The one place that asks the processor what it runs and picks the codecs' loops.
#include "encoder/kernels/qvKernels.h"

#include <algorithm>
#include <atomic>

#include "encoder/kernels/qvKernelLoops.h"

namespace vexor::detail {

namespace {

// One table per level; each codec takes its best loop at or below the level.
constexpr TqvKernels PlainKernels{TqvKernelLevel::Plain, Base64EncodePlain, Base64DecodePlain,
                                  QPEncodePlain,         QPDecodePlain,     UUEncodePlain,
                                  UUDecodePlain,         UUFindLineEndPlain};
#ifdef VEXOR_X86_KERNELS
constexpr TqvKernels Avx2Kernels{TqvKernelLevel::Avx2, Base64EncodeAvx2, Base64DecodeAvx2,
                                 QPEncodeAvx2,         QPDecodeAvx2,     UUEncodeAvx2,
                                 UUDecodeAvx2,         UUFindLineEndAvx2};
// Over memory streams the VBMI Base64 encoder is about a third faster than the AVX2 one and
// its decoder a few per cent; on whole conversions of files the copies in and out of the
// operating system leave the decoders' difference within the noise.
constexpr TqvKernels Avx512Kernels{TqvKernelLevel::Avx512, Base64EncodeVbmi, Base64DecodeVbmi,
                                   QPEncodeVbmi2,          QPDecodeVbmi2,    UUEncodeAvx2,
                                   UUDecodeAvx2,           UUFindLineEndAvx2};
#endif

// The best level that the processor runs; asked once, as the answer cannot change.
TqvKernelLevel ProbeLevel() noexcept {
#ifdef VEXOR_X86_KERNELS
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return TqvKernelLevel::Plain;
  // Every extension that a target attribute of the AVX-512 loops names.
  const bool Avx512 =
      __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
      __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
      __builtin_cpu_supports("popcnt");
  return Avx512 ? TqvKernelLevel::Avx512 : TqvKernelLevel::Avx2;
#else
  return TqvKernelLevel::Plain;
#endif
}

TqvKernelLevel BestLevel() noexcept {
  static const TqvKernelLevel Best = ProbeLevel();
  return Best;
}

const TqvKernels& TableOf([[maybe_unused]] TqvKernelLevel Level) noexcept {
#ifdef VEXOR_X86_KERNELS
  if (Level == TqvKernelLevel::Avx512) return Avx512Kernels;
  if (Level == TqvKernelLevel::Avx2) return Avx2Kernels;
#endif
  return PlainKernels;
}

// Published whole, so that a codec on another thread sees either the old table or the new one,
// never a mix; a test that switches levels does so between runs.
std::atomic<const TqvKernels*>& Active() noexcept {
  static std::atomic<const TqvKernels*> Table{&TableOf(BestLevel())};
  return Table;
}

std::atomic<std::int64_t> PieceLength{0};

} // namespace

const TqvKernels& Kernels() noexcept {
  return *Active().load(std::memory_order_acquire);
}

std::vector<TqvKernelLevel> KernelLevels() {
  std::vector<TqvKernelLevel> Levels;
  for (const auto Level : {TqvKernelLevel::Plain, TqvKernelLevel::Avx2, TqvKernelLevel::Avx512})
    if (Level <= BestLevel()) Levels.push_back(Level);
  return Levels;
}

bool UseKernelLevel(TqvKernelLevel Level) {
  if (Level > BestLevel()) return false;
  Active().store(&TableOf(Level), std::memory_order_release);
  return true;
}

TqvKernelLevel KernelLevelInUse() noexcept {
  return Kernels().Level;
}

std::string KernelLevelName(TqvKernelLevel Level) {
  switch (Level) {
  case TqvKernelLevel::Plain:
    return "plain";
  case TqvKernelLevel::Avx2:
    return "AVX2";
  case TqvKernelLevel::Avx512:
    return "AVX-512";
  }
  return "unknown";
}

void SetPieceLength(std::int64_t Bytes) {
  PieceLength.store(std::max<std::int64_t>(Bytes, 0), std::memory_order_relaxed);
}

std::int64_t PieceLengthOr(std::int64_t Default) noexcept {
  const std::int64_t Bytes = PieceLength.load(std::memory_order_relaxed);
  return Bytes > 0 ? Bytes : Default;
}

} // namespace vexor::detail
