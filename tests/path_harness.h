// One coding call on one of the component's paths, and what it left behind, so that tests can
// hold the paths against each other. Header-only and free of GoogleTest: the fuzz targets use
// it as well as the suites.
//
// The paths:
//   Pieces    the runtime's memory streams and no one watching: the codec may move whole
//             pieces, with whichever inner loops the kernel level selects;
//   Observed  the same streams with a progress handler: every stream call as the format fixes it;
//   Streaming a handler and TqvEncoder::Streaming: the piece path although someone watches;
//   Foreign   streams of the caller's own class (no buffer window) with a handler; a cap on the
//             bytes one Read delivers makes them short reads.
// A call may also be watched by a class derived from TqvEncoder instead of a handler, coded
// with one stream as source and destination, or between streams the caller opens itself (files,
// say).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/kernels/qvKernels.h"
#include "runtime/streams.h"

namespace vh {

using Report = std::pair<std::int64_t, std::int64_t>;
using Reports = std::vector<Report>;

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

inline void Apply(TqvEncoder& E, const TSettings& S) {
  E.EncodeMethod = S.Method;
  E.CharsPerLine = S.CharsPerLine;
  E.SuppressCrlf = S.SuppressCrlf;
  E.BatchSize = S.BatchSize;
  E.ErrorProcessing = S.ErrorProcessing;
}

// "Class: message (code)" for the codec's error, "Class: message" for the runtime's others.
inline std::string DescribeError(const std::exception& Ex) {
  if (const auto* E = dynamic_cast<const EqvEncoderError*>(&Ex))
    return std::string(E->ClassName()) + ": " + E->Message() + " (" + std::to_string(E->ErrorCode) +
           ")";
  if (const auto* E = dynamic_cast<const rtl::Exception*>(&Ex))
    return std::string(E->ClassName()) + ": " + E->Message();
  return std::string("std::exception: ") + Ex.what();
}

// A memory stream that is not one of the runtime's classes: it publishes no buffer window, so
// every byte travels through the virtual Read and Write, and no codec may take a shortcut.
class TForeignStream final : public rtl::TStream {
public:
  TForeignStream() = default;
  explicit TForeignStream(std::string_view Bytes) : FData(Bytes) {}

  std::int64_t Read(void* Buffer, std::int64_t Count) override {
    if (Count <= 0 || FPos >= Size()) return 0;
    std::int64_t N = std::min(Count, Size() - FPos);
    if (MaxRead >= 0) N = std::min(N, MaxRead);
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
    if (Target < 0) SoughtBeforeStart = true;
    FPos = Target;
    return FPos;
  }
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }

  const std::string& Bytes() const noexcept { return FData; }

  std::int64_t MaxRead = -1;      // cap on the bytes one Read delivers (-1: none)
  bool SoughtBeforeStart = false; // a Seek aimed before the first byte

private:
  std::string FData;
  std::int64_t FPos = 0;
};

enum class TPath { Pieces, Observed, Streaming, Foreign };

inline const char* PathName(TPath P) {
  static const char* const Names[] = {
      "pieces (runtime streams, no handler)", "observed (runtime streams, progress handler)",
      "streaming (runtime streams, progress handler, Streaming)",
      "foreign streams, progress handler"};
  return Names[static_cast<int>(P)];
}

// Who watches the call: no one, a progress handler, or a class derived from TqvEncoder that
// overrides ReportProgress.
enum class TWatcher { None, Handler, Derived };

// Sees every report, the encoder and how many reports came so far; may raise TStop to end the
// call (its error is then "stop") or change the encoder's settings.
using THook = std::function<void(TqvEncoder&, std::size_t)>;

struct TStop {
  std::size_t At = 0; // the report that raised
};

// One call: the settings, the direction, and where the streams stand before it.
struct TCall {
  TSettings Settings;
  bool Encode = true;
  std::size_t Skip = 0; // the source's position before the call
  std::string Prefix;   // the destination's bytes before the call
  std::int64_t DestinationStart = -1; // where the destination stands in them (-1: at their end)
};

// A call of Method in one direction at a line layout, the other settings at their defaults.
inline TCall CallFor(TqvEncodeMethod Method, bool Encode, std::int32_t CharsPerLine = 76,
                     bool SuppressCrlf = false) {
  TCall C;
  C.Settings.Method = Method;
  C.Settings.CharsPerLine = CharsPerLine;
  C.Settings.SuppressCrlf = SuppressCrlf;
  C.Encode = Encode;
  return C;
}

// How the call is made.
struct TWay {
  TWatcher Watcher = TWatcher::Handler;
  bool Streaming = false;
  bool ForeignStreams = false;
  bool OneStream = false;    // one memory stream, holding the input, as source and destination
  std::int64_t MaxRead = -1; // with foreign streams: cap on the bytes of one Read
  THook Hook;

  static TWay Of(TPath P) {
    TWay W;
    W.Watcher = P == TPath::Pieces ? TWatcher::None : TWatcher::Handler;
    W.Streaming = P == TPath::Streaming;
    W.ForeignStreams = P == TPath::Foreign;
    return W;
  }
};

// What one call left behind.
struct TOutcome {
  std::string Bytes;                      // the destination's, prefix included
  std::optional<std::string> Error;       // DescribeError of what the call raised; "stop" for TStop
  std::optional<std::int32_t> ErrorCode;  // when that was EqvEncoderError
  std::string ErrorMessage;               // its message alone
  std::int64_t SourcePosition = 0, DestinationPosition = 0;
  std::int64_t SourceAdvance = 0; // how far the source's position moved
  bool Stopped = false; // the decoder's stop flag after the call
  Reports Log;          // empty when no one watched
  // Misuse that the harness saw: a report from another thread than the caller's, a handler
  // event without its sender, a seek before the start of a foreign stream.
  bool OtherThread = false, SenderMissing = false, SoughtBeforeStart = false;

