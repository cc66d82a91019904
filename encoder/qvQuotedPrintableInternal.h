// Internals of the quoted-printable codec pair that tests reach: which inner loop runs, and how
// long the pieces are that the codecs move when no caller can see the stream calls. Not
// installed.
#pragma once

#include <cstdint>
#include <vector>

namespace detail {

// The inner loops of the quoted-printable codecs. The best one that the processor runs is
// chosen once, when a codec first runs; every one gives the same bytes.
enum class TqvQPKernel : std::uint8_t { Plain, Avx512Vbmi2 };

// The kernels that this processor can run, the plain one first.
std::vector<TqvQPKernel> QPKernels();
// Uses Kernel from now on; false, changing nothing, when the processor cannot run it.
bool UseQPKernel(TqvQPKernel Kernel);
TqvQPKernel QPKernelInUse();
// Plain true: the plain kernel from now on; false: the best that the processor runs.
void ForcePlainQP(bool Plain);

// The source bytes that one piece holds when no caller can see the stream calls (at least 32);
// 0 restores the default. Lets tests cross piece borders with small sources.
void SetQPPieceLength(std::int64_t Bytes);

} // namespace detail
