#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"

void TqvEncoder::EncodeUUE(rtl::TStream&, rtl::TStream&) {
  throw rtl::Exception("EncodeUUE is not available yet.");
}

void TqvEncoder::DecodeUUE(rtl::TStream&, rtl::TStream&) {
  throw rtl::Exception("DecodeUUE is not available yet.");
}
