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
// Where no caller can watch, a codec may move whole pieces with one of several inner loops;
// those runs are made once with each loop that the processor runs and must all agree with the
// observed run, which makes exactly the calls that the format fixes.
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
#include "runtime/streams.h"

namespace detail = vexor::detail;

namespace vf {

// A finding: say what and on which settings, then abort so that libFuzzer keeps the input.
[[noreturn]] inline void Finding(const std::string& What) {
  std::fprintf(stderr, "FINDING: %s\n", What.c_str());
  std::fflush(stderr);
  std::abort();
}

// A memory stream that is not one of the runtime's classes: it publishes no buffer window, so
// every byte travels through the virtual Read and Write, and no codec may take a shortcut.
class TPlainStream final : public rtl::TStream {
public:
  TPlainStream() = default;
  explicit TPlainStream(std::string_view Bytes) : FData(Bytes) {}

  std::int64_t Read(void* Buffer, std::int64_t Count) override {
    if (Count <= 0 || FPos >= Size()) return 0;
    const std::int64_t N = std::min(Count, Size() - FPos);
    std::memcpy(Buffer, FData.data() + FPos, static_cast<std::size_t>(N));
    FPos += N;
    return N;
  }
  std::int64_t Write(const void* Buffer, std::int64_t Count) override {
    if (Count <= 0) return 0;
    const auto End = static_cast<std::size_t>(FPos + Count);
    if (End > FData.size()) FData.resize(End);
    std::memcpy(FData.data() + FPos, Buffer, static_cast<std::size_t>(Count));
    FPos += Count;
    return Count;
  }
  std::int64_t Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) override {
    std::int64_t Target = Offset;
    if (Origin == rtl::soCurrent) Target += FPos;
    if (Origin == rtl::soEnd) Target += Size();
    if (Target < 0) Finding("a codec seeked before the start of a stream");
    FPos = Target;
    return FPos;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }

  const std::string& Bytes() const noexcept { return FData; }

private:
  std::string FData;
  std::int64_t FPos = 0;
};

struct TSettings {
  TqvEncodeMethod Method = cmBase64;
  std::int32_t CharsPerLine = 76;
  bool SuppressCrlf = false;
  std::int32_t BatchSize = 8192;
  TqvEncodeErrorProcessing ErrorProcessing = epStop;

  std::string Describe() const {
    return "method " + std::to_string(Method) + ", CharsPerLine " + std::to_string(CharsPerLine) +
           ", SuppressCrlf " + std::to_string(SuppressCrlf) + ", BatchSize " +
           std::to_string(BatchSize) + ", ErrorProcessing " + std::to_string(ErrorProcessing);
  }
};

// How the bytes travel: the runtime's own streams with no one watching (where a codec may move
// whole pieces), the same streams with a progress handler, and streams of a foreign class.
enum class TPath { Unobserved, Observed, ForeignStreams };

inline const char* PathName(TPath P) {
  switch (P) {
  case TPath::Unobserved:
    return "runtime streams, no handler";
  case TPath::Observed:
    return "runtime streams, progress handler, positioned source";
  default:
    return "foreign streams, progress handler";
  }
}

struct TOutcome {
  std::string Output;
  std::int64_t SourceAdvance = 0;        // how far the source's position moved
  std::optional<std::int32_t> ErrorCode; // set when EqvEncoderError was raised
  std::string ErrorMessage;
  std::vector<std::pair<std::int64_t, std::int64_t>> Reports; // empty on the unobserved path

  bool operator==(const TOutcome&) const = default;
};

