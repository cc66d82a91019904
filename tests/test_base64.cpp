// The Base64 codec pair through the component, on real files through the program, and against
// coreutils base64 as a witness that no one here wrote.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <optional>
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

// --- helpers ---

struct TSettings {
  std::int32_t CharsPerLine = 76;
  bool SuppressCrlf = false;
  std::int32_t BatchSize = 8192;
  TqvEncodeErrorProcessing ErrorProcessing = epStop;
};

enum class TWay { Encode, Decode };

using vh::TOutcome;

// The call: Base64 in the way's direction at these settings.
vh::TCall Base64Call(TWay Way, const TSettings& S) {
  vh::TCall C;
  C.Settings.Method = cmBase64;
  C.Settings.CharsPerLine = S.CharsPerLine;
  C.Settings.SuppressCrlf = S.SuppressCrlf;
  C.Settings.BatchSize = S.BatchSize;
  C.Settings.ErrorProcessing = S.ErrorProcessing;
  C.Encode = Way == TWay::Encode;
  return C;
}

// Runs Encode or Decode over memory streams with a progress handler, recording its reports.
TOutcome Convert(TWay Way, const std::string& Input, const TSettings& S = {}) {
  return vh::Run(Base64Call(Way, S), vh::TPath::Observed, Input);
}

std::string Encoded(const std::string& Input, const TSettings& S = {}) {
  const TOutcome R = Convert(TWay::Encode, Input, S);
  EXPECT_FALSE(R.Error) << *R.Error;
  return R.Bytes;
}
std::string Decoded(const std::string& Text, const TSettings& S = {}) {
  const TOutcome R = Convert(TWay::Decode, Text, S);
  EXPECT_FALSE(R.Error) << *R.Error;
  return R.Bytes;
}

// The lengths of the CR LF separated lines of a text; a lone CR or LF shows as -1.
std::vector<std::int64_t> LineLengths(const std::string& Text) {
  std::vector<std::int64_t> Lengths;
  std::size_t Begin = 0;
  for (;;) {
    const std::size_t End = Text.find("\r\n", Begin);
    const std::string Line = Text.substr(Begin, End == std::string::npos ? End : End - Begin);
    Lengths.push_back(Line.find_first_of("\r\n") == std::string::npos
                          ? static_cast<std::int64_t>(Line.size())
                          : -1);
    if (End == std::string::npos) return Lengths;
    Begin = End + 2;
  }
}

// coreutils base64 as a witness.
bool HavePeer() {
  return vt::HaveCommand("base64");
}

std::string PeerRun(const std::string& Args, const std::string& Input) {
  vt::TempDir Dir;
  vt::WriteFile(Dir / "in", Input);
  const vt::RunResult R = vt::Shell("base64 " + Args + " " + vt::Q(Dir / "in"));
  EXPECT_EQ(R.ExitCode, 0) << R.Err;
  return R.Out;
}

// The peer's text for Width characters per line (0: one line), in our layout: CR LF between
// lines and no line break after the last.
std::string PeerEncoded(const std::string& Input, std::int64_t Width) {
  const std::string Lf = PeerRun("-w " + std::to_string(Width), Input);
  std::string Text;
  for (const char C : Lf) {
    if (C == '\n')
      Text += "\r\n";
    else
      Text += C;
  }
  if (Text.size() >= 2 && Text.compare(Text.size() - 2, 2, "\r\n") == 0)
    Text.resize(Text.size() - 2);
  return Text;
}

std::string PeerDecoded(const std::string& Text) {
  std::string Lf;
  for (const char C : Text)
    if (C != '\r') Lf += C;
  return PeerRun("-d", Lf);
}

// Sizes around the group and line boundaries of the default layout.
std::vector<std::size_t> BoundarySizes() {
  std::vector<std::size_t> Sizes;
  for (std::size_t N = 0; N <= 130; ++N) Sizes.push_back(N);
  for (const std::size_t Around : {171, 228, 570, 1000, 4096, 8192, 12288, 65536, 100000, 262144})
    for (std::size_t D = 0; D < 5; ++D) Sizes.push_back(Around - 2 + D);
  Sizes.push_back(300007);
  return Sizes;
}

// --- the encoder ---

