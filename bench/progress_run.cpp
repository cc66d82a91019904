// The component as an application that shows progress uses it: one conversion between two files
// through the runtime's file streams, with an OnProgress handler set.
//
//   progress_run SRC DST E|D QP|BASE64|UUE [streaming]
//
// With "streaming" the encoder's Streaming property is set, so the codecs move pieces; without
// it the handler makes them use the stream calls of their formats. The handler only counts the
// reports, which are printed to standard error at the end with the last one.
#include <cstdint>
#include <cstdio>
#include <string>

#include "bench/conversion.h"
#include "encoder/qvEncoder.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: progress_run SRC DST E|D QP|BASE64|UUE [streaming]\n");
    return 2;
  }
  const std::string Method = argv[4];
  TqvEncoder Encoder;
  Encoder.EncodeMethod = MethodOf(Method);
  Encoder.Streaming = argc > 5 && std::string(argv[5]) == "streaming";
  std::int64_t Reports = 0, LastDone = 0, LastTotal = 0;
  Encoder.OnProgress = [&](rtl::TObject*, std::int64_t Done, std::int64_t Total) {
    ++Reports;
    LastDone = Done;
    LastTotal = Total;
  };
  if (Convert(Encoder, argv[1], argv[2], argv[3]) != 0) return 1;
  std::fprintf(stderr, "%lld reports, the last (%lld, %lld)\n", static_cast<long long>(Reports),
               static_cast<long long>(LastDone), static_cast<long long>(LastTotal));
  return 0;
}
