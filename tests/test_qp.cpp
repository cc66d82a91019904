// The quoted-printable codec pair: layout and progress of the encoder, the decoder's leniency,
// the stream calls both make, round trips, the buffered way against the observable one, and
// Python's quoted-printable codec as a witness.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/kernels/qvKernels.h"
#include "tests/path_harness.h"
#include "tests/support.h"

namespace detail = vexor::detail;

namespace {

using detail::TqvEncoderAccess;

std::string Times(int Count, const std::string& Text) {
  std::string R;
  for (int I = 0; I < Count; ++I) R += Text;
  return R;
}

struct Coded {
  std::string Text;
  vt::Reports Log;
};

void UseQP(TqvEncoder& E, std::int32_t CharsPerLine = 76, bool SuppressCrlf = false) {
  E.EncodeMethod = cmQuotedPrintable;
  E.CharsPerLine = CharsPerLine;
  E.SuppressCrlf = SuppressCrlf;
}

vh::TCall QPCall(bool Encode, std::int32_t CharsPerLine = 76, bool SuppressCrlf = false) {
  return vh::CallFor(cmQuotedPrintable, Encode, CharsPerLine, SuppressCrlf);
}

// The text and reports of a call with a progress handler, which must not raise.
Coded Succeeded(const vh::TOutcome& R) {
  EXPECT_FALSE(R.Error) << *R.Error;
  return {R.Bytes, R.Log};
}

Coded Encode(const std::string& Source, std::int32_t CharsPerLine = 76, bool Suppress = false) {
  return Succeeded(vh::Run(QPCall(true, CharsPerLine, Suppress), vh::TPath::Observed, Source));
}

Coded Decode(const std::string& Text) {
  return Succeeded(vh::Run(QPCall(false), vh::TPath::Observed, Text));
}

// Random bytes of every value, with CR, LF and CR LF pairs mixed in at random.
std::string MixedSource(std::size_t Size, std::uint32_t Seed) {
  std::mt19937 Gen(Seed);
  std::string S;
  while (S.size() < Size) {
    switch (Gen() % 8) {
    case 0:
      S += "\r\n";
      break;
    case 1:
      S += static_cast<char>(Gen() % 2 ? '\r' : '\n');
      break;
    default:
      S += static_cast<char>(Gen() & 0xFF);
    }
  }
  return S;
}

// Text lines between CR LF pairs.
std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> R;
  std::size_t From = 0;
  for (;;) {
    const std::size_t At = Text.find("\r\n", From);
    R.push_back(Text.substr(From, At == std::string::npos ? std::string::npos : At - From));
    if (At == std::string::npos) return R;
    From = At + 2;
  }
}

const std::string CRLF = "\r\n";

// --- Encoder ---

struct EncodeCase {
  std::int32_t CharsPerLine;
  bool SuppressCrlf;
  std::string Source, Text;
  vt::Reports Log;
};

TEST(QuotedPrintableEncoder, WorkedExamples) {
  const std::string X80 = std::string(80, 'x');
  const EncodeCase Cases[] = {
      {76, false, "abc", "abc", {{0, 3}, {3, 3}}},
      {76, false, "a=b", "a=3Db", {{0, 3}, {3, 3}}},
      {76, false, "a\tb\351c", "a=09b=E9c", {{0, 5}, {5, 5}}}, // 0351 is 0xE9
      {76, false, std::string("\x00\xFF", 2), "=00=FF", {{0, 2}, {2, 2}}},
      {76, false, "ab\r\ncd", "ab\r\ncd", {{0, 6}, {4, 6}, {6, 6}}},
      {76, false, "abc\r\n", "abc\r\n", {{0, 5}, {5, 5}, {5, 5}}},
      {76, false, "ab\rcd", "ab=0Dcd", {{0, 5}, {5, 5}}},
      {76, false, "ab\ncd", "ab=0Acd", {{0, 5}, {5, 5}}},
      {76, false, "abc\r", "abc=0D", {{0, 4}, {4, 4}}},
      {76, false, "\r\r\n", "=0D\r\n", {{0, 3}, {3, 3}, {3, 3}}},
      {76, false, "a \r\nb", "a \r\nb", {{0, 5}, {4, 5}, {5, 5}}},
      {76, false, std::string(70, 'x'), std::string(70, 'x'), {{0, 70}, {70, 70}}},
      {76,
       false,
       std::string(71, 'x'),
       std::string(71, 'x') + "=\r\n",
       {{0, 71}, {71, 71}, {71, 71}}},
      {76,
       false,
       X80,
       std::string(71, 'x') + "=\r\n" + std::string(9, 'x'),
       {{0, 80}, {71, 80}, {80, 80}}},
      {76,
       false,
       std::string(30, '='),
       Times(24, "=3D") + "=\r\n" + Times(6, "=3D"),
       {{0, 30}, {24, 30}, {30, 30}}},
      {76, true, X80, X80, {{0, 80}, {80, 80}}},
      {10,
       false,
       "abcdefghijklmnop",
       "abcde=\r\nfghij=\r\nklmno=\r\np",
       {{0, 16}, {5, 16}, {10, 16}, {15, 16}, {16, 16}}},
      {10, false, "abcde\r\nfgh", "abcde=\r\n\r\nfgh", {{0, 10}, {5, 10}, {7, 10}, {10, 10}}},
      {10,
       false,
       "a=b=c=d=e",
       "a=3Db=\r\n=3Dc=3D=\r\nd=3De=\r\n",
       {{0, 9}, {3, 9}, {6, 9}, {9, 9}, {9, 9}}},
      {10, false, "abcde\r", "abcde=\r\n=0D", {{0, 6}, {5, 6}, {6, 6}}},
      {6, false, "abc", "a=\r\nb=\r\nc=\r\n", {{0, 3}, {1, 3}, {2, 3}, {3, 3}, {3, 3}}},
  };
  for (const auto& C : Cases) {
    const Coded R = Encode(C.Source, C.CharsPerLine, C.SuppressCrlf);
    EXPECT_EQ(R.Text, C.Text) << vt::Q(C.Source);
    EXPECT_EQ(R.Log, C.Log) << vt::Q(C.Source);
  }
}

