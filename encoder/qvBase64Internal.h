// Internals of the Base64 codec pair that tests reach: which inner loops run, and how long the
// pieces are that the codecs move when no caller can see the stream calls. Not installed.
#pragma once

#include <cstdint>
#include <vector>

namespace detail {

// The inner loops of the Base64 codecs. The best one that the processor runs is chosen once,
// when a codec first runs; every one gives the same bytes.
enum class TqvBase64Kernel : std::uint8_t { Plain, Avx2, Avx512Vbmi };

// The kernels that this processor can run, the plain one first.
std::vector<TqvBase64Kernel> Base64Kernels();
// Uses Kernel from now on; false, changing nothing, when the processor cannot run it.
bool UseBase64Kernel(TqvBase64Kernel Kernel);
TqvBase64Kernel Base64KernelInUse();
// Plain true: the plain kernel from now on; false: the best that the processor runs.
void ForcePlainBase64(bool Plain);

// The source bytes that one piece holds on the unobserved paths (rounded there to whole lines
// or batches); 0 restores the default. Lets tests cross piece borders with small sources.
void SetBase64PieceLength(std::int64_t Bytes);

} // namespace detail
