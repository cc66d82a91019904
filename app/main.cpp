// vexor SRC DST E|D QP|BASE64|UUE: converts one file into, or back from, one encoding.
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/ParseEncodeMethod.h"
#include "encoder/qvEncoder.h"
#include "app/ErrorReport.h"
#include "runtime/streams.h"

namespace {

bool SameFile(int Handle, const struct stat& File) {
  struct stat St {};
  return ::fstat(Handle, &St) == 0 && St.st_dev == File.st_dev && St.st_ino == File.st_ino;
}

// Where "Done." goes: standard output, unless the destination is standard output (a pipe, a
// terminal or a file), which then carries the coded bytes alone; standard error in that case,
// unless it is the destination too. Returns -1 for nowhere.
int DoneHandle(int Destination) {
  struct stat File {};
  if (::fstat(Destination, &File) != 0 || !SameFile(STDOUT_FILENO, File)) return STDOUT_FILENO;
  return SameFile(STDERR_FILENO, File) ? -1 : STDERR_FILENO;
}

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
  const int Say = DoneHandle(Destination->Handle());
  // A full disk must end the run before "Done.", so the last bytes are handed over here.
  Destination->Close();
  if (Say >= 0) rtl::WriteLn("Done.", Say);
}

// A standard handle that the caller closed is taken by /dev/null, so that no file this run opens
// can land on it. Output handles get it read-only, so writing there still fails as writing to a
// closed handle does; a closed input simply has nothing to read, like one at its end.
void GuardStandardHandles() {
  for (int Handle = 0; Handle <= 2; ++Handle) {
    if (::fcntl(Handle, F_GETFD) != -1) continue;
    const int Null = ::open("/dev/null", O_RDONLY);
    if (Null >= 0 && Null != Handle) {
      ::dup2(Null, Handle);
      ::close(Null);
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  // A reader that has gone away is a write error that we report, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  GuardStandardHandles();
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