TEST(QuotedPrintableEncoder, EveryByteValueHasItsOneForm) {
  for (int B = 0; B < 256; ++B) {
    const std::string Source(1, static_cast<char>(B));
    const bool Literal = B >= 32 && B <= 126 && B != '=';
    char Escape[4];
    std::snprintf(Escape, sizeof Escape, "=%2.2X", B);
    EXPECT_EQ(Encode(Source).Text, Literal ? Source : std::string(Escape)) << B;
  }
}

TEST(QuotedPrintableEncoder, SuppressCrlfWritesNoSoftBreakAndKeepsHardBreaks) {
  // Pieces without CR or LF, joined by CR LF pairs: the text holds exactly those pairs, each
  // ending a line with its own report.
  std::mt19937 Gen(5);
  std::string Source;
  vt::Reports Expected;
  for (int Piece = 0; Piece < 12; ++Piece) {
    const std::size_t Length = Gen() % 300;
    for (std::size_t I = 0; I < Length; ++I) {
      char C;
      do C = static_cast<char>(Gen() & 0xFF);
      while (C == '\r' || C == '\n');
      Source += C;
    }
    if (Piece < 11) {
      Source += CRLF;
      Expected.emplace_back(static_cast<std::int64_t>(Source.size()), 0);
    }
  }
  const auto N = static_cast<std::int64_t>(Source.size());
  Expected.insert(Expected.begin(), {0, N});
  Expected.emplace_back(N, N);
  for (auto& R : Expected) R.second = N;
  const std::string Reference = Encode(Source, 76, true).Text;
  EXPECT_EQ(Lines(Reference).size(), 12u);
  EXPECT_EQ(Reference.find("=\r\n"), std::string::npos);
  for (std::int32_t CharsPerLine : {-3, 0, 4, 5, 6, 10, 76, 132, 500, INT32_MAX}) {
    const Coded R = Encode(Source, CharsPerLine, true);
    EXPECT_EQ(R.Text, Reference) << CharsPerLine;
    EXPECT_EQ(R.Log, Expected) << CharsPerLine;
  }
}

TEST(QuotedPrintableEncoder, ShortestLinesHoldOneElementEach) {
  // Lengths up to 5 (0 and negative ones included) would admit nothing: they give the text of
  // length 6, where every line that the limit ends holds one literal or one escape.
  const std::string Source = MixedSource(3000, 11);
  const std::string Text = Encode(Source, 6).Text;
  for (const auto& Line : Lines(Text)) {
    // Empty lines carry the source's CR LF pairs, which follow a full line.
    const bool OneLiteral = Line.size() == 2 && Line[0] != '=' && Line[1] == '=';
    const bool OneEscape = Line.size() == 4 && Line[0] == '=' && Line[3] == '=';
    EXPECT_TRUE(Line.empty() || OneLiteral || OneEscape) << vt::Q(Line);
  }
  for (std::int32_t CharsPerLine : {INT32_MIN, -1, 0, 1, 4, 5}) {
    const Coded R = Encode(Source, CharsPerLine);
    EXPECT_EQ(R.Text, Text) << CharsPerLine;
    EXPECT_EQ(Decode(R.Text).Text, Source) << CharsPerLine;
  }
}

TEST(QuotedPrintableEncoder, LongLinesStopAt132) {
  const std::string Source = MixedSource(20000, 12) + std::string(400, 'x');
  const std::string Text = Encode(Source, 132).Text;
  std::size_t Longest = 0;
  for (const auto& Line : Lines(Text)) Longest = std::max(Longest, Line.size());
  EXPECT_EQ(Longest, 130u);
  for (std::int32_t CharsPerLine : {133, 200, INT32_MAX})
    EXPECT_EQ(Encode(Source, CharsPerLine).Text, Text);
}

