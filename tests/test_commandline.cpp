// vexor.exe's command line: one string from the system, split by the program's own rules. The
// splitter is plain code, so it is tested on every system.
#include <gtest/gtest.h>

#include "app/CommandLine.h"

namespace {

using Words = std::vector<std::string>;

TEST(CommandLine, SplitsByTheProgramsRules) {
  const struct {
    std::string Line;
    Words Expected;
  } Cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"vexor.exe a b E B", {"vexor.exe", "a", "b", "E", "B"}},
      // White space is every code up to the space: tabs, line breaks, other control codes.
      {"p\ta\x01" "b\x1f" "c\nd\re\x7f" "f", {"p", "a", "b", "c", "d", "e\x7f" "f"}},
      {"  p   a  ", {"p", "a"}},
      // Quotes hold white space inside a word and are dropped, wherever they stand in it.
      {"p \"my file.txt\" out", {"p", "my file.txt", "out"}},
      {"p a\" b \"c", {"p", "a b c"}},
      {"p \"a\"\"b\"", {"p", "ab"}},
      {"p \" \"", {"p", " "}},
      {"p \"\t\"", {"p", "\t"}},
      // A quote left open runs to the end of the line.
      {"p \"a b", {"p", "a b"}},
      // Empty pairs of quotes before a word are dropped: a word of them alone is no word.
      {"p \"\" a", {"p", "a"}},
      {"p \"\"\"\" a \"\"", {"p", "a"}},
      {"p \"\"a", {"p", "a"}},
      {"\"\" p a", {"p", "a"}},
      {"p a\"\"", {"p", "a"}},
      {"p a\"\"b", {"p", "ab"}},
      {"p \"", {"p"}},
      {"p \"\"\"", {"p"}},
      // Backslashes are ordinary characters, before quotes too.
      {"p C:\\dir\\ \"C:\\my dir\\\" x\\\"y\"", {"p", "C:\\dir\\", "C:\\my dir\\", "x\\y"}},
      // The program's name is split by the same rules.
      {"\"C:\\Program Files\\vexor.exe\" a", {"C:\\Program Files\\vexor.exe", "a"}},
      // UTF-8 bytes are never white space.
      {"p \xCE\xB1\xCE\xB2.txt \xE6\x96\x87 \xC2\xA0", {"p", "\xCE\xB1\xCE\xB2.txt", "\xE6\x96\x87", "\xC2\xA0"}},
  };
  for (const auto& C : Cases) EXPECT_EQ(SplitCommandLine(C.Line), C.Expected) << C.Line;
}

} // namespace
