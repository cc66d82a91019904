// Helpers that the codec sources share. Not installed.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <typeinfo>

#include "encoder/qvEncoder.h"

namespace detail {

// The module's translatable messages, fetched when an error is raised.
enum class TqvMessage { UnsupportedFormat, WrongSymbols, LineTooLong };
const char* LoadMessage(TqvMessage Id);

// Keeps the low 8 bits of an integer.
constexpr std::uint8_t LoByte(std::int64_t Value) noexcept {
  return static_cast<std::uint8_t>(Value & 0xFF);
}

// A working buffer. A request of 0 bytes or less gives no block; one that cannot be met raises
// EOutOfMemory. Released when it goes out of scope, also when an exception passes.
class TqvBlock {
public:
  explicit TqvBlock(std::int64_t Count) {
    if (Count <= 0) return;
    try {
      FData.reset(new std::uint8_t[static_cast<std::size_t>(Count)]);
    } catch (const std::bad_alloc&) {
      throw rtl::EOutOfMemory(rtl::SOutOfMemory);
    }
  }
  std::uint8_t* Data() const noexcept { return FData.get(); }

private:
  std::unique_ptr<std::uint8_t[]> FData;
};

// Reaches the private members of TqvEncoder, for the codec sources and white-box tests.
struct TqvEncoderAccess {
  struct Codecs; // the dispatch tables of Encode and Decode
  static void CopyPlain(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.CopyPlain(S, D); }
  static void EncodeBase64(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) {
    E.EncodeBase64(S, D);
  }
  static void DecodeBase64(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) {
    E.DecodeBase64(S, D);
  }
  static void EncodeQP(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.EncodeQP(S, D); }
  static void DecodeQP(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.DecodeQP(S, D); }
  static void EncodeUUE(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.EncodeUUE(S, D); }
  static void DecodeUUE(TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) { E.DecodeUUE(S, D); }
  static bool& DecodeStopped(TqvEncoder& E) { return E.DecodeStopped; }
  static void ReportProgress(TqvEncoder& E, std::int64_t Done, std::int64_t Total) {
    E.ReportProgress(Done, Total);
  }

  // True when no caller can observe how the bytes travel: the encoder is exactly a TqvEncoder
  // (so ReportProgress is the plain one), no handler is set, and both streams are the runtime's
  // own classes. A codec may then move whole pieces instead of the calls its format fixes.
  static bool Unobserved(const TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) {
    return typeid(E) == typeid(TqvEncoder) && !E.OnProgress && IsRuntimeStream(S) &&
           IsRuntimeStream(D);
  }
  static bool IsRuntimeStream(rtl::TStream& S) {
    return typeid(S) == typeid(rtl::TFileStream) || typeid(S) == typeid(rtl::TMemoryStream);
  }
};

} // namespace detail