TEST(QuotedPrintableEncoder, APositionedSourceIsEncodedFromItsPosition) {
  TqvEncoder E;
  UseQP(E);
  vt::Reports Log;
  vt::RecordProgress(E, Log);
  rtl::TMemoryStream Src("=\r\nab\r\ncd"), Dst("keep");
  Src.SetPosition(3);
  Dst.SetPosition(4);
  E.Encode(Src, Dst);
  EXPECT_EQ(Dst.Bytes(), "keepab\r\ncd");
  EXPECT_EQ(Log, (vt::Reports{{0, 6}, {4, 6}, {6, 6}}));
}

TEST(QuotedPrintableEncoder, EnteredDirectlyWithNothingLeft) {
  TqvEncoder E;
  UseQP(E);
  vt::Reports Log;
  vt::RecordProgress(E, Log);
  vt::TTestStream Src("abc"), Dst;
  Src.Pos = 3;
  TqvEncoderAccess::EncodeQP(E, Src, Dst);
  EXPECT_EQ(Log, (vt::Reports{{0, 0}, {0, 0}}));
  EXPECT_EQ(Dst.Writes, 0);
}

TEST(QuotedPrintableEncoder, StreamCallsAreOneByteReadsAndOneCallPerElement) {
  TqvEncoder E;
  UseQP(E, 10);
  vt::TTestStream Src("ab\rc=\r\nde"), Dst;
  TqvEncoderAccess::EncodeQP(E, Src, Dst);
  EXPECT_EQ(Dst.Data, "ab=0D=\r\nc=3D\r\nde");
  // a b CR c (given back) c = CR LF d e, and the read that finds the end.
  EXPECT_EQ(Src.ReadSizes, std::vector<std::int64_t>(11, 1));
  // Two positions at the start, the seek back after the lone CR, one position per line.
  EXPECT_EQ(Src.Seeks, 2 + 1 + 3);
  EXPECT_EQ(Dst.WriteSizes, (std::vector<std::int64_t>{1, 1, 3, 1, 1, 1, 1, 3, 1, 1, 1, 1}));
  EXPECT_EQ(Src.Pos, 9);
}

TEST(QuotedPrintableEncoder, AHandlerChangesTheLayoutFromTheNextLineOn) {
  struct HandlerCase {
    std::function<void(TqvEncoder&)> Change;
    std::string Text;
  };
  const HandlerCase Cases[] = {
      {[](TqvEncoder& E) { E.SuppressCrlf = true; }, "abcde=\r\nfghijklmnop"},
      {[](TqvEncoder& E) { E.CharsPerLine = 7; }, "abcde=\r\nfg=\r\nhi=\r\njk=\r\nlm=\r\nno=\r\np"},
      {[](TqvEncoder& E) { E.CharsPerLine = 0; },
       "abcde=\r\nf=\r\ng=\r\nh=\r\ni=\r\nj=\r\nk=\r\nl=\r\n"
       "m=\r\nn=\r\no=\r\np=\r\n"},
  };
  for (const auto& C : Cases) {
    TqvEncoder E;
    UseQP(E, 10);
    int Calls = 0;
    E.OnProgress = [&](rtl::TObject*, std::int64_t, std::int64_t) {
      if (++Calls == 2) C.Change(E);
    };
    rtl::TMemoryStream Src("abcdefghijklmnop"), Dst;
    E.Encode(Src, Dst);
    EXPECT_EQ(Dst.Bytes(), C.Text);
  }
}

TEST(QuotedPrintableEncoder, AShortWriteRaises) {
  const std::pair<std::string, std::int64_t> Cases[] = {
      {"a", 0}, {"\r\n", 0}, {"=", 0}, {"ab=", 2}, {std::string(80, 'x'), 0}};
  for (const auto& [Source, MaxWrite] : Cases) {
    TqvEncoder E;
    UseQP(E);
    vt::TTestStream Src(Source), Dst;
    Dst.MaxWrite = MaxWrite;
    try {
      E.Encode(Src, Dst);
      ADD_FAILURE() << vt::Q(Source);
    } catch (const rtl::EWriteError& Err) {
      EXPECT_EQ(Err.Message(), "Stream write error");
    }
  }
}

// --- Decoder ---

struct DecodeCase {
  std::string Text, Bytes;
  vt::Reports Log;
};

