// Key input from the caller and the local keyboard, the line editor and the lightbar menu.
#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "doorkit/ansi.h"
#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "doorkit/crt2.h"
#include "doorkit/door.h"
#include "door_private.h"
#include "console_watch.h"
#include "doorkit/stringutils.h"

namespace {

using door_private::g;

constexpr char KEY_BACKSPACE = 0x08;
constexpr char KEY_CTRL_Y = 0x19;
constexpr char KEY_DEL = 0x7F;  // what many callers' terminals send for Backspace
constexpr char KEY_CR = 0x0D;
constexpr char KEY_ESC = 0x1B;
constexpr char SCAN_CTRL_AT = 0x03;

// How long the caller's terminal has for the next byte of a key sequence; an ESC followed
// by nothing within it is the ESC key.
constexpr double SEQUENCE_WAIT_MS = 500;
// The longest sequence looked at; a longer one is dropped whole.
constexpr size_t MAX_SEQUENCE = 16;

// Between two looks for a key, the door sleeps until the caller or the sysop types, the
// pump's next second comes, or this much time passes.
constexpr uint32_t KEY_WAIT_MS = 500;

struct TKeyState {
  // An escape sequence begun by the caller: ESC and what followed it so far.
  char Seq[MAX_SEQUENCE];
  size_t Len = 0;
  bool Overlong = false;  // more came than Seq holds: the sequence is dropped at its end
  TDateTime Last = 0;     // when its last byte was taken
  // A whole key, decoded and not read yet.
  bool Ready = false;
  char Key = 0;
  bool Extended = false;
};
TKeyState gKeys;

struct TKeyCode {
  int Number;  // ESC [ n ~
  char Scan;
};

// The PC's scan codes for the keys today's terminals send as ESC [ n ~.
constexpr TKeyCode TILDE_KEYS[] = {
    {1, DOOR_KEY_HOME}, {2, DOOR_KEY_INSERT}, {3, DOOR_KEY_DELETE}, {4, DOOR_KEY_END},
    {5, DOOR_KEY_PGUP}, {6, DOOR_KEY_PGDN},   {7, DOOR_KEY_HOME},   {8, DOOR_KEY_END},
    {11, DOOR_KEY_F1},  {12, DOOR_KEY_F2},    {13, DOOR_KEY_F3},    {14, DOOR_KEY_F4},
    {15, DOOR_KEY_F5},  {17, DOOR_KEY_F6},    {18, DOOR_KEY_F7},    {19, DOOR_KEY_F8},
    {20, DOOR_KEY_F9},  {21, DOOR_KEY_F10},   {23, DOOR_KEY_F11},   {24, DOOR_KEY_F12},
};

// A letter after ESC [ or ESC O: the cursor keys, Home, End and (ESC O only) F1 to F4.
int LetterScan(char AFinal, bool ASs3) {
  switch (AFinal) {
    case 'A': return DOOR_KEY_UP;
    case 'B': return DOOR_KEY_DOWN;
    case 'C': return DOOR_KEY_RIGHT;
    case 'D': return DOOR_KEY_LEFT;
    case 'H': return DOOR_KEY_HOME;
    case 'F': return DOOR_KEY_END;
    case 'P': return ASs3 ? DOOR_KEY_F1 : -1;
    case 'Q': return ASs3 ? DOOR_KEY_F2 : -1;
    case 'R': return ASs3 ? DOOR_KEY_F3 : -1;
    case 'S': return ASs3 ? DOOR_KEY_F4 : -1;
    default: return -1;
  }
}

// The scan code of a whole sequence (ESC, then "[" or "O", its parameters, its final
// byte), -1 for one the kit does not know. The same key with a modifier (ESC [ 1 ; 5 A,
// ESC [ 3 ; 2 ~) is the key.
int SequenceScan(std::string_view ASeq) {
  const bool Ss3 = ASeq[1] == 'O';
  const char Final = ASeq.back();
  std::string_view Params = ASeq.substr(2, ASeq.size() - 3);
  Params = Params.substr(0, Params.find(';'));
  // The Linux console's F1 to F5: ESC [ [ A to E.
  if (ASeq.size() == 4 && ASeq[2] == '[') return Final >= 'A' && Final <= 'E' ? 0x3B + (Final - 'A') : -1;
  if (Final == '~') {
    const int32_t N = StrToIntDef(Params, -1);
    for (const TKeyCode &K : TILDE_KEYS)
      if (K.Number == N) return static_cast<uint8_t>(K.Scan);
    return -1;
  }
  if (!Params.empty() && Params != "1") return -1;
  return LetterScan(Final, Ss3);
}

void KeyReady(char AKey, bool AExtended) {
  gKeys.Ready = true;
  gKeys.Key = AKey;
  gKeys.Extended = AExtended;
}

// Whole milliseconds, so a wait of 500 held as a day fraction does not read as 499.99.
double MsSince(TDateTime AWhen) { return std::round((door_private::Now() - AWhen) * 86400000.0); }

// Decodes what the caller has sent, without waiting: true once a whole key is there. The
// bytes of a sequence are taken as they come; one that is whole and unknown is dropped
// then and there, so it never stands for a key that is not coming.
bool CallerKeyReady() {
  TKeyState &K = gKeys;
  while (!K.Ready && CommCharAvail()) {
    const char C = CommPeekChar();
    const uint8_t B = static_cast<uint8_t>(C);
    if (K.Len == 0) {
      CommReadChar();
      if (C != KEY_ESC) {
        KeyReady(C, false);
        break;
      }
      K.Seq[0] = C;
      K.Len = 1;
      K.Overlong = false;
      K.Last = door_private::Now();
      continue;
    }
    if (K.Len == 1 && C != '[' && C != 'O') {
      K.Len = 0;  // ESC on its own; the byte after it is read afresh
      KeyReady(KEY_ESC, false);
      break;
    }
    bool Final = false, Part = false;
    if (K.Len == 1 || (K.Len == 2 && K.Seq[1] == '[' && C == '[')) {
      Part = true;  // "[" or "O" after the ESC; or the Linux console's second "["
    } else if (B >= 0x40 && B <= 0x7E) {
      Final = true;
    } else if (B >= 0x20 && B <= 0x3F) {
      Part = true;  // parameters
    }
    if (!Final && !Part) {
      K.Len = 0;  // broken off by a byte that is no part of a sequence: it is read afresh
      continue;
    }
    CommReadChar();
    K.Last = door_private::Now();
    if (K.Len < MAX_SEQUENCE) {
      K.Seq[K.Len++] = C;
    } else {
      K.Overlong = true;
    }
    if (!Final) continue;
    const int Scan = K.Overlong ? -1 : SequenceScan(std::string_view(K.Seq, K.Len));
    K.Len = 0;
    if (Scan >= 0) KeyReady(static_cast<char>(Scan), true);
  }
  if (!K.Ready && K.Len > 0 && MsSince(K.Last) >= SEQUENCE_WAIT_MS) {
    // Nothing more came: an ESC alone is the key; a sequence cut short is dropped.
    if (K.Len == 1) KeyReady(KEY_ESC, false);
    K.Len = 0;
  }
  return K.Ready;
}

}  // namespace

