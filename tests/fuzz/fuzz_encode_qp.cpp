// Quoted-printable encoder on arbitrary bytes at any line length.
#include "tests/fuzz/fuzz_support.h"

namespace {

bool NeverRaises(const vf::TSettings&, std::string_view, const vf::TOutcome&) {
  return false;
}

// Line lengths below 6 leave no room for the line test; whatever the encoder makes of them must
// still decode back.
bool RoundTrips(const vf::TSettings&, std::int32_t) {
  return true;
}

bool UpperHex(char C) {
  return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F');
}

// Printable ASCII, CR only in CR LF, every "=" an escape or a soft line break, and no line
// longer than L - 2 while lines are broken.
void CheckText(const vf::TSettings& S, std::int32_t L, std::string_view, std::string_view Text) {
  for (std::size_t I = 0; I < Text.size(); ++I) {
    const auto C = static_cast<unsigned char>(Text[I]);
    if (C == '\r') {
      if (I + 1 >= Text.size() || Text[I + 1] != '\n') vf::Finding("a CR outside CR LF");
      ++I;
    } else if (C == '=') {
      const bool Escape = I + 2 < Text.size() && UpperHex(Text[I + 1]) && UpperHex(Text[I + 2]);
      const bool Soft = !S.SuppressCrlf && Text.substr(I + 1, 2) == "\r\n";
      if (!Escape && !Soft) vf::Finding("an \"=\" that is neither an escape nor a soft break");
      if (Escape) I += 2;
    } else if (C < 32 || C > 126) {
      vf::Finding("a byte that quoted-printable text may not hold: " + std::to_string(C));
    }
  }
  if (!S.SuppressCrlf && L >= 6 && vf::LongestLine(Text) > static_cast<std::size_t>(L - 2))
    vf::Finding("a line longer than " + std::to_string(L - 2));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  vf::FuzzEncoder(cmQuotedPrintable, Data, Size, {NeverRaises, RoundTrips, CheckText});
  return 0;
}
