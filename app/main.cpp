// vexor SRC DST E|D QP|BASE64|UUE: converts one file into, or back from, one encoding.
#include <memory>
#include <string>
#include <vector>

#include "app/ParseEncodeMethod.h"
#include "app/System.h"
#include "encoder/qvEncoder.h"
#include "app/ErrorReport.h"
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
  const int Say = rtl::DoneHandle(Destination->Handle());
  // A full disk must end the run before "Done.", so the last bytes are handed over here.
  Destination->Close();
  if (Say >= 0) rtl::WriteLn("Done.", Say);
}

} // namespace

int main(int argc, char** argv) {
  rtl::PrepareProcess();
  try {
    const std::vector<std::string> Args = rtl::ProgramArguments(argc, argv);
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
