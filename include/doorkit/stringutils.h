// Text helpers of the kit: pipe colour codes, time strings, integer conversion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Replaces every "|" + two hex digits by the ANSI sequence of that attribute (no blink).
std::string PipeToAnsi(std::string_view AText);
std::string SecToHMS(int32_t ASec);  // H:M:S, each at least two digits
std::string SecToMS(int32_t ASec);   // M:S

// Text to 32-bit integer: leading blanks/tabs, sign, radix prefix ($ x X 0x 0X hex,
// % binary, & octal), digits and nothing after them; anything else, or text over
// 255 characters, gives ADefault.
int32_t StrToIntDef(std::string_view AText, int32_t ADefault);
// ASCII letters a-z to A-Z, every other byte unchanged.
std::string UpperCase(std::string_view AText);
// Texts the kit sends are CP437 bytes. Turns UTF-8 text (a literal such as "Grüße" in a
// door's source) into CP437: each character becomes its PC byte, one with no CP437 form
// (and a broken sequence) is left out.
std::string Utf8ToCp437(std::string_view AText);
