// The local text console: an 80x25 screen of cells (CP437 character + PC attribute),
// a text window and a cursor, shown on the sysop's terminal when standard output is one,
// and the local keyboard. Positions are 1-based; the window ones are relative to the window.
#pragma once

#include <cstdint>
#include <string_view>

constexpr int CONSOLE_COLS = 80;
constexpr int CONSOLE_ROWS = 25;

// The attribute used for writing and clearing. The kit changes it only through crt2.
extern uint8_t TextAttr;

// Inclusive corners; sets the window and homes the cursor. Invalid corners are ignored.
void Window(uint8_t X1, uint8_t Y1, uint8_t X2, uint8_t Y2);
// The window's top-left and bottom-right cell, column in the low byte, row in the high byte, from 0.
uint16_t WindMin();
uint16_t WindMax();

// Ignores 0 and positions beyond the window.
void GotoXY(uint8_t X, uint8_t Y);
uint8_t WhereX();
uint8_t WhereY();

void TextColor(uint8_t AColour);       // attribute := (attribute AND 0x70) OR (c AND 0x8F)
void TextBackground(uint8_t AColour);  // attribute := ((c SHL 4) AND 0x70) OR (attribute AND 0x8F)

void ClrScr();   // window filled with blanks in TextAttr, cursor to 1, 1
void ClrEol();   // from the cursor to the window's right edge, cursor unmoved
void InsLine();  // blank row at the cursor's row, the window's last row is lost
void DelLine();  // the cursor's row goes, a blank row enters at the bottom
void CursorOn();
void CursorOff();

// Text output at the cursor in TextAttr: wraps at the window's right edge, scrolls the
// window up below its last row. CR, LF, BS and BEL act; every other byte is a glyph.
void ConsoleWrite(std::string_view AText);

// Writes a row of cells in one attribute at an absolute position (1-based), clipped to the
// screen, without moving the cursor or changing TextAttr.
void ConsoleWriteCells(uint8_t AX, uint8_t AY, std::string_view AChars, uint8_t AAttr);

// A local key waits (not taken).
bool KeyPressed();
// Waits for a key; an extended key gives 0 and then its PC scan code.
char ReadKey();
// Sleeps; the screen is brought up to date on the sysop's terminal first.
void Delay(uint32_t AMilliseconds);

// Waits up to AMilliseconds for a local key or for AExtraFd (-1: none) to become readable,
// asleep in the kernel meanwhile; the screen is brought up to date first. Wakes early for a
// signal (acted on as every console routine does) or a resize, and may wake early otherwise,
// so a caller looks again and waits again. With a test sleep installed it sleeps one
// millisecond of that instead, so a test's clock moves as it did with a polling loop.
void ConsoleWaitInput(int AExtraFd, uint32_t AMilliseconds);
// Acts on a signal that arrived (ConsoleOnSignal) and on a resize: for a wait on something
// else than the console (a send to the caller, say).
void ConsoleCheckSignals();

// Called when a wait of the console (Delay, ReadKey, ConsoleWaitInput) is about to sleep,
// so output held back elsewhere (the caller's) goes out first. Unset by default.
extern void (*ConsoleOnWait)();

// Takes over the sysop's terminal (raw keyboard; restored at every end of the program, a
// crash included: after SIGSEGV, SIGABRT, SIGBUS, SIGFPE or SIGILL the terminal is given
// back and the program dies of that signal).
// Every routine here calls it first, so a program need not; it is idempotent.
void ConsoleInit();

// The standard handles carry a caller's stream from now on (a stdio door): the screen is
// still kept but never drawn, and the keyboard is not read. A terminal on standard input
// stays raw, with output processing off too (the caller's bytes go as they are), until the
// program ends.
void ConsoleDetach();
// Whether the screen is drawn on a terminal.
bool ConsoleShown();
// AFd is the caller's connection, not the sysop's: should it be standard input or output as
// well (a board that starts the door inetd-style), the console neither reads keys from it
// nor draws on it.
void ConsoleKeepOff(int AFd);

// Sends what changed on the screen to the sysop's terminal now (waits do this themselves).
void ConsoleFlush();

// Called from the next console routine (normal program flow, not the signal handler) after
// SIGINT, SIGTERM, SIGHUP or SIGQUIT; the default ends the program with exit(0), so the exit
// hooks run and the sysop's terminal is restored. A hook that returns lets the program go on.
// A second signal while the program is ending restores the terminal and ends it at once.
extern void (*ConsoleOnSignal)(int ASignal);
