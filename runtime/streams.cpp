#include "runtime/streams.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace rtl {

std::int64_t TStream::Size() {
  const std::int64_t Pos = Seek(0, soCurrent);
  const std::int64_t End = Seek(0, soEnd);
  Seek(Pos, soBeginning);
  return End;
}

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
  auto* P = static_cast<std::uint8_t*>(Buffer);
  while (Count > 0) {
    const std::int64_t Got = Read(P, Count);
    if (Got <= 0) throw EReadError(SReadError);
    P += Got;
    Count -= Got;
  }
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
  if (Count > 0 && Write(Buffer, Count) != Count) throw EWriteError(SWriteError);
}

std::int64_t TStream::CopyFrom(TStream& Source, std::int64_t Count) {
  constexpr std::int64_t MaxPiece = 61440;
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  if (Count <= 0) return 0;
  std::vector<std::uint8_t> Piece(static_cast<std::size_t>(std::min(Count, MaxPiece)));
  const std::int64_t Total = Count;
  while (Count > 0) {
    const std::int64_t N = std::min(Count, MaxPiece);
    Source.ReadBuffer(Piece.data(), N);
    WriteBuffer(Piece.data(), N);
    Count -= N;
  }
  return Total;
}

// --- TMemoryStream ---

void TMemoryStream::SetPos(std::int64_t P) noexcept {
  const auto Len = static_cast<std::int64_t>(FData.size());
  if (P <= Len) {
    FReadCur = Base() + P;
    FReadEnd = Base() + Len;
  } else {
    FReadCur = FReadEnd = nullptr;
    FPastEnd = P;
  }
}

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
  if (Count <= 0 || FReadCur == nullptr) return 0;
  const std::int64_t N = std::min<std::int64_t>(Count, FReadEnd - FReadCur);
  std::memcpy(Buffer, FReadCur, static_cast<std::size_t>(N));
  FReadCur += N;
  return N;
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  const std::int64_t P = Pos();
  const std::size_t End = static_cast<std::size_t>(P + Count);
  if (End > FData.size()) FData.resize(End);
  std::memcpy(FData.data() + P, Buffer, static_cast<std::size_t>(Count));
  SetPos(P + Count);
  return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  std::int64_t Target = Offset;
  if (Origin == soCurrent)
    Target += Pos();
  else if (Origin == soEnd)
    Target += Size();
  if (Target < 0) throw EStreamError("Invalid stream position");
  SetPos(Target);
  return Target;
}

void TMemoryStream::SetSize(std::int64_t NewSize) {
  const std::int64_t P = Pos();
  FData.resize(static_cast<std::size_t>(std::max<std::int64_t>(NewSize, 0)));
  SetPos(P);
}

} // namespace rtl