TEST(QuotedPrintableDecoder, WorkedExamples) {
  const DecodeCase Cases[] = {
      {"a=41b=\r\nc\r\n", "aAbc\r\n", {{0, 11}, {6, 11}, {9, 11}, {11, 11}}},
      {"ab=\r\ncd\r\n", "abcd\r\n", {{0, 9}, {3, 9}, {7, 9}, {9, 9}}},
      {"a=3d=3D=4a", "a==J", {{0, 10}, {10, 10}}},
      {"caf=E9\r\n", "caf\xE9\r\n", {{0, 8}, {6, 8}, {8, 8}}},
      {"=E9=09", "\xE9\t", {{0, 6}, {6, 6}}},
      {"a=0d=0A", "a\r\n", {{0, 7}, {7, 7}}},
      {"a=\r\n\r\nb", "a\r\nb", {{0, 7}, {2, 7}, {7, 7}}},
      {"a\nb", "a\r\nb", {{0, 3}, {1, 3}, {3, 3}}},
      {"a\rb", "a\r\nb", {{0, 3}, {1, 3}, {3, 3}}},
      {"a\n\rb", "a\r\n\r\nb", {{0, 4}, {1, 4}, {4, 4}}},
      {"\r\nabc", "\r\nabc", {{0, 5}, {5, 5}}},
      {"\n\n", "\r\n\r\n", {{0, 2}, {2, 2}}},
      {"abc=", "abc", {{0, 4}, {4, 4}}},
      {"abc=4", "abc", {{0, 5}, {5, 5}}},
      {"=G=41", "=GA", {{0, 5}, {5, 5}}},
      {"=4G", "=G", {{0, 3}, {3, 3}}},
      {"==41", "==41", {{0, 4}, {4, 4}}},
      {"a= \r\nb", "a= \r\nb", {{0, 6}, {3, 6}, {6, 6}}},
      {"=4\r\n=41", "A", {{0, 7}, {2, 7}, {7, 7}}},
      {std::string(71, 'x') + "=\r\n" + std::string(9, 'x'),
       std::string(80, 'x'),
       {{0, 83}, {72, 83}, {83, 83}}},
  };
  for (const auto& C : Cases) {
    const Coded R = Decode(C.Text);
    EXPECT_EQ(R.Text, C.Bytes) << vt::Q(C.Text);
    EXPECT_EQ(R.Log, C.Log) << vt::Q(C.Text);
  }
}

TEST(QuotedPrintableDecoder, LenientCases) {
  const std::pair<std::string, std::string> Cases[] = {
      // A soft line break takes only the one line break after it.
      {"a=\r\n\r\n\r\nb", "a\r\n\r\nb"},
      {"a=\n\n\nb", "a\r\n\r\nb"},
      {"a=\r\r\rb", "a\r\n\r\nb"},
      {"a=\n\r\nb", "a\r\nb"},
      {"=4\n\nb", "\r\nb"},
      {"abc=\r\n", "abc"},
      // "=" before white space is no soft line break: everything is written.
      {"a= b", "a= b"},
      {"a=\t\r\nb", "a=\t\r\nb"},
      {"a=  \nb", "a=  \r\nb"},
      // Only line breaks: one CR LF for each.
      {"\r\n\r\n", "\r\n\r\n"},
      {"\r\r", "\r\n\r\n"},
      {"\n\r", "\r\n\r\n"},
      {"\r", "\r\n"},
      // Bytes outside escapes pass as they are, trailing white space and 8-bit bytes included.
      {"a \t\r\n\x01\xFF\x7F", "a \t\r\n\x01\xFF\x7F"},
      {"=e9=E9=eA", "\xE9\xE9\xEA"},
      {"=", ""},
      {"=\r\n", ""},
      {"==", "=="},
      {"=4=41", "==41"}, // the digit is dropped; the "=" that broke the escape starts none
      {"=\xFF", "=\xFF"},
      {"==\r\n", "==\r\n"},
  };
  for (const auto& [Text, Bytes] : Cases) EXPECT_EQ(Decode(Text).Text, Bytes) << vt::Q(Text);
}

TEST(QuotedPrintableDecoder, APositionedSourceIsDecodedFromItsPosition) {
  TqvEncoder E;
  UseQP(E);
  vt::Reports Log;
  vt::RecordProgress(E, Log);
  // The LF after the position is a line break of its own: the CR before it lies outside.
  rtl::TMemoryStream Src("=4\r\nab=\r\nc"), Dst("keep");
  Src.SetPosition(3);
  Dst.SetPosition(4);
  E.Decode(Src, Dst);
  EXPECT_EQ(Dst.Bytes(), "keep\r\nabc");
  EXPECT_EQ(Log, (vt::Reports{{0, 7}, {4, 7}, {7, 7}}));
}

TEST(QuotedPrintableDecoder, EnteredDirectlyWithNothingLeft) {
  for (std::int64_t Pos : {0, 3}) {
    TqvEncoder E;
    UseQP(E);
    vt::Reports Log;
    vt::RecordProgress(E, Log);
    rtl::TMemoryStream Src(Pos == 0 ? "" : "a=4"), Dst;
    Src.SetPosition(Pos);
    TqvEncoderAccess::DecodeQP(E, Src, Dst);
    EXPECT_EQ(Log, (vt::Reports{{0, 0}, {0, 0}}));
    EXPECT_TRUE(Dst.Bytes().empty());
    EXPECT_EQ(Src.Position(), Pos);
  }
}

