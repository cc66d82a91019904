// UUencode decoder on arbitrary bytes: every byte has a value, so it refuses nothing.
#include "tests/fuzz/fuzz_support.h"

namespace {
bool NeverRaises(const vf::TSettings&, std::string_view, const vf::TOutcome&) {
  return false;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  vf::FuzzDecoder(cmUUEncode, Data, Size, NeverRaises);
  if (Size < vf::HeaderSize) return 0;
  const std::string_view Text = vf::Payload(Data, Size);
  vf::TSettings S;
  S.Method = cmUUEncode;
  const vf::TOutcome R = vf::Run(S, false, Text, vf::TPath::Observed);
  // The decoded bytes are never more than the text that they came from.
  if (R.Bytes.size() > Text.size()) vf::Finding("more bytes decoded than the text holds");
  return 0;
}
