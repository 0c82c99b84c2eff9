// ANSI builders (what the door sends the caller) and the local ANSI interpreter
// (which paints the same bytes on the sysop's console).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class TAnsiParserState { None, HaveEscape, HaveBracket };

// PC colour number 0-7 to ANSI colour number (and back: the table is its own inverse).
extern const int32_t AnsiColours[8];

// Builders read the tracked attribute when called and always return the full sequence.
std::string AnsiBlink(bool ABlink);
std::string AnsiClrScr();
std::string AnsiCursorDown(uint8_t ACount);
std::string AnsiCursorLeft(uint8_t ACount);
std::string AnsiCursorRight(uint8_t ACount);
std::string AnsiCursorUp(uint8_t ACount);
std::string AnsiCursorSave();     // ESC [s
std::string AnsiCursorRestore();  // ESC [u
std::string AnsiGotoXY(uint8_t AX, uint8_t AY);
std::string AnsiTextAttr(uint8_t AAttr);
std::string AnsiTextBackground(uint8_t AColour);
std::string AnsiTextColour(uint8_t AColour);

// Carries out text and ANSI sequences on the local console; a sequence may span calls.
void AnsiWrite(std::string_view AText);
