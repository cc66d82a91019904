// Base64 encoder on arbitrary bytes at any line length.
#include "tests/fuzz/fuzz_support.h"

namespace {

bool NeverRaises(const vf::TSettings&, std::string_view, const vf::TOutcome&) {
  return false;
}
bool Always(const vf::TSettings&, std::int32_t) {
  return true;
}

bool InAlphabet(char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '+' ||
         C == '/';
}

// Lines of exactly L characters but the last, which is not empty; "=" only at the very end.
void CheckText(const vf::TSettings& S, std::int32_t L, std::string_view Source,
               std::string_view Text) {
  std::string Body;
  std::string_view Rest = Text;
  while (!Rest.empty()) {
    const std::size_t Break = S.SuppressCrlf ? std::string_view::npos : Rest.find("\r\n");
    const std::string_view Line = Rest.substr(0, Break);
    if (Line.empty()) vf::Finding("an empty line");
    if (Break != std::string_view::npos && Line.size() != static_cast<std::size_t>(L))
      vf::Finding("a line that is not the last is not " + std::to_string(L) + " long");
    if (Line.size() > static_cast<std::size_t>(L) && !S.SuppressCrlf)
      vf::Finding("a line longer than the line length");
    Body.append(Line);
    if (Break == std::string_view::npos) break;
    Rest.remove_prefix(Break + 2);
    if (Rest.empty()) vf::Finding("the text ends with a line break");
  }
  if (Body.size() != (Source.size() + 2) / 3 * 4) vf::Finding("the text has the wrong length");
  const std::size_t Pad = Source.size() % 3 == 0 ? 0 : 3 - Source.size() % 3;
  for (std::size_t I = 0; I < Body.size(); ++I)
    if (I >= Body.size() - Pad ? Body[I] != '=' : !InAlphabet(Body[I]))
      vf::Finding("a character out of place at " + std::to_string(I));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  vf::FuzzEncoder(cmBase64, Data, Size, {NeverRaises, Always, CheckText});
  return 0;
}