TEST(Base64Encoder, ShortSourcesGiveTheirTextAndOnlyTheOuterReports) {
  const struct {
    std::string Input, Text;
  } Cases[] = {{"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"abcd", "YWJjZA=="}};
  for (const auto& C : Cases) {
    const TOutcome R = Convert(TWay::Encode, C.Input);
    const auto N = static_cast<std::int64_t>(C.Input.size());
    EXPECT_EQ(R.Bytes, C.Text) << C.Input;
    EXPECT_EQ(R.Log, (vt::Reports{{0, N}, {N, N}})) << C.Input;
    EXPECT_EQ(R.SourcePosition, N);
    EXPECT_EQ(R.DestinationPosition, static_cast<std::int64_t>(C.Text.size()));
  }
}

TEST(Base64Encoder, LayoutFollowsTheLineLength) {
  const auto Lines = [](std::int64_t Count, std::int64_t Length, std::int64_t Last) {
    std::vector<std::int64_t> L(static_cast<std::size_t>(Count), Length);
    L.push_back(Last);
    return L;
  };
  const struct {
    std::size_t N;
    TSettings S;
    std::int64_t Width; // the peer's line length for the same text
    std::vector<std::int64_t> Lines;
  } Cases[] = {
      {57, {}, 76, {76}},
      {58, {}, 76, {76, 4}},
      {114, {}, 76, {76, 76}},
      {120, {76, true}, 0, {160}},
      {6145, {76, true}, 0, {8196}},
      {6145, {64, true}, 0, {8196}},
      {6001, {84}, 84, Lines(95, 84, 24)},
      {100, {64}, 64, {64, 64, 8}},
      {100, {0}, 64, {64, 64, 8}},
      {100, {-5}, 64, {64, 64, 8}},
      {100, {63}, 64, {64, 64, 8}},
      {100, {65}, 64, {64, 64, 8}},
      {200, {66}, 68, {68, 68, 68, 64}},
      {1000, {1000}, 1000, {1000, 336}},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE("N " + std::to_string(C.N) + ", CharsPerLine " + std::to_string(C.S.CharsPerLine) +
                 (C.S.SuppressCrlf ? ", one line" : ""));
    const std::string Input = vt::RandomBytes(C.N, static_cast<std::uint32_t>(C.N));
    const std::string Text = Encoded(Input, C.S);
    EXPECT_EQ(LineLengths(Text), C.Lines);
    if (HavePeer()) {
      EXPECT_TRUE(Text == PeerEncoded(Input, C.Width));
    }
  }
  // Text lengths with and without padding and line breaks, stated outright.
  EXPECT_EQ(Encoded(std::string(58, 'x')).size(), 82u);
  EXPECT_EQ(Encoded(std::string(58, 'x')).substr(80), "==");
  EXPECT_EQ(Encoded(std::string(114, 'x')).size(), 154u);
  EXPECT_EQ(Encoded(std::string(6001, 'x'), {84}).size(), 8194u);
}

TEST(Base64Encoder, TranslationCheckpointsReportTheSecondHalf) {
  // N = 1000: T = 1370, one checkpoint per character from index 1, values 501 + c div 2.
  {
    const TOutcome R = Convert(TWay::Encode, std::string(1000, 'q'));
    ASSERT_EQ(R.Log.size(), 1000u);
    EXPECT_EQ(R.Log.front(), vt::Report(0, 1000));
    EXPECT_EQ(R.Log.back(), vt::Report(1000, 1000));
    for (std::size_t C = 0; C < 998; ++C)
      ASSERT_EQ(R.Log[C + 1], vt::Report(501 + static_cast<std::int64_t>(C / 2), 1000)) << C;
  }
  const struct {
    std::size_t N;
    std::size_t Checkpoints;
    std::int64_t First, Last; // the values of the first and last checkpoint reports
  } Cases[] = {
      {729, 0, 0, 0},                      // T = 996: no checkpoint
      {730, 998, 366, 729},                // T = 1000
      {10485760, 1000, 5242881, 10480518}, // c * H needs more than 32 bits
      {1000000, 1000, 500001, 999501},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.N);
    const auto N = static_cast<std::int64_t>(C.N);
    const TOutcome R = Convert(TWay::Encode, std::string(C.N, '7'));
    ASSERT_EQ(R.Log.size(), C.Checkpoints + 2);
    EXPECT_EQ(R.Log.front(), vt::Report(0, N));
    EXPECT_EQ(R.Log.back(), vt::Report(N, N));
    if (C.Checkpoints == 0) continue;
    EXPECT_EQ(R.Log[1].first, C.First);
    EXPECT_EQ(R.Log[C.Checkpoints].first, C.Last);
    for (std::size_t I = 1; I <= C.Checkpoints; ++I) {
      ASSERT_EQ(R.Log[I].second, N);
      ASSERT_LT(R.Log[I].first, N);
      if (I > 1) {
        ASSERT_GE(R.Log[I].first, R.Log[I - 1].first) << I;
      }
    }
  }
  // 730: the first three and the last three values.
  const TOutcome R = Convert(TWay::Encode, std::string(730, 'z'));
  for (std::size_t I : {1, 2, 3}) EXPECT_EQ(R.Log[I].first, 366);
  for (std::size_t I : {996, 997, 998}) EXPECT_EQ(R.Log[I].first, 729);
}

TEST(Base64Encoder, CodesFromTheSourcePositionToItsEndAtTheDestinationPosition) {
  TqvEncoder E;
  vt::Reports Log;
  vt::RecordProgress(E, Log);
  rtl::TMemoryStream Source("skip:abcd"), Destination("HEAD+old");
  Source.SetPosition(5);
  Destination.SetPosition(5);
  E.Encode(Source, Destination);
  EXPECT_EQ(Destination.Bytes(), "HEAD+YWJjZA==");
  EXPECT_EQ(Log, (vt::Reports{{0, 4}, {4, 4}}));
  EXPECT_EQ(Source.Position(), 9);
  EXPECT_EQ(Destination.Position(), 13);
}

TEST(Base64Encoder, StreamCallsAndTheirFailures) {
  const std::string Input = vt::RandomBytes(5000, 1);
  const std::string Text = Encoded(Input);
  { // one Read of the whole remainder, one Write of the whole text
    TqvEncoder E;
    vt::TTestStream Source(Input), Destination;
    E.Encode(Source, Destination);
    EXPECT_EQ(Source.ReadSizes, std::vector<std::int64_t>{5000});
    EXPECT_EQ(Destination.WriteSizes,
              std::vector<std::int64_t>{static_cast<std::int64_t>(Text.size())});
    EXPECT_EQ(Destination.Data, Text);
  }
  { // a stream that delivers in small pieces is read until it has given everything
    TqvEncoder E;
    vt::TTestStream Source(Input), Destination;
    Source.MaxRead = 333;
    E.Encode(Source, Destination);
    EXPECT_EQ(Destination.Data, Text);
  }
  { // a source that delivers less than its size promised: nothing unread is ever encoded
    TqvEncoder E;
    vt::Reports Log;
    vt::RecordProgress(E, Log);
    vt::TTestStream Source(Input), Destination;
    Source.ExtraSize = 10;
    EXPECT_THROW(E.Encode(Source, Destination), rtl::EReadError);
    EXPECT_EQ(Destination.Writes, 0);
    EXPECT_EQ(Log, (vt::Reports{{0, 5010}}));
  }
  { // a destination that takes less than it was given
    TqvEncoder E;
    vt::TTestStream Source(Input), Destination;
    Destination.MaxWrite = 100;
    EXPECT_THROW(E.Encode(Source, Destination), rtl::EWriteError);
  }
  { // a handler that raises stops the call before anything is written
    TqvEncoder E;
    E.OnProgress = [](rtl::TObject*, std::int64_t Done, std::int64_t) {
      if (Done > 0) throw rtl::Exception("stop");
    };
    vt::TTestStream Source(Input), Destination;
    EXPECT_THROW(E.Encode(Source, Destination), rtl::Exception);
    EXPECT_EQ(Destination.Writes, 0);
  }
}

TEST(Base64Codecs, EnteredDirectlyOnAnEmptySourceReportOnce) {
  for (const bool Decode : {false, true}) {
    TqvEncoder E;
    vt::Reports Log;
    vt::RecordProgress(E, Log);
    vt::TTestStream Source, Destination;
    if (Decode)
      TqvEncoderAccess::DecodeBase64(E, Source, Destination);
    else
      TqvEncoderAccess::EncodeBase64(E, Source, Destination);
    EXPECT_EQ(Log, (vt::Reports{{0, 0}})) << Decode;
    EXPECT_EQ(Destination.Writes, 0);
  }
}

// --- the decoder ---

TEST(Base64Decoder, AcceptsAlphabetPaddingLineBreaksAndSpacesAnywhere) {
  const struct {
    std::string Text, Bytes;
  } Cases[] = {
      {"YWJj", "abc"},
      {"YQ==", "a"},
      {"YQ", "a"},
      {"YWI", "ab"},
      {"YWI=", "ab"},
      {"Y", ""},
      {"YW\r\nJj", "abc"},
      {"YW\nJj\r", "abc"},
      {"Y W J j", "abc"},
      {"=Y=W=J=j=", "abc"},
      {"YQ==YWI=", "\x61\x06\x16"}, // "=" closes no group: "YW" completes the open one
      {"\r\n \r\n", ""},
      {"+/+/", "\xfb\xff\xbf"},
      {"AAAA", std::string(3, '\0')},
  };
  for (const auto& C : Cases) {
    const TOutcome R = Convert(TWay::Decode, C.Text);
    EXPECT_FALSE(R.Error) << C.Text;
    EXPECT_EQ(R.Bytes, C.Bytes) << C.Text;
    EXPECT_FALSE(R.Stopped);
  }
  EXPECT_EQ(Convert(TWay::Decode, "YWJj").Log, (vt::Reports{{0, 4}, {4, 4}}));
}

TEST(Base64Decoder, WrongSymbolsUnderBothPolicies) {
  const std::string Wrong = "Wrong symbols in source stream.";
  const std::string Error = "EqvEncoderError: " + Wrong + " (-2)";
  const struct {
    std::string Text;
    std::int32_t BatchSize;
    TqvEncodeErrorProcessing Policy;
    std::string Bytes;
    vt::Reports Log;
    bool Raises;
    std::int64_t SourcePosition;
  } Cases[] = {
      {"YW*J", 8192, epStop, "", {{0, 4}}, true, 4},
      {"YW*J", 8192, epContinue, "a", {{0, 4}, {4, 4}}, false, 4},
      {"YWJj\t", 8192, epStop, "", {{0, 5}}, true, 5}, // not even the "abc" before the tab
      {"YWJj\t", 8192, epContinue, "abc", {{0, 5}, {5, 5}}, false, 5},
      {"YWJjYW*j", 4, epStop, "abc", {{0, 8}, {8, 8}}, true, 8},
      {"YWJjYW*jYWJj", 4, epContinue, "abca", {{0, 12}, {8, 12}, {12, 12}}, false, 12},
      // under epContinue one more batch is read after the failing one, and no further
      {"YW*jYWJjYWJj", 4, epContinue, "a", {{0, 12}, {8, 12}}, false, 8},
      {"YWJjYWJjYW*j", 4, epStop, "abcabc", {{0, 12}, {8, 12}, {12, 12}}, true, 12},
      {"*", 1, epContinue, "", {{0, 1}, {1, 1}}, false, 1},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Text + " batch " + std::to_string(C.BatchSize) +
                 (C.Policy == epStop ? " stop" : " continue"));
    TSettings S;
    S.BatchSize = C.BatchSize;
    S.ErrorProcessing = C.Policy;
    const TOutcome R = Convert(TWay::Decode, C.Text, S);
    EXPECT_EQ(R.Bytes, C.Bytes);
    EXPECT_EQ(R.Log, C.Log);
    EXPECT_EQ(R.Error.value_or(""), C.Raises ? Error : "");
    EXPECT_EQ(R.Stopped, C.Policy == epContinue);
    EXPECT_EQ(R.SourcePosition, C.SourcePosition);
  }
  // Every byte outside the alphabet, "=", CR, LF and space is a wrong symbol.
  for (int B = 0; B < 256; ++B) {
    const auto C = static_cast<char>(B);
    if (std::isalnum(B) || std::string("+/= \r\n").find(C) != std::string::npos) continue;
    const TOutcome R = Convert(TWay::Decode, std::string("YWJj") + C + "YWJj");
    EXPECT_EQ(R.Error.value_or(""), Error) << B;
    EXPECT_EQ(R.Bytes, "") << B;
  }
}

