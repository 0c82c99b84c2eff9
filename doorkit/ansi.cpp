#include "doorkit/ansi.h"

#include <algorithm>
#include <cstring>

#include "ansi_internal.h"
#include "doorkit/console.h"
#include "doorkit/crt2.h"

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
  // A sequence with more parameters than are kept: what they do as colours, applied as
  // they come from the attributes at the moment the list ran full. Only colours read
  // parameters past the second, so the terminal's colours stay the mirror's.
  bool Folding = false;
  uint8_t FoldAttr = 0x07;
  uint8_t FoldSaved = 0x07;
  uint8_t AnsiAttr = 0x07;
  int32_t AnsiXY = 0x0101;
};
State g;

// One SGR parameter on the attribute AAttr, and on ASaved, the attribute SGR 8 keeps for 28.
void SgrStep(uint8_t &AAttr, uint8_t &ASaved, int32_t AParam) {
  uint8_t &a = AAttr;
  switch (AParam) {
    case 0: a = 0x07; break;
    case 1: a |= 0x08; break;                         // bold: intensity
    case 5: case 6: a |= 0x80; break;                 // slow, rapid blink
    case 7: case 27:                                  // reverse, and back
      a = static_cast<uint8_t>(((a & 0x70) >> 4) + ((a & 0x07) << 4));
      break;
    case 8: ASaved = a; a = 0x00; break;              // concealed
    case 22: a &= 0x77; break;                        // normal intensity
    case 25: a &= 0x7F; break;                        // blink off
    case 28: a = ASaved; break;                       // revealed
    default:
      if (AParam >= 30 && AParam <= 37) {
        // The colour keeps the intensity in force and clears blink.
        int32_t c = AnsiColours[AParam - 30];
        if ((a & 0x0F) > 7) c += 8;
        a = static_cast<uint8_t>((a & 0x70) | (c & 0x8F));
      } else if (AParam >= 40 && AParam <= 47) {
        a = static_cast<uint8_t>(((AnsiColours[AParam - 40] << 4) & 0x70) | (a & 0x8F));
      }
      break;  // the rest is not carried out here
  }
}

// ACount is the parser's copy of AnsiParamCount.
void AddAnsiParam(int &ACount, int32_t AValue) {
  if (ACount < ANSI_MAX_PARAMS) {
    g.AnsiParams[++ACount] = AValue;
    return;
  }
  if (!g.Folding) {
    g.Folding = true;
    g.FoldAttr = GetTextAttr();
    g.FoldSaved = g.AnsiAttr;
    for (int i = 1; i <= ACount; i++) SgrStep(g.FoldAttr, g.FoldSaved, g.AnsiParams[i]);
  }
  SgrStep(g.FoldAttr, g.FoldSaved, AValue);
}

// A missing parameter reads as 0, as the placeholders of a short sequence would.
int64_t Param(int AIndex) { return AIndex <= g.AnsiParamCount ? g.AnsiParams[AIndex] : 0; }

void Move(int64_t AX, int64_t AY) {
  // Past 255 is beyond every window; cut to a byte it would land somewhere near the top.
  if (AX < 1 || AY < 1 || AX > 255 || AY > 255) return;
  GotoXY(static_cast<uint8_t>(AX), static_cast<uint8_t>(AY));
}

// Colour changes that leave both attributes as they are go no further: the console is not
// entered for them, and most of what the door sends restates the colour in force.
bool Unchanged(uint8_t ATracked, uint8_t ANew) { return ANew == ATracked && TextAttr == ATracked; }

bool IsColour(int32_t AParam) { return (AParam >= 30 && AParam <= 37) || (AParam >= 40 && AParam <= 47); }

bool IsAttributeChange(int32_t AParam) {
  switch (AParam) {
    case 0: case 1: case 5: case 6: case 7: case 8: case 22: case 25: case 27: case 28: return true;
    default: return false;
  }
}

