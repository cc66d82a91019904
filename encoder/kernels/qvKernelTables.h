// The tables that a codec and its loops both read, so that the rules of a format and its fast
// paths cannot drift apart. Not installed.
#pragma once

#include <array>
#include <cstdint>

namespace vexor::detail {

// --- Base64 ---
namespace base64 {

inline constexpr char Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One entry per byte value: 1 + its 6-bit code for the 64 alphabet characters, 0 for every other
// byte, "=", CR, LF and space included (those are dealt with before the table is asked).
inline constexpr std::array<std::uint8_t, 256> DecodeTable = [] {
  std::array<std::uint8_t, 256> T{};
  for (int I = 0; I < 64; ++I)
    T[static_cast<unsigned char>(Alphabet[I])] = static_cast<std::uint8_t>(I + 1);
  return T;
}();

constexpr bool IsLineBreak(std::uint8_t C) noexcept {
  return C == '\n' || C == '\r';
}

} // namespace base64

// --- Quoted-printable ---
namespace qp {

constexpr std::uint8_t CR = 13;
constexpr std::uint8_t LF = 10;

// The text of one source byte: itself for space and printable ASCII other than "=", otherwise
// "=" and two upper-case hexadecimal digits. Four bytes, so that a run copies each element with
// one fixed-size move (the fourth byte, the length, is overwritten by what follows).
struct TElement {
  char Text[3];
  std::uint8_t Length;
};
static_assert(sizeof(TElement) == 4);

struct TElementTable {
  TElement Of[256];
};
inline constexpr TElementTable Elements = [] {
  constexpr char Hex[] = "0123456789ABCDEF";
  TElementTable T{};
  for (int B = 0; B < 256; ++B) {
    if (B >= 32 && B <= 126 && B != '=')
      T.Of[B] = {{static_cast<char>(B), 0, 0}, 1};
    else
      T.Of[B] = {{'=', Hex[B >> 4], Hex[B & 15]}, 3};
  }
  return T;
}();

// Value of a hexadecimal digit of either case; NoDigit for every other byte.
constexpr std::uint8_t NoDigit = 0xFF;
struct TDigitTable {
  std::uint8_t Value[256];
};
inline constexpr TDigitTable Digits = [] {
  TDigitTable T{};
  for (int B = 0; B < 256; ++B) T.Value[B] = NoDigit;
  for (int D = 0; D < 10; ++D) T.Value['0' + D] = static_cast<std::uint8_t>(D);
  for (int D = 0; D < 6; ++D) {
    T.Value['A' + D] = static_cast<std::uint8_t>(10 + D);
    T.Value['a' + D] = static_cast<std::uint8_t>(10 + D);
  }
  return T;
}();

} // namespace qp

// --- UUencode ---
namespace uu {

// The character of a 6-bit value. Zero is written as the grave accent rather than the space,
// so that no line ends in a space that a mail system might strip.
inline constexpr std::array<std::uint8_t, 64> CodeChars = [] {
  std::array<std::uint8_t, 64> T{};
  T[0] = 0x60;
  for (int V = 1; V < 64; ++V) T[V] = static_cast<std::uint8_t>(V + 32);
  return T;
}();

// The value of a byte read as a count or code: the low 6 bits of (byte - 32). The space and the
// grave accent both give 0, and every other byte gives some value too: none is invalid.
constexpr std::uint8_t ValueOf(std::uint8_t C) noexcept {
  return static_cast<std::uint8_t>((C - 32) & 63);
}

constexpr bool IsLineEnd(std::uint8_t C) noexcept {
  return C == '\r' || C == '\n';
}

} // namespace uu

} // namespace vexor::detail
