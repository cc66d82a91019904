// TqvEncoder: converts one byte stream into another with Base64, quoted-printable or
// UUencode, or copies it unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "runtime/classes.h"
#include "runtime/streams.h"
#include "runtime/sysutils.h"

// The coding methods. Any number may be stored in EncodeMethod; Encode and Decode refuse one
// above cm8Bit.
enum TqvEncodeMethod : std::uint8_t {
  cmNone,            // plain copy
  cmQuotedPrintable, // quoted-printable
  cmBase64,          // Base64 (the default)
  cmUUEncode,        // UUencoded body
  cm8Bit             // plain copy
};

// What the Base64 decoder does with a byte outside its alphabet.
enum TqvEncodeErrorProcessing : std::uint8_t {
  epStop,    // raise EqvEncoderError -2
  epContinue // end decoding quietly at that byte
};

// Progress: Sender is the encoder, ABytesProceed how far the operation has come,
// ATotalBytes the amount it reports against.
using TqvProgressEvent =
    std::function<void(rtl::TObject* Sender, std::int64_t ABytesProceed, std::int64_t ATotalBytes)>;

// The component's own error: -1 "Unsupported format.", -2 "Wrong symbols in source stream.",
// -3 "UUencoded line too long.".
class EqvEncoderError : public rtl::Exception {
public:
  EqvEncoderError(const std::string& Message, std::int32_t ErrorCode)
      : rtl::Exception(Message), ErrorCode(ErrorCode) {}
  const char* ClassName() const noexcept override { return "EqvEncoderError"; }

  std::int32_t ErrorCode;
};

// Creates and raises an EqvEncoderError.
[[noreturn]] void RaiseEncoderError(const std::string& Message, std::int32_t Code);

namespace vexor::detail {
struct TqvEncoderAccess; // the codecs' internal helpers and white-box tests
}

class TqvEncoder : public rtl::TComponent {
public:
  explicit TqvEncoder(rtl::TComponent* AOwner = nullptr);

  // Code the source from its position to its end into the destination at its position.
  // Nothing happens when nothing remains in the source.
  void Encode(rtl::TStream& Source, rtl::TStream& Destination);
  void Decode(rtl::TStream& Source, rtl::TStream& Destination);

  // The line length that the encoders use for the current EncodeMethod and CharsPerLine.
  std::int32_t GetEffectiveCharsPerLine() const;

  // Published properties: plain members, any value is stored as it is.
  TqvEncodeMethod EncodeMethod = cmBase64;
  std::int32_t CharsPerLine = 76;
  bool SuppressCrlf = false;
  std::int32_t BatchSize = 8192;                     // read batch of the Base64 decoder
  // Progress: (0, N) first, then reports of how far the call has come, N being the bytes to
  // code. Without Streaming a handler (or a derived class, or streams of the caller's own) makes
  // every codec use exactly the stream calls of its format, holding a whole source in memory
  // for Base64 encoding and for UUencode.
  TqvProgressEvent OnProgress; // not set
  // Streaming trades the exact stream calls for constant memory and speed: every codec reads and
  // writes pieces of about a megabyte, with the same bytes, errors and final positions, and
  // reports (0, N), then (source bytes coded so far, N) after each piece, and (N, N) last, all on
  // the calling thread. A source that cannot tell its size (a pipe, a device) reports N as -1
  // until the last report, which is (bytes coded, bytes coded).
  bool Streaming = false;
  bool AllowESC = false;                             // stored, read by no operation
  std::string CharSet;                               // stored, read by no operation
  TqvEncodeErrorProcessing ErrorProcessing = epStop; // Base64 decoder only

protected:
  // Calls OnProgress when it is set. A derived class may replace it.
  virtual void ReportProgress(std::int64_t ABytesProceed, std::int64_t ATotalBytes);

private:
  friend struct vexor::detail::TqvEncoderAccess;

  void CopyPlain(rtl::TStream& Source, rtl::TStream& Destination);
  void EncodeBase64(rtl::TStream& Source, rtl::TStream& Destination);
  void DecodeBase64(rtl::TStream& Source, rtl::TStream& Destination);
  std::int32_t DecodeBase64Chunk(std::uint8_t* Buffer, std::int32_t Count,
                                 std::uint8_t& QuadPosition, std::uint8_t& PartialByte);
  void EncodeQP(rtl::TStream& Source, rtl::TStream& Destination);
  void DecodeQP(rtl::TStream& Source, rtl::TStream& Destination);
  void ReadLine(rtl::TStream& Source, bool& EndFlag, std::int32_t& BreakCount, std::string& Line);
  void EncodeUUE(rtl::TStream& Source, rtl::TStream& Destination);
  void DecodeUUE(rtl::TStream& Source, rtl::TStream& Destination);

  bool DecodeStopped = false;
};
