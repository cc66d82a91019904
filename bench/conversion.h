// What the bench's small programs share: the program's conversion between two files, through
// the runtime's file streams, with a method word as the program reads it.
#pragma once

#include <cstdio>
#include <string>

#include "encoder/qvEncoder.h"

inline TqvEncodeMethod MethodOf(const std::string& Word) {
  return Word == "QP"       ? cmQuotedPrintable
         : Word == "BASE64" ? cmBase64
         : Word == "UUE"    ? cmUUEncode
                            : cmNone;
}

// Converts Source into Destination ("E" encodes, anything else decodes); 0, or 1 with the
// error on standard error.
inline int Convert(TqvEncoder& Encoder, const char* Source, const char* Destination,
                   const std::string& Operation) {
  try {
    rtl::TFileStream In(Source, rtl::fmOpenRead);
    rtl::TFileStream Out(Destination, rtl::fmCreate);
    if (Operation == "E")
      Encoder.Encode(In, Out);
    else
      Encoder.Decode(In, Out);
    Out.Close();
  } catch (const rtl::Exception& E) {
    std::fprintf(stderr, "%s: %s\n", E.ClassName(), E.Message().c_str());
    return 1;
  }
  return 0;
}
