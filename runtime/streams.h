// Byte streams: the abstract stream, a memory stream and a buffered file stream.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "runtime/classes.h"
#include "runtime/sysutils.h"

namespace rtl {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// A positioned sequence of bytes. Read, Write and Seek are the override points. A stream that
// keeps a buffer of its own may publish a window onto it (the protected pointers below); the
// one-byte operations ReadByte and WriteByte then work inline on that window and call the
// virtual operation only when it is empty or full. A stream without a window sees every call.
class TStream : public TObject {
public:
  // Reads up to Count bytes; returns the number read, 0 at the end.
  virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
  // Writes up to Count bytes; returns the number written.
  virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
  // Moves the position; returns the new position.
  virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;
  virtual std::int64_t Size();
  // Whether Size can be had without reading the rest of the stream. A file stream over a pipe,
  // a device or a file of /proc or /sys cannot: its size is what reading it to its end gives,
  // so Size reads it whole first, and a reader that wants to keep memory small reads it to the
  // end instead.
  virtual bool SizeKnown() { return true; }
  // Whether nothing is left to read from the position on. A stream that does not know its size
  // waits for its next bytes to tell.
  virtual bool AtEnd() { return Size() - Position() <= 0; }

  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t Pos) { Seek(Pos, soBeginning); }

  // Reads exactly Count bytes (in as many calls as the stream needs) or raises EReadError.
  void ReadBuffer(void* Buffer, std::int64_t Count);
  // Writes Count bytes with one Write; a short count raises EWriteError.
  void WriteBuffer(const void* Buffer, std::int64_t Count);
  // Copies Count bytes from Source's position (Count 0: all of Source from its beginning)
  // through one buffer of at most 61440 bytes; returns the count copied.
  std::int64_t CopyFrom(TStream& Source, std::int64_t Count);

  // One byte from the stream; false at the end.
  bool ReadByte(std::uint8_t& B) {
    if (FReadCur != FReadEnd) {
      B = *FReadCur++;
      return true;
    }
    return Read(&B, 1) == 1;
  }
  // One byte to the stream; a byte that is not taken raises EWriteError.
  void WriteByte(std::uint8_t B) {
    if (FWriteCur != FWriteEnd) {
      *FWriteCur++ = B;
      return;
    }
    WriteBuffer(&B, 1);
  }

protected:
  // The published buffer windows: [FReadCur, FReadEnd) are the next bytes that Read would
  // deliver, [FWriteCur, FWriteEnd) the room that Write would fill. Empty (equal) when the
  // stream keeps none. A derived stream keeps its position consistent with them.
  const std::uint8_t* FReadCur = nullptr;
  const std::uint8_t* FReadEnd = nullptr;
  std::uint8_t* FWriteCur = nullptr;
  std::uint8_t* FWriteEnd = nullptr;
};

// A stream over a block of memory that grows as it is written.
class TMemoryStream final : public TStream {
public:
  TMemoryStream() { SetPos(0); }
  explicit TMemoryStream(std::string_view Bytes) : FData(Bytes) { SetPos(0); }

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }

  std::string_view Bytes() const noexcept { return FData; }
  void SetSize(std::int64_t NewSize);
  void Clear() { FData.clear(), SetPos(0); }

private:
  const std::uint8_t* Base() const noexcept {
    return reinterpret_cast<const std::uint8_t*>(FData.data());
  }
  std::int64_t Pos() const noexcept { return FReadCur ? FReadCur - Base() : FPastEnd; }
  void SetPos(std::int64_t P) noexcept;

  std::string FData;
  std::int64_t FPastEnd = 0; // the position while it stands beyond the end
};

// The operating system's handle of an open file: a descriptor on POSIX systems, a HANDLE's value
// on Windows. -1 when the stream holds none.
#ifdef _WIN32
using TFileHandle = std::intptr_t;
#else
using TFileHandle = int;
#endif

enum TFileMode : std::uint8_t {
  fmOpenRead, // an existing file, read only, exclusive
  fmCreate    // created or replaced, read and write, exclusive
};

// A buffered stream over an operating-system file. Regular files are opened exclusively (on
// POSIX systems an advisory lock, and never twice in this process; on Windows with no sharing);
// a destination is truncated only once it is known not to be held elsewhere. A source whose
// size the system does not vouch for (a pipe, a terminal or another device, a file of /proc or
// /sys) is read as it arrives; the first call of Size (or a seek from the end) reads the rest of
// it into memory, after which it behaves as a file with those bytes would. A destination that is
// the process's own standard output in append mode is appended to rather than emptied.
// Read and Write raise EReadError / EWriteError when the operating system fails them.
class TFileStream final : public TStream {
public:
  TFileStream(const std::string& FileName, TFileMode Mode);
  ~TFileStream() override; // never throws: call Close to learn of a failed write

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
  std::int64_t Size() override;
  bool SizeKnown() override { return FSizeKnown || FInMemory; }
  bool AtEnd() override;

  // Hands buffered bytes to the operating system; raises EWriteError when it refuses them.
  void Flush();
  // Flushes and closes the file; raises on failure. Further use of the stream is an error.
  void Close();

  const std::string& FileName() const noexcept { return FFileName; }
  TFileHandle Handle() const noexcept { return FHandle; }

private:
  enum class TBufMode : std::uint8_t { Idle, Reading, Writing };

  std::int64_t LogicalPosition() const noexcept;
  void EnterIdle(); // leaves the buffer, flushing written bytes, the OS offset at the position
  void FlushWrites();
  void SlurpSource();
  bool FillReadBuffer();

  // The system's part, one file per system (filestream_posix.cpp, filestream_win.cpp). Open
  // sets FHandle, FSeekable, FSizeKnown and FBase or raises EFOpenError / EFCreateError;
  // ReleaseHandle gives the handle back (false: the system reported a failure).
  void Open(const std::string& FileName, TFileMode Mode);
  bool ReleaseHandle() noexcept;
  std::int64_t SysRead(std::uint8_t* Buffer, std::int64_t Count);       // EReadError
  void SysWriteAll(const std::uint8_t* Buffer, std::int64_t Count);     // EWriteError
  void SysSeek(std::int64_t Offset);                                     // EStreamError
  std::int64_t SysSize() noexcept;                                       // -1 when unknown
  void Unregister() noexcept; // POSIX: takes a regular file off the process's list

  std::string FFileName; // the full path, as messages show it
  TFileHandle FHandle = -1;
  bool FRegistered = false;
  bool FSeekable = true;
  bool FSizeKnown = true; // false: the size is what reading to the end gives
  bool FInMemory = false; // such a source, read whole since; its bytes begin at FMemBase
  std::int64_t FMemBase = 0;
  std::uint64_t FDevice = 0; // a POSIX regular file's identity, while it is registered
  std::uint64_t FInode = 0;
  TBufMode FMode = TBufMode::Idle;
  std::unique_ptr<std::uint8_t[]> FBuffer;
  std::int64_t FCapacity = 0;
  std::int64_t FBase = 0;  // file offset of FBuffer[0]; in Idle mode the position
  std::int64_t FValid = 0; // bytes of FBuffer that hold file data (Reading)
};

// Expands a file name to a full path: relative names are joined to the current directory and
// "." and ".." are folded lexically, without resolving links (on Windows: the system's full
// path of the name, GetFullPathNameW).
std::string ExpandFileName(const std::string& FileName);

} // namespace rtl