TEST(QuotedPrintableDecoder, ReadLineFindsTheLineAndReadsItWhole) {
  TqvEncoder E;
  UseQP(E);
  vt::TTestStream Src("ab=\r\n\n\r\rcd"), Dst;
  TqvEncoderAccess::DecodeQP(E, Src, Dst);
  EXPECT_EQ(Dst.Data, "ab\r\n\r\n\r\ncd");
  // a b = CR, the line of 3; CR LF LF CR CR c d and the end, the line of 2.
  EXPECT_EQ(Src.ReadSizes, (std::vector<std::int64_t>{1, 1, 1, 1, 3, 1, 1, 1, 1, 1, 1, 1, 1, 2}));
  // Two positions at the start; per line a seek back and a position for the report.
  EXPECT_EQ(Src.Seeks, 2 + 2 + 2);
  EXPECT_EQ(Dst.WriteSizes, std::vector<std::int64_t>(Dst.Data.size(), 1));
  EXPECT_EQ(Src.Pos, 10);
}

TEST(QuotedPrintableDecoder, ASourceThatDoesNotDeliverTheLineAgainRaises) {
  TqvEncoder E;
  UseQP(E);
  vt::TTestStream Src("abc\r\ndef"), Dst;
  Src.ReadsLeft = 3; // the three bytes are found, then nothing more comes
  try {
    E.Decode(Src, Dst);
    FAIL();
  } catch (const rtl::EReadError& Err) {
    EXPECT_EQ(Err.Message(), "Stream read error");
  }
  EXPECT_TRUE(Dst.Data.empty());

  // A line delivered again in small pieces is still read whole.
  vt::TTestStream Slow("abc=4A\r\nd"), Out;
  Slow.MaxRead = 2;
  E.Decode(Slow, Out);
  EXPECT_EQ(Out.Data, "abcJ\r\nd");
}

TEST(QuotedPrintableDecoder, AShortWriteRaises) {
  TqvEncoder E;
  UseQP(E);
  vt::TTestStream Src("\nab"), Dst;
  Dst.MaxWrite = 0;
  EXPECT_THROW(E.Decode(Src, Dst), rtl::EWriteError);
}

// --- Both ---

TEST(QuotedPrintableRoundTrip, EveryLineLengthWithAndWithoutLineBreaks) {
  for (std::int32_t CharsPerLine = 6; CharsPerLine <= 140; ++CharsPerLine) {
    const std::int32_t L = std::min(CharsPerLine, 132);
    for (bool Suppress : {false, true}) {
      const std::string Source = MixedSource(1500, static_cast<std::uint32_t>(CharsPerLine));
      const std::string Text = Encode(Source, CharsPerLine, Suppress).Text;
      ASSERT_EQ(Decode(Text).Text, Source) << CharsPerLine << " " << Suppress;
      if (Suppress) continue;
      for (const auto& Line : Lines(Text))
        ASSERT_LE(Line.size(), static_cast<std::size_t>(L - 2)) << CharsPerLine;
    }
  }
}

TEST(QuotedPrintableRoundTrip, EveryShortStringOverASmallAlphabet) {
  // Every string of up to 6 bytes over the bytes that steer the layout, at a line length where
  // they meet the limit.
  const std::string Alphabet = std::string("a=\r\n \t\x00", 7);
  std::vector<std::string> Level{""};
  for (int Length = 1; Length <= 6; ++Length) {
    std::vector<std::string> Next;
    for (const auto& S : Level)
      for (char C : Alphabet) Next.push_back(S + C);
    for (const auto& S : Next)
      for (std::int32_t CharsPerLine : {6, 8, 9})
        ASSERT_EQ(Decode(Encode(S, CharsPerLine).Text).Text, S) << vt::Q(S) << CharsPerLine;
    Level = std::move(Next);
  }
}

// --- The buffered way, where no caller sees the stream calls ---

// Each test leaves the kernel level and the piece length as it found them.
class QuotedPrintableBuffered : public ::testing::Test {
protected:
  void TearDown() override { vh::RestoreKernelDefaults(); }
};

using Outcome = vh::TOutcome;

// Codes Input from position Start into a destination that already holds a few bytes, with a
// progress handler (every stream call as the format fixes it) or without one (the buffered way).
// Neither may raise.
Outcome Code(bool Encoding, const std::string& Input, bool Observed, std::int32_t CharsPerLine = 76,
             bool Suppress = false, std::int64_t Start = 0) {
  vh::TCall C = QPCall(Encoding, CharsPerLine, Suppress);
  C.Skip = static_cast<std::size_t>(Start);
  C.Prefix = "head";
  const Outcome R = vh::Run(C, Observed ? vh::TPath::Observed : vh::TPath::Pieces, Input);
  EXPECT_FALSE(R.Error) << *R.Error;
  return R;
}

