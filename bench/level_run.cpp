// The program's conversion with the codecs' inner loops held at one kernel level, so that the
// bench can show what a processor without AVX-512, or without any vector unit we use, gets:
//
//   level_run plain|avx2|avx512 SRC DST E|D QP|BASE64|UUE
//
// Everything else is as in the program: the runtime's file streams, no handler, the destination
// closed before the end. Fails when the processor cannot run the level.
#include <cstdio>
#include <string>

#include "encoder/kernels/qvKernels.h"
#include "bench/conversion.h"
#include "encoder/qvEncoder.h"

int main(int argc, char** argv) {
  namespace detail = vexor::detail;
  if (argc < 6) {
    std::fprintf(stderr, "usage: level_run plain|avx2|avx512 SRC DST E|D QP|BASE64|UUE\n");
    return 2;
  }
  const std::string Level = argv[1], Method = argv[5];
  const detail::TqvKernelLevel Wanted = Level == "avx512" ? detail::TqvKernelLevel::Avx512
                                        : Level == "avx2" ? detail::TqvKernelLevel::Avx2
                                                          : detail::TqvKernelLevel::Plain;
  if (!detail::UseKernelLevel(Wanted)) {
    std::fprintf(stderr, "this processor does not run the %s loops\n", Level.c_str());
    return 3;
  }
  TqvEncoder Encoder;
  Encoder.EncodeMethod = MethodOf(Method);
  return Convert(Encoder, argv[2], argv[3], argv[4]);
}
