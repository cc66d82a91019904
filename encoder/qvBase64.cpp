// The Base64 codec pair: the encoder, which codes the whole remainder of its source in memory,
// and the decoder, which works through the source in batches of BatchSize bytes.
#include <algorithm>
#include <array>
#include <cstdint>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One entry per byte value: 1 + its 6-bit code for the 64 alphabet characters, 0 for every other
// byte, "=", CR, LF and space included (those are dealt with before the table is asked).
constexpr std::array<std::uint8_t, 256> DecodeTable = [] {
  std::array<std::uint8_t, 256> T{};
  for (int I = 0; I < 64; ++I)
    T[static_cast<unsigned char>(Alphabet[I])] = static_cast<std::uint8_t>(I + 1);
  return T;
}();

// The bytes that a text may hold anywhere without their being part of a group.
constexpr bool IsSkipped(std::uint8_t C) noexcept {
  return C == '\n' || C == '\r' || C == ' ' || C == '=';
}

// --- Encoding ---

// The layout of a text: a CR LF before every LineBytes source bytes but the first ones, or
// none at all when LineBytes is 0. LineBytes is a multiple of 3 whenever it is not 0.
std::int64_t TextLength(std::int64_t N, std::int64_t LineBytes) {
  const std::int64_t Chars = 4 * ((N + 2) / 3);
  if (LineBytes == 0 || N == 0) return Chars;
  return Chars + 2 * ((N + LineBytes - 1) / LineBytes - 1);
}

// The four characters of one group of three bytes.
inline void EncodeGroup(const std::uint8_t* In, std::uint8_t* Out) noexcept {
  const std::uint32_t V = std::uint32_t{In[0]} << 16 | std::uint32_t{In[1]} << 8 | In[2];
  Out[0] = static_cast<std::uint8_t>(Alphabet[V >> 18]);
  Out[1] = static_cast<std::uint8_t>(Alphabet[(V >> 12) & 63]);
  Out[2] = static_cast<std::uint8_t>(Alphabet[(V >> 6) & 63]);
  Out[3] = static_cast<std::uint8_t>(Alphabet[V & 63]);
}

// The group that the last one or two bytes of a source give, padded with "=".
inline void EncodeLastGroup(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out) {
  const std::uint8_t Rest[3] = {In[0], Count > 1 ? In[1] : std::uint8_t{0}, 0};
  EncodeGroup(Rest, Out);
  Out[3] = '=';
  if (Count == 1) Out[2] = '=';
}

// Writes the text of Count source bytes that follow the first Done bytes of the same source, in
// the layout of LineBytes; returns the number of characters written. Done is a multiple of 3,
// and so is Count unless these are the last bytes of the source. The text of a whole source is
// the same whichever way it is cut into such pieces.
std::int64_t EncodePiece(const std::uint8_t* In, std::int64_t Count, std::int64_t Done,
                         std::int64_t LineBytes, std::uint8_t* Out) {
  std::uint8_t* O = Out;
  while (Count > 0) {
    std::int64_t Run = Count;
    if (LineBytes > 0) {
      const std::int64_t Column = Done % LineBytes;
      if (Column == 0 && Done > 0) {
        *O++ = '\r';
        *O++ = '\n';
      }
      Run = std::min(Count, LineBytes - Column);
    }
    const std::int64_t Groups = Run / 3;
    for (std::int64_t G = 0; G < Groups; ++G, In += 3, O += 4) EncodeGroup(In, O);
    if (Run % 3 != 0) { // only the very end of a source ends inside a group
      EncodeLastGroup(In, Run % 3, O);
      return O + 4 - Out;
    }
    Done += Run;
    Count -= Run;
  }
  return O - Out;
}

// --- Decoding ---

struct TDecodeResult {
  std::int64_t Read = 0;    // text bytes taken
  std::int64_t Written = 0; // bytes decoded
  bool WrongSymbol = false; // stopped at In[Read], which belongs to no Base64 text
};

