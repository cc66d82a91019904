// The UUencode codec pair: exact text and reports, the stream calls, malformed text, round
// trips, and Python's binascii as a witness for both directions.
#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/kernels/qvKernels.h"
#include "tests/path_harness.h"
#include "tests/support.h"

namespace detail = vexor::detail;

namespace {

using vt::Reports;

std::string Repeat(const std::string& S, int Times) {
  std::string R;
  for (int I = 0; I < Times; ++I) R += S;
  return R;
}

struct TCoded {
  std::string Bytes;
  Reports Log;
};

void Configure(TqvEncoder& E, std::int32_t CharsPerLine = 76, bool SuppressCrlf = false) {
  E.EncodeMethod = cmUUEncode;
  E.CharsPerLine = CharsPerLine;
  E.SuppressCrlf = SuppressCrlf;
}

vh::TCall UUCall(bool Encode, std::int32_t CharsPerLine = 76, bool SuppressCrlf = false) {
  return vh::CallFor(cmUUEncode, Encode, CharsPerLine, SuppressCrlf);
}

// The bytes and reports of a call that must not raise.
TCoded Succeeded(const vh::TOutcome& R) {
  EXPECT_FALSE(R.Error) << *R.Error;
  return {R.Bytes, R.Log};
}

// Through streams that see every call and with a progress handler set.
TCoded EncodeWatched(const std::string& In, std::int32_t Cpl = 76, bool Suppress = false) {
  return Succeeded(vh::Run(UUCall(true, Cpl, Suppress), vh::TPath::Foreign, In));
}

TCoded DecodeWatched(const std::string& Text) {
  return Succeeded(vh::Run(UUCall(false), vh::TPath::Foreign, Text));
}

// Through the runtime's memory streams with no handler, as a program would call it.
std::string EncodePlain(const std::string& In, std::int32_t Cpl = 76, bool Suppress = false) {
  return Succeeded(vh::Run(UUCall(true, Cpl, Suppress), vh::TPath::Pieces, In)).Bytes;
}

std::string DecodePlain(const std::string& Text) {
  return Succeeded(vh::Run(UUCall(false), vh::TPath::Pieces, Text)).Bytes;
}

Reports Every(std::int64_t N, std::vector<std::int64_t> At) {
  Reports R{{0, N}};
  for (auto P : At) R.emplace_back(P, N);
  return R;
}

// The decoder as a byte-at-a-time state machine, written from its description rather than from
// the line-at-a-time code, with the rule for short lines: a line yields its count's bytes, but
// never more than its stored codes carry.
TCoded ModelDecode(const std::string& T) {
  const auto N = static_cast<std::int64_t>(T.size());
  TCoded R;
  R.Log.emplace_back(0, N);
  if (N == 0) return R;
  enum { LineStart, Data, Skip } State = LineStart;
  bool Tested = false;
  int Count = 0, Announced = 0, K = 0;
  std::vector<unsigned> Codes;
  auto Value = [](unsigned char C) { return static_cast<unsigned>((C - 32) & 63); };
  auto EndLine = [&] {
    const std::size_t Yield = std::min<std::size_t>(Count, Codes.size() * 3 / 4);
    unsigned Acc = 0;
    int Bits = 0;
    std::size_t Made = 0;
    for (unsigned V : Codes) {
      Acc = (Acc << 6 | V) & 0xFFFFFF;
      Bits += 6;
      if (Bits >= 8 && Made < Yield) {
        R.Bytes.push_back(static_cast<char>((Acc >> (Bits - 8)) & 0xFF));
        ++Made;
      }
      if (Bits >= 8) Bits -= 8;
    }
    Codes.clear();
    Count = Announced = K = 0;
    State = LineStart;
  };
  for (std::int64_t P = 0; P < N; ++P) {
    const auto C = static_cast<unsigned char>(T[P]);
    const bool Break = C == '\r' || C == '\n';
    if (Break || P == N - 1) {
      if (!Break && State != Skip) Codes.push_back(Value(C));
      EndLine();
      R.Log.emplace_back(P, N);
    } else if (State == Skip) {
    } else if (State == LineStart) {
      if (!Tested) {
        Tested = true;
        if (N - P >= 5 && T.compare(P, 5, "begin") == 0) {
          State = Skip;
          continue;
        }
      }
      Count = static_cast<int>(Value(C));
      Announced = 4 * Count / 3;
      if (Announced == 0) break;
      State = Data;
    } else {
      Codes.push_back(Value(C));
      R.Log.emplace_back(P, N);
      if (++K > Announced) State = Skip;
    }
  }
  return R;
}

// --- Encoder ---

struct TEncodeCase {
  const char* Name;
  std::string In;
  std::int32_t CharsPerLine;
  bool SuppressCrlf;
  std::string Text;
  Reports Log; // empty: not checked
};

TEST(UUEncode, WritesTheExactTextAndReports) {
  const std::string Abc20 = Repeat("abc", 20), Abc19 = Repeat("abc", 19);
  const std::string Line57 = "Y" + Repeat("86)C", 19);
  const TEncodeCase Cases[] = {
      {"a", "a", 76, false, "!80\r\n`\r\n", Every(1, {1})},
      {"ab", "ab", 76, false, "\"86(\r\n`\r\n", Every(2, {2})},
      {"abc", "abc", 76, false, "#86)C\r\n`\r\n", Every(3, {3})},
      {"Cat", "Cat", 76, false, "\x23\x30\x56\x25\x54\r\n`\r\n", {}},
      // codes 13 and 0: "-" and the grave accent, not a line break
      {"four", "4", 76, false, "\x21\x2D\x60\r\n`\r\n", {}},
      {"code 10", "(", 76, false, "!*`\r\n`\r\n", {}},
      {"60 bytes", Abc20, 76, false, Line57 + "\r\n#86)C\r\n`\r\n", Every(60, {57, 60})},
      {"57 bytes", Abc19, 76, false, Line57 + "\r\n`\r\n`\r\n", Every(57, {57, 57})},
      {"cpl 8, 7 bytes", "abcdefg", 8, false, "&86)C9&5F\r\n!9P\r\n`\r\n", Every(7, {6, 7})},
      {"cpl 8, 6 bytes", "abcdef", 8, false, "&86)C9&5F\r\n`\r\n`\r\n", Every(6, {6, 6})},
      {"cpl 3", "abc", 3, false, "\"86(\r\n!8P\r\n`\r\n", Every(3, {2, 3})},
      {"cpl 0", "abc", 0, false, "\"86(\r\n!8P\r\n`\r\n", {}},
      {"cpl -5", "abc", -5, false, "\"86(\r\n!8P\r\n`\r\n", {}},
      {"suppress Cat", "Cat", 76, true, "\x23\x30\x56\x25\x54\x60", Every(3, {3, 3})},
      {"suppress a", "a", 76, true, "!80`", Every(1, {1, 1})},
      {"suppress 63", Repeat("abc", 21), 76, true, "_" + Repeat("86)C", 21) + "`", {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TCoded R = EncodeWatched(C.In, C.CharsPerLine, C.SuppressCrlf);
    EXPECT_EQ(R.Bytes, C.Text);
    if (!C.Log.empty()) {
      EXPECT_EQ(R.Log, C.Log);
    }
    EXPECT_EQ(EncodePlain(C.In, C.CharsPerLine, C.SuppressCrlf), C.Text);
  }
}

TEST(UUEncode, LinesAreCappedAt63BytesSoThatEveryCountFitsItsCharacter) {
  const std::string In = vt::RandomBytes(63 * 3 + 10, 7);
  const TCoded At85 = EncodeWatched(In, 85);
  // Three lines of 63 bytes: "_" and 84 codes; then 10 bytes; then the terminating line.
  ASSERT_EQ(At85.Bytes.size(), 3 * 87 + (1 + 14 + 2) + 3);
  for (int L = 0; L < 3; ++L) {
    EXPECT_EQ(At85.Bytes[L * 87], '_');
    EXPECT_EQ(At85.Bytes.substr(L * 87 + 85, 2), "\r\n");
  }
  EXPECT_EQ(At85.Log, Every(In.size(), {63, 126, 189, 199}));
  for (std::int32_t Cpl : {86, 87, 100, 131, 132, 133, 1000}) {
    SCOPED_TRACE(Cpl);
    const TCoded R = EncodeWatched(In, Cpl);
    EXPECT_EQ(R.Bytes, At85.Bytes);
    EXPECT_EQ(R.Log, At85.Log);
  }
  EXPECT_EQ(DecodePlain(At85.Bytes), In);
}

TEST(UUEncode, OneLineTooLongForItsCountIsRefusedBeforeAnythingIsRead) {
  for (std::size_t N : {64, 65, 1000}) {
    TqvEncoder E;
    Configure(E, 76, true);
    Reports Log;
    vt::RecordProgress(E, Log);
    vt::TTestStream S(std::string(N, 'x')), D;
    try {
      E.Encode(S, D);
      ADD_FAILURE() << "no error for " << N;
    } catch (const EqvEncoderError& Error) {
      EXPECT_EQ(Error.ErrorCode, -3);
      EXPECT_EQ(Error.Message(), "UUencoded line too long.");
      EXPECT_STREQ(Error.ClassName(), "EqvEncoderError");
    }
    EXPECT_EQ(Log, Every(N, {}));
    EXPECT_EQ(S.Reads, 0);
    EXPECT_EQ(D.Writes, 0);
    // The same through the runtime's streams: the source stays where it was.
    rtl::TMemoryStream Ms(std::string(N, 'x')), Md;
    TqvEncoder Plain;
    Configure(Plain, 76, true);
    EXPECT_THROW(Plain.Encode(Ms, Md), EqvEncoderError);
    EXPECT_EQ(Ms.Position(), 0);
    EXPECT_EQ(Md.Size(), 0);
  }
}

TEST(UUEncode, CodesFromThePositionOnWithOneReadAndOneWrite) {
  const std::string In = vt::RandomBytes(1000, 3);
  TqvEncoder E;
  Configure(E);
  Reports Log;
  vt::RecordProgress(E, Log);
  vt::TTestStream S(In), D;
  D.Data = "head:";
  D.Pos = 5;
  S.Pos = 100;
  E.Encode(S, D);
  EXPECT_EQ(S.Reads, 1);
  EXPECT_EQ(D.Writes, 1);
  EXPECT_EQ(S.Pos, 1000);
  EXPECT_EQ(D.Data.substr(0, 5), "head:");
  EXPECT_EQ(D.Data.substr(5), EncodePlain(In.substr(100)));
  EXPECT_EQ(D.Pos, static_cast<std::int64_t>(D.Data.size()));
  // 900 bytes: 15 lines of 57, one of 45; reports (0, N) and one after each line.
  ASSERT_EQ(Log.size(), 900 / 57 + 2u);
  EXPECT_EQ(Log.back(), vt::Report(900, 900));
}

TEST(UUEncode, ReadsInALoopAndFailsLoudlyOnShortStreams) {
  const std::string In = vt::RandomBytes(500, 4);
  {
    TqvEncoder E;
    Configure(E);
    vt::TTestStream S(In), D;
    S.MaxRead = 7; // a stream that delivers little per call still gives the whole text
    E.Encode(S, D);
    EXPECT_EQ(D.Data, EncodePlain(In));
    EXPECT_EQ(D.Writes, 1);
  }
  {
    TqvEncoder E;
    Configure(E);
    vt::TTestStream S(In), D;
    S.ExtraSize = 10; // promises more than it has
    try {
      E.Encode(S, D);
      ADD_FAILURE() << "no error";
    } catch (const rtl::EReadError& Error) {
      EXPECT_EQ(Error.Message(), "Stream read error");
    }
    EXPECT_EQ(D.Writes, 0);
  }
  {
    TqvEncoder E;
    Configure(E);
    vt::TTestStream S(In), D;
    D.MaxWrite = 100;
    EXPECT_THROW(E.Encode(S, D), rtl::EWriteError);
  }
}

TEST(UUEncode, AHandlerThatRaisesLeavesTheDestinationUntouched) {
  for (int Raise : {0, 1, 2}) {
    TqvEncoder E;
    Configure(E);
    int Calls = 0;
    E.OnProgress = [&](rtl::TObject*, std::int64_t, std::int64_t) {
      if (Calls++ == Raise) throw std::runtime_error("stop");
    };
    vt::TTestStream S(vt::RandomBytes(200, 5)), D;
    EXPECT_THROW(E.Encode(S, D), std::runtime_error);
    EXPECT_EQ(D.Writes, 0);
  }
}

TEST(UUCodecs, EmptySourceEnteredDirectlyMakesOneReportAndNoStreamCall) {
  for (bool Decode : {false, true}) {
    TqvEncoder E;
    Configure(E);
    Reports Log;
    vt::RecordProgress(E, Log);
    vt::TTestStream S, D;
    if (Decode)
      detail::TqvEncoderAccess::DecodeUUE(E, S, D);
    else
      detail::TqvEncoderAccess::EncodeUUE(E, S, D);
    EXPECT_EQ(Log, Reports({{0, 0}}));
    EXPECT_EQ(S.Reads + D.Writes, 0);
    // Through Encode and Decode nothing at all happens.
    Log.clear();
    if (Decode)
      E.Decode(S, D);
    else
      E.Encode(S, D);
    EXPECT_TRUE(Log.empty());
  }
}

// --- Decoder ---

struct TDecodeCase {
  const char* Name;
  std::string Text;
  std::string Bytes;
  Reports Log; // empty: not checked
};

TEST(UUDecode, ReadsTheExactBytesAndReports) {
  const std::string Classic = "begin 644 cat.txt\r\n#0V%T\r\n`\r\nend\r\n";
  const TDecodeCase Cases[] = {
      {"a", "!80\r\n`\r\n", "a", Every(8, {1, 2, 3, 4})},
      {"Cat", "#0V%T\r\n`\r\n", "Cat", {}},
      {"no line end", "#0V%T", "Cat", Every(5, {1, 2, 3, 4})},
      {"suppressed breaks", "#0V%T`", "Cat", Every(6, {1, 2, 3, 4, 5})},
      {"classic", Classic, "Cat", Every(34, {17, 18, 20, 21, 22, 23, 24, 25})},
      {"beginning", "beginning\r\n#0V%T\r\n`\r\n", "Cat", {}},
      // "B" announces 34 bytes; "EGIN 644 x" carries seven of them
      {"BEGIN",
       "BEGIN 644 x\r\n#0V%T\r\n`\r\n",
       std::string("\x96zn\x01"
                   "e\x14\x01",
                   7) +
           "Cat",
       {}},
      {"empty lines first", "\r\n\r\nbegin 644 x\r\n#0V%T\r\n`\r\n", "Cat", {}},
      {"later begin is data", "#0V%T\r\nbegin 644 x\r\n", "Cat\x14\x72", {}},
      {"LF ends", "#0V%T\n`\nend\n", "Cat", Every(12, {1, 2, 3, 4, 5})},
      {"CR ends", "#0V%T\r`\r", "Cat", {}},
      {"space zero", "#0V%T\r\n \r\n", "Cat", {}},
      {"short last line", "#86)C\r\n!80\r\n`\r\n", "abca", {}},
      {"extra characters", "#0V%TXYZ\r\n`\r\n", "Cat", Every(13, {1, 2, 3, 4, 5, 8, 9})},
      {"stop at first zero", "#0V%T\r\n\r\n#0V%T\r\n`\r\n#0V%T\r\n", "CatCat", {}},
      {"single byte", "M", "", Every(1, {0})},
      {"last byte where a count stands", "#0V%T\r\n`", "Cat", Every(8, {1, 2, 3, 4, 5, 6, 7})},
      {"padded last group", "!80``\n`\n", "a", {}},
      {"ends after begin", "begin 644 x", "", Every(11, {10})},
      // A text cut short yields only what its codes carry: 8 codes, 6 bytes.
      {"cut short", "M86)C86)C", "abcabc", {}},
      {"cut in a group", "M86)C86\r\n", "abca", {}},
      {"end with no zero line", "#0V%T\r\nend\r\n", "Cat8", {}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    const TCoded R = DecodeWatched(C.Text);
    EXPECT_EQ(R.Bytes, C.Bytes);
    if (!C.Log.empty()) {
      EXPECT_EQ(R.Log, C.Log);
    }
    EXPECT_EQ(DecodePlain(C.Text), C.Bytes);
    const TCoded M = ModelDecode(C.Text);
    EXPECT_EQ(M.Bytes, C.Bytes);
    EXPECT_EQ(M.Log, R.Log);
  }
}

TEST(UUDecode, MakesOneReadAndOneWriteAlsoOfNothing) {
  for (const std::string Text : {"#0V%T\r\n`\r\nend\r\n", "`\r\n#0V%T", "\r\n\r\n", "M"}) {
    TqvEncoder E;
    Configure(E);
    vt::TTestStream S("xx" + Text), D;
    S.Pos = 2;
    E.Decode(S, D);
    EXPECT_EQ(S.Reads, 1);
    EXPECT_EQ(S.Pos, static_cast<std::int64_t>(Text.size() + 2));
    ASSERT_EQ(D.Writes, 1);
    EXPECT_EQ(D.WriteSizes[0], static_cast<std::int64_t>(D.Data.size()));
  }
}

TEST(UUDecode, FailsLoudlyOnShortStreamsAndLeavesTheDestinationOnAFailedHandler) {
  const std::string Text = EncodePlain(vt::RandomBytes(300, 9));
  {
    TqvEncoder E;
    Configure(E);
    vt::TTestStream S(Text), D;
    S.MaxRead = 5;
    E.Decode(S, D);
    EXPECT_EQ(D.Data, DecodePlain(Text));
  }
  {
    TqvEncoder E;
    Configure(E);
    vt::TTestStream S(Text), D;
    S.ReadsLeft = 1;
    S.MaxRead = 50;
    EXPECT_THROW(E.Decode(S, D), rtl::EReadError);
    EXPECT_EQ(D.Writes, 0);
  }
  {
    TqvEncoder E;
    Configure(E);
    vt::TTestStream S(Text), D;
    D.MaxWrite = 10;
    EXPECT_THROW(E.Decode(S, D), rtl::EWriteError);
  }
  {
    TqvEncoder E;
    Configure(E);
    int Calls = 0;
    E.OnProgress = [&](rtl::TObject*, std::int64_t, std::int64_t) {
      if (++Calls == 50) throw std::runtime_error("stop");
    };
    vt::TTestStream S(Text), D;
    EXPECT_THROW(E.Decode(S, D), std::runtime_error);
    EXPECT_EQ(D.Writes, 0);
  }
}

// Every short text over an alphabet of line ends, zero counts, counts, "begin" and codes: the
// decoder agrees with the byte-at-a-time model in bytes and reports.
TEST(UUDecode, AgreesWithTheModelOnEveryShortText) {
  const std::vector<std::string> Tokens = {"\r", "\n", "`", " ", "!", "#", "b", "XY", "begin"};
  std::vector<std::size_t> Pick;
  for (std::size_t Len = 1; Len <= 5; ++Len) {
    Pick.assign(Len, 0);
    for (;;) {
      std::string Text;
      for (auto I : Pick) Text += Tokens[I];
      const TCoded R = DecodeWatched(Text), M = ModelDecode(Text);
      if (R.Bytes != M.Bytes || R.Log != M.Log) {
        ADD_FAILURE() << "text " << testing::PrintToString(Text);
        return;
      }
      std::size_t D = 0;
      while (D < Len && ++Pick[D] == Tokens.size()) Pick[D++] = 0;
      if (D == Len) break;
    }
  }
}

// Garbage of every byte value, valid texts cut at every length, lines short of their codes and
// line ends at every place in a line.
std::vector<std::string> MalformedTexts() {
  std::vector<std::string> Texts;
  for (int C = 0; C < 256; ++C) {
    const std::string B(1, static_cast<char>(C));
    Texts.push_back(B + "0V%T\r\n");
    Texts.push_back(B + Repeat("\xFF", 90));
    Texts.push_back("#" + B + B + B + B + B + "\n`");
    Texts.push_back(B);
  }
  for (std::uint32_t Seed = 0; Seed < 200; ++Seed)
    Texts.push_back(vt::RandomBytes(1 + Seed * 7 % 400, Seed));
  const std::string Valid = "begin 644 f\n" + EncodePlain(vt::RandomBytes(200, 1)) + "end\n";
  for (std::size_t Len = 1; Len <= Valid.size(); ++Len) Texts.push_back(Valid.substr(0, Len));
  for (int C = 33; C < 96; ++C)
    for (int Codes = 0; Codes < 90; Codes += 7)
      Texts.push_back(std::string(1, static_cast<char>(C)).append(Repeat("M", Codes)));
  const std::string Line = EncodePlain(vt::RandomBytes(63, 2), 85).substr(0, 85);
  for (std::size_t At = 1; At <= Line.size(); ++At)
    for (const char* End : {"\r", "\n"})
      Texts.push_back(Line.substr(0, At) + End + Line.substr(At) + "\r\n" + Line);
  return Texts;
}

// Malformed text stays inside the buffers (the sanitizer build watches) and agrees with the model.
TEST(UUDecode, MalformedTextAgreesWithTheModel) {
  for (const auto& Text : MalformedTexts()) {
    const TCoded R = DecodeWatched(Text), M = ModelDecode(Text);
    ASSERT_EQ(R.Bytes, M.Bytes) << testing::PrintToString(Text);
    ASSERT_EQ(R.Log, M.Log) << testing::PrintToString(Text);
    ASSERT_EQ(DecodePlain(Text), M.Bytes) << testing::PrintToString(Text);
  }
}

// --- Both ways ---

TEST(UUCodecs, RoundTripsAtEveryLineLength) {
  std::vector<std::size_t> Sizes;
  for (std::size_t N = 1; N <= 200; ++N) Sizes.push_back(N);
  for (std::size_t N : {255, 256, 1000, 4095, 4096, 65537}) Sizes.push_back(N);
  for (std::size_t N : Sizes) {
    const std::string In = vt::RandomBytes(N, static_cast<std::uint32_t>(N));
    ASSERT_EQ(DecodePlain(EncodePlain(In)), In) << N;
  }
  for (std::int32_t Cpl = 3; Cpl <= 140; ++Cpl) {
    for (std::size_t N = 1; N <= 300; N += (N < 140 ? 1 : 13)) {
      const std::string In = vt::RandomBytes(N, static_cast<std::uint32_t>(Cpl * 1000 + N));
      ASSERT_EQ(DecodePlain(EncodePlain(In, Cpl)), In) << Cpl << " " << N;
    }
  }
  for (std::size_t N = 1; N <= 63; ++N) {
    const std::string In = vt::RandomBytes(N, static_cast<std::uint32_t>(N + 77));
    ASSERT_EQ(DecodePlain(EncodePlain(In, 76, true)), In) << N;
  }
}

// --- The unobserved path: pieces through the runtime's streams, against the whole-source way ---

using TInternalsGuard = vh::TKernelDefaultsGuard;
using vh::TOutcome;

// Codes In from Start on into a destination that holds "0123456789" and stands at 3. Watched: a
// progress handler is set, so the codec takes the whole-source way; otherwise no caller can see
// the stream calls and it moves pieces.
TOutcome CodeOnce(bool Decode, const std::string& In, std::int64_t Start, bool Watched,
                  std::int32_t Cpl = 76, bool Suppress = false) {
  vh::TCall C = UUCall(!Decode, Cpl, Suppress);
  C.Skip = static_cast<std::size_t>(Start);
  C.Prefix = "0123456789";
  C.DestinationStart = 3;
  return vh::Run(C, Watched ? vh::TPath::Observed : vh::TPath::Pieces, In);
}

const std::int64_t PieceLengths[] = {1, 2, 3, 5, 56, 57, 58, 63, 64, 100, 1000, 0};

TEST(UUCodecs, EncodingInPiecesGivesTheSameTextErrorsAndPositions) {
  TInternalsGuard Guard;
  struct TCase {
    std::string In;
    std::int64_t Start;
    std::int32_t Cpl;
    bool Suppress;
  };
  std::vector<TCase> Cases;
  for (std::int32_t Cpl : {3, 8, 76, 85, 132}) {
    const std::size_t B = std::min(3 * std::max(Cpl, 3) / 4, 63);
    std::vector<std::size_t> Sizes;
    for (std::size_t N = 0; N <= 70; ++N) Sizes.push_back(N);
    for (std::size_t K : {2, 3, 7, 20})
      for (std::size_t N : {K * B - 1, K * B, K * B + 1}) Sizes.push_back(N);
    Sizes.push_back(5000);
    for (std::size_t N : Sizes)
      Cases.push_back({vt::RandomBytes(N, static_cast<std::uint32_t>(N + Cpl)),
                       static_cast<std::int64_t>(N % 4 == 1), Cpl, false});
  }
  for (std::size_t N = 0; N <= 70; ++N) // one line: 64 bytes and more are refused
    Cases.push_back({vt::RandomBytes(N, static_cast<std::uint32_t>(N)), 0, 76, true});
  std::vector<TOutcome> Reference;
  for (const auto& C : Cases)
    Reference.push_back(CodeOnce(false, C.In, C.Start, true, C.Cpl, C.Suppress));
  for (auto Kind : detail::KernelLevels()) {
    detail::UseKernelLevel(Kind);
    for (std::int64_t Piece : PieceLengths) {
      detail::SetPieceLength(Piece);
      for (std::size_t I = 0; I < Cases.size(); ++I) {
        const auto& C = Cases[I];
        SCOPED_TRACE(testing::Message()
                     << "kernel " << int(Kind) << " piece " << Piece << " size " << C.In.size()
                     << " cpl " << C.Cpl << " suppress " << C.Suppress);
        ASSERT_EQ(CodeOnce(false, C.In, C.Start, true, C.Cpl, C.Suppress), Reference[I]);
        ASSERT_EQ(CodeOnce(false, C.In, C.Start, false, C.Cpl, C.Suppress), Reference[I]);
      }
    }
  }
}

TEST(UUCodecs, DecodingInPiecesGivesTheSameBytesAndPositions) {
  TInternalsGuard Guard;
  std::vector<std::string> Texts = MalformedTexts();
  for (std::int32_t Cpl : {3, 60, 76, 85})
    for (std::size_t N : {1, 44, 45, 46, 1000})
      Texts.push_back(EncodePlain(vt::RandomBytes(N, static_cast<std::uint32_t>(N)), Cpl));
  // Text after the zero count, a long line to skip, classic LF text, a late "begin" test.
  const std::string Body = EncodePlain(vt::RandomBytes(3000, 5));
  Texts.push_back(Body + Body);
  Texts.push_back("M" + Repeat("A", 5000) + "\n" + Body);
  Texts.push_back(Repeat("\r\n", 300) + "begin 644 x\n" + Body);
  Texts.push_back(Repeat("\n", 61) + "beg");
  std::vector<TOutcome> Reference;
  for (const auto& T : Texts) Reference.push_back(CodeOnce(true, T, T.size() % 3 == 1, true));
  for (auto Kind : detail::KernelLevels()) {
    detail::UseKernelLevel(Kind);
    for (std::int64_t Piece : PieceLengths) {
      detail::SetPieceLength(Piece);
      for (std::size_t I = 0; I < Texts.size(); ++I) {
        // The smallest pieces on a sample: every text crosses several of them anyway.
        if (Piece > 0 && Piece < 56 && I % 5 != 0) continue;
        const auto& T = Texts[I];
        const std::int64_t Start = T.size() % 3 == 1;
        SCOPED_TRACE(testing::Message() << "kernel " << int(Kind) << " piece " << Piece << " text "
                                        << testing::PrintToString(T));
        ASSERT_EQ(CodeOnce(true, T, Start, true), Reference[I]);
        ASSERT_EQ(CodeOnce(true, T, Start, false), Reference[I]);
      }
    }
  }
}

// A stream that is its own destination gets the text after the source, as the whole-source way
// writes it, with or without a handler.
TEST(UUCodecs, AStreamThatIsItsOwnDestinationGetsTheTextAfterTheSource) {
  TInternalsGuard Guard;
  detail::SetPieceLength(5);
  const std::string In = vt::RandomBytes(200, 8);
  for (bool Watched : {true, false}) {
    vh::TWay Both = vh::TWay::Of(Watched ? vh::TPath::Observed : vh::TPath::Pieces);
    Both.OneStream = true;
    EXPECT_EQ(Succeeded(vh::Run(UUCall(true), Both, In)).Bytes, In + EncodePlain(In));
    EXPECT_EQ(Succeeded(vh::Run(UUCall(false), Both, EncodePlain(In))).Bytes,
              EncodePlain(In) + In);
  }
}

// With files: the program's own case. A class derived from the encoder sees every report, so it
// takes the whole-source way; the encoder itself moves pieces. Both leave the same files.
TEST(UUCodecs, FilesCodedInPiecesMatchTheWholeSourceWay) {
  TInternalsGuard Guard;
  struct TWatching : TqvEncoder {
    void ReportProgress(std::int64_t, std::int64_t) override { ++Reports; }
    int Reports = 0;
  };
  vt::TempDir Dir;
  const std::string In = vt::RandomBytes(300000, 21);
  vt::WriteFile(Dir / "in", In);
  detail::SetPieceLength(4099);
  auto Code = [&](TqvEncoder& E, bool Decode, const std::string& From, const std::string& To) {
    E.EncodeMethod = cmUUEncode;
    rtl::TFileStream S(From, rtl::fmOpenRead), D(To, rtl::fmCreate);
    S.SetPosition(Decode ? 0 : 7);
    if (Decode)
      E.Decode(S, D);
    else
      E.Encode(S, D);
    EXPECT_EQ(S.Position(), S.Size());
    EXPECT_EQ(D.Position(), D.Size());
    D.Close();
  };
  TWatching W;
  TqvEncoder E;
  Code(W, false, Dir / "in", Dir / "watched.uu");
  Code(E, false, Dir / "in", Dir / "plain.uu");
  EXPECT_EQ(W.Reports, (300000 - 7) / 57 + 2);
  EXPECT_EQ(vt::ReadFile(Dir / "plain.uu"), vt::ReadFile(Dir / "watched.uu"));
  Code(W, true, Dir / "plain.uu", Dir / "watched.out");
  Code(E, true, Dir / "plain.uu", Dir / "plain.out");
  EXPECT_EQ(vt::ReadFile(Dir / "plain.out"), vt::ReadFile(Dir / "watched.out"));
  EXPECT_EQ(vt::ReadFile(Dir / "plain.out"), In.substr(7));
}

// --- Witnesses: Python's binascii, and the built program on real files ---

class UUWitness : public testing::Test {
protected:
  void SetUp() override {
    if (!vt::HaveCommand("python3")) GTEST_SKIP() << "python3 is not installed";
  }
  vt::TempDir Dir;
};

// Python writes classic text: a "begin" line, 45-byte lines with LF, the last group padded to
// four characters, space or grave accent for zero, a zero line and "end".
TEST_F(UUWitness, DecodesWhatPythonWrites) {
  // One Python run writes every case: each start of the interpreter costs about a second here.
  const std::string Script = Dir / "enc.py";
  vt::WriteFile(Script,
                "import binascii, sys\n"
                "for name in sys.argv[1:]:\n"
                "    data = open(name, 'rb').read()\n"
                "    for tick in (False, True):\n"
                "        out = [b'begin 644 data.bin\\n']\n"
                "        for i in range(0, len(data), 45):\n"
                "            out.append(binascii.b2a_uu(data[i:i + 45], backtick=tick))\n"
                "        out.append(b'`\\n' if tick else b' \\n')\n"
                "        out.append(b'end\\n')\n"
                "        open(name + ('.1' if tick else '.0'), 'wb').write(b''.join(out))\n");
  const std::size_t Sizes[] = {1, 2, 3, 44, 45, 46, 90, 1000, 100000};
  std::string Args;
  for (std::size_t N : Sizes) {
    vt::WriteFile(Dir / std::to_string(N), vt::RandomBytes(N, static_cast<std::uint32_t>(N * 3)));
    Args += " " + vt::Q(Dir / std::to_string(N));
  }
  const auto Run = vt::Shell("python3 " + vt::Q(Script) + Args);
  ASSERT_EQ(Run.ExitCode, 0) << Run.Err;
  for (std::size_t N : Sizes) {
    for (const char* Tick : {".0", ".1"}) {
      SCOPED_TRACE(testing::Message() << N << Tick);
      const std::string In = vt::ReadFile(Dir / std::to_string(N));
      const std::string Text = vt::ReadFile(Dir / std::to_string(N) + Tick);
      EXPECT_EQ(Text.substr(0, 5), "begin");
      EXPECT_EQ(DecodePlain(Text), In);
      EXPECT_EQ(DecodeWatched(Text).Bytes, In);
    }
  }
}

// Python reads each line that we write; the lines together give back the source.
TEST_F(UUWitness, PythonDecodesEveryLineWeWrite) {
  const std::string Script = Dir / "dec.py";
  vt::WriteFile(Script, "import binascii, sys\n"
                        "for name in sys.argv[1:]:\n"
                        "    lines = open(name, 'rb').read().split(b'\\r\\n')\n"
                        "    assert lines[-1] == b'' and lines[-2] == b'`'\n"
                        "    out = b''.join(binascii.a2b_uu(l) for l in lines[:-2])\n"
                        "    open(name + '.out', 'wb').write(out)\n");
  std::vector<std::pair<std::string, std::string>> Cases; // file, source
  std::string Args;
  for (std::int32_t Cpl : {3, 8, 60, 76, 84, 85, 132}) {
    for (std::size_t N : {1, 2, 3, 62, 63, 64, 3000}) {
      const std::string In = vt::RandomBytes(N, static_cast<std::uint32_t>(N + Cpl));
      const std::string Name = Dir / (std::to_string(Cpl) + "-" + std::to_string(N));
      vt::WriteFile(Name, EncodePlain(In, Cpl));
      Cases.emplace_back(Name, In);
      Args.append(" ").append(vt::Q(Name));
    }
  }
  const auto Run = vt::Shell("python3 " + vt::Q(Script) + Args);
  ASSERT_EQ(Run.ExitCode, 0) << Run.Err;
  for (const auto& [Name, In] : Cases) EXPECT_EQ(vt::ReadFile(Name + ".out"), In) << Name;
}

TEST_F(UUWitness, TheProgramConvertsFilesBothWays) {
  const std::string In = vt::RandomBytes(300000, 11);
  vt::WriteFile(Dir / "data", In);
  for (const char* Word : {"UUE", "U"}) {
    SCOPED_TRACE(Word);
    auto Run = vt::Vexor({Dir / "data", Dir / "data.uu", "E", Word});
    ASSERT_EQ(Run.ExitCode, 0) << Run.Err;
    EXPECT_EQ(Run.Out, "Done.\r\n");
    const std::string Text = vt::ReadFile(Dir / "data.uu");
    EXPECT_EQ(Text, EncodePlain(In));
    Run = vt::Vexor({Dir / "data.uu", Dir / "back", "D", Word});
    ASSERT_EQ(Run.ExitCode, 0) << Run.Err;
    EXPECT_EQ(vt::ReadFile(Dir / "back"), In);
  }
  // Python decodes the program's text line by line.
  const auto Py = vt::Shell("python3 -c " +
                            vt::Q("import binascii,sys\n"
                                  "l=open(sys.argv[1],'rb').read().split(b'\\r\\n')\n"
                                  "sys.stdout.buffer.write(b''.join(binascii.a2b_uu(x) for x in "
                                  "l[:-2]))") +
                            " " + vt::Q(Dir / "data.uu") + " > " + vt::Q(Dir / "py.out"));
  ASSERT_EQ(Py.ExitCode, 0) << Py.Err;
  EXPECT_EQ(vt::ReadFile(Dir / "py.out"), In);
}

// sharutils, where it is installed, is a second witness for classic text.
TEST_F(UUWitness, TheProgramDecodesWhatUuencodeWrites) {
  if (!vt::HaveCommand("uuencode")) GTEST_SKIP() << "uuencode is not installed";
  const std::string In = vt::RandomBytes(100000, 12);
  vt::WriteFile(Dir / "data", In);
  const auto Enc = vt::Shell("uuencode " + vt::Q(Dir / "data") + " data > " + vt::Q(Dir / "s.uu"));
  ASSERT_EQ(Enc.ExitCode, 0) << Enc.Err;
  const auto Run = vt::Vexor({Dir / "s.uu", Dir / "back", "D", "UUE"});
  ASSERT_EQ(Run.ExitCode, 0) << Run.Err;
  EXPECT_EQ(vt::ReadFile(Dir / "back"), In);
}

} // namespace
