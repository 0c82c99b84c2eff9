#include "ansi.h"

#include <algorithm>
#include <cstring>

#include "ansi_internal.h"
#include "console.h"
#include "crt2.h"

const int32_t AnsiColours[8] = {0, 4, 2, 6, 1, 5, 3, 7};

namespace {

constexpr uint8_t ESC = 0x1B;
// Once a parameter passes this it counts as 0; it is kept just above, so endless digits
// cost nothing.
constexpr int64_t ANSI_NUMBER_LIMIT = INT32_MAX;

struct State {
  TAnsiParserState AnsiParserState = TAnsiParserState::None;
  int64_t AnsiBuffer = 0;  // the digits read so far of the open parameter
  // Entry 0 is a placeholder, parameter k is entry k; a hostile caller cannot grow it.
  int32_t AnsiParams[ANSI_MAX_PARAMS + 1] = {};
  int AnsiParamCount = 0;
  uint8_t AnsiAttr = 0x07;
  int32_t AnsiXY = 0x0101;
};
State g;

void AddAnsiParam(int32_t AValue) {
  if (g.AnsiParamCount < ANSI_MAX_PARAMS) g.AnsiParams[++g.AnsiParamCount] = AValue;
}

// A missing parameter reads as 0, as the placeholders of a short sequence would.
int64_t Param(int AIndex) { return AIndex <= g.AnsiParamCount ? g.AnsiParams[AIndex] : 0; }

void Move(int64_t AX, int64_t AY) {
  // Past 255 is beyond every window; cut to a byte it would land somewhere near the top.
  if (AX < 1 || AY < 1 || AX > 255 || AY > 255) return;
  GotoXY(static_cast<uint8_t>(AX), static_cast<uint8_t>(AY));
}

void SelectGraphicRendition() {
  for (int i = 1; i <= g.AnsiParamCount; i++) {
    const int32_t p = g.AnsiParams[i];
    const uint8_t a = GetTextAttr();
    switch (p) {
      case 0: SetTextAttr(0x07); break;
      case 1: SetTextAttr(a | 0x08); break;                    // bold: intensity
      case 5: case 6: SetTextAttr(a | 0x80); break;            // slow, rapid blink
      case 7: case 27:                                         // reverse, and back
        SetTextAttr(static_cast<uint8_t>(((a & 0x70) >> 4) + ((a & 0x07) << 4)));
        break;
      case 8: g.AnsiAttr = a; SetTextAttr(0x00); break;       // concealed
      case 22: SetTextAttr(a & 0x77); break;                   // normal intensity
      case 25: SetTextAttr(a & 0x7F); break;                   // blink off
      case 28: SetTextAttr(g.AnsiAttr); break;                 // revealed
      default:
        if (p >= 30 && p <= 37) {
          int32_t c = AnsiColours[p - 30];
          if ((a & 0x0F) > 7) c += 8;
          SetTextColour(static_cast<uint8_t>(c));
        } else if (p >= 40 && p <= 47) {
          SetTextBackground(static_cast<uint8_t>(AnsiColours[p - 40]));
        }
        break;
    }
  }
}

// The cursor and the window, read from the console only by the sequences that need them.
struct TPlace {
  int64_t X, Y, W, H;
};

TPlace Place() {
  const uint16_t lo = WindMin(), hi = WindMax();
  return {WhereX(), WhereY(), (hi & 0xFF) - (lo & 0xFF) + 1, (hi >> 8) - (lo >> 8) + 1};
}

void HandleCode(uint8_t ACode) {
  const int64_t p1 = Param(1);
  const int64_t n = p1 > 1 ? p1 : 1;
  switch (ACode) {
    case 'H': case 'f':  // CUP, HVP: row;column, unclamped
      Move(std::max<int64_t>(Param(2), 1), std::max<int64_t>(p1, 1));
      return;
    case 'm': SelectGraphicRendition(); return;  // SGR
    case 'J':                                    // ED, only the whole page
      if (p1 == 2) ClrScr();
      return;
    case 'K':                                    // EL, only to the line's end
      if (p1 == 0) ClrEol();
      return;
    case 'h':                                    // SM, only the cursor
      if (p1 == 25) CursorOn();
      return;
    case 'l':                                    // RM, only the cursor
      if (p1 == 25) CursorOff();
      return;
    case 'u': Move(g.AnsiXY & 0xFF, (g.AnsiXY >> 8) & 0xFF); return;  // restore cursor
    case 'A': case 'B': case 'C': case 'D': case 'E': case 'F': case 'G':
    case 'L': case 'M': case 's': break;
    default: return;  // scrolls, reports and the rest are not carried out here
  }
  const TPlace at = Place();
  switch (ACode) {
    case 'A': Move(at.X, std::max<int64_t>(at.Y - n, 1)); break;  // CUU, cursor up
    case 'B': Move(at.X, std::min(at.Y + n, at.H)); break;         // CUD, cursor down
    case 'C': Move(std::min(at.X + n, at.W), at.Y); break;         // CUF, cursor forward
    case 'D': Move(std::max<int64_t>(at.X - n, 1), at.Y); break;  // CUB, cursor backward
    case 'E': Move(1, std::min(at.Y + n, at.H)); break;            // CNL, next line
    case 'F': Move(1, std::max<int64_t>(at.Y - n, 1)); break;     // CPL, preceding line
    case 'G':                                                      // CHA, column absolute
      if (n <= at.W) Move(n, at.Y);
      break;
    case 'L': case 'M': {  // IL, DL
      // Inserting or deleting more rows than lie below the cursor shows nothing more.
      const int64_t rows = std::min(n, std::max<int64_t>(at.H - at.Y + 1, 0));
      for (int64_t i = 0; i < rows; i++) ACode == 'L' ? InsLine() : DelLine();
      break;
    }
    case 's': g.AnsiXY = static_cast<int32_t>(at.X + 256 * at.Y); break;  // save cursor
    default: break;
  }
}

// Reads parameter bytes up to the final byte or the end of the text; returns where it stopped.
const char *Bracket(const char *AFrom, const char *AEnd) {
  int64_t buffer = g.AnsiBuffer;  // kept in a register over the digits
  const char *p = AFrom;
  while (p < AEnd) {
    const auto ch = static_cast<uint8_t>(*p++);
    if (ch >= '0' && ch <= '9') {
      if (buffer <= ANSI_NUMBER_LIMIT) buffer = buffer * 10 + (ch - '0');
      continue;
    }
    if (ch == ' ' || (ch >= '<' && ch <= '?')) continue;  // private markers count for nothing
    AddAnsiParam(buffer > ANSI_NUMBER_LIMIT ? 0 : static_cast<int32_t>(buffer));
    buffer = 0;
    if (ch == ';') continue;
    g.AnsiBuffer = 0;
    g.AnsiParserState = TAnsiParserState::None;
    HandleCode(ch);  // the final byte is never shown
    return p;
  }
  g.AnsiBuffer = buffer;
  return p;
}

std::string Number(int32_t AValue) { return std::to_string(AValue); }

std::string Csi(int32_t AValue, char AFinal) {
  return "\x1b[" + Number(AValue) + AFinal;
}

}  // namespace