void SelectGraphicRendition() {
  if (g.Folding) {
    if (!Unchanged(GetTextAttr(), g.FoldAttr)) SetTextAttr(g.FoldAttr);
    g.AnsiAttr = g.FoldSaved;
    return;
  }
  // The parameters left to right on the tracked attribute, each through SetTextAttr,
  // SetTextColour or SetTextBackground, so the console's attribute changes with it.
  uint8_t a = GetTextAttr();
  for (int i = 1; i <= g.AnsiParamCount; i++) {
    const int32_t p = g.AnsiParams[i];
    uint8_t next = a;
    SgrStep(next, g.AnsiAttr, p);
    if (IsColour(p)) {
      if (Unchanged(a, next)) continue;
      if (p < 40) {
        SetTextColour(static_cast<uint8_t>(next & 0x0F));
      } else {
        SetTextBackground(static_cast<uint8_t>((next >> 4) & 0x07));
      }
    } else if (IsAttributeChange(p)) {
      SetTextAttr(next);
    }
    a = next;
  }
}

// The cursor and the window, read from the console only by the sequences that need them.
struct TPlace {
  int64_t X, Y, W, H;
};

TPlace Place(bool AWindow) {
  TPlace at{WhereX(), WhereY(), 0, 0};
  if (AWindow) {
    const uint16_t lo = WindMin(), hi = WindMax();
    at.W = (hi & 0xFF) - (lo & 0xFF) + 1;
    at.H = (hi >> 8) - (lo >> 8) + 1;
  }
  return at;
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
  // Up, back, the preceding line and a save need no window edge.
  const TPlace at = Place(ACode != 'A' && ACode != 'D' && ACode != 'F' && ACode != 's');
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
  // Kept in registers over the bytes, back in the state before a sequence is carried out.
  int64_t buffer = g.AnsiBuffer;
  int count = g.AnsiParamCount;
  const char *p = AFrom;
  while (p < AEnd) {
    const auto ch = static_cast<uint8_t>(*p++);
    const unsigned digit = ch - '0';
    if (digit <= 9) {
      if (buffer <= ANSI_NUMBER_LIMIT) buffer = buffer * 10 + digit;
      continue;
    }
    if (ch == ' ' || (ch >= '<' && ch <= '?')) continue;  // private markers count for nothing
    AddAnsiParam(count, buffer > ANSI_NUMBER_LIMIT ? 0 : static_cast<int32_t>(buffer));
    buffer = 0;
    if (ch == ';') continue;
    g.AnsiParamCount = count;
    g.AnsiBuffer = 0;
    g.AnsiParserState = TAnsiParserState::None;
    HandleCode(ch);  // the final byte is never shown
    return p;
  }
  g.AnsiParamCount = count;
  g.AnsiBuffer = buffer;
  return p;
}

// A sequence is built in place and becomes one string; the longest (AnsiBlink(false))
// is 21 bytes.
struct TSequence {
  char Bytes[32];
  size_t Len = 0;
};

void PutCsi(TSequence &ASeq) {
  ASeq.Bytes[ASeq.Len++] = static_cast<char>(ESC);
  ASeq.Bytes[ASeq.Len++] = '[';
}

void PutChar(TSequence &ASeq, char ACh) { ASeq.Bytes[ASeq.Len++] = ACh; }

// Plain decimal, no sign or leading zeros.
void PutNumber(TSequence &ASeq, uint8_t AValue) {
  if (AValue >= 100) {
    ASeq.Bytes[ASeq.Len++] = static_cast<char>('0' + AValue / 100);
    AValue %= 100;
    ASeq.Bytes[ASeq.Len++] = static_cast<char>('0' + AValue / 10);
    AValue %= 10;
  } else if (AValue >= 10) {
    ASeq.Bytes[ASeq.Len++] = static_cast<char>('0' + AValue / 10);
    AValue %= 10;
  }
  ASeq.Bytes[ASeq.Len++] = static_cast<char>('0' + AValue);
}

void PutCsi(TSequence &ASeq, uint8_t AValue, char AFinal) {
  PutCsi(ASeq);
  PutNumber(ASeq, AValue);
  PutChar(ASeq, AFinal);
}

// SGR 40-47.
void PutBackground(TSequence &ASeq, uint8_t AColour) {
  PutCsi(ASeq);
  PutChar(ASeq, '4');
  PutChar(ASeq, static_cast<char>('0' + AnsiColours[AColour % 8]));
  PutChar(ASeq, 'm');
}