TEST(Base64Decoder, BatchesCarryTheGroupAcrossTheirBorders) {
  TSettings S;
  S.BatchSize = 3;
  const TOutcome R = Convert(TWay::Decode, "YWJjYWJj", S);
  EXPECT_EQ(R.Bytes, "abcabc");
  EXPECT_EQ(R.Log, (vt::Reports{{0, 8}, {6, 8}, {8, 8}, {8, 8}}));

  for (const std::int32_t Batch : {0, -1, INT32_MIN}) {
    TqvEncoder E;
    E.BatchSize = Batch;
    vt::Reports Log;
    vt::RecordProgress(E, Log);
    vt::TTestStream Source("YWJj"), Destination;
    E.Decode(Source, Destination);
    EXPECT_EQ(Log, (vt::Reports{{0, 4}})) << Batch;
    EXPECT_EQ(Source.Reads, 0);
    EXPECT_EQ(Destination.Writes, 0);
  }
}

TEST(Base64Decoder, GivesTheSameBytesForEveryBatchSize) {
  // A text with every kind of byte that the decoder skips, groups cut by line breaks, spaces
  // and padding in the middle.
  const std::string Data = vt::RandomBytes(1500, 7);
  std::string Text;
  const std::string Plain = Encoded(Data, {64, true});
  for (std::size_t I = 0; I < Plain.size(); ++I) {
    Text += Plain[I];
    if (I % 61 == 60) Text += "\r\n";
    if (I % 17 == 5) Text += ' ';
    if (I % 97 == 11) Text += "=\n";
  }
  ASSERT_EQ(Decoded(Text), Data);
  const auto Total = static_cast<std::int64_t>(Text.size());
  std::vector<std::int32_t> Batches;
  for (std::int32_t B = 1; B <= 130; ++B) Batches.push_back(B);
  for (const std::int32_t B : {255, 256, 1000, 2047, 2048, 2049, INT32_MAX}) Batches.push_back(B);
  for (const std::int32_t B : Batches) {
    SCOPED_TRACE(B);
    TqvEncoder E;
    E.BatchSize = B;
    vt::Reports Log;
    vt::RecordProgress(E, Log);
    vt::TTestStream Source(Text), Destination;
    E.Decode(Source, Destination);
    ASSERT_EQ(Destination.Data, Data);
    // every batch asks for the batch length; memory never holds more than one batch
    const std::int64_t Length = std::min<std::int64_t>(B, Total);
    for (const std::int64_t Asked : Source.ReadSizes) ASSERT_EQ(Asked, Length);
    const std::int64_t Batches = (Total + Length - 1) / Length;
    ASSERT_EQ(Source.Reads, Batches + 1);
    ASSERT_EQ(static_cast<std::int64_t>(Log.size()), Batches + 1);
    for (std::size_t I = 1; I < Log.size(); ++I)
      ASSERT_EQ(Log[I],
                vt::Report(std::min<std::int64_t>(Total, static_cast<std::int64_t>(I + 1) * Length),
                           Total));
    ASSERT_LE(Destination.Writes, Batches);
  }
}

