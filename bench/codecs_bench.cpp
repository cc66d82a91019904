// Throughput of the six codecs over memory streams.
//
// Each benchmark codes one input from a TMemoryStream into another TMemoryStream. The streams
// live across iterations (the destination is cleared, keeping its capacity), so what is timed
// is the codec and the stream calls it makes, not fresh memory for the result. Bytes processed
// are the plain (decoded) bytes in both directions, so that encoder and decoder rates of one
// method compare directly with each other and with bench/run.sh.
//
// The "Observed" variants set an OnProgress handler. A handler makes the stream calls visible
// to the caller, so the codec must take the path whose calls its format fixes (one Read and one
// Write, batches, or one-byte calls) instead of moving whole pieces.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>

#include "encoder/qvEncoder.h"

namespace {

// A fixed-seed generator: the inputs are the same in every run.
class TXorShift {
public:
  explicit TXorShift(std::uint64_t Seed) : FState(Seed) {}
  std::uint64_t Next() {
    FState ^= FState << 13;
    FState ^= FState >> 7;
    FState ^= FState << 17;
    return FState;
  }

private:
  std::uint64_t FState;
};

std::string RandomBytes(std::size_t Count) {
  TXorShift Rng(0x9E3779B97F4A7C15u);
  std::string Bytes(Count, '\0');
  for (std::size_t I = 0; I < Count; I += 8) {
    std::uint64_t Word = Rng.Next();
    for (std::size_t J = I; J < Count && J < I + 8; ++J, Word >>= 8)
      Bytes[J] = static_cast<char>(Word & 0xFF);
  }
  return Bytes;
}

// Text of CR LF lines (about 63 characters on average, a good share longer than one encoded
// line) with "=", tabs, spaces and 8-bit bytes among printable ASCII: the mix that makes a
// quoted-printable codec escape, break soft lines and pass line breaks. bench/run.sh builds its
// text from the same proportions.
std::string QPText(std::size_t Count) {
  static const std::string Printable = [] {
    std::string S;
    for (int C = 0x21; C <= 0x7E; ++C)
      if (C != '=') S += static_cast<char>(C);
    return S;
  }();
  TXorShift Rng(0xD1B54A32D192ED03u);
  std::string Text;
  Text.reserve(Count + 1);
  while (Text.size() < Count) {
    const auto U = static_cast<unsigned>(Rng.Next() >> 56);
    if (U < 5)
      Text += '=';
    else if (U < 10)
      Text += '\t';
    else if (U < 26)
      Text += static_cast<char>(0x80 + (U - 10) * 8);
    else if (U < 30)
      Text += "\r\n";
    else if (U < 46)
      Text += ' ';
    else
      Text += Printable[(U - 46) % Printable.size()];
  }
  Text.resize(Count);
  if (Text.back() == '\r') Text.back() = 'x'; // no lone CR at the end
  return Text;
}

std::string Code(TqvEncodeMethod Method, bool Encode, const std::string& Input) {
  TqvEncoder E;
  E.EncodeMethod = Method;
  rtl::TMemoryStream Source(Input), Destination;
  if (Encode)
    E.Encode(Source, Destination);
  else
    E.Decode(Source, Destination);
  return std::string(Destination.Bytes());
}

void BM_Codec(benchmark::State& State, TqvEncodeMethod Method, bool Encode, bool Observed) {
  const auto Size = static_cast<std::size_t>(State.range(0));
  std::string Plain, Input;
  try {
    Plain = Method == cmQuotedPrintable ? QPText(Size) : RandomBytes(Size);
    Input = Encode ? Plain : Code(Method, true, Plain);
  } catch (const rtl::Exception& Error) {
    State.SkipWithError(Error.Message().c_str());
    return;
  }

  TqvEncoder E;
  E.EncodeMethod = Method;
  std::int64_t Reports = 0;
  if (Observed) E.OnProgress = [&Reports](rtl::TObject*, std::int64_t, std::int64_t) { ++Reports; };
  rtl::TMemoryStream Source(Input), Destination;

  try {
    for (auto _ : State) {
      Source.SetPosition(0);
      Destination.Clear();
      if (Encode)
        E.Encode(Source, Destination);
      else
        E.Decode(Source, Destination);
      benchmark::DoNotOptimize(Destination.Bytes().data());
      benchmark::ClobberMemory();
    }
  } catch (const rtl::Exception& Error) {
    State.SkipWithError(Error.Message().c_str());
    return;
  }

  // A fast codec that codes wrongly measures nothing: the last result must be exact.
  if (!Encode && Destination.Bytes() != Plain) {
    State.SkipWithError("decoded bytes differ from the plain input");
    return;
  }
  if (Encode && Code(Method, false, std::string(Destination.Bytes())) != Plain) {
    State.SkipWithError("encoded text does not decode back to the plain input");
    return;
  }

  State.SetBytesProcessed(static_cast<std::int64_t>(State.iterations()) *
                          static_cast<std::int64_t>(Size));
  State.counters["text_bytes"] =
      static_cast<double>(Encode ? Destination.Bytes().size() : Input.size());
  if (Observed)
    State.counters["reports"] =
        static_cast<double>(Reports) / static_cast<double>(State.iterations());
}

void RegisterAll() {
  const std::pair<TqvEncodeMethod, const char*> Methods[] = {
      {cmBase64, "Base64"}, {cmQuotedPrintable, "QP"}, {cmUUEncode, "UUE"}};
  for (const bool Observed : {false, true})
    for (const auto& [Method, Name] : Methods)
      for (const bool Encode : {true, false}) {
        std::string Title = std::string(Encode ? "Encode" : "Decode") + "/" + Name;
        if (Observed) Title += "/Observed";
        benchmark::RegisterBenchmark(Title.c_str(), BM_Codec, Method, Encode, Observed)
            ->Arg(1 << 10)
            ->Arg(64 << 10)
            ->Arg(1 << 20)
            ->Arg(16 << 20)
            ->Unit(benchmark::kMicrosecond);
      }
}

} // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
