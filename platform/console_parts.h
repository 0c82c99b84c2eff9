// What the local console's own source files share with each other; nothing outside
// platform/ includes this.
#pragma once

#include <poll.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "doorkit/console.h"
#include "console_internal.h"
#include "cp437.h"

// --- console.cpp: the screen the door draws on ---

// Takes the terminal on first use and acts on a signal that arrived since the last call.
void ConsoleEnter();

// What the renderer needs of the screen. Rows are 0-based; bit n of DirtyRows marks row n.
struct TConsoleFrame {
  const TConsoleCell (*Cells)[CONSOLE_COLS];
  uint32_t DirtyRows;
  int CursorX;  // absolute, 1-based
  int CursorY;
  bool CursorVisible;
  // The row a terminal of 24 rows goes without: 24 while row 25 is outside the text window
  // (the status bar's, which must stay in sight), else 25.
  int SpareRow;
};
TConsoleFrame ConsoleFrame();
void ConsoleFrameClean();
void ConsoleScreenReset();

// --- console_render.cpp: what the terminal shows, and the bytes that bring it up to date ---

// A new terminal (or a resized one): the next frame draws everything. One of 80x24 shows
// every row but the frame's spare one; a smaller one shows a note that says so instead.
void RenderSetTerminal(int ACols, int ARows, bool AUtf8);
// Whether the terminal paints erased cells in the current background colour; where it
// does not, every cell is sent.
void RenderSetErase(bool AErase);
void RenderInvalidate();
// Appends to AOut what the terminal needs to show AFrame; nothing when it shows it already.
void RenderFrame(const TConsoleFrame &AFrame, std::string &AOut);
// Colours reset, autowrap and cursor back on, cursor on the line below the drawn screen.
void RenderGoodbye(std::string &AOut);
void RenderReset();

// --- console_watch.cpp: the sysop's watchers (console_watch.h) ---

constexpr int WATCH_POLL_FDS = 17;  // the node's socket and its watchers, at most
// The frame's changes to the watchers, and a look at the socket when due (ALookNow: at
// once). Nothing at all while no socket is open.
void WatchFlush(const TConsoleFrame &AFrame, bool ALookNow);
// The descriptors a sleeping wait adds to its poll (at most AMax); 0 while no socket is open.
int WatchPollFds(pollfd *AFds, int AMax);

// --- console_keys.cpp: terminal key sequences to PC keys ---

constexpr uint64_t KEYS_ESC_TIMEOUT_MS = 25;

// Decodes bytes from the keyboard into the key queue (0 + scan code for extended keys).
void KeysFeed(std::string_view ABytes, uint64_t ANow);
// Gives up on a sequence that has not completed within the time-out.
void KeysTick(uint64_t ANow);
bool KeysWaiting();
uint8_t KeysTake();
// A sequence has started and waits for more bytes; its first byte came at KeysPendingSince.
bool KeysPartial();
uint64_t KeysPendingSince();
// How many more input bytes the queue can take for certain.
size_t KeysRoom();
// Whether the keyboard sends UTF-8 (off at start: bytes are taken as CP437).
void KeysSetUtf8(bool AUtf8);
void KeysReset();
