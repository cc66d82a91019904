#include "app/ParseEncodeMethod.h"

TqvEncodeMethod ParseEncodeMethod(const std::string& Word) {
  if (Word == "QP" || Word == "Q") return cmQuotedPrintable;
  if (Word == "BASE64" || Word == "B") return cmBase64;
  if (Word == "UUE" || Word == "U") return cmUUEncode;
  return cmNone;
}
