// Test seams of the local console: read the screen, feed the keyboard, start afresh.
// Door programs do not include this.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct TConsoleCell {
  uint8_t Ch;
  uint8_t Attr;
};

// Absolute 1-based cell; outside the screen gives a blank in attribute 0.
TConsoleCell ConsoleCell(int AX, int AY);
// Characters of one absolute row, 80 bytes.
std::string ConsoleRowText(int AY);
// Absolute 1-based cursor position.
int ConsoleCursorX();
int ConsoleCursorY();
bool ConsoleCursorVisible();

// Back to the start state: blank screen in attribute 7, full-screen window, cursor at 1, 1,
// no queued keys, nothing drawn. Does not touch the real terminal.
void ConsoleReset();
// Queues bytes as if typed on the local keyboard (decoded like the terminal's).
void ConsolePushInput(std::string_view ABytes);

// After ConsoleReset the console stays off the real terminal: the screen lives in memory
// and keys come only from ConsolePushInput, so tests behave the same with or without one.

// Acts as if standard output were a terminal of ACols x ARows, in a UTF-8 locale or not:
// frames are rendered into a buffer that ConsoleTakeOutput hands over instead of being
// written out. Calling it again is a resize (the next frame redraws everything).
// 0 columns or rows: no terminal again.
void ConsoleSetTestTerminal(int ACols, int ARows, bool AUtf8);
// Whether the pretend terminal paints erased cells in the current background (true at start).
void ConsoleSetTestErase(bool AErase);
std::string ConsoleTakeOutput();
// The bytes the terminal needs when the program ends (colours, cursor, autowrap).
std::string ConsoleGoodbyeText();

// Whether the keyboard sends UTF-8, as a terminal in a UTF-8 locale does (off after
// ConsoleReset: bytes are taken as CP437).
void ConsoleSetTestKeyboardUtf8(bool AUtf8);

// The millisecond clock of the lone-ESC time-out; nullptr: the monotonic clock.
void ConsoleSetClock(uint64_t (*AMilliseconds)());
// What Delay sleeps with (a test can advance its clock instead); nullptr: real sleep.
void ConsoleSetSleep(void (*ASleep)(uint32_t AMilliseconds));

// Takes the process's real standard streams afresh, as at program start, even after
// ConsoleReset: for a child process of a test, started on a pseudo-terminal.
void ConsoleAttachTerminal();