void AnsiReset() { g = State{}; }

TAnsiParserState AnsiCurrentState() { return g.AnsiParserState; }

void AnsiWrite(std::string_view AText) {
  const char *p = AText.data();
  const char *const end = p + AText.size();
  while (p < end) {
    if (g.AnsiParserState == TAnsiParserState::None) {
      // Plain text goes out in one run up to the next ESC.
      const auto *esc = static_cast<const char *>(std::memchr(p, ESC, static_cast<size_t>(end - p)));
      const char *runEnd = esc ? esc : end;
      if (runEnd > p) ConsoleWrite(std::string_view(p, static_cast<size_t>(runEnd - p)));
      if (!esc) return;
      g.AnsiParserState = TAnsiParserState::HaveEscape;
      p = esc + 1;
      continue;
    }
    if (g.AnsiParserState == TAnsiParserState::HaveEscape) {
      if (*p++ == '[') {
        g.AnsiBuffer = 0;
        g.AnsiParamCount = 0;
        g.AnsiParserState = TAnsiParserState::HaveBracket;
      } else {
        g.AnsiParserState = TAnsiParserState::None;  // neither byte is shown
      }
    } else {
      p = Bracket(p, end);
    }
  }
}

std::string AnsiBlink(bool ABlink) {
  if (ABlink) return "\x1b[5m";
  const uint8_t t = GetTextAttr();
  return "\x1b[0m" + AnsiTextBackground(static_cast<uint8_t>(t >> 4)) +
         AnsiTextColour(static_cast<uint8_t>(t & 15));
}

std::string AnsiClrScr() { return "\x1b[2J" + AnsiGotoXY(1, 1); }

std::string AnsiCursorDown(uint8_t ACount) { return Csi(ACount, 'B'); }
std::string AnsiCursorLeft(uint8_t ACount) { return Csi(ACount, 'D'); }
std::string AnsiCursorRight(uint8_t ACount) { return Csi(ACount, 'C'); }
std::string AnsiCursorUp(uint8_t ACount) { return Csi(ACount, 'A'); }
std::string AnsiCursorSave() { return "\x1b[s"; }
std::string AnsiCursorRestore() { return "\x1b[u"; }

std::string AnsiGotoXY(uint8_t AX, uint8_t AY) {
  return "\x1b[" + Number(AY) + ";" + Number(AX) + "f";
}

std::string AnsiTextAttr(uint8_t AAttr) {
  return AnsiTextColour(AAttr & 15) + AnsiTextBackground(static_cast<uint8_t>(AAttr >> 4));
}

std::string AnsiTextBackground(uint8_t AColour) {
  return Csi(AnsiColours[AColour % 8] + 40, 'm');
}

std::string AnsiTextColour(uint8_t AColour) {
  const int c = AColour % 16;
  if (c >= 8) return "\x1b[1;" + Number(AnsiColours[c - 8] + 30) + "m";
  // SGR 0 also resets the caller's background, so the tracked one is sent again.
  return "\x1b[0;" + Number(AnsiColours[c] + 30) + "m" +
         AnsiTextBackground(static_cast<uint8_t>(GetTextAttr() >> 4));
}
