// Internals of the UUencode codec pair that tests reach: which inner loops run, and how long
// the pieces are that the codecs move when no caller can see the stream calls. Not installed.
#pragma once

#include <cstdint>
#include <vector>

namespace detail {

// The inner loops of the UUencode codecs. The best one that the processor runs is chosen once,
// at start; every one gives the same bytes.
enum class TqvUUKernel : std::uint8_t { Plain, Avx2 };

// The kernels that this processor can run, the plain one first.
std::vector<TqvUUKernel> UUKernels();
// Uses Kernel from now on; false, changing nothing, when the processor cannot run it.
bool UseUUKernel(TqvUUKernel Kernel);
TqvUUKernel UUKernelInUse();
// Plain true: the plain kernel from now on; false: the best that the processor runs.
void ForcePlainUUCodecs(bool Plain);

// The source bytes that one piece holds when no caller can see the stream calls (rounded to
// whole lines by the encoder); 0 restores the default. Lets tests cross piece borders with
// small sources.
void SetUUPieceLength(std::int64_t Bytes);

} // namespace detail
