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