  // The result of the call; the reports are held against each other apart, since a call that
  // no one watches makes none.
  bool operator==(const TOutcome& O) const {
    return Bytes == O.Bytes && Error == O.Error && ErrorCode == O.ErrorCode &&
           SourcePosition == O.SourcePosition && DestinationPosition == O.DestinationPosition &&
           Stopped == O.Stopped;
  }
};

inline void PrintTo(const TOutcome& O, std::ostream* Os) {
  std::string Shown;
  for (const char C : O.Bytes.substr(0, 200)) {
    const auto U = static_cast<unsigned char>(C);
    if (U >= 32 && U < 127 && C != '\\') {
      Shown += C;
    } else {
      static const char Hex[] = "0123456789abcdef";
      Shown += std::string("\\x") + Hex[U >> 4] + Hex[U & 15];
    }
  }
  *Os << '"' << Shown << (O.Bytes.size() > 200 ? "\"..." : "\"") << " (" << O.Bytes.size()
      << " bytes), source at " << O.SourcePosition << ", destination at "
      << O.DestinationPosition << ", error " << O.Error.value_or("none")
      << (O.Stopped ? ", stopped" : "");
}

namespace impl {
class TDerivedEncoder : public TqvEncoder {
public:
  std::function<void(std::int64_t, std::int64_t)> Report;

protected:
  void ReportProgress(std::int64_t Done, std::int64_t Total) override { Report(Done, Total); }
};
} // namespace impl

// Makes the call between streams the caller opened; Bytes is left to the caller, who knows
// where the destination's bytes are.
inline TOutcome RunOn(const TCall& C, const TWay& W, rtl::TStream& Source,
                      rtl::TStream& Destination) {
  impl::TDerivedEncoder Derived;
  TqvEncoder Plain;
  TqvEncoder& E = W.Watcher == TWatcher::Derived ? static_cast<TqvEncoder&>(Derived) : Plain;
  Apply(E, C.Settings);
  E.Streaming = W.Streaming;
  TOutcome R;
  const auto Caller = std::this_thread::get_id();
  const auto Record = [&](std::int64_t Done, std::int64_t Total) {
    if (std::this_thread::get_id() != Caller) R.OtherThread = true;
    R.Log.emplace_back(Done, Total);
    if (W.Hook) W.Hook(E, R.Log.size());
  };
  if (W.Watcher == TWatcher::Derived)
    Derived.Report = Record;
  else if (W.Watcher == TWatcher::Handler)
    E.OnProgress = [&](rtl::TObject* Sender, std::int64_t Done, std::int64_t Total) {
      if (Sender == nullptr) R.SenderMissing = true;
      Record(Done, Total);
    };
  // Fresh streams stand at their start already: leave them be, so that a source that cannot
  // seek (a pipe) is coded as it comes.
  if (C.Skip > 0) Source.SetPosition(static_cast<std::int64_t>(C.Skip));
  if (&Destination == &Source)
    ; // one stream: reads and writes share its position
  else if (C.DestinationStart >= 0)
    Destination.SetPosition(C.DestinationStart);
  else if (!C.Prefix.empty())
    Destination.Seek(0, rtl::soEnd);
  try {
    if (C.Encode)
      E.Encode(Source, Destination);
    else
      E.Decode(Source, Destination);
  } catch (const EqvEncoderError& Ex) {
    R.Error = DescribeError(Ex);
    R.ErrorCode = Ex.ErrorCode;
    R.ErrorMessage = Ex.Message();
  } catch (const std::exception& Ex) {
    R.Error = DescribeError(Ex);
  } catch (const TStop&) {
    R.Error = "stop";
  }
  R.SourcePosition = Source.Position();
  R.SourceAdvance = R.SourcePosition - static_cast<std::int64_t>(C.Skip);
  R.DestinationPosition = Destination.Position();
  R.Stopped = vexor::detail::TqvEncoderAccess::DecodeStopped(E);
  return R;
}

// Makes the call over memory streams: the runtime's, foreign ones, or one stream for both, as
// the way says.
inline TOutcome Run(const TCall& C, const TWay& W, std::string_view Input) {
  if (W.OneStream) {
    rtl::TMemoryStream Both(Input);
    TOutcome R = RunOn(C, W, Both, Both);
    R.Bytes = std::string(Both.Bytes());
    return R;
  }
  if (W.ForeignStreams) {
    TForeignStream Source(Input), Destination(C.Prefix);
    Source.MaxRead = W.MaxRead;
    TOutcome R = RunOn(C, W, Source, Destination);
    R.Bytes = Destination.Bytes();
    R.SoughtBeforeStart = Source.SoughtBeforeStart || Destination.SoughtBeforeStart;
    return R;
  }
  rtl::TMemoryStream Source(Input), Destination(C.Prefix);
  TOutcome R = RunOn(C, W, Source, Destination);
  R.Bytes = std::string(Destination.Bytes());
  return R;
}

inline TOutcome Run(const TCall& C, TPath P, std::string_view Input) {
  return Run(C, TWay::Of(P), Input);
}

// Puts back the best kernel level and the default piece length that a test changed.
inline void RestoreKernelDefaults() {
  vexor::detail::UseKernelLevel(vexor::detail::KernelLevels().back());
  vexor::detail::SetPieceLength(0);
}

struct TKernelDefaultsGuard {
  TKernelDefaultsGuard() = default;
  TKernelDefaultsGuard(const TKernelDefaultsGuard&) = delete;
  TKernelDefaultsGuard& operator=(const TKernelDefaultsGuard&) = delete;
  ~TKernelDefaultsGuard() { RestoreKernelDefaults(); }
};

} // namespace vh
