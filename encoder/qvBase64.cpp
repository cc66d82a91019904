// The Base64 codec pair: the encoder, which codes the whole remainder of its source in memory,
// and the decoder, which works through the source in batches of BatchSize bytes.
//
// What a text looks like is decided in two routines, EncodePiece and DecodeText, that code one
// piece of a source with explicit carried state. Both ways of moving the bytes use them: the
// stream calls that a caller can watch (one Read and one Write for the encoder, batches for the
// decoder), and whole pieces of about a megabyte when nobody can watch or the caller asks for
// them (see TqvEncoderAccess::PiecePath), which keeps memory small and the file system's copies
// cheap.
// Inside the two routines, inner loops ("kernels", encoder/kernels/) code whole groups of clean
// text; every other byte goes through the one simple step that holds the rules.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "encoder/qvEncoder.h"
#include "encoder/qvEncoderInternal.h"
#include "encoder/qvThreads.h"
#include "encoder/kernels/qvKernelTables.h"
#include "encoder/kernels/qvKernels.h"

namespace detail = vexor::detail;

namespace {

using detail::base64::Alphabet;
using detail::base64::DecodeTable;

// The bytes that a text may hold anywhere without their being part of a group.
constexpr bool IsSkipped(std::uint8_t C) noexcept {
  return C == '\n' || C == '\r' || C == ' ' || C == '=';
}

// --- Piece lengths of the unobserved paths ---

// About a megabyte of text per piece: large enough that the file stream hands it straight to the
// operating system, small enough that the piece and its text stay in the processor's caches.
constexpr std::int64_t DefaultEncodePiece = 3 * 256 * 1024;
constexpr std::int64_t DefaultDecodePiece = 1024 * 1024;

// --- Encoding ---

// The layout of a text: a CR LF before every LineBytes source bytes but the first ones, or
// none at all when LineBytes is 0. LineBytes is a multiple of 3 whenever it is not 0.
std::int64_t TextLength(std::int64_t N, std::int64_t LineBytes) {
  const std::int64_t Chars = 4 * ((N + 2) / 3);
  if (LineBytes == 0 || N == 0) return Chars;
  return Chars + 2 * ((N + LineBytes - 1) / LineBytes - 1);
}

// The group that the last one or two bytes of a source give, padded with "=".
void EncodeLastGroup(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out) {
  const std::uint32_t V = std::uint32_t{In[0]} << 16 | (Count > 1 ? std::uint32_t{In[1]} << 8 : 0);
  Out[0] = static_cast<std::uint8_t>(Alphabet[V >> 18]);
  Out[1] = static_cast<std::uint8_t>(Alphabet[V >> 12 & 63]);
  Out[2] = Count > 1 ? static_cast<std::uint8_t>(Alphabet[V >> 6 & 63]) : std::uint8_t{'='};
  Out[3] = '=';
}

// Writes the text of Count source bytes that follow the first Done bytes of the same source, in
// the layout of LineBytes; returns the number of characters written. Done is a multiple of 3,
// and so is Count unless these are the last bytes of the source. The text of a whole source is
// the same whichever way it is cut into such pieces.
std::int64_t EncodePiece(const std::uint8_t* In, std::int64_t Count, std::int64_t Done,
                         std::int64_t LineBytes, std::uint8_t* Out) {
  const detail::TqvBase64Encode EncodeGroups = detail::Kernels().Base64Encode;
  std::uint8_t* O = Out;
  // Where in its line the piece begins; every later run begins a line of its own.
  std::int64_t Column = LineBytes > 0 ? Done % LineBytes : 0;
  bool Break = LineBytes > 0 && Column == 0 && Done > 0;
  while (Count > 0) {
    if (Break) {
      *O++ = '\r';
      *O++ = '\n';
    }
    const std::int64_t Run = LineBytes > 0 ? std::min(Count, LineBytes - Column) : Count;
    O = EncodeGroups(In, Run / 3, O);
    In += Run / 3 * 3;
    if (Run % 3 != 0) { // only the very end of a source ends inside a group
      EncodeLastGroup(In, Run % 3, O);
      return O + 4 - Out;
    }
    Count -= Run;
    Column = 0;
    Break = true;
  }
  return O - Out;
}

// Codes the N bytes from the source's position in pieces of whole lines, each read, coded and
// written before the next: the same text and positions as one Read and one Write, in bounded
// memory.
// N is -1 for a source of unknown size, which is coded up to its end.
void EncodeInPieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t N,
                    std::int64_t LineBytes, detail::TqvProgress& Progress) {
  std::int64_t Piece = detail::PieceLengthOr(DefaultEncodePiece);
  if (LineBytes > 0 && LineBytes <= Piece)
    Piece = Piece / LineBytes * LineBytes;
  else
    Piece = std::max<std::int64_t>(3, Piece / 3 * 3);
  if (N >= 0) Piece = std::max<std::int64_t>(std::min(Piece, N), 1);
  const std::int64_t MostChars =
      4 * ((Piece + 2) / 3) + (LineBytes > 0 ? 2 * (Piece / LineBytes + 1) : 0);
  detail::CodePieces(Source, Destination, N, Piece, MostChars, 0,
                     [&](const std::uint8_t* In, std::int64_t Count, std::int64_t Index, bool,
                         std::uint8_t* Text) {
                       return EncodePiece(In, Count, Index * Piece, LineBytes, Text);
                     },
                     Progress);
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
  const detail::TqvBase64Decode DecodeQuads = detail::Kernels().Base64Decode;
  TDecodeResult R;
  std::uint8_t Quad = QuadPosition, Partial = PartialByte;
  std::int64_t I = 0, O = 0;
  while (I < Count) {
    if (Quad == 0) {
      // Between groups the partial byte is dead (the next character replaces it), so the
      // kernel need not carry it.
      std::int64_t Written = 0;
      I += DecodeQuads(In + I, Count - I, Out + O, Written);
      O += Written;
      if (I == Count) break;
    }
    const std::uint8_t C = In[I];
    if (!IsSkipped(C)) {
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
    ++I;
  }
  QuadPosition = Quad;
  PartialByte = Partial;
  R.Read = I;
  R.Written = O;
  return R;
}

// The bytes that the first Count characters of a clean text give, entered at group place Quad.
std::int64_t DecodedLength(const std::uint8_t* In, std::int64_t Count, std::uint8_t Quad) {
  std::int64_t Bytes = 0;
  for (std::int64_t I = 0; I < Count; ++I) {
    if (DecodeTable[In[I]] == 0) continue;
    if (Quad != 0) ++Bytes;
    Quad = (Quad + 1) & 3;
  }
  return Bytes;
}

enum class TDecodeEnd { EndOfText, WrongSymbolStop, WrongSymbolContinue };

// Decodes the source in pieces of whole batches and leaves the destination and both positions as
// batch by batch decoding would: under a stop, only the batches before the failing one written
// and the source after it; under continue, everything before the wrong symbol written and the
// source after the batch that follows the failing one. A batch is what one Read of Batch bytes
// gives: the runtime's streams give whole batches until their end, so a piece is read with one
// call; other streams may give less, so their pieces are read batch by batch, each batch where
// that Read put it. The text ends at a Read that gives nothing.
// A source of unknown size (Progress.Total() -1) is decoded up to its end, and is not moved back
// after a wrong symbol: a pipe cannot be.
TDecodeEnd DecodeInPieces(rtl::TStream& Source, rtl::TStream& Destination, std::int64_t Batch,
                          bool StopOnWrongSymbol, bool& DecodeStopped,
                          detail::TqvProgress& Progress) {
  const std::int64_t Total = Progress.Total();
  const bool WholeBatches = detail::TqvEncoderAccess::IsRuntimeStream(Source);
  const std::int64_t Preferred = detail::PieceLengthOr(DefaultDecodePiece);
  // No longer than the whole batches that cover the text: a short text takes little memory.
  // Batch by batch, at most 65536 batches a piece, for the table of their borders.
  std::int64_t Piece = Batch >= Preferred ? Batch : Preferred / Batch * Batch;
  if (!WholeBatches) Piece = std::min(Piece, 65536 * Batch);
  if (Total >= 0) Piece = std::min(Piece, (Total + Batch - 1) / Batch * Batch);
  // A piece of one batch decodes in place: a failing batch then writes nothing, so its text is
  // not needed afterwards. Longer pieces, and pieces that short reads cut into several batches,
  // keep their text to count what the earlier batches gave.
  const bool InPlace = Piece == Batch && WholeBatches;
  // Read batch by batch, a piece may end in the middle of a batch; its last Read still asks for
  // a whole one, as the exact calls would, so the block has room for it.
  const std::int64_t Room = WholeBatches ? Piece : Piece + Batch;
  detail::TqvBlock In(Room);
  // In place, a piece must be written before the next read reuses its block: no second thread.
  detail::TqvPieceWriter Separate(
      Destination, InPlace ? 0 : Room / 4 * 3 + detail::KernelMargin,
      !InPlace && detail::OverlapPays(Total >= 0 ? (Total + Piece - 1) / Piece : -1));
  const auto Emit = [&](std::int64_t Count) {
    if (InPlace)
      Destination.WriteBuffer(In.Data(), Count);
    else
      Separate.Write(Count);
  };
  // Where the batches of the piece begin, when they are read one by one; the piece's length.
  std::vector<std::int64_t> Borders;
  std::int64_t Got = 0;
  // The batch that holds text byte At of the piece, where a batch begins, and where it ends
  // (Got for the last one).
  const auto BatchAt = [&](std::int64_t At) -> std::size_t {
    if (WholeBatches) return static_cast<std::size_t>(At / Batch);
    return static_cast<std::size_t>(std::upper_bound(Borders.begin(), Borders.end(), At) -
                                    Borders.begin() - 1);
  };
  const auto BatchStart = [&](std::size_t I) -> std::int64_t {
    return WholeBatches ? static_cast<std::int64_t>(I) * Batch : Borders[I];
  };
  const auto BatchEnd = [&](std::size_t I) -> std::int64_t {
    if (WholeBatches) return std::min(static_cast<std::int64_t>(I + 1) * Batch, Got);
    return I + 1 < Borders.size() ? Borders[I + 1] : Got;
  };
  const bool Seekable = Total >= 0;
  std::uint8_t QuadPosition = 0, PartialByte = 0;
  std::int64_t Done = 0; // text bytes read
  bool Ended = false;
  DecodeStopped = false;
  for (;;) {
    Got = 0;
    if (WholeBatches) {
      Got = detail::ReadFull(Source, In.Data(), Piece);
      Ended = Got < Piece;
    } else {
      Borders.clear();
      while (Got < Piece) {
        const std::int64_t N = std::min(Source.Read(In.Data() + Got, Batch), Batch);
        if (N <= 0) {
          Ended = true;
          break;
        }
        Borders.push_back(Got);
        Got += N;
      }
    }
    if (Got <= 0) {
      Separate.Finish();
      Progress.Finish(Done);
      return TDecodeEnd::EndOfText;
    }
    std::uint8_t* const Out = InPlace ? In.Data() : Separate.Data();
    const std::uint8_t QuadAtStart = QuadPosition;
    const TDecodeResult R = DecodeText(In.Data(), Got, Out, QuadPosition, PartialByte);
    if (!R.WrongSymbol) {
      Emit(R.Written);
      Done += Got;
      if (Ended) {
        Separate.Finish();
        Progress.Finish(Done);
        return TDecodeEnd::EndOfText;
      }
      Progress.Coded(Done);
      continue;
    }
    const std::size_t Failing = BatchAt(R.Read);
    // Where the source would stand, had it been read up to End of this piece.
    const auto SeekTo = [&](std::int64_t End) {
      if (Seekable) Source.SetPosition(Source.Position() - Got + End);
    };
    if (StopOnWrongSymbol) {
      Emit(DecodedLength(In.Data(), BatchStart(Failing), QuadAtStart));
      Separate.Finish();
      SeekTo(BatchEnd(Failing));
      return TDecodeEnd::WrongSymbolStop;
    }
    Emit(R.Written);
    Separate.Finish();
    DecodeStopped = true;
    if (BatchEnd(Failing) < Got)
      SeekTo(BatchEnd(Failing + 1));
    else if (!Ended) // the failing batch ends this piece; the next one is still unread
      Source.Read(In.Data(), Batch);
    Progress.Finish(Done + Got);
    return TDecodeEnd::WrongSymbolContinue;
  }
}

} // namespace

