// Helpers that the frame and the codec sources share. Not installed.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <typeinfo>

#include "encoder/qvEncoder.h"

namespace vexor::detail {

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
  TqvBlock() = default;
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

// The bytes from the source's position to its end, or -1 when the source cannot tell without
// being read to its end (see TStream::SizeKnown).
std::int64_t PieceTotal(rtl::TStream& Source);

// Reads until Count bytes are in or the source has ended (a Read of 0); returns the count.
// Streams may deliver fewer bytes than asked at any call.
std::int64_t ReadFull(rtl::TStream& Source, void* Buffer, std::int64_t Count);

// The progress reports of a piece path: (0, Total) when it is made, (coded so far, Total) after
// each piece but the last, and (Total, Total) at Finish; with a Total of -1 (a source of unknown
// size) Finish reports the bytes coded as both numbers. Every report goes through
// ReportProgress on the calling thread.
class TqvProgress {
public:
  TqvProgress(TqvEncoder& Encoder, std::int64_t Total);
  void Coded(std::int64_t Bytes);
  void Finish(std::int64_t Bytes);
  // Whether anybody sees the reports (a handler, or a class derived from TqvEncoder); a path
  // may then hand over its text at every report, so that the destination holds what was
  // reported when a handler raises.
  bool Observed() const noexcept { return FObserved; }
  std::int64_t Total() const noexcept { return FTotal; }

private:
  TqvEncoder& FEncoder;
  std::int64_t FTotal;
  bool FObserved;
};

// Reaches the private members of TqvEncoder, for the codec sources and white-box tests.
struct TqvEncoderAccess {
  struct Codecs; // the dispatch tables of Encode and Decode
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

  // Whether a codec moves pieces instead of the stream calls its format fixes: when the caller
  // asks for it (Streaming), or when no caller can observe how the bytes travel (the encoder
  // is exactly a TqvEncoder, so ReportProgress is the plain one, no handler is set, and both
  // streams are the runtime's own classes). Never for a stream that is its own destination: its
  // reads and writes interleave, and only the calls of the format give the same result.
  static bool PiecePath(const TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) {
    if (&S == &D) return false;
    return E.Streaming || (typeid(E) == typeid(TqvEncoder) && !E.OnProgress &&
                           IsRuntimeStream(S) && IsRuntimeStream(D));
  }
  // A source that cannot tell its size without being read whole (a pipe), on a piece path:
  // it is read to its end as it arrives, and never asked for its size.
  static bool ReadAsItArrives(const TqvEncoder& E, rtl::TStream& S, rtl::TStream& D) {
    return !S.SizeKnown() && PiecePath(E, S, D);
  }
  static bool Observed(const TqvEncoder& E) {
    return typeid(E) != typeid(TqvEncoder) || static_cast<bool>(E.OnProgress);
  }
  static bool IsRuntimeStream(rtl::TStream& S) {
    return typeid(S) == typeid(rtl::TFileStream) || typeid(S) == typeid(rtl::TMemoryStream);
  }
};

} // namespace vexor::detail
