// The loops of every instruction set, for the chooser that puts them in tables and for the
// vector loops that hand their rest to the plain ones. Only sources in encoder/kernels/ include
// it; the codecs reach the loops through Kernels(). Not installed.
#pragma once

#include <cstdint>
#include <cstring>

#include "encoder/kernels/qvKernelTables.h"
#include "encoder/kernels/qvKernels.h"

namespace vexor::detail {

// kernels_plain.cpp: every codec, on any processor.
std::uint8_t* Base64EncodePlain(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out);
std::int64_t Base64DecodePlain(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                               std::int64_t& Written);
const std::uint8_t* QPEncodePlain(const std::uint8_t* P, const std::uint8_t* End,
                                  std::uint8_t*& Out, std::int64_t& Column, std::int64_t Limit);
const std::uint8_t* QPDecodePlain(const std::uint8_t* P, const std::uint8_t* End,
                                  std::uint8_t*& Out);
std::uint8_t* UUEncodePlain(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out);
void UUDecodePlain(const std::uint8_t* Codes, std::int64_t Groups, std::uint8_t* Out);
std::int64_t UUFindLineEndPlain(const std::uint8_t* In, std::int64_t From, std::int64_t Stop);

#ifdef VEXOR_X86_KERNELS
// kernels_avx2.cpp.
std::uint8_t* Base64EncodeAvx2(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out);
std::int64_t Base64DecodeAvx2(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                              std::int64_t& Written);
std::uint8_t* UUEncodeAvx2(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out);
void UUDecodeAvx2(const std::uint8_t* Codes, std::int64_t Groups, std::uint8_t* Out);
const std::uint8_t* QPEncodeAvx2(const std::uint8_t* P, const std::uint8_t* End,
                                 std::uint8_t*& Out, std::int64_t& Column, std::int64_t Limit);
const std::uint8_t* QPDecodeAvx2(const std::uint8_t* P, const std::uint8_t* End,
                                 std::uint8_t*& Out);
std::int64_t UUFindLineEndAvx2(const std::uint8_t* In, std::int64_t From, std::int64_t Stop);

// kernels_avx512.cpp: Base64 with VBMI, quoted-printable with VBMI2.
std::uint8_t* Base64EncodeVbmi(const std::uint8_t* In, std::int64_t Groups, std::uint8_t* Out);
std::int64_t Base64DecodeVbmi(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                              std::int64_t& Written);
const std::uint8_t* QPEncodeVbmi2(const std::uint8_t* P, const std::uint8_t* End,
                                  std::uint8_t*& Out, std::int64_t& Column, std::int64_t Limit);
const std::uint8_t* QPDecodeVbmi2(const std::uint8_t* P, const std::uint8_t* End,
                                  std::uint8_t*& Out);
#endif

namespace base64 {

// What the vector decoding loops share. After a step that found Clean clean characters, Whole
// of them in whole groups and already taken (I is past them): whether the loop goes on, past
// the line breaks that ended the step. A step of Width clean characters always goes on.
inline bool GoesOn(const std::uint8_t* In, std::int64_t Count, std::int64_t& I, int Clean,
                   int Whole, int Width) {
  if (Clean == Width) return true;
  if (Clean != Whole || !IsLineBreak(In[I])) return false;
  while (I < Count && IsLineBreak(In[I])) ++I;
  return true;
}

// The rest of the text, from I (with O bytes stored), to the plain loop.
inline std::int64_t DecodeRestPlain(const std::uint8_t* In, std::int64_t Count, std::uint8_t* Out,
                                    std::int64_t I, std::int64_t O, std::int64_t& Written) {
  std::int64_t Tail = 0;
  I += Base64DecodePlain(In + I, Count - I, Out + O, Tail);
  Written = O + Tail;
  return I;
}

} // namespace base64

namespace qp {

// The line layout that the encoding loops share with the codec's rules. A line that admits no
// more elements ends with a soft line break.
inline void EndFullLine(std::uint8_t*& W, std::int64_t& Column, std::int64_t Limit) {
  if (Column <= Limit) return;
  std::memcpy(W, "=\r\n", 3);
  W += 3;
  Column = 0;
}

// At a CR of the source: a CR LF pair is written as the hard line break that it is; false, with
// nothing taken, for a CR that no LF follows before End.
inline bool TakeLineBreak(const std::uint8_t*& P, const std::uint8_t* End, std::uint8_t*& W,
                          std::int64_t& Column) {
  if (End - P < 2 || P[1] != LF) return false;
  W[0] = CR;
  W[1] = LF;
  W += 2;
  P += 2;
  Column = 0;
  return true;
}

} // namespace qp

} // namespace vexor::detail
