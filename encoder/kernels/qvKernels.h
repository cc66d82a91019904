// The inner loops of the three codecs, one table of them for the processor at hand, and the
// settings of the piece paths that the codecs share. Not installed.
//
// A codec keeps the rules of its format and the way the bytes travel; the loops code only
// stretches of clean input, stop before anything else and leave it to the codec. The loops of
// one instruction set live in one source (kernels_plain.cpp, kernels_avx2.cpp,
// kernels_avx512.cpp); qvKernels.cpp probes the processor once and publishes the table of the
// best level that it runs. Every loop of every level gives the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Vector loops are built only where the compiler takes x86 intrinsics with per-function target
// attributes; elsewhere only the plain loops exist and every level above Plain is missing.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VEXOR_X86_KERNELS 1
#endif

namespace vexor::detail {

// The instruction sets that the loops are written for. Each codec takes its best loop at or
// below the level in use: UUencode has none for AVX-512 and runs its AVX2 loops there. Avx512
// stands for AVX-512 with VBMI and VBMI2, which its Base64 and quoted-printable loops need.
enum class TqvKernelLevel : std::uint8_t { Plain, Avx2, Avx512 };

// The bytes that a loop may read or store beyond the bytes that it is given or writes. Every
// buffer that a loop reads carries this many readable bytes after its data, and every buffer
// that a loop writes this many spare bytes after the most that it may fill. The widest access
// is one 64-byte register.
constexpr std::int64_t KernelMargin = 64;

// --- Base64 ---
// Codes Groups groups of three bytes into 4 * Groups characters; returns the end of the text.
using TqvBase64Encode = std::uint8_t* (*)(const std::uint8_t* In, std::int64_t Groups,
                                          std::uint8_t* Out);
// Entered between groups: codes whole groups of four alphabet characters, skips the CR and LF
// between groups, stops before anything else; returns the text bytes taken and sets Written to
// the bytes stored. May store in place (Out == In): no store reaches beyond bytes already read.
// With a separate output, up to KernelMargin bytes beyond Written may be overwritten.
using TqvBase64Decode = std::int64_t (*)(const std::uint8_t* In, std::int64_t Count,
                                         std::uint8_t* Out, std::int64_t& Written);

// --- Quoted-printable ---
// Codes the bytes from P on and lays out their lines: a byte is admitted while Column is at
// most Limit, a full line ends with a soft line break before the next byte, a CR LF pair is a
// hard line break. Stops before End and before a CR that no LF follows within [P, End). Writes
// at most six bytes per source byte and three more through Out, plus up to KernelMargin beyond.
using TqvQPEncode = const std::uint8_t* (*)(const std::uint8_t* P, const std::uint8_t* End,
                                            std::uint8_t*& Out, std::int64_t& Column,
                                            std::int64_t Limit);
// Decodes clean text from P on (bytes that stand for themselves, whole escapes, CR LF pairs,
// soft line breaks, which are dropped) and stops at End or at the first byte that begins
// anything else. Writes at most one byte per source byte through Out, plus up to KernelMargin.
using TqvQPDecode = const std::uint8_t* (*)(const std::uint8_t* P, const std::uint8_t* End,
                                            std::uint8_t*& Out);

// --- UUencode ---
// Four code characters for each of Groups groups of three bytes; returns the end of the codes.
using TqvUUEncode = std::uint8_t* (*)(const std::uint8_t* In, std::int64_t Groups,
                                      std::uint8_t* Out);
// Three bytes for each of Groups groups of four code characters.
using TqvUUDecode = void (*)(const std::uint8_t* Codes, std::int64_t Groups, std::uint8_t* Out);
// The index of the first CR or LF in In[From, Stop), or Stop.
using TqvUUFindLineEnd = std::int64_t (*)(const std::uint8_t* In, std::int64_t From,
                                          std::int64_t Stop);

struct TqvKernels {
  TqvKernelLevel Level;
  TqvBase64Encode Base64Encode;
  TqvBase64Decode Base64Decode;
  TqvQPEncode QPEncode;
  TqvQPDecode QPDecode;
  TqvUUEncode UUEncode;
  TqvUUDecode UUDecode;
  TqvUUFindLineEnd UUFindLineEnd;
};

// The table in use: the best level that the processor runs, unless a test chose another. A
// codec fetches it once per call and keeps it for that call.
const TqvKernels& Kernels() noexcept;

// The levels that this processor runs, Plain first.
std::vector<TqvKernelLevel> KernelLevels();
// Uses Level from now on; false, changing nothing, when the processor cannot run it.
bool UseKernelLevel(TqvKernelLevel Level);
TqvKernelLevel KernelLevelInUse() noexcept;
// "plain", "AVX2" or "AVX-512", for messages.
std::string KernelLevelName(TqvKernelLevel Level);

// The source bytes that one piece of a piece path holds; each codec rounds it to what its
// format cuts at (whole lines or batches, at least 32 bytes for quoted-printable). 0 or less
// restores each codec's own default. Lets tests cross piece borders with small sources.
void SetPieceLength(std::int64_t Bytes);
// The length set above, or Default when none is set.
std::int64_t PieceLengthOr(std::int64_t Default) noexcept;

} // namespace vexor::detail
