#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"

void TqvEncoder::EncodeQP(rtl::TStream&, rtl::TStream&) {
  throw rtl::Exception("EncodeQP is not available yet.");
}

void TqvEncoder::DecodeQP(rtl::TStream&, rtl::TStream&) {
  throw rtl::Exception("DecodeQP is not available yet.");
}

void TqvEncoder::ReadLine(rtl::TStream&, bool&, std::int32_t&, std::string&) {}