// Decodes the Count text bytes at In into Out, carrying the group state across calls. Out may
// be In: a byte is stored only after the characters that make it have been read, so the output
// never overtakes the input. Stops at the first wrong symbol.
TDecodeResult DecodeText(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                         std::uint8_t& QuadPosition, std::uint8_t& PartialByte) {
  TDecodeResult R;
  std::uint8_t Quad = QuadPosition, Partial = PartialByte;
  std::int64_t I = 0, O = 0;
  for (; I < Count; ++I) {
    const std::uint8_t C = In[I];
    if (IsSkipped(C)) continue;
    const std::uint8_t Entry = DecodeTable[C];
    if (Entry == 0) {
      R.WrongSymbol = true;
      break;
    }
    const auto V = static_cast<std::uint8_t>(Entry - 1);
    switch (Quad) {
    case 0:
      Partial = detail::LoByte(V << 2);
      Quad = 1;
      break;
    case 1:
      Out[O++] = static_cast<std::uint8_t>(Partial | V >> 4);
      Partial = detail::LoByte(V << 4);
      Quad = 2;
      break;
    case 2:
      Out[O++] = static_cast<std::uint8_t>(Partial | V >> 2);
      Partial = detail::LoByte(V << 6);
      Quad = 3;
      break;
    default:
      Out[O++] = static_cast<std::uint8_t>(Partial | V);
      Quad = 0;
      break;
    }
  }
  QuadPosition = Quad;
  PartialByte = Partial;
  R.Read = I;
  R.Written = O;
  return R;
}

} // namespace

void TqvEncoder::EncodeBase64(rtl::TStream& Source, rtl::TStream& Destination) {
  const std::int64_t Size = Source.Size();
  const std::int64_t N = Size - Source.Position();
  ReportProgress(0, N);
  if (N <= 0) return;
  const std::int64_t LineBytes =
      SuppressCrlf ? 0 : 3 * std::int64_t{GetEffectiveCharsPerLine()} / 4;
  const std::int64_t T = TextLength(N, LineBytes);

  detail::TqvBlock Input(N);
  detail::TqvBlock Text(T);
  // A stream may deliver the remainder in several pieces; one that delivers less than its size
  // promised raises rather than leave part of the buffer unread.
  Source.ReadBuffer(Input.Data(), N);

  // The progress checkpoints fall before the characters with indexes 1, S + 1, 2S + 1, ... of
  // the text and report values from just above N / 2 towards N. The text is coded in slices so
  // that each report follows the work that it stands for.
  const std::int64_t Spacing = T / 1000, Half = N / 2;
  std::int64_t Checkpoint = 0;
  auto ReportCheckpointsBefore = [&](std::int64_t CharsDone) {
    if (Spacing <= 0) return;
    for (; Checkpoint * Spacing + 1 < CharsDone; ++Checkpoint) {
      const std::int64_t Value = Half + 1 + Checkpoint * Half / 1000;
      if (Value < N) ReportProgress(Value, N);
    }
  };
  const std::int64_t Slice = std::max<std::int64_t>(3 * 16384, (N / 1000 + 2) / 3 * 3);
  std::int64_t Done = 0, CharsDone = 0;
  while (Done < N) {
    const std::int64_t Count = std::min(Slice, N - Done);
    CharsDone += EncodePiece(Input.Data() + Done, Count, Done, LineBytes, Text.Data() + CharsDone);
    Done += Count;
    ReportCheckpointsBefore(CharsDone);
  }

  Destination.WriteBuffer(Text.Data(), T);
  ReportProgress(N, N);
}

void TqvEncoder::DecodeBase64(rtl::TStream& Source, rtl::TStream& Destination) {
  const std::int64_t Size = Source.Size();
  const std::int64_t Total = Size - Source.Position();
  const std::int64_t Start = Source.Position();
  ReportProgress(0, Total);
  const std::int64_t Batch = std::min<std::int64_t>(BatchSize, Total);

  detail::TqvBlock Buffer(Batch);
  std::uint8_t QuadPosition = 0, PartialByte = 0;
  DecodeStopped = false;
  // A batch length of 0 or less reads nothing.
  auto ReadBatch = [&]() -> std::int64_t {
    if (Batch <= 0) return 0;
    return std::min(Source.Read(Buffer.Data(), Batch), Batch);
  };
  std::int64_t Count = ReadBatch();
  while (Count > 0 && !DecodeStopped) {
    const std::int32_t Decoded = DecodeBase64Chunk(Buffer.Data(), static_cast<std::int32_t>(Count),
                                                   QuadPosition, PartialByte);
    if (Decoded > 0) Destination.WriteBuffer(Buffer.Data(), Decoded);
    Count = ReadBatch();
    const std::int64_t Position = Source.Position();
    ReportProgress(Position - Start, Total);
  }
}

std::int32_t TqvEncoder::DecodeBase64Chunk(std::uint8_t* Buffer, std::int32_t Count,
                                           std::uint8_t& QuadPosition, std::uint8_t& PartialByte) {
  const TDecodeResult R = DecodeText(Buffer, Count, Buffer, QuadPosition, PartialByte);
  if (R.WrongSymbol) {
    // Any policy but epContinue stops with the error: a value outside the enumeration must not
    // lose the rest of the text without a word.
    if (ErrorProcessing != epContinue)
      RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::WrongSymbols), -2);
    DecodeStopped = true;
  }
  return static_cast<std::int32_t>(R.Written);
}