TEST(Base64Decoder, StreamFailuresPass) {
  const std::string Text = Encoded(vt::RandomBytes(20000, 3));
  { // short writes are errors, not lost bytes
    TqvEncoder E;
    vt::TTestStream Source(Text), Destination;
    Destination.MaxWrite = 10;
    EXPECT_THROW(E.Decode(Source, Destination), rtl::EWriteError);
  }
  { // a read that delivers nothing ends the decoding
    TqvEncoder E;
    vt::TTestStream Source(Text), Destination;
    Source.ReadsLeft = 1;
    E.Decode(Source, Destination);
    EXPECT_EQ(Destination.Data, Decoded(Text.substr(0, 8192)));
  }
  { // short reads make smaller batches, decoded just the same
    TqvEncoder E;
    vt::TTestStream Source(Text), Destination;
    Source.MaxRead = 1001;
    E.Decode(Source, Destination);
    EXPECT_EQ(Destination.Data, Decoded(Text));
  }
}

// --- both together ---

TEST(Base64Codecs, RoundTripAtManySizesAndLineLengths) {
  const TSettings Layouts[] = {{76}, {64}, {84}, {132}, {200}, {76, true}};
  for (const std::size_t N : BoundarySizes()) {
    const std::string Input = vt::RandomBytes(N, static_cast<std::uint32_t>(N * 31 + 1));
    for (const TSettings& S : Layouts) {
      if (N > 20000 && S.CharsPerLine != 76) continue;
      const std::string Text = Encoded(Input, S);
      ASSERT_EQ(static_cast<std::int64_t>(Text.size()) > 0, N > 0);
      TSettings D;
      D.BatchSize = N % 2 ? 8192 : 1000;
      ASSERT_EQ(Decoded(Text, D), Input) << N << " " << S.CharsPerLine << " " << S.SuppressCrlf;
    }
  }
}