// Quoted-printable-like text with every kind of trouble: escapes of either case cut anywhere,
// "=" before blanks, line ends and other "=", lone CRs and LFs, soft line breaks, bytes above 127.
std::string MalformedText(std::size_t Size, std::uint32_t Seed) {
  static const std::string Pieces[] = {"=",   "=\r\n", "\r\n", "\r",  "\n",   "=4",    "=41",
                                       "=e9", "=Fg",   "==",   "= ",  "=\t",  "\xFF",  "abc",
                                       "x",   " ",     "=\r",  "=\n", "\n\r", "=0D=0A"};
  std::mt19937 Gen(Seed);
  std::string S;
  while (S.size() < Size) {
    if (Gen() % 3 == 0)
      S += std::string(Gen() % 70, static_cast<char>('a' + Gen() % 26));
    else
      S += Pieces[Gen() % std::size(Pieces)];
  }
  return S;
}

TEST_F(QuotedPrintableBuffered, EncodingMatchesTheObservableWay) {
  const std::string Sources[] = {MixedSource(5000, 1), std::string(3000, 'x'),
                                 std::string(2000, '\r') + "\n", Times(700, "\r\n=a\r"),
                                 vt::RandomBytes(4000, 2)};
  for (const auto K : detail::KernelLevels()) {
    SCOPED_TRACE(detail::KernelLevelName(K));
    ASSERT_TRUE(detail::UseKernelLevel(K));
    for (const std::int64_t Piece : {32, 33, 64, 100, 1000, 0}) {
      detail::SetPieceLength(Piece);
      for (const auto& Source : Sources) {
        for (const std::int32_t CharsPerLine : {0, 6, 7, 8, 10, 75, 76, 77, 132, 1000}) {
          for (const bool Suppress : {false, true}) {
            for (const std::int64_t Start : {0, 1, 999}) {
              const Outcome Want = Code(true, Source, true, CharsPerLine, Suppress, Start);
              ASSERT_EQ(Code(true, Source, false, CharsPerLine, Suppress, Start), Want)
                  << "piece " << Piece << ", line " << CharsPerLine << ", suppress " << Suppress
                  << ", start " << Start;
            }
          }
        }
      }
    }
  }
}

TEST_F(QuotedPrintableBuffered, EncodingOfEveryLengthAcrossPieceBorders) {
  // A CR LF pair or a lone CR at every place relative to a piece border of 32 bytes.
  detail::SetPieceLength(32);
  const std::string Base = MixedSource(200, 3);
  for (const auto K : detail::KernelLevels()) {
    SCOPED_TRACE(detail::KernelLevelName(K));
    ASSERT_TRUE(detail::UseKernelLevel(K));
    for (std::size_t N = 0; N <= Base.size(); ++N) {
      for (const std::string Tail : {"", "\r", "\r\n", "=\r\r\n"}) {
        const std::string Source = Base.substr(0, N) + Tail + "ab\r";
        ASSERT_EQ(Code(true, Source, false, 10), Code(true, Source, true, 10)) << N;
        ASSERT_EQ(Code(true, Source, false, 76, true), Code(true, Source, true, 76, true)) << N;
      }
    }
  }
}

TEST_F(QuotedPrintableBuffered, DecodingMatchesTheObservableWayWithEveryKernel) {
  std::vector<std::string> Texts = {MalformedText(20000, 4),
                                    MalformedText(3000, 5),
                                    Encode(MixedSource(20000, 6)).Text,
                                    Encode(vt::RandomBytes(5000, 7), 6).Text,
                                    vt::RandomBytes(3000, 8),
                                    std::string(500, '='),
                                    // Stretches where no piece can be cut with the state known,
                                    // so a piece hands its end state to the next.
                                    Times(1500, "=A\r\n"), Times(1500, "=4\n"),
                                    Times(900, "a=\r\n=41") + std::string(3000, '=')};
  for (const auto K : detail::KernelLevels()) {
    SCOPED_TRACE(detail::KernelLevelName(K));
    ASSERT_TRUE(detail::UseKernelLevel(K));
    for (const std::int64_t Piece : {32, 63, 64, 65, 66, 127, 1000, 0}) {
      detail::SetPieceLength(Piece);
      for (const auto& Text : Texts) {
        for (const std::int64_t Start : {0, 1, 2, 65}) {
          ASSERT_EQ(Code(false, Text, false, 76, false, Start),
                    Code(false, Text, true, 76, false, Start))
              << "piece " << Piece << ", start " << Start << ", text " << vt::Q(Text.substr(0, 80));
        }
      }
    }
  }
}

