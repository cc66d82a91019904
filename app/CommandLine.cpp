#include "app/CommandLine.h"

namespace {

bool IsWhite(char C) {
  return static_cast<unsigned char>(C) <= ' ';
}

} // namespace

std::vector<std::string> SplitCommandLine(std::string_view Line) {
  std::vector<std::string> Words;
  std::size_t I = 0;
  const std::size_t End = Line.size();
  for (;;) {
    // White space and empty quote pairs before a word.
    for (;;) {
      while (I < End && IsWhite(Line[I])) ++I;
      if (I + 1 < End && Line[I] == '"' && Line[I + 1] == '"')
        I += 2;
      else
        break;
    }
    if (I == End) break;
    std::string Word;
    while (I < End && !IsWhite(Line[I])) {
      if (Line[I] == '"') {
        ++I;
        while (I < End && Line[I] != '"') Word += Line[I++];
        if (I < End) ++I; // the closing quote
      } else {
        Word += Line[I++];
      }
    }
    // Only a lone quote at the very end of the line leaves a word empty.
    if (!Word.empty()) Words.push_back(std::move(Word));
  }
  return Words;
}
