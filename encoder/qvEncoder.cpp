// The component frame: construction, dispatch, the plain copy, the line-length rule and the
// progress event.
#include "encoder/qvEncoder.h"

#include <cmath>

#include "encoder/qvEncoderInternal.h"

namespace detail {

const char* LoadMessage(TqvMessage Id) {
  static const char* const Table[] = {
      "Unsupported format.",
      "Wrong symbols in source stream.",
      "UUencoded line too long.",
  };
  return Table[static_cast<int>(Id)];
}

} // namespace detail

void RaiseEncoderError(const std::string& Message, std::int32_t Code) {
  throw EqvEncoderError(Message, Code);
}

TqvEncoder::TqvEncoder(rtl::TComponent* AOwner) : rtl::TComponent(AOwner) {}

void TqvEncoder::Encode(rtl::TStream& Source, rtl::TStream& Destination) {
  const std::int64_t Size = Source.Size();
  if (Size - Source.Position() <= 0) return;
  switch (EncodeMethod) {
  case cmNone:
  case cm8Bit:
    CopyPlain(Source, Destination);
    break;
  case cmQuotedPrintable:
    EncodeQP(Source, Destination);
    break;
  case cmBase64:
    EncodeBase64(Source, Destination);
    break;
  case cmUUEncode:
    EncodeUUE(Source, Destination);
    break;
  default:
    RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::UnsupportedFormat), -1);
  }
}

void TqvEncoder::Decode(rtl::TStream& Source, rtl::TStream& Destination) {
  const std::int64_t Size = Source.Size();
  if (Size - Source.Position() <= 0) return;
  switch (EncodeMethod) {
  case cmNone:
  case cm8Bit:
    CopyPlain(Source, Destination);
    break;
  case cmQuotedPrintable:
    DecodeQP(Source, Destination);
    break;
  case cmBase64:
    DecodeBase64(Source, Destination);
    break;
  case cmUUEncode:
    DecodeUUE(Source, Destination);
    break;
  default:
    RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::UnsupportedFormat), -1);
  }
}

void TqvEncoder::CopyPlain(rtl::TStream& Source, rtl::TStream& Destination) {
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
