// CP437 and Unicode the other way round: what a sysop or a caller types in UTF-8 comes back
// as the PC's bytes, the only text the kit knows. Shared by the keyboard and the link.
#pragma once

#include <cstdint>
#include <string_view>

// The bytes that show a CP437 character: its Unicode form in UTF-8, or the byte itself
// (control bytes and the C1 range 0x80-0x9F, which would act on the terminal, become a
// printable stand-in).
std::string_view Cp437Glyph(uint8_t ACh, bool AUtf8);

// The CP437 byte of a Unicode character: ASCII as it is, the upper half's letters, boxes and
// symbols; -1 for anything else, and for the symbols a PC shows for control bytes.
int Cp437FromUnicode(uint32_t ACode);

// A UTF-8 decoder fed a byte at a time, so a character split across two reads stays whole.
struct TUtf8Decoder {
  uint32_t Code = 0;
  uint8_t Left = 0;  // continuation bytes still to come
  uint32_t Min = 0;  // the smallest code point of this length (shorter forms are overlong)
};
constexpr int32_t UTF8_MORE = -1;     // a character has begun and needs more bytes
constexpr int32_t UTF8_INVALID = -2;  // a byte that is no part of a character: dropped
// The code point once a character is whole; a byte that breaks off a character begun
// drops what came before it and is read afresh.
int32_t Utf8Feed(TUtf8Decoder &AState, uint8_t AByte);
