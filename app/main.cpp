// vexor SRC DST E|D QP|BASE64|UUE: converts one file into, or back from, one encoding.
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "app/ParseEncodeMethod.h"
#include "encoder/qvEncoder.h"
#include "runtime/errorreport.h"
#include "runtime/streams.h"

namespace {

void Run(const std::vector<std::string>& Args) {
  // Declared in this order so that they are freed destination, source, encoder, on every path.
  auto Encoder = std::make_unique<TqvEncoder>(nullptr);
  auto Source = std::make_unique<rtl::TFileStream>(Args[0], rtl::fmOpenRead);
  auto Destination = std::make_unique<rtl::TFileStream>(Args[1], rtl::fmCreate);
  Encoder->EncodeMethod = ParseEncodeMethod(Args[3]);
  if (Args[2] == "E")
    Encoder->Encode(*Source, *Destination);
  else
    Encoder->Decode(*Source, *Destination);
  // A full disk must end the run before "Done.", so the last bytes are handed over here.
  Destination->Close();
  rtl::WriteLn("Done.");
}

} // namespace

int main(int argc, char** argv) {
  // A reader that has gone away is a write error that we report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    // The shell has split the line and removed the quotes; an empty argument is not counted.
    std::vector<std::string> Args;
    for (int I = 1; I < argc; ++I)
      if (argv[I][0] != '\0') Args.emplace_back(argv[I]);
    if (Args.size() < 4) {
      rtl::WriteLn("This console app encodes / decodes files in Base64, Quoted-Printable, and "
                   "UUEncode formats.");
      rtl::WriteLn("Usage: Vexor.exe srcfile destfile operation[E][D] method[QP][BASE64][UUE]");
      rtl::WriteLn("Press Enter to continue...");
      rtl::ReadChar();
      return 0;
    }
    Run(Args);
    return 0;
  } catch (...) {
    return rtl::ShowException(std::current_exception());
  }
}