void TqvEncoder::EncodeBase64(rtl::TStream& Source, rtl::TStream& Destination) {
  if (detail::TqvEncoderAccess::PiecePath(*this, Source, Destination)) {
    const std::int64_t N = detail::PieceTotal(Source);
    detail::TqvProgress Progress(*this, N);
    if (N == 0) return;
    EncodeInPieces(Source, Destination, N,
                   SuppressCrlf ? 0 : 3 * std::int64_t{GetEffectiveCharsPerLine()} / 4, Progress);
    return;
  }
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
  const bool StopOnWrongSymbol = ErrorProcessing != epContinue;
  if (detail::TqvEncoderAccess::PiecePath(*this, Source, Destination)) {
    const std::int64_t Total = detail::PieceTotal(Source);
    detail::TqvProgress Progress(*this, Total);
    const std::int64_t Batch =
        Total >= 0 ? std::min<std::int64_t>(BatchSize, Total) : std::int64_t{BatchSize};
    DecodeStopped = false;
    if (Batch <= 0) { // a batch of no bytes reads nothing
      Progress.Finish(0);
      return;
    }
    if (DecodeInPieces(Source, Destination, Batch, StopOnWrongSymbol, DecodeStopped, Progress) ==
        TDecodeEnd::WrongSymbolStop)
      RaiseEncoderError(detail::LoadMessage(detail::TqvMessage::WrongSymbols), -2);
    return;
  }
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
