// Base64 decoder on arbitrary bytes.
#include "tests/fuzz/fuzz_support.h"

namespace {

bool Accepted(unsigned char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '+' ||
         C == '/' || C == '=' || C == '\r' || C == '\n' || C == ' ';
}

bool MayRaise(const vf::TSettings& S, std::string_view Text, const vf::TOutcome& R) {
  return S.ErrorProcessing == epStop && *R.ErrorCode == -2 &&
         R.ErrorMessage == "Wrong symbols in source stream." &&
         !std::all_of(Text.begin(), Text.end(), Accepted);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  vf::FuzzDecoder(cmBase64, Data, Size, MayRaise);
  if (Size < vf::HeaderSize) return 0;

  // Where the batches fall must not change what a clean text gives, nor what the text gives up
  // to its first wrong symbol when decoding goes on quietly.
  vf::TSettings S;
  S.BatchSize = vf::Int16At(Data + 1);
  if (S.BatchSize < 1) return 0;
  const std::string_view Text = vf::Payload(Data, Size);
  const bool Clean = std::all_of(Text.begin(), Text.end(), Accepted);
  vf::TSettings Whole = S;
  Whole.BatchSize = 1 << 20;
  for (const auto Ep : {epStop, epContinue}) {
    S.ErrorProcessing = Whole.ErrorProcessing = Ep;
    if (Ep == epStop && !Clean) continue;
    const vf::TOutcome Batched = vf::Run(S, false, Text, vf::TPath::Observed);
    const vf::TOutcome One = vf::Run(Whole, false, Text, vf::TPath::Observed);
    if (Batched.Bytes != One.Bytes) vf::Finding("the batch size changes the result");
    if (Ep == epStop && Batched.ErrorCode) vf::Finding("a clean text raised");
    if (Ep == epStop && Batched.SourceAdvance != static_cast<std::int64_t>(Text.size()))
      vf::Finding("a clean text was not read to its end");
  }
  if (!Clean) {
    S.ErrorProcessing = epStop;
    if (!vf::Run(S, false, Text, vf::TPath::Observed).ErrorCode)
      vf::Finding("a wrong symbol passed without an error under epStop");
  }
  return 0;
}