inline TOutcome Run(const TSettings& S, bool Encoding, std::string_view Source, TPath Path,
                    std::size_t PrefixLength = 0) {
  TqvEncoder E;
  E.EncodeMethod = S.Method;
  E.CharsPerLine = S.CharsPerLine;
  E.SuppressCrlf = S.SuppressCrlf;
  E.BatchSize = S.BatchSize;
  E.ErrorProcessing = S.ErrorProcessing;
  TOutcome R;
  if (Path != TPath::Unobserved)
    E.OnProgress = [&R](rtl::TObject* Sender, std::int64_t Done, std::int64_t Total) {
      if (Sender == nullptr) Finding("a progress event without its sender");
      R.Reports.emplace_back(Done, Total);
    };

  auto Code = [&](rtl::TStream& Src, rtl::TStream& Dst) {
    const std::int64_t Start = Src.Position();
    try {
      if (Encoding)
        E.Encode(Src, Dst);
      else
        E.Decode(Src, Dst);
    } catch (const EqvEncoderError& Ex) {
      R.ErrorCode = Ex.ErrorCode;
      R.ErrorMessage = Ex.Message();
    } catch (const rtl::Exception& Ex) {
      Finding(std::string("unexpected ") + Ex.ClassName() + ": " + Ex.Message() + " (" +
              S.Describe() + ", " + PathName(Path) + ")");
    } catch (const std::exception& Ex) {
      Finding(std::string("unexpected exception: ") + Ex.what() + " (" + S.Describe() + ")");
    }
    R.SourceAdvance = Src.Position() - Start;
  };

  if (Path == TPath::ForeignStreams) {
    TPlainStream Src(Source), Dst;
    Code(Src, Dst);
    R.Output = Dst.Bytes();
  } else if (Path == TPath::Observed && PrefixLength > 0) {
    // Bytes before the source's position must play no part.
    std::string Shifted(PrefixLength, '*');
    Shifted.append(Source);
    rtl::TMemoryStream Src(Shifted), Dst;
    Src.SetPosition(static_cast<std::int64_t>(PrefixLength));
    Code(Src, Dst);
    R.Output = Dst.Bytes();
  } else {
    rtl::TMemoryStream Src(Source), Dst;
    Code(Src, Dst);
    R.Output = Dst.Bytes();
  }
  return R;
}

// The progress rules that hold for every codec: nothing at all for an empty source; otherwise
// (0, N) first, every total N, and a count that never goes back or beyond N.
inline void CheckProgress(const TOutcome& R, std::size_t SourceSize, const TSettings& S) {
  const auto N = static_cast<std::int64_t>(SourceSize);
  const std::string Where = " (" + S.Describe() + ")";
  if (N == 0) {
    if (!R.Reports.empty() || !R.Output.empty())
      Finding("an empty source gave reports or output" + Where);
    return;
  }
  if (R.Reports.empty()) Finding("no progress report" + Where);
  if (R.Reports.front() != std::pair<std::int64_t, std::int64_t>(0, N))
    Finding("the first report is not (0, N)" + Where);
  std::int64_t Last = 0;
  for (const auto& [Done, Total] : R.Reports) {
    if (Total != N) Finding("a report's total is not the source size" + Where);
    if (Done < Last || Done > N) Finding("a report goes back or beyond the total" + Where);
    Last = Done;
  }
}

// Runs every path and insists that they agree; returns the observed path's outcome.
inline TOutcome RunAllPaths(const TSettings& S, bool Encoding, std::string_view Source,
                            std::size_t PrefixLength, std::int64_t PieceLength) {
  const TOutcome Observed = Run(S, Encoding, Source, TPath::Observed, PrefixLength);
  const TOutcome Foreign = Run(S, Encoding, Source, TPath::ForeignStreams);
  const std::string Where = " (" + S.Describe() + ", prefix " + std::to_string(PrefixLength) +
                            ", piece " + std::to_string(PieceLength) + ")";
  auto Same = [](const TOutcome& A, const TOutcome& B) {
    return A.Output == B.Output && A.SourceAdvance == B.SourceAdvance &&
           A.ErrorCode == B.ErrorCode && A.ErrorMessage == B.ErrorMessage;
  };
  if (!Same(Foreign, Observed)) Finding("foreign streams give another result" + Where);
  if (Foreign.Reports != Observed.Reports)
    Finding("foreign streams give other progress reports" + Where);
  CheckProgress(Observed, Source.size(), S);

  // Every level of loops that this processor runs, then the best again and default pieces.
  const std::vector<detail::TqvKernelLevel> Levels = detail::KernelLevels();
  for (const detail::TqvKernelLevel Level : Levels) {
    if (!detail::UseKernelLevel(Level)) Finding("a listed kernel level cannot be used");
    detail::SetPieceLength(PieceLength);
    const TOutcome Unobserved = Run(S, Encoding, Source, TPath::Unobserved);
    detail::UseKernelLevel(Levels.back());
    detail::SetPieceLength(0);
    if (!Same(Unobserved, Observed))
      Finding("the unobserved path with the " + detail::KernelLevelName(Level) +
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
  return R.Output;
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
    if (!Source.empty()) Rules.CheckText(S, LineLength, Source, R.Output);
    if (Rules.RoundTrips(S, LineLength) && DecodeDefault(Method, R.Output) != Source)
      Finding("the text does not decode back to the source" + Where);
  }

  TSettings Default;
  Default.Method = Method;
  const TOutcome D = Run(Default, true, Source, TPath::Observed);
  if (D.ErrorCode) Finding("the encoder raised at the default settings: " + D.ErrorMessage);
  if (DecodeDefault(Method, D.Output) != Source)
    Finding("the default text does not decode back to the source");
}

} // namespace vf