TEST_F(QuotedPrintableBuffered, DecodingEveryShortTextWithEveryKernel) {
  // Every text of up to 5 bytes over the bytes that steer the decoder, at every place in a run
  // of clean text that the vector kernel takes 64 bytes at a time.
  const std::string Alphabet = "=A0g\r\n ";
  std::vector<std::string> Level{""}, All{""};
  for (int Length = 1; Length <= 5; ++Length) {
    std::vector<std::string> Next;
    for (const auto& S : Level)
      for (char C : Alphabet) Next.push_back(S + C);
    All.insert(All.end(), Next.begin(), Next.end());
    Level = std::move(Next);
  }
  const std::string Clean = std::string(60, 'q') + "=3D\r\n" + std::string(70, 'r');
  for (const auto K : detail::KernelLevels()) {
    SCOPED_TRACE(detail::KernelLevelName(K));
    ASSERT_TRUE(detail::UseKernelLevel(K));
    for (const std::size_t At : {std::size_t{0}, std::size_t{59}, std::size_t{61}, std::size_t{62},
                                 std::size_t{63}, std::size_t{64}, std::size_t{128}}) {
      for (const auto& S : All) {
        const std::string Text = Clean.substr(0, At) + S + Clean.substr(At);
        ASSERT_EQ(Code(false, Text, false), Code(false, Text, true)) << vt::Q(Text) << " at " << At;
        // And where the text ends.
        const std::string Ending = Clean.substr(0, At) + S;
        ASSERT_EQ(Code(false, Ending, false), Code(false, Ending, true)) << vt::Q(Ending);
      }
    }
  }
}

TEST_F(QuotedPrintableBuffered, LongTextsWithEveryKernel) {
  // Several pieces of the default length: lines that cross piece borders and text buffers that
  // fill and are written out more than once.
  const std::string Source = MixedSource(5 << 20, 9);
  const Outcome Text = Code(true, Source, true);
  const std::string Broken = MalformedText(3 << 20, 10);
  for (const auto K : detail::KernelLevels()) {
    SCOPED_TRACE(detail::KernelLevelName(K));
    ASSERT_TRUE(detail::UseKernelLevel(K));
    ASSERT_EQ(Code(true, Source, false), Text);
    const Outcome Back = Code(false, Text.Bytes.substr(4), false);
    EXPECT_EQ(Back.Bytes, "head" + Source);
    EXPECT_EQ(Back.SourcePosition, static_cast<std::int64_t>(Text.Bytes.size() - 4));
    EXPECT_EQ(Code(false, Broken, false), Code(false, Broken, true));
  }
}

TEST_F(QuotedPrintableBuffered, FileStreamsTakeTheBufferedWayWithTheSameResult) {
  vt::TempDir Dir;
  const std::string Source = MixedSource(600000, 11);
  vt::WriteFile(Dir / "src", Source);
  const std::string Text = Encode(Source).Text;
  for (const bool Encoding : {true, false}) {
    vt::WriteFile(Dir / "in", Encoding ? Source : Text);
    {
      rtl::TFileStream In(Dir / "in", rtl::fmOpenRead), Out(Dir / "out", rtl::fmCreate);
      In.SetPosition(0);
      TqvEncoder E;
      UseQP(E);
      Encoding ? E.Encode(In, Out) : E.Decode(In, Out);
      EXPECT_EQ(In.Position(), In.Size());
      EXPECT_EQ(Out.Position(), static_cast<std::int64_t>((Encoding ? Text : Source).size()));
      Out.Close();
    }
    EXPECT_EQ(vt::ReadFile(Dir / "out"), Encoding ? Text : Source);
  }
}

TEST_F(QuotedPrintableBuffered, OneStreamAsSourceAndDestinationIsCodedAsItIsSeen) {
  // Writing where it reads, the codec overwrites what it has yet to read: the buffered way
  // would give other bytes, so the calls stay as the format fixes them.
  for (const bool Encoding : {true, false}) {
    std::string Plain, Observed;
    for (const bool Handler : {false, true}) {
      vh::TWay Both = vh::TWay::Of(Handler ? vh::TPath::Observed : vh::TPath::Pieces);
      Both.OneStream = true;
      (Handler ? Observed : Plain) =
          Succeeded(vh::Run(QPCall(Encoding), Both, "a=b\r\nc=41\tdefgh")).Text;
    }
    EXPECT_EQ(Plain, Observed) << Encoding;
  }
}

// --- The program and a peer that no one here wrote ---

bool HavePython() {
  return vt::HaveCommand("python3");
}

// Runs a Python expression over the bytes of file In (as `d`) and writes its bytes to Out.
void Python(const std::string& Expression, const std::string& In, const std::string& Out) {
  const std::string Script = "import binascii,quopri,sys,io\n"
                             "d=open(sys.argv[1],'rb').read()\n"
                             "open(sys.argv[2],'wb').write(" +
                             Expression + ")\n";
  const auto R = vt::Shell("python3 -c " + vt::Q(Script) + " " + vt::Q(In) + " " + vt::Q(Out));
  ASSERT_EQ(R.ExitCode, 0) << R.Err;
}

