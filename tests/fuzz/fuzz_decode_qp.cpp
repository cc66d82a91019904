// Quoted-printable decoder on arbitrary bytes: it refuses nothing and reads to the end.
#include "tests/fuzz/fuzz_support.h"

namespace {
bool NeverRaises(const vf::TSettings&, std::string_view, const vf::TOutcome&) {
  return false;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  vf::FuzzDecoder(cmQuotedPrintable, Data, Size, NeverRaises);
  if (Size < vf::HeaderSize) return 0;
  const std::string_view Text = vf::Payload(Data, Size);
  vf::TSettings S;
  S.Method = cmQuotedPrintable;
  const vf::TOutcome R = vf::Run(S, false, Text, vf::TPath::Observed);
  if (R.SourceAdvance != static_cast<std::int64_t>(Text.size()))
    vf::Finding("the decoder stopped before the end of the source");
  // Every line break it writes is CR LF, so a bare CR or LF can only come from an escape.
  std::size_t Escapes = 0;
  for (std::size_t I = 0; I + 2 < Text.size(); ++I)
    if (Text[I] == '=') ++Escapes;
  std::size_t Bare = 0;
  for (std::size_t I = 0; I < R.Bytes.size(); ++I) {
    if (R.Bytes[I] == '\r' && I + 1 < R.Bytes.size() && R.Bytes[I + 1] == '\n') {
      ++I;
      continue;
    }
    if (R.Bytes[I] == '\r' || R.Bytes[I] == '\n') ++Bare;
  }
  if (Bare > Escapes) vf::Finding("a bare CR or LF that no escape stands for");
  return 0;
}
