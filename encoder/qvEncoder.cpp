// The component frame: construction, dispatch, the plain copy, the line-length rule and the
// progress event.
#include "encoder/qvEncoder.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <system_error>

#include "encoder/qvEncoderInternal.h"

namespace detail = vexor::detail;

namespace vexor::detail {

const char* LoadMessage(TqvMessage Id) {
  static const char* const Table[] = {
      "Unsupported format.",
      "Wrong symbols in source stream.",
      "UUencoded line too long.",
  };
  return Table[static_cast<int>(Id)];
}

std::int64_t PieceTotal(rtl::TStream& Source) {
  if (!Source.SizeKnown()) return -1;
  const std::int64_t Size = Source.Size();
  return std::max<std::int64_t>(Size - Source.Position(), 0);
}

std::int64_t ReadFull(rtl::TStream& Source, void* Buffer, std::int64_t Count) {
  auto* P = static_cast<std::uint8_t*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Count) {
    const std::int64_t Got = Source.Read(P + Done, Count - Done);
    if (Got <= 0) break;
    Done += std::min(Got, Count - Done);
  }
  return Done;
}

TqvProgress::TqvProgress(TqvEncoder& Encoder, std::int64_t Total)
    : FEncoder(Encoder), FTotal(Total), FObserved(TqvEncoderAccess::Observed(Encoder)) {
  TqvEncoderAccess::ReportProgress(FEncoder, 0, FTotal);
}

void TqvProgress::Coded(std::int64_t Bytes) {
  if (FTotal >= 0 && Bytes >= FTotal) return; // the last report says that
  TqvEncoderAccess::ReportProgress(FEncoder, Bytes, FTotal);
}

void TqvProgress::Finish(std::int64_t Bytes) {
  const std::int64_t Total = FTotal >= 0 ? FTotal : Bytes;
  TqvEncoderAccess::ReportProgress(FEncoder, Total, Total);
}

} // namespace vexor::detail

void RaiseEncoderError(const std::string& Message, std::int32_t Code) {
  throw EqvEncoderError(Message, Code);
}

TqvEncoder::TqvEncoder(rtl::TComponent* AOwner) : rtl::TComponent(AOwner) {}

namespace {

using TCodec = void (TqvEncoder::*)(rtl::TStream&, rtl::TStream&);
using TCodecTable = TCodec[cm8Bit + 1];

// Both directions share the frame: nothing left means nothing happens, not even the method
// check; a method number above cm8Bit is refused before anything is read, written or reported.
// A source that cannot tell its size without being read whole (a pipe) is not asked for it
// where the codec will move pieces: it is asked only whether a byte is left.
void Dispatch(TqvEncoder& Encoder, TqvEncodeMethod Method, const TCodecTable& Table,
              rtl::TStream& Source, rtl::TStream& Destination) {
  if (detail::TqvEncoderAccess::ReadAsItArrives(Encoder, Source, Destination)) {
    if (Source.AtEnd()) return;
  } else {
    const std::int64_t Size = Source.Size();
    if (Size - Source.Position() <= 0) return;
  }
  if (Method > cm8Bit)
    RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::UnsupportedFormat), -1);
  const TCodec Codec = Table[static_cast<std::size_t>(Method)];
  (Encoder.*Codec)(Source, Destination);
}

} // namespace

struct detail::TqvEncoderAccess::Codecs {
  static constexpr TCodecTable Encoders = {&TqvEncoder::CopyPlain, &TqvEncoder::EncodeQP,
                                           &TqvEncoder::EncodeBase64, &TqvEncoder::EncodeUUE,
                                           &TqvEncoder::CopyPlain};
  static constexpr TCodecTable Decoders = {&TqvEncoder::CopyPlain, &TqvEncoder::DecodeQP,
                                           &TqvEncoder::DecodeBase64, &TqvEncoder::DecodeUUE,
                                           &TqvEncoder::CopyPlain};
};

void TqvEncoder::Encode(rtl::TStream& Source, rtl::TStream& Destination) {
  Dispatch(*this, EncodeMethod, detail::TqvEncoderAccess::Codecs::Encoders, Source, Destination);
}

void TqvEncoder::Decode(rtl::TStream& Source, rtl::TStream& Destination) {
  Dispatch(*this, EncodeMethod, detail::TqvEncoderAccess::Codecs::Decoders, Source, Destination);
}

void TqvEncoder::CopyPlain(rtl::TStream& Source, rtl::TStream& Destination) {
  if (detail::TqvEncoderAccess::ReadAsItArrives(*this, Source, Destination)) {
    // Up to the end, as the bytes arrive.
    constexpr std::int64_t Piece = 1 << 20;
    detail::TqvProgress Progress(*this, -1);
    const detail::TqvBlock Buffer(Piece);
    std::int64_t Done = 0;
    for (;;) {
      const std::int64_t Got = detail::ReadFull(Source, Buffer.Data(), Piece);
      Destination.WriteBuffer(Buffer.Data(), Got);
      Done += Got;
      if (Got < Piece) break;
      Progress.Coded(Done);
    }
    Progress.Finish(Done);
    return;
  }
  // 64-bit count: for sources below 2^31 bytes this equals the 32-bit difference, and larger
  // sources are copied whole instead of wrapping.
  const std::int64_t Size = Source.Size();
  const std::int64_t N = Size - Source.Position();
  ReportProgress(0, N);
  if (N > 0) Destination.CopyFrom(Source, N);
  ReportProgress(N, N);
}

std::int32_t TqvEncoder::GetEffectiveCharsPerLine() const {
  const std::int32_t C = CharsPerLine;
  switch (EncodeMethod) {
  case cmQuotedPrintable:
    return C < 4 ? 4 : (C > 132 ? 132 : C);
  case cmUUEncode:
    return C < 3 ? 3 : (C > 132 ? 132 : C);
  case cmBase64: {
    if (C < 64) return 64;
    // 4 * round(C / 4 + 0.25) with ties to even; nearbyint uses the default rounding mode,
    // which is to-nearest-even. Computed in 64 bits so that no C overflows.
    const double Q = std::nearbyint(static_cast<double>(C) / 4.0 + 0.25);
    const auto R = static_cast<std::int64_t>(Q) * 4;
    return R > INT32_MAX ? static_cast<std::int32_t>(R - 4) : static_cast<std::int32_t>(R);
  }
  default:
    return C;
  }
}

void TqvEncoder::ReportProgress(std::int64_t ABytesProceed, std::int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}