void door_private::ResetKeys() { gKeys = TKeyState{}; }

// Asleep in the kernel, not polling: a key is still taken at once, and the pump still acts
// on the second; a sequence begun wakes the door when its wait is over.
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
  if (gKeys.Len > 0) {
    const double left = SEQUENCE_WAIT_MS - MsSince(gKeys.Last);
    wait = std::min<uint32_t>(wait, left > 0 ? static_cast<uint32_t>(left) + 1 : 1);
  }
  ConsoleWaitInput(door_private::CallerLinked() ? CommWaitHandle() : -1, wait);
}

namespace {

// One key from the local keyboard. An extended key is 0 and its scan code; a 0 with nothing
// after it is taken as Ctrl+@ (0 and 3, as a PC gives it) rather than waited on, so no key
// read ever holds the pump.
char ReadLocalKey(bool &AExtended) {
  const char key = ReadKey();
  AExtended = key == 0;
  if (key != 0) return key;
  return KeyPressed() ? ReadKey() : SCAN_CTRL_AT;
}

}  // namespace

bool door_private::SysopKeyWaiting() {
  while (!g.SysopKeyHeld) {
    char key = 0;
    bool extended = false;
    if (!g.CallerOnStdio && KeyPressed()) {  // a stdio door's keyboard is the caller's
      key = ReadLocalKey(extended);
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
  if (!door_private::CallerLinked()) return KeyPressed();
  return CallerKeyReady() || door_private::SysopKeyWaiting();
}

char DoorReadKey() {
  DoorLastKey.Location = lkNone;
  char key = 0;
  while (DoorLastKey.Location == lkNone) {
    while (!DoorKeyPressed()) door_private::WaitForKey();

    if (!door_private::CallerLinked()) {
      if (KeyPressed()) {
        key = ReadLocalKey(DoorLastKey.Extended);
        DoorLastKey.Location = lkUser;
      }
      continue;
    }

    if (gKeys.Ready) {
      gKeys.Ready = false;
      key = gKeys.Key;
      DoorLastKey.Extended = gKeys.Extended;
      DoorLastKey.Location = lkUser;
      continue;
    }
    bool extended = false;
    if (door_private::TakeSysopKey(key, extended)) {
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
  // What the caller typed is shown as typed: never read as pipe or backtick codes.
  using door_private::WritePlain;
  auto updateText = [&] {
    if (offset > 0) WritePlain(AnsiCursorLeft(static_cast<uint8_t>(offset)));
    if (text.size() >= visible) {
      WritePlain(shown(std::string_view(text).substr(text.size() - visible)));
      offset = visible;
    } else {
      size_t gap = visible - text.size();
      WritePlain(shown(text));
      WritePlain(std::string(gap, ' '));
      WritePlain(AnsiCursorLeft(static_cast<uint8_t>(gap)));
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
        WritePlain("\b \b");
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
        WritePlain(std::string(1, APasswordCharacter ? APasswordCharacter : key));
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
    if (DoorLastKey.Extended && key == DOOR_KEY_UP) next = std::max(index - 1, 0);
    if (DoorLastKey.Extended && key == DOOR_KEY_DOWN) next = std::min(index + 1, count - 1);
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
