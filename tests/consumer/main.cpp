// Uses the installed component through its public headers only: a plain copy and the refusal of
// an unknown method (the frame), and Base64 through memory and file streams when the library
// has that codec.
#include <cstdio>
#include <string>

#include "encoder/qvEncoder.h"

namespace {

int Failures = 0;

void Check(bool Ok, const std::string& What) {
  if (!Ok) {
    std::fprintf(stderr, "consumer: %s\n", What.c_str());
    ++Failures;
  }
}

std::string Coded(TqvEncoder& Encoder, bool Encode, const std::string& Input) {
  rtl::TMemoryStream Source(Input), Destination;
  if (Encode)
    Encoder.Encode(Source, Destination);
  else
    Encoder.Decode(Source, Destination);
  return std::string(Destination.Bytes());
}

// Base64 of "abc", through files written and read with the library's own file stream.
void CheckBase64(TqvEncoder& Encoder, const std::string& Dir) {
  const std::string Name = Dir + "/consumer.bin";
  {
    rtl::TFileStream Out(Name, rtl::fmCreate);
    Out.WriteBuffer("abc", 3);
    Out.Close();
  }
  rtl::TFileStream In(Name, rtl::fmOpenRead);
  rtl::TMemoryStream Text;
  std::int64_t Last = -1;
  Encoder.OnProgress = [&Last](rtl::TObject*, std::int64_t Done, std::int64_t) { Last = Done; };
  Encoder.EncodeMethod = cmBase64;
  Encoder.Encode(In, Text);
  Encoder.OnProgress = nullptr;
  Check(Text.Bytes() == "YWJj", "Base64 of \"abc\" is \"" + std::string(Text.Bytes()) + "\"");
  Check(Last == 3, "the last progress report is not (3, 3)");
  Check(Coded(Encoder, false, "YWJj") == "abc", "\"YWJj\" does not decode to \"abc\"");
  try {
    Coded(Encoder, false, "YW*j");
    Check(false, "bad Base64 text raised nothing");
  } catch (const EqvEncoderError& E) {
    Check(E.ErrorCode == -2, "bad Base64 text gave code " + std::to_string(E.ErrorCode));
  }
}

bool HasBase64(TqvEncoder& Encoder) {
  Encoder.EncodeMethod = cmBase64;
  try {
    Coded(Encoder, true, "abc");
    return true;
  } catch (const EqvEncoderError&) {
    throw; // the component's own error is a real answer, not a missing codec
  } catch (const rtl::Exception& E) {
    std::printf("consumer: no Base64 in this build (%s); plain copy only\n", E.Message().c_str());
    return false;
  }
}

} // namespace

int main(int argc, char** argv) {
  const std::string Dir = argc > 1 ? argv[1] : ".";
  try {
    TqvEncoder Encoder;
    Encoder.EncodeMethod = cmNone;
    const std::string Bytes("a\0b\r\n\xFF", 6);
    Check(Coded(Encoder, true, Bytes) == Bytes, "the plain copy changed the bytes");

    Encoder.EncodeMethod = static_cast<TqvEncodeMethod>(5);
    try {
      Coded(Encoder, true, "abc");
      Check(false, "method 5 raised nothing");
    } catch (const EqvEncoderError& E) {
      Check(E.ErrorCode == -1 && E.Message() == "Unsupported format.",
            "method 5 gave " + std::to_string(E.ErrorCode) + " \"" + E.Message() + "\"");
    }

    if (HasBase64(Encoder)) CheckBase64(Encoder, Dir);
  } catch (const rtl::Exception& E) {
    std::fprintf(stderr, "consumer: %s: %s\n", E.ClassName(), E.Message().c_str());
    return 1;
  }
  if (Failures == 0) std::printf("consumer: ok\n");
  return Failures == 0 ? 0 : 1;
}