TEST(Base64Codecs, AgreeWithCoreutils) {
  if (!HavePeer()) GTEST_SKIP() << "coreutils base64 is not installed";
  for (const std::size_t N : {1, 2, 3, 56, 57, 58, 113, 114, 115, 1000, 65536, 100001}) {
    SCOPED_TRACE(N);
    const std::string Input = vt::RandomBytes(N, static_cast<std::uint32_t>(N + 100));
    const std::string Text = Encoded(Input);
    EXPECT_TRUE(Text == PeerEncoded(Input, 76));
    EXPECT_EQ(PeerDecoded(Text), Input);
    for (const int Width : {76, 0, 64, 3})
      EXPECT_EQ(Decoded(PeerRun("-w " + std::to_string(Width), Input)), Input) << Width;
  }
}

// --- the program ---

TEST(Base64Program, EncodesAndDecodesFiles) {
  vt::TempDir Dir;
  const std::string Input = vt::RandomBytes(200003, 11);
  vt::WriteFile(Dir / "in", Input);
  for (const char* Word : {"BASE64", "B"}) {
    const vt::RunResult E = vt::Vexor({Dir / "in", Dir / "text", "E", Word});
    ASSERT_EQ(E.ExitCode, 0) << E.Err;
    EXPECT_EQ(E.Out, "Done.\r\n");
    const std::string Text = vt::ReadFile(Dir / "text");
    EXPECT_EQ(Text, Encoded(Input));
    if (HavePeer()) {
      EXPECT_TRUE(Text == PeerEncoded(Input, 76));
    }
    const vt::RunResult D = vt::Vexor({Dir / "text", Dir / "back", "D", Word});
    ASSERT_EQ(D.ExitCode, 0) << D.Err;
    EXPECT_EQ(vt::ReadFile(Dir / "back"), Input);
  }
}

