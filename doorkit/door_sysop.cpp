// The sysop's keys, from the door's own terminal or a watcher, once the door's own
// DoorOnSysopKey has not taken them: hang the caller up, give or take five minutes, chat.
// And what a watcher's listing tells about the node.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "doorkit/ansi.h"
#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "doorkit/crt2.h"
#include "doorkit/door.h"
#include "console_internal.h"
#include "door_private.h"

namespace {

using door_private::g;

// PC scan codes of Alt and a letter.
constexpr char SCAN_ALT_C = 0x2E;  // chat
constexpr char SCAN_ALT_G = 0x22;  // give five minutes
constexpr char SCAN_ALT_H = 0x23;  // hang up
constexpr char SCAN_ALT_T = 0x14;  // take five minutes
constexpr int32_t TIME_STEP_SECONDS = 5 * 60;

constexpr char KEY_BACKSPACE = 0x08;
constexpr char KEY_CR = 0x0D;
constexpr char KEY_ESC = 0x1B;
constexpr char KEY_DEL = 0x7F;

[[noreturn]] void SysopHangup() {
  DoorTextAttr(0x0F);
  DoorClrScr();
  DoorWriteLn();
  DoorWriteLn("  The Sysop Has Ended Your Call.  Goodbye...");
  // Hung up for good: the connection goes, not only this program's handle.
  CommFlushOutBuffer();
  DoorClose(true);
  if (DoorOnHangup) DoorOnHangup();
  door_private::EndProgram(true);
}

void ChangeTime(int32_t ASeconds) {
  const int64_t Max = static_cast<int64_t>(DoorDropInfo.MaxSeconds) + ASeconds;
  DoorDropInfo.MaxSeconds = static_cast<int32_t>(std::clamp<int64_t>(Max, INT32_MIN, INT32_MAX));
  if (DoorOnStatusBar && !g.Stdio) DoorOnStatusBar();  // shown at once, not on the next second
}

// --- Chat: the sysop's half above, the caller's below, each typing line by line.

constexpr uint8_t CHAT_BAR = 0x1F;
constexpr uint8_t CHAT_SYSOP = 0x0E;
constexpr uint8_t CHAT_CALLER = 0x0B;
constexpr size_t CHAT_WIDTH = 78;  // the window's last column stays free: no wrap, no scroll

struct TChatHalf {
  int Top, Rows;  // window rows of its lines
  uint8_t Attr;
  std::vector<std::string> Lines;  // the ones shown, the line being typed last
};

void DrawChatLine(const TChatHalf &AHalf, size_t AIndex) {
  std::string line = AHalf.Lines[AIndex];
  line.resize(CHAT_WIDTH, ' ');
  DoorGotoXY(2, static_cast<uint8_t>(AHalf.Top + static_cast<int>(AIndex)));
  DoorTextAttr(AHalf.Attr);
  door_private::WritePlain(line);  // what they type is text, not colour codes
}

void ChatCursor(const TChatHalf &AHalf) {
  const int Row = AHalf.Top + static_cast<int>(AHalf.Lines.size()) - 1;
  DoorGotoXY(static_cast<uint8_t>(2 + AHalf.Lines.back().size()), static_cast<uint8_t>(Row));
  DoorTextAttr(AHalf.Attr);
}

void ChatNewLine(TChatHalf &AHalf) {
  if (static_cast<int>(AHalf.Lines.size()) < AHalf.Rows) {
    AHalf.Lines.emplace_back();
    return;
  }
  AHalf.Lines.erase(AHalf.Lines.begin());
  AHalf.Lines.emplace_back();
  for (size_t I = 0; I < AHalf.Lines.size(); ++I) DrawChatLine(AHalf, I);
}

void ChatKey(TChatHalf &AHalf, char AKey) {
  std::string &Line = AHalf.Lines.back();
  if (AKey == KEY_CR) {
    ChatNewLine(AHalf);
  } else if (AKey == KEY_BACKSPACE || AKey == KEY_DEL) {
    if (Line.empty()) return;
    Line.pop_back();
    ChatCursor(AHalf);
    door_private::WritePlain(" ");
  } else if (static_cast<uint8_t>(AKey) >= 0x20) {
    ChatCursor(AHalf);
    door_private::WritePlain(std::string(1, AKey));
    Line += AKey;
    if (Line.size() >= CHAT_WIDTH) ChatNewLine(AHalf);  // a long line goes on below
  } else {
    return;
  }
  ChatCursor(AHalf);
}

void DrawBar(int ARow, const std::string &AText) {
  std::string bar = AText;
  bar.resize(CHAT_WIDTH + 1, ' ');
  DoorGotoXY(1, static_cast<uint8_t>(ARow));
  DoorTextAttr(CHAT_BAR);
  door_private::WritePlain(bar);
}

// The door's screen as it was: the window's rows and the cursor, from the screen model.
struct TSavedScreen {
  int X1, Y1, X2, Y2;
  std::vector<TConsoleCell> Cells;
  uint8_t CursorX, CursorY;
  uint8_t Attr;
};

TSavedScreen SaveScreen() {
  TSavedScreen S;
  S.X1 = (WindMin() & 0xFF) + 1;
  S.Y1 = (WindMin() >> 8) + 1;
  S.X2 = (WindMax() & 0xFF) + 1;
  S.Y2 = (WindMax() >> 8) + 1;
  for (int Y = S.Y1; Y <= S.Y2; ++Y)
    for (int X = S.X1; X <= S.X2; ++X) S.Cells.push_back(ConsoleCell(X, Y));
  S.CursorX = WhereX();
  S.CursorY = WhereY();
  S.Attr = GetTextAttr();
  return S;
}

// A full SGR for a PC attribute, as the caller's terminal takes colours.
std::string Sgr(uint8_t AAttr) {
  std::string S = "\x1b[0";
  if (AAttr & 0x08) S += ";1";
  if (AAttr & 0x80) S += ";5";
  S += ";3" + std::to_string(AnsiColours[AAttr & 7]);
  S += ";4" + std::to_string(AnsiColours[(AAttr >> 4) & 7]) + "m";
  return S;
}

// Both screens get the saved one back: the sysop's cell by cell, the caller's as a redraw
// of every row (but the window's last cell, which would scroll a terminal of that size).
void RestoreScreen(const TSavedScreen &AS) {
  const int Width = AS.X2 - AS.X1 + 1;
  std::string Caller;
  for (int Y = AS.Y1; Y <= AS.Y2; ++Y) {
    const TConsoleCell *Row = &AS.Cells[static_cast<size_t>((Y - AS.Y1) * Width)];
    const int Last = Y == AS.Y2 ? Width - 1 : Width;
    Caller += AnsiGotoXY(1, static_cast<uint8_t>(Y - AS.Y1 + 1));
    for (int X = 0; X < Width;) {
      int End = X;
      std::string Run;
      while (End < Width && Row[End].Attr == Row[X].Attr) Run += static_cast<char>(Row[End++].Ch);
      ConsoleWriteCells(static_cast<uint8_t>(AS.X1 + X), static_cast<uint8_t>(Y), Run, Row[X].Attr);
      if (X < Last) {
        Caller += Sgr(Row[X].Attr);
        Caller += Run.substr(0, static_cast<size_t>(std::min(End, Last) - X));
      }
      X = End;
    }
  }
  Caller += AnsiGotoXY(AS.CursorX, AS.CursorY) + Sgr(AS.Attr);
  if (door_private::CallerLinked()) CommWrite(Caller);
  SetTextAttr(AS.Attr);
  GotoXY(AS.CursorX, AS.CursorY);
}

void SysopChat() {
  const TSavedScreen Saved = SaveScreen();
  g.Chatting = true;
  g.ChatEnd = false;

  DoorTextAttr(0x07);
  DoorClrScr();
  DrawBar(1, "  Chat with the sysop: type and press Enter; the sysop ends the chat.");
  DrawBar(12, "  The caller");
  TChatHalf Sysop{2, 10, CHAT_SYSOP, {""}};
  TChatHalf Caller{13, 11, CHAT_CALLER, {""}};
  ChatCursor(Caller);

  for (;;) {
    // Nobody is idle while they chat.
    DoorLastKey.Time = door_private::Now();
    while (!g.ChatEnd && !DoorKeyPressed()) {
      DoorLastKey.Time = door_private::Now();
      door_private::WaitForKey();
    }
    if (g.ChatEnd) break;
    const char Key = DoorReadKey();
    const bool FromSysop = DoorLastKey.Location == lkSysop;
    if (DoorLastKey.Extended) continue;
    if (FromSysop && Key == KEY_ESC) break;
    ChatKey(FromSysop ? Sysop : Caller, Key);
  }

  RestoreScreen(Saved);
  DoorLastKey.Time = door_private::Now();
  g.Chatting = false;
  g.ChatEnd = false;
}

}  // namespace

bool door_private::KitSysopKey(char AScan) {
  switch (AScan) {
    case SCAN_ALT_H:
      SysopHangup();
    case SCAN_ALT_G:
      ChangeTime(TIME_STEP_SECONDS);
      return true;
    case SCAN_ALT_T:
      ChangeTime(-TIME_STEP_SECONDS);
      return true;
    case SCAN_ALT_C:
      if (g.Chatting) {
        g.ChatEnd = true;
      } else {
        SysopChat();
      }
      return true;
    default:
      return false;
  }
}

void door_private::WatchInfo(TWatchHello &AHello) {
  AHello.Node = DoorDropInfo.Node;
  AHello.Caller = DoorDropInfo.RealName.empty() ? DoorDropInfo.Alias : DoorDropInfo.RealName;
  AHello.Door = DoorProgramNameAndVersion;
  AHello.Limits = DoorSession.Events;
  AHello.SecondsLeft = DoorSecondsLeft();
  AHello.SecondsIdle = DoorSecondsIdle();
}
