// Shared machinery of the fuzz targets: run one coding operation over the component's public
// interface along several paths and check that every path gives the same result.
//
// Every target reads the first four bytes of its input as settings and codes the rest:
//   byte 0    decoders: bits 0-2 a prefix length; encoders: bit 0 SuppressCrlf, bits 1-3 the
//             prefix length. That many bytes are put in front of the source on one path, whose
//             position then starts after them.
//   bytes 1-2 a signed 16-bit number, low byte first: BatchSize for decoders, CharsPerLine for
//             encoders, so that zero and negative values come up as well.
//   byte 3    the piece length of the unobserved paths: 1 to 128 bytes for the values 0 to 127,
//             then steps of 64 up to 8192, which holds any input whole. Small pieces let small
//             inputs cross piece borders; the codecs' default of a megabyte or more would make
//             every run allocate that much, which under the sanitizers is most of the time.
// Where no caller can watch, or where Streaming is set, a codec may move whole pieces with one
// of several inner loops; those runs are made once with each loop that the processor runs and
// must all agree with the observed run, which makes exactly the calls that the format fixes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoder/qvEncoder.h"
#include "encoder/kernels/qvKernels.h"
#include "tests/path_harness.h"

namespace detail = vexor::detail;

namespace vf {

// A finding: say what and on which settings, then abort so that libFuzzer keeps the input.
[[noreturn]] inline void Finding(const std::string& What) {
  std::fprintf(stderr, "FINDING: %s\n", What.c_str());
  std::fflush(stderr);
  std::abort();
}

using vh::TOutcome;
using vh::TPath;
using vh::TSettings;

// One call on one path (see tests/path_harness.h). On the observed path PrefixLength bytes are
// put in front of the source, whose position then starts after them: they must play no part.
// Anything but the codec's own error, and any misuse of the streams or the handler, is a finding.
inline TOutcome Run(const TSettings& S, bool Encoding, std::string_view Source, TPath Path,
                    std::size_t PrefixLength = 0) {
  vh::TCall C;
  C.Settings = S;
  C.Encode = Encoding;
  std::string Shifted;
  if (Path == TPath::Observed && PrefixLength > 0) {
    Shifted.assign(PrefixLength, '*');
    Shifted.append(Source);
    Source = Shifted;
    C.Skip = PrefixLength;
  }
  const TOutcome R = vh::Run(C, Path, Source);
  const std::string Where = " (" + S.Describe() + ", " + vh::PathName(Path) + ")";
  if (R.Error && !R.ErrorCode) Finding("unexpected " + *R.Error + Where);
  if (R.SenderMissing) Finding("a progress event without its sender" + Where);
  if (R.SoughtBeforeStart) Finding("a codec seeked before the start of a stream" + Where);
  return R;
}

// The progress rules that hold for every codec: nothing at all for an empty source; otherwise
// (0, N) first, every total N, and a count that never goes back or beyond N.
inline void CheckProgress(const TOutcome& R, std::size_t SourceSize, const TSettings& S) {
  const auto N = static_cast<std::int64_t>(SourceSize);
  const std::string Where = " (" + S.Describe() + ")";
  if (N == 0) {
    if (!R.Log.empty() || !R.Bytes.empty())
      Finding("an empty source gave reports or output" + Where);
    return;
  }
  if (R.Log.empty()) Finding("no progress report" + Where);
  if (R.Log.front() != std::pair<std::int64_t, std::int64_t>(0, N))
    Finding("the first report is not (0, N)" + Where);
  std::int64_t Last = 0;
  for (const auto& [Done, Total] : R.Log) {
    if (Total != N) Finding("a report's total is not the source size" + Where);
    if (Done < Last || Done > N) Finding("a report goes back or beyond the total" + Where);
    Last = Done;
  }
}

// Runs every path and insists that they agree; returns the observed path's outcome.
inline TOutcome RunAllPaths(const TSettings& S, bool Encoding, std::string_view Source,
                            std::size_t PrefixLength, std::int64_t PieceLength) {
  const TOutcome Observed = Run(S, Encoding, Source, TPath::Observed, PrefixLength);
  const TOutcome Foreign = Run(S, Encoding, Source, TPath::Foreign);
  const std::string Where = " (" + S.Describe() + ", prefix " + std::to_string(PrefixLength) +
                            ", piece " + std::to_string(PieceLength) + ")";
  auto Same = [](const TOutcome& A, const TOutcome& B) {
    return A.Bytes == B.Bytes && A.SourceAdvance == B.SourceAdvance &&
           A.ErrorCode == B.ErrorCode && A.ErrorMessage == B.ErrorMessage;
  };
  if (!Same(Foreign, Observed)) Finding("foreign streams give another result" + Where);
  if (Foreign.Log != Observed.Log)
    Finding("foreign streams give other progress reports" + Where);
  CheckProgress(Observed, Source.size(), S);

  // Every level of loops that this processor runs, then the best again and default pieces.
  const std::vector<detail::TqvKernelLevel> Levels = detail::KernelLevels();
  for (const detail::TqvKernelLevel Level : Levels) {
    if (!detail::UseKernelLevel(Level)) Finding("a listed kernel level cannot be used");
    detail::SetPieceLength(PieceLength);
    const TOutcome Unobserved = Run(S, Encoding, Source, TPath::Pieces);
    const TOutcome Streaming = Run(S, Encoding, Source, TPath::Streaming);
    detail::UseKernelLevel(Levels.back());
    detail::SetPieceLength(0);
    if (!Same(Unobserved, Observed))
      Finding("the unobserved path with the " + detail::KernelLevelName(Level) +
              " loops differs from the observed one" + Where);
    if (!Same(Streaming, Observed))
      Finding("the streaming path with the " + detail::KernelLevelName(Level) +
              " loops differs from the observed one" + Where);
  }
  return Observed;
}

constexpr std::size_t HeaderSize = 4;

inline std::int64_t PieceLengthAt(std::uint8_t Byte) {
  return Byte < 128 ? Byte + 1 : 64 * (Byte - 127);
}

inline std::int16_t Int16At(const std::uint8_t* Data) {
  return static_cast<std::int16_t>(Data[0] | (Data[1] << 8));
}

inline std::string_view Payload(const std::uint8_t* Data, std::size_t Size) {
  return {reinterpret_cast<const char*>(Data + HeaderSize), Size - HeaderSize};
}

// The longest line of a text, lines being separated by CR LF.
inline std::size_t LongestLine(std::string_view Text) {
  std::size_t Longest = 0;
  while (true) {
    const std::size_t Break = Text.find("\r\n");
    Longest = std::max(Longest, Break == std::string_view::npos ? Text.size() : Break);
    if (Break == std::string_view::npos) return Longest;
    Text.remove_prefix(Break + 2);
  }
}

// Decoder targets: both error processings, the batch size from the input.
inline void FuzzDecoder(TqvEncodeMethod Method, const std::uint8_t* Data, std::size_t Size,
                        bool (*MayRaise)(const TSettings&, std::string_view, const TOutcome&)) {
  if (Size < HeaderSize) return;
  const std::size_t Prefix = Data[0] & 7;
  const std::int64_t Piece = PieceLengthAt(Data[3]);
  TSettings S;
  S.Method = Method;
  S.BatchSize = Int16At(Data + 1);
  const std::string_view Text = Payload(Data, Size);
  for (const auto Ep : {epStop, epContinue}) {
    S.ErrorProcessing = Ep;
    const TOutcome R = RunAllPaths(S, false, Text, Prefix, Piece);
    if (R.ErrorCode && !MayRaise(S, Text, R))
      Finding("EqvEncoderError " + std::to_string(*R.ErrorCode) + " \"" + R.ErrorMessage +
              "\" where none may be raised (" + S.Describe() + ")");
  }
}

// Decodes Text at the default settings, which every encoder's output must survive.
inline std::string DecodeDefault(TqvEncodeMethod Method, std::string_view Text) {
  TSettings D;
  D.Method = Method;
  const TOutcome R = Run(D, false, Text, TPath::Observed);
  if (R.ErrorCode) Finding("an encoder's text does not decode: " + R.ErrorMessage);
  return R.Bytes;
}

struct TEncoderRules {
  // Whether the encoder may raise EqvEncoderError for these settings and this source.
  bool (*MayRaise)(const TSettings&, std::string_view Source, const TOutcome&);
  // Whether text written with these settings must decode back to the source.
  bool (*RoundTrips)(const TSettings&, std::int32_t LineLength);
  // Checks the form of the text; calls Finding when it is wrong.
  void (*CheckText)(const TSettings&, std::int32_t LineLength, std::string_view Source,
                    std::string_view Text);
};

// Encoder targets: SuppressCrlf and CharsPerLine from the input; the text at those settings is
// checked for its form, and at the default settings it must decode back to the source.
inline void FuzzEncoder(TqvEncodeMethod Method, const std::uint8_t* Data, std::size_t Size,
                        const TEncoderRules& Rules) {
  if (Size < HeaderSize) return;
  TSettings S;
  S.Method = Method;
  S.SuppressCrlf = (Data[0] & 1) != 0;
  const std::size_t Prefix = (Data[0] >> 1) & 7;
  const std::int64_t Piece = PieceLengthAt(Data[3]);
  S.CharsPerLine = Int16At(Data + 1);
  const std::string_view Source = Payload(Data, Size);
  std::int32_t LineLength;
  {
    TqvEncoder E;
    E.EncodeMethod = Method;
    E.CharsPerLine = S.CharsPerLine;
    LineLength = E.GetEffectiveCharsPerLine();
  }

  const TOutcome R = RunAllPaths(S, true, Source, Prefix, Piece);
  const std::string Where = " (" + S.Describe() + ")";
  if (R.ErrorCode) {
    if (!Rules.MayRaise(S, Source, R))
      Finding("EqvEncoderError " + std::to_string(*R.ErrorCode) + " \"" + R.ErrorMessage +
              "\" where none may be raised" + Where);
  } else {
    if (R.SourceAdvance != static_cast<std::int64_t>(Source.size()))
      Finding("the encoder did not take the whole source" + Where);
    if (!Source.empty()) Rules.CheckText(S, LineLength, Source, R.Bytes);
    if (Rules.RoundTrips(S, LineLength) && DecodeDefault(Method, R.Bytes) != Source)
      Finding("the text does not decode back to the source" + Where);
  }

  TSettings Default;
  Default.Method = Method;
  const TOutcome D = Run(Default, true, Source, TPath::Observed);
  if (D.ErrorCode) Finding("the encoder raised at the default settings: " + D.ErrorMessage);
  if (DecodeDefault(Method, D.Bytes) != Source)
    Finding("the default text does not decode back to the source");
}

} // namespace vf