TEST(Base64Program, ReportsAWrongSymbolAndKeepsTheEarlierBatches) {
  vt::TempDir Dir;
  // Two clean batches, then a batch with a wrong symbol in its middle.
  const std::string Clean = Encoded(vt::RandomBytes(30000, 5), {76, true});
  std::string Text = Clean.substr(0, 3 * 8192);
  Text[2 * 8192 + 100] = '*';
  vt::WriteFile(Dir / "bad", Text);
  const vt::RunResult R = vt::Vexor({Dir / "bad", Dir / "out", "D", "B"});
  EXPECT_EQ(R.ExitCode, 1);
  EXPECT_EQ(R.Out, "");
  EXPECT_NE(R.Err.find("Exception EqvEncoderError in module "), std::string::npos) << R.Err;
  EXPECT_NE(R.Err.find("\r\nWrong symbols in source stream.\r\n"), std::string::npos) << R.Err;
  EXPECT_EQ(vt::ReadFile(Dir / "out"), Decoded(Clean.substr(0, 2 * 8192)));
}

// --- the kernels and the unobserved paths ---
//
// When no caller can watch the stream calls, the codecs move whole pieces instead; and their
// inner loops come in a plain and in vector forms. Every combination must leave exactly what the
// observable path leaves: the same bytes, errors and positions.

// Restores the kernel level and the piece length that a test changes.
class Base64Internals : public ::testing::Test {
protected:
  void TearDown() override { vh::RestoreKernelDefaults(); }
};

enum class TPath { Observed, Memory, Files };

const char* PathName(TPath P) {
  return P == TPath::Observed ? "observed" : P == TPath::Memory ? "memory" : "files";
}

// Runs one conversion with the source positioned at Skip and the destination holding Prefix,
// positioned at its end. Observed: memory streams and a progress handler, which keeps the
// calls of the format. Memory and Files: the runtime's streams and no handler.
TOutcome ConvertBy(TPath Path, TWay Way, const std::string& Input, const TSettings& S,
                   std::size_t Skip = 0, const std::string& Prefix = "") {
  vh::TCall C = Base64Call(Way, S);
  C.Skip = Skip;
  C.Prefix = Prefix;
  if (Path != TPath::Files)
    return vh::Run(C, Path == TPath::Observed ? vh::TPath::Observed : vh::TPath::Pieces, Input);
  vt::TempDir Dir;
  vt::WriteFile(Dir / "in", Input);
  TOutcome R;
  {
    rtl::TFileStream Source(Dir / "in", rtl::fmOpenRead);
    rtl::TFileStream Destination(Dir / "out", rtl::fmCreate);
    Destination.WriteBuffer(Prefix.data(), static_cast<std::int64_t>(Prefix.size()));
    R = vh::RunOn(C, vh::TWay::Of(vh::TPath::Pieces), Source, Destination);
    Destination.Close();
  }
  R.Bytes = vt::ReadFile(Dir / "out");
  return R;
}

void ExpectSame(const TOutcome& Want, const TOutcome& Got, const std::string& What) {
  EXPECT_TRUE(Want.Bytes == Got.Bytes)
      << What << ": " << Want.Bytes.size() << " bytes wanted, " << Got.Bytes.size() << " got";
  EXPECT_EQ(Want.Error, Got.Error) << What;
  EXPECT_EQ(Want.SourcePosition, Got.SourcePosition) << What;
  EXPECT_EQ(Want.DestinationPosition, Got.DestinationPosition) << What;
  EXPECT_EQ(Want.Stopped, Got.Stopped) << What;
}