void PutColour(TSequence &ASeq, uint8_t AColour) {
  const int c = AColour % 16;
  PutCsi(ASeq);
  PutChar(ASeq, c >= 8 ? '1' : '0');
  PutChar(ASeq, ';');
  PutChar(ASeq, '3');  // SGR 30-37
  PutChar(ASeq, static_cast<char>('0' + AnsiColours[c & 7]));
  PutChar(ASeq, 'm');
  // SGR 0 also resets the caller's background, so the tracked one is sent again.
  if (c < 8) PutBackground(ASeq, static_cast<uint8_t>(GetTextAttr() >> 4));
}

std::string Text(const TSequence &ASeq) { return std::string(ASeq.Bytes, ASeq.Len); }

std::string Csi(uint8_t AValue, char AFinal) {
  TSequence seq;
  PutCsi(seq, AValue, AFinal);
  return Text(seq);
}

// The first ESC from AFrom on, or AEnd. Most runs are a character or two, where a call
// to memchr costs more than the look.
const char *FindEscape(const char *AFrom, const char *AEnd) {
  if (AEnd - AFrom > 16) {
    const void *esc = std::memchr(AFrom, ESC, static_cast<size_t>(AEnd - AFrom));
    return esc ? static_cast<const char *>(esc) : AEnd;
  }
  while (AFrom < AEnd && *AFrom != static_cast<char>(ESC)) AFrom++;
  return AFrom;
}

}  // namespace

void AnsiReset() { g = State{}; }

TAnsiParserState AnsiCurrentState() { return g.AnsiParserState; }

void AnsiWrite(std::string_view AText) {
  const char *p = AText.data();
  const char *const end = p + AText.size();
  while (p < end) {
    if (g.AnsiParserState == TAnsiParserState::None) {
      if (*p != static_cast<char>(ESC)) {
        // Plain text goes out in one run up to the next ESC.
        const char *esc = FindEscape(p + 1, end);
        ConsoleWrite(std::string_view(p, static_cast<size_t>(esc - p)));
        if (esc == end) return;
        p = esc;
      }
      g.AnsiParserState = TAnsiParserState::HaveEscape;
      if (++p == end) return;
    }
    if (g.AnsiParserState == TAnsiParserState::HaveEscape) {
      if (*p++ != '[') {
        g.AnsiParserState = TAnsiParserState::None;  // neither byte is shown
        continue;
      }
      g.AnsiBuffer = 0;
      g.AnsiParamCount = 0;
      g.Folding = false;
      g.AnsiParserState = TAnsiParserState::HaveBracket;
    }
    p = Bracket(p, end);
  }
}

std::string AnsiBlink(bool ABlink) {
  if (ABlink) return "\x1b[5m";
  const uint8_t t = GetTextAttr();
  TSequence seq;
  PutCsi(seq, 0, 'm');
  PutBackground(seq, static_cast<uint8_t>(t >> 4));
  PutColour(seq, static_cast<uint8_t>(t & 15));
  return Text(seq);
}

std::string AnsiClrScr() { return "\x1b[2J\x1b[1;1f"; }

std::string AnsiCursorDown(uint8_t ACount) { return Csi(ACount, 'B'); }
std::string AnsiCursorLeft(uint8_t ACount) { return Csi(ACount, 'D'); }
std::string AnsiCursorRight(uint8_t ACount) { return Csi(ACount, 'C'); }
std::string AnsiCursorUp(uint8_t ACount) { return Csi(ACount, 'A'); }
std::string AnsiCursorSave() { return "\x1b[s"; }
std::string AnsiCursorRestore() { return "\x1b[u"; }

std::string AnsiGotoXY(uint8_t AX, uint8_t AY) {
  TSequence seq;
  PutCsi(seq);
  PutNumber(seq, AY);
  PutChar(seq, ';');
  PutNumber(seq, AX);
  PutChar(seq, 'f');
  return Text(seq);
}

std::string AnsiTextAttr(uint8_t AAttr) {
  TSequence seq;
  PutColour(seq, AAttr & 15);
  PutBackground(seq, static_cast<uint8_t>(AAttr >> 4));
  return Text(seq);
}

std::string AnsiTextBackground(uint8_t AColour) {
  TSequence seq;
  PutBackground(seq, AColour);
  return Text(seq);
}

std::string AnsiTextColour(uint8_t AColour) {
  TSequence seq;
  PutColour(seq, AColour);
  return Text(seq);
}
