// The command line as one string, split into arguments the way vexor.exe reads it on Windows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits a command line into its words, the program's name first:
// - words are separated by white space, which is every character code up to and including the
//   space (tabs and control characters too);
// - a double quote opens or closes a quoted stretch, in which white space belongs to the word;
//   the quotes themselves are dropped, and a backslash is an ordinary character;
// - pairs of quotes at the start of a word are dropped, so a word made only of them is no word
//   at all, and no word is ever empty.
std::vector<std::string> SplitCommandLine(std::string_view Line);