// Every byte value at every place of a group and a line, and text of every short length, with
// the line breaks, spaces and padding that the decoder skips at every place of a group.
TEST_F(Base64Internals, EveryKernelCodesEveryByteAtEveryOffset) {
  std::string AllBytes;
  for (int Round = 0; Round < 3; ++Round)
    for (int B = 0; B < 256; ++B) AllBytes += static_cast<char>((B * 7 + Round * 85) & 0xFF);
  std::vector<std::string> Sources;
  for (std::size_t Shift = 0; Shift < 80; ++Shift) Sources.push_back(AllBytes.substr(Shift));
  for (std::size_t N = 0; N < 200; ++N)
    Sources.push_back(vt::RandomBytes(N, static_cast<std::uint32_t>(N)));
  std::vector<std::string> Texts;
  for (const auto& Source : Sources) {
    const std::string Text = Encoded(Source, {64, true});
    Texts.push_back(Text);
    for (std::size_t Cut = 1; Cut < 9 && Cut < Text.size(); ++Cut) {
      for (const char* Filler : {"\r\n", "\n", " ", "=", "\r\n\r\n"}) {
        std::string T = Text;
        for (std::size_t At = Cut; At < T.size(); At += Cut + 61) T.insert(At, Filler);
        Texts.push_back(T);
      }
    }
  }
  const TSettings Layouts[] = {{76}, {64}, {68}, {132}, {76, true}};
  detail::UseKernelLevel(detail::TqvKernelLevel::Plain);
  std::vector<std::string> Want;
  for (const auto& Source : Sources)
    for (const auto& S : Layouts) Want.push_back(Encoded(Source, S));
  std::vector<std::string> WantDecoded;
  for (const auto& Text : Texts) WantDecoded.push_back(Decoded(Text));
  for (const auto K : detail::KernelLevels()) {
    SCOPED_TRACE(detail::KernelLevelName(K));
    ASSERT_TRUE(detail::UseKernelLevel(K));
    std::size_t I = 0;
    for (const auto& Source : Sources)
      for (const auto& S : Layouts) ASSERT_TRUE(Encoded(Source, S) == Want[I++]) << Source.size();
    for (std::size_t J = 0; J < Texts.size(); ++J) {
      ASSERT_TRUE(Decoded(Texts[J]) == WantDecoded[J]) << J;
      // the in-place decoder of the batches, too
      TSettings Small;
      Small.BatchSize = 37;
      ASSERT_TRUE(Convert(TWay::Decode, Texts[J], Small).Bytes == WantDecoded[J]) << J;
    }
  }
}

TEST_F(Base64Internals, EveryKernelStopsAtTheFirstWrongSymbol) {
  const std::string Text = Encoded(vt::RandomBytes(300, 9), {64});
  const char Wrong[] = {'*', '\t', '\0', '\x80', '\xff', '-', '.', ':', '@', '[', '`', '{', '~'};
  for (const auto K : detail::KernelLevels()) {
    SCOPED_TRACE(detail::KernelLevelName(K));
    for (std::size_t At = 0; At < 140; ++At) {
      std::string T = Text;
      T[At] = Wrong[At % sizeof Wrong];
      for (const auto Policy : {epStop, epContinue}) {
        TSettings S;
        S.ErrorProcessing = Policy;
        S.BatchSize = 50;
        detail::UseKernelLevel(detail::TqvKernelLevel::Plain);
        const TOutcome Want = ConvertBy(TPath::Observed, TWay::Decode, T, S);
        ASSERT_TRUE(detail::UseKernelLevel(K));
        for (const TPath P : {TPath::Observed, TPath::Memory})
          ExpectSame(Want, ConvertBy(P, TWay::Decode, T, S),
                     std::to_string(At) + " " + PathName(P));
      }
    }
  }
}

TEST_F(Base64Internals, UnobservedEncodingMatchesTheObservablePath) {
  const TSettings Layouts[] = {{76}, {64}, {84}, {1000}, {76, true}};
  std::vector<std::size_t> Sizes;
  for (std::size_t N = 1; N < 30; ++N) Sizes.push_back(N);
  for (const std::size_t Around : {56, 57, 99, 100, 114, 171, 300, 1000, 5000})
    for (std::size_t D = 0; D < 5; ++D) Sizes.push_back(Around - 2 + D);
  for (const std::int64_t Piece : {0, 7, 100, 1000}) {
    detail::SetPieceLength(Piece);
    for (const auto K : detail::KernelLevels()) {
      ASSERT_TRUE(detail::UseKernelLevel(K));
      for (const std::size_t N : Sizes) {
        const std::string Input = vt::RandomBytes(N + 3, static_cast<std::uint32_t>(N));
        for (const TSettings& S : Layouts) {
          const std::string What = detail::KernelLevelName(K) + ", piece " +
                                   std::to_string(Piece) + ", N " + std::to_string(N) + ", line " +
                                   std::to_string(S.CharsPerLine) +
                                   (S.SuppressCrlf ? " suppressed" : "");
          const TOutcome Want = ConvertBy(TPath::Observed, TWay::Encode, Input, S, 3, "ab");
          ExpectSame(Want, ConvertBy(TPath::Memory, TWay::Encode, Input, S, 3, "ab"), What);
          if (K == detail::KernelLevels().back() && N % 7 == 0)
            ExpectSame(Want, ConvertBy(TPath::Files, TWay::Encode, Input, S, 3, "ab"),
                       What + " files");
        }
      }
    }
  }
  // Sources of several default pieces, through files.
  detail::SetPieceLength(0);
  for (const std::size_t N : {786431, 786432, 786433, 2359297}) {
    const std::string Input = vt::RandomBytes(N, static_cast<std::uint32_t>(N));
    for (const TSettings& S : {TSettings{76}, TSettings{76, true}}) {
      const TOutcome Want = ConvertBy(TPath::Observed, TWay::Encode, Input, S);
      ExpectSame(Want, ConvertBy(TPath::Files, TWay::Encode, Input, S), std::to_string(N));
    }
  }
}

