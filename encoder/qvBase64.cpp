#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"

void TqvEncoder::EncodeBase64(rtl::TStream&, rtl::TStream&) {
  throw rtl::Exception("EncodeBase64 is not available yet.");
}

void TqvEncoder::DecodeBase64(rtl::TStream&, rtl::TStream&) {
  throw rtl::Exception("DecodeBase64 is not available yet.");
}

std::int32_t TqvEncoder::DecodeBase64Chunk(std::uint8_t*, std::int32_t, std::uint8_t&,
                                           std::uint8_t&) {
  return 0;
}
