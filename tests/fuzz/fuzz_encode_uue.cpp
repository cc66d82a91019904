// UUencode encoder on arbitrary bytes at any line length.
#include "tests/fuzz/fuzz_support.h"

namespace {

// A count character carries at most 63 bytes; one line that must carry more is refused.
bool MayRaise(const vf::TSettings& S, std::string_view Source, const vf::TOutcome& R) {
  return *R.ErrorCode == -3 && S.SuppressCrlf && Source.size() >= 64;
}

bool Always(const vf::TSettings&, std::int32_t) {
  return true;
}

// Only the characters "!" to the grave accent, lines of at most L + 1 characters, and the
// terminating grave accent.
void CheckText(const vf::TSettings& S, std::int32_t L, std::string_view, std::string_view Text) {
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const auto C = static_cast<unsigned char>(Text[I]);
    if (C == '\r' && !S.SuppressCrlf && I + 1 < Text.size() && Text[I + 1] == '\n') {
      ++I;
      continue;
    }
    if (C < 0x21 || C > 0x60) vf::Finding("a byte that UUencoded text may not hold");
  }
  if (S.SuppressCrlf ? Text.empty() || Text.back() != '`'
                     : Text.size() < 3 || Text.substr(Text.size() - 3) != "`\r\n")
    vf::Finding("the text does not end with the terminating grave accent");
  if (!S.SuppressCrlf && vf::LongestLine(Text) > static_cast<std::size_t>(L + 1))
    vf::Finding("a line longer than " + std::to_string(L + 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  vf::FuzzEncoder(cmUUEncode, Data, Size, {MayRaise, Always, CheckText});
  return 0;
}