TEST_F(Base64Internals, UnobservedDecodingMatchesTheObservablePath) {
  // Clean texts in several layouts, and the same with wrong symbols placed around the borders
  // of batches and pieces.
  std::vector<std::string> Texts;
  for (const std::size_t N : {0, 1, 2, 3, 4, 57, 58, 500, 2000}) {
    const std::string Data = vt::RandomBytes(N, static_cast<std::uint32_t>(N + 5));
    Texts.push_back(Encoded(Data));
    Texts.push_back(Encoded(Data, {64, true}) + "==\r\n");
    if (N >= 500) Texts.push_back(PeerEncoded(Data, 5) + " =");
  }
  const std::string Long = Texts[Texts.size() - 3];
  for (const std::size_t At :
       {0,  1,  2,   3,   4,   5,   6,   7,   8,   9,   63,   64,   65,   77,  78,
        79, 99, 100, 101, 127, 128, 129, 255, 256, 999, 1000, 1001, 2663, 2664}) {
    std::string T = Long;
    if (At < T.size()) T[At] = At % 2 ? '*' : '\xc3';
    Texts.push_back(T);
  }
  const std::int32_t Batches[] = {1, 3, 4, 5, 7, 64, 100, 1000, 8192, INT32_MAX};
  for (const std::int64_t Piece : {0, 7, 100, 1000}) {
    detail::SetPieceLength(Piece);
    for (const auto K : detail::KernelLevels()) {
      ASSERT_TRUE(detail::UseKernelLevel(K));
      for (std::size_t J = 0; J < Texts.size(); ++J) {
        for (const std::int32_t Batch : Batches) {
          for (const auto Policy : {epStop, epContinue}) {
            TSettings S;
            S.BatchSize = Batch;
            S.ErrorProcessing = Policy;
            const std::size_t Skip = J % 3 == 0 ? 0 : 2;
            const std::string What = detail::KernelLevelName(K) + ", piece " +
                                     std::to_string(Piece) + ", text " + std::to_string(J) +
                                     ", batch " + std::to_string(Batch) +
                                     (Policy == epStop ? " stop" : " continue");
            const TOutcome Want = ConvertBy(TPath::Observed, TWay::Decode, Texts[J], S, Skip, "xy");
            ExpectSame(Want, ConvertBy(TPath::Memory, TWay::Decode, Texts[J], S, Skip, "xy"), What);
            if (K == detail::KernelLevels().back() && (Batch == 7 || Batch == 8192))
              ExpectSame(Want, ConvertBy(TPath::Files, TWay::Decode, Texts[J], S, Skip, "xy"),
                         What + " files");
          }
        }
      }
    }
  }
  // A text of several default pieces with a wrong symbol near a piece border, through files.
  detail::SetPieceLength(0);
  const std::string Big = Encoded(vt::RandomBytes(2400000, 77));
  for (const std::size_t At :
       {std::size_t{1048575}, std::size_t{1048576}, std::size_t{1056000}, Big.size() - 1}) {
    std::string T = Big;
    T[At] = '!';
    for (const auto Policy : {epStop, epContinue}) {
      TSettings S;
      S.ErrorProcessing = Policy;
      const TOutcome Want = ConvertBy(TPath::Observed, TWay::Decode, T, S);
      ASSERT_TRUE(Want.Error.has_value() == (Policy == epStop));
      ExpectSame(Want, ConvertBy(TPath::Files, TWay::Decode, T, S), std::to_string(At));
      ExpectSame(Want, ConvertBy(TPath::Memory, TWay::Decode, T, S), std::to_string(At));
    }
  }
  ExpectSame(ConvertBy(TPath::Observed, TWay::Decode, Big, {}),
             ConvertBy(TPath::Files, TWay::Decode, Big, {}), "clean");
}

TEST_F(Base64Internals, OneStreamAsSourceAndDestination) {
  // Reads and writes then share one position, so the calls of the format decide the result.
  for (const TWay Way : {TWay::Encode, TWay::Decode}) {
    const std::string Input =
        Way == TWay::Encode ? vt::RandomBytes(20000, 4) : Encoded(vt::RandomBytes(20000, 4));
    TSettings S;
    S.BatchSize = 1000;
    vh::TOutcome Results[2];
    for (const bool Watched : {false, true}) {
      vh::TWay Both = vh::TWay::Of(Watched ? vh::TPath::Observed : vh::TPath::Pieces);
      Both.OneStream = true;
      Results[Watched] = vh::Run(Base64Call(Way, S), Both, Input);
      EXPECT_FALSE(Results[Watched].Error) << *Results[Watched].Error;
    }
    EXPECT_TRUE(Results[0] == Results[1]);
  }
}

} // namespace
