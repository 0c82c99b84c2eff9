// Key input from the caller and the local keyboard, the line editor and the lightbar menu.
#include <algorithm>
#include <climits>
#include <string>

#include "doorkit/ansi.h"
#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "doorkit/crt2.h"
#include "doorkit/door.h"
#include "door_private.h"
#include "console_watch.h"

namespace {

using door_private::g;

constexpr char KEY_BACKSPACE = 0x08;
constexpr char KEY_CTRL_Y = 0x19;
constexpr char KEY_DEL = 0x7F;  // what many callers' terminals send for Backspace
constexpr char KEY_CR = 0x0D;
constexpr char KEY_ESC = 0x1B;
constexpr char SCAN_UP = 'H';
constexpr char SCAN_DOWN = 'P';

// Between two looks for a key, the door sleeps until the caller or the sysop types, the
// pump's next second comes, or this much time passes.
constexpr uint32_t KEY_WAIT_MS = 500;

// Up to 500 ms for the rest of a key sequence: ten tries, 50 ms apart.
bool WaitForCallerByte() {
  for (int i = 0; i < 10; i++) {
    if (CommCharAvail()) return true;
    Delay(50);
  }
  return CommCharAvail();
}

// The caller's byte, with ESC [ A..D turned into the cursor keys. Returns false when the
// bytes made an unknown sequence, which is dropped.
bool ReadCallerKey(char &AKey) {
  char ch = CommReadChar();
  DoorLastKey.Extended = false;
  DoorLastKey.Location = lkUser;
  AKey = ch;
  if (ch != KEY_ESC) return true;
  if (!WaitForCallerByte() || CommPeekChar() != '[') return true;  // ESC on its own
  CommReadChar();
  if (WaitForCallerByte()) {
    switch (CommReadChar()) {
      case 'A': AKey = 'H'; DoorLastKey.Extended = true; return true;
      case 'B': AKey = 'P'; DoorLastKey.Extended = true; return true;
      case 'C': AKey = 'M'; DoorLastKey.Extended = true; return true;
      case 'D': AKey = 'K'; DoorLastKey.Extended = true; return true;
      default: break;
    }
  }
  DoorLastKey.Location = lkNone;
  return false;
}

}  // namespace

// Asleep in the kernel, not polling: a key is still taken at once, and the pump still acts
// on the second.
void door_private::WaitForKey() {
  uint32_t wait = KEY_WAIT_MS;
  if (DoorSession.Events) {
    const double elapsed = (door_private::Now() - DoorSession.EventsTime) * 86400000.0;
    if (elapsed >= 1000) {
      wait = 1;  // due now
    } else if (elapsed >= 0) {
      wait = std::min<uint32_t>(wait, static_cast<uint32_t>(1000 - elapsed) + 1);
    }
  }
  ConsoleWaitInput(g.Stdio ? -1 : CommWaitHandle(), wait);
}

bool door_private::SysopKeyWaiting() {
  while (!g.SysopKeyHeld) {
    char key = 0;
    bool extended = false;
    if (!g.Stdio && KeyPressed()) {
      key = ReadKey();
      extended = key == 0;
      if (extended) key = ReadKey();
    } else if (!ConsoleWatchKey(key, extended)) {
      return false;
    }
    // The door's hot keys first, then the kit's; a key either takes is gone.
    if (extended && ((DoorOnSysopKey && DoorOnSysopKey(key)) || KitSysopKey(key))) continue;
    g.SysopKeyHeld = true;
    g.SysopKey = key;
    g.SysopKeyExtended = extended;
  }
  return true;
}

bool door_private::TakeSysopKey(char &AKey, bool &AExtended) {
  if (!SysopKeyWaiting()) return false;
  g.SysopKeyHeld = false;
  AKey = g.SysopKey;
  AExtended = g.SysopKeyExtended;
  return true;
}

bool DoorKeyPressed() {
  door_private::DoorDoEvents();
  if (g.Stdio) return KeyPressed() || door_private::SysopKeyWaiting();
  return CommCharAvail() || door_private::SysopKeyWaiting();
}

char DoorReadKey() {
  DoorLastKey.Location = lkNone;
  char key = 0;
  while (DoorLastKey.Location == lkNone) {
    while (!DoorKeyPressed()) door_private::WaitForKey();

    if (g.Stdio && KeyPressed()) {
      // In stdio mode the local keyboard is the caller's.
      key = ReadKey();
      DoorLastKey.Extended = key == 0;
      if (key == 0) key = ReadKey();
      DoorLastKey.Location = lkUser;
      continue;
    }

    if (!g.Stdio && CommCharAvail()) ReadCallerKey(key);
    bool extended = false;
    if (DoorLastKey.Location == lkNone && door_private::TakeSysopKey(key, extended)) {
      DoorLastKey.Extended = extended;
      DoorLastKey.Location = lkSysop;
    }
  }
  DoorLastKey.Ch = key;
  DoorLastKey.Time = door_private::Now();
  return key;
}