// A source with no space or TAB ahead of a line break, which decoders may strip.
std::string SourceWithoutTrailingBlanks(std::size_t Size, std::uint32_t Seed) {
  std::string S = MixedSource(Size, Seed);
  for (std::size_t I = 1; I < S.size(); ++I)
    if ((S[I] == '\r' || S[I] == '\n') && (S[I - 1] == ' ' || S[I - 1] == '\t')) S[I - 1] = 'y';
  return S;
}

TEST(QuotedPrintableProgram, EncodesAndDecodesFiles) {
  vt::TempDir Dir;
  // Several file-stream buffers long, with a lone CR just before a buffer boundary so that the
  // seek back crosses it, and lines that straddle boundaries.
  std::string Source = MixedSource(700000, 21);
  Source[262143] = '\r';
  Source[262144] = 'x';
  vt::WriteFile(Dir / "src", Source);
  for (const std::string Method : {"QP", "Q"}) {
    auto R = vt::Vexor({Dir / "src", Dir / "qp", "E", Method});
    ASSERT_EQ(R.ExitCode, 0) << R.Err;
    EXPECT_EQ(R.Out, "Done.\r\n");
    EXPECT_EQ(vt::ReadFile(Dir / "qp"), Encode(Source).Text);
    R = vt::Vexor({Dir / "qp", Dir / "back", "D", Method});
    ASSERT_EQ(R.ExitCode, 0) << R.Err;
    EXPECT_EQ(vt::ReadFile(Dir / "back"), Source);
  }
}

TEST(QuotedPrintableProgram, PythonDecodesOurText) {
  if (!HavePython()) GTEST_SKIP() << "python3 is not installed";
  vt::TempDir Dir;
  const std::string Source = SourceWithoutTrailingBlanks(300000, 31);
  vt::WriteFile(Dir / "src", Source);
  const auto R = vt::Vexor({Dir / "src", Dir / "qp", "E", "QP"});
  ASSERT_EQ(R.ExitCode, 0) << R.Err;
  Python("binascii.a2b_qp(d)", Dir / "qp", Dir / "back");
  EXPECT_EQ(vt::ReadFile(Dir / "back"), Source);
  Python("quopri.decodestring(d)", Dir / "qp", Dir / "back2");
  EXPECT_EQ(vt::ReadFile(Dir / "back2"), Source);

  // Python's own line-by-line decoder (not the binascii one) writes LF for a hard line break,
  // so it is given a source whose only line breaks are soft ones; it is slow on long texts.
  std::string NoPairs = Source.substr(0, 20000);
  for (std::size_t I = 1; I < NoPairs.size(); ++I)
    if (NoPairs[I - 1] == '\r' && NoPairs[I] == '\n') NoPairs[I] = 'z';
  vt::WriteFile(Dir / "src2", NoPairs);
  ASSERT_EQ(vt::Vexor({Dir / "src2", Dir / "qp2", "E", "QP"}).ExitCode, 0);
  Python("(lambda o: (setattr(quopri, 'a2b_qp', None), quopri.decode(io.BytesIO(d), o), "
         "o.getvalue())[2])(io.BytesIO())",
         Dir / "qp2", Dir / "back3");
  EXPECT_EQ(vt::ReadFile(Dir / "back3"), NoPairs);
}

TEST(QuotedPrintableProgram, WeDecodePythonsText) {
  if (!HavePython()) GTEST_SKIP() << "python3 is not installed";
  vt::TempDir Dir;
  // As binary data: every CR and LF escaped, soft line breaks only.
  const std::string Binary = vt::RandomBytes(200000, 41);
  vt::WriteFile(Dir / "bin", Binary);
  Python("binascii.b2a_qp(d, istext=False)", Dir / "bin", Dir / "bin.qp");
  ASSERT_EQ(vt::Vexor({Dir / "bin.qp", Dir / "bin.back", "D", "QP"}).ExitCode, 0);
  EXPECT_EQ(vt::ReadFile(Dir / "bin.back"), Binary);

  // As text with CR LF line breaks: trailing blanks escaped, TABs left as they are.
  std::string Text = vt::RandomBytes(200000, 42);
  for (std::size_t I = 0; I < Text.size(); ++I)
    if (Text[I] == '\r' || Text[I] == '\n') Text[I] = I % 3 ? ' ' : '\t';
  for (std::size_t I = 50; I + 1 < Text.size(); I += 97) Text.replace(I, 2, "\r\n");
  vt::WriteFile(Dir / "text", Text);
  for (const std::string Tabs : {"False", "True"}) {
    Python("binascii.b2a_qp(d, quotetabs=" + Tabs + ")", Dir / "text", Dir / "text.qp");
    ASSERT_NE(vt::ReadFile(Dir / "text.qp").find("=\r\n"), std::string::npos);
    ASSERT_EQ(vt::Vexor({Dir / "text.qp", Dir / "text.back", "D", "QP"}).ExitCode, 0);
    EXPECT_EQ(vt::ReadFile(Dir / "text.back"), Text) << Tabs;
  }
}

} // namespace