std::string DoorInput(const std::string &ADefaultText, const std::string &AAllowedCharacters,
                      char APasswordCharacter, uint8_t AVisibleLength, uint8_t AMaxLength,
                      uint8_t AAttr) {
  const std::string defaultText = ADefaultText.substr(0, AMaxLength);
  const size_t visible = AVisibleLength;
  std::string text = defaultText;
  size_t offset = 0;  // cells the cursor stands right of the field's first column

  auto shown = [&](std::string_view AText) {
    return APasswordCharacter ? std::string(AText.size(), APasswordCharacter) : std::string(AText);
  };
  auto updateText = [&] {
    if (offset > 0) DoorWrite(AnsiCursorLeft(static_cast<uint8_t>(offset)));
    if (text.size() >= visible) {
      DoorWrite(shown(std::string_view(text).substr(text.size() - visible)));
      offset = visible;
    } else {
      size_t gap = visible - text.size();
      DoorWrite(shown(text));
      DoorWrite(std::string(gap, ' '));
      DoorWrite(AnsiCursorLeft(static_cast<uint8_t>(gap)));
      offset = text.size();
    }
  };

  const uint8_t savedAttr = GetTextAttr();
  DoorTextAttr(AAttr);
  updateText();

  const bool delErases = AAllowedCharacters.find(KEY_DEL) == std::string::npos;
  char key;
  do {
    key = DoorReadKey();
    if (key == KEY_DEL && delErases && !DoorLastKey.Extended) key = KEY_BACKSPACE;
    if (key == KEY_BACKSPACE && !text.empty()) {
      text.pop_back();
      if (text.size() >= visible) {
        updateText();
      } else {
        DoorWrite("\b \b");
        if (offset > 0) offset--;
      }
    } else if (key == KEY_CTRL_Y && !text.empty()) {
      text.clear();
      updateText();
    } else if (key != 0 && AAllowedCharacters.find(key) != std::string::npos &&
               text.size() < AMaxLength) {
      text += key;
      if (text.size() > visible) {
        updateText();
      } else {
        DoorWrite(std::string(1, APasswordCharacter ? APasswordCharacter : key));
        offset++;
      }
    }
  } while (key != KEY_ESC && key != KEY_CR);

  DoorTextAttr(savedAttr);
  DoorWriteLn();
  return key == KEY_ESC ? defaultText : text;
}

bool DoorLiteBar(int32_t APageSize) {
  const int32_t count = static_cast<int32_t>(std::min<size_t>(DoorLiteBarOptions.size(), INT32_MAX));
  if (count == 0) return false;

  const int windowWidth = (WindMax() & 0xFF) - (WindMin() & 0xFF) + 1;
  const int windowHeight = (WindMax() >> 8) - (WindMin() >> 8) + 1;
  const int x = WhereX();
  int32_t page = APageSize > 0 ? std::min(APageSize, count) : count;
  page = std::min<int32_t>(page, windowHeight);
  // Keep the whole menu inside the window so that no row scrolls away under it.
  const int y = std::min<int>(WhereY(), windowHeight - page + 1);

  size_t width = 0;
  for (const std::string &option : DoorLiteBarOptions) width = std::max(width, option.size());
  // The window's last column stays free: a glyph there may wrap and scroll the menu away.
  width = std::clamp<size_t>(width, 1, static_cast<size_t>(std::max(windowWidth - x, 1)));

  const uint8_t normal = GetTextAttr();
  uint8_t bar = static_cast<uint8_t>(((normal & 0x07) << 4) | ((normal >> 4) & 0x07));
  if (bar == normal || (bar >> 4) == (bar & 0x0F)) bar = 0x70;

  int32_t index = std::clamp(DoorLiteBarIndex, 0, count - 1);
  int32_t top = std::clamp(index - page + 1, 0, count - page);
  auto drawRow = [&](int32_t AOption) {
    std::string label = DoorLiteBarOptions[static_cast<size_t>(AOption)].substr(0, width);
    label.resize(width, ' ');
    DoorGotoXY(static_cast<uint8_t>(x), static_cast<uint8_t>(y + AOption - top));
    DoorTextAttr(AOption == index ? bar : normal);
    door_private::WritePlain(label);  // options are plain text
  };
  auto drawPage = [&] {
    for (int32_t i = top; i < top + page; i++) drawRow(i);
  };

  drawPage();
  bool chosen = false;
  for (;;) {
    DoorGotoXY(static_cast<uint8_t>(x), static_cast<uint8_t>(y + index - top));
    char key = DoorReadKey();
    int32_t next = index;
    if (key == KEY_CR) {
      chosen = true;
      break;
    }
    if (key == KEY_ESC) break;
    if (DoorLastKey.Extended && key == SCAN_UP) next = std::max(index - 1, 0);
    if (DoorLastKey.Extended && key == SCAN_DOWN) next = std::min(index + 1, count - 1);
    if (next == index) continue;
    int32_t previous = index;
    index = next;
    if (index < top || index >= top + page) {
      top = index < top ? index : index - page + 1;
      drawPage();
    } else {
      drawRow(previous);
      drawRow(index);
    }
  }

  DoorTextAttr(normal);
  DoorGotoXY(static_cast<uint8_t>(x), static_cast<uint8_t>(y + page - 1));
  DoorWriteLn();
  if (chosen) DoorLiteBarIndex = index;
  return chosen;
}
