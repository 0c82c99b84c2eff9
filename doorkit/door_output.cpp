// Door output: one road to both screens, with pipe and backtick colour codes, the
// screen-control wrappers and the file displays.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "doorkit/ansi.h"
#include "doorkit/comm.h"
#include "doorkit/console.h"
#include "doorkit/door.h"
#include "door_private.h"
#include "doorkit/stringutils.h"

namespace {

using door_private::g;

bool IsHexDigit(char AChar) {
  return (AChar >= '0' && AChar <= '9') || (AChar >= 'A' && AChar <= 'F') ||
         (AChar >= 'a' && AChar <= 'f');
}

// Code texts written by the backtick codes themselves.
constexpr std::string_view MORE_PROMPT = "`r0  `2<`0MORE`2>";
constexpr std::string_view MORE_ERASE = "\b\b\b\b\b\b\b\b        \b\b\b\b\b\b\b\b";
constexpr std::string_view SPINNER =
    "|`w`d\\`w`d-`w`d/`w`d|`w`d\\`w`d-`w`d/`w`d|`w`d `d";

void BacktickCode(std::string_view AText, size_t &AIndex) {
  char code = AText[AIndex + 1];
  size_t used = 2;
  switch (code) {
    case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
      DoorTextColourAndBlink(static_cast<uint8_t>(code - '0'), false);
      break;
    case '0': DoorTextColourAndBlink(10, false); break;
    case '!': DoorTextColourAndBlink(11, false); break;
    case '@': DoorTextColourAndBlink(12, false); break;
    case '#': DoorTextColourAndBlink(13, false); break;
    case '$': DoorTextColourAndBlink(14, false); break;
    case '%': DoorTextColourAndBlink(15, false); break;
    case '*': DoorTextColourAndBlink(0, false); break;
    case 'b': DoorTextColourAndBlink(4, true); break;
    case 'y': DoorTextColourAndBlink(14, true); break;
    case 'c':
      DoorTextAttr(7);
      DoorClrScr();
      DoorWrite("\r\n\r\n");
      break;
    case 'd': DoorWrite("\b"); break;
    case 'k':
      DoorWrite(MORE_PROMPT);
      DoorReadKey();
      DoorWrite(MORE_ERASE);
      break;
    case 'l': Delay(500); break;
    case 'w': Delay(100); break;
    case 'x': DoorWrite(" "); break;
    case '\\': DoorWrite("\r\n"); break;
    case '|': DoorWrite(SPINNER); break;
    case 'r':
      if (AIndex + 2 < AText.size()) {
        char colour = AText[AIndex + 2];
        if (colour >= '0' && colour <= '7') DoorTextBackground(static_cast<uint8_t>(colour - '0'));
        used = 3;
      }
      break;
    default:
      break;  // unknown codes, a second backtick included, do nothing
  }
  AIndex += used;
}

// Text and codes in order: what stands before a code is sent before the code acts.
void WriteWithBackticks(std::string_view AText) {
  size_t i = 0;
  while (i < AText.size()) {
    if (AText[i] != '`') {
      size_t tick = AText.find('`', i);
      if (tick == std::string_view::npos) {
        DoorWrite(AText.substr(i));
        return;
      }
      DoorWrite(AText.substr(i, tick - i));
      i = tick;
    }
    while (i < AText.size() && AText[i] == '`') {
      if (i + 1 == AText.size()) return;  // a trailing backtick is dropped
      BacktickCode(AText, i);
    }
  }
}

// Visible width of a text once its pipe codes are converted.
size_t VisibleLength(std::string_view AText) {
  if (!DoorSession.PipeWrite || AText.size() < 3) return AText.size();
  size_t n = 0;
  for (size_t i = 0; i < AText.size(); i++) {
    if (AText[i] == '|' && i + 2 < AText.size() && IsHexDigit(AText[i + 1]) &&
        IsHexDigit(AText[i + 2])) {
      i += 2;
      continue;
    }
    n++;
  }
  return n;
}

}  // namespace

void door_private::WritePlain(std::string_view AText) {
  if (AText.empty()) return;
  if (!door_private::CallerLinked()) {
    AnsiWrite(AText);
    return;
  }
  CommWrite(AText);
  // The sysop's screen is spared the picture's data; a stdio door's screen is drawn nowhere.
  if (!g.DisplayingSixel || g.Stdio) AnsiWrite(AText);
}

void DoorWrite(std::string_view AText) {
  std::string converted;
  if (DoorSession.PipeWrite && !g.DisplayingSixel && AText.size() >= 3 &&
      AText.find('|') != std::string_view::npos) {
    converted = PipeToAnsi(AText);
    AText = converted;
  }
  if (DoorSession.TolvarWrite && !g.DisplayingSixel && AText.size() >= 2 &&
      AText.find('`') != std::string_view::npos) {
    WriteWithBackticks(AText);
    return;
  }
  door_private::WritePlain(AText);
}

void DoorWriteLn() { DoorWrite("\r\n"); }

void DoorWriteLn(std::string_view AText) {
  std::string line(AText);
  line += "\r\n";
  DoorWrite(line);
}

void DoorClrScr() { DoorWrite(AnsiClrScr()); }
void DoorGotoXY(uint8_t AX, uint8_t AY) { DoorWrite(AnsiGotoXY(AX, AY)); }
void DoorCursorDown(uint8_t ACount) { DoorWrite(AnsiCursorDown(ACount)); }
void DoorCursorLeft(uint8_t ACount) { DoorWrite(AnsiCursorLeft(ACount)); }
void DoorCursorUp(uint8_t ACount) { DoorWrite(AnsiCursorUp(ACount)); }
void DoorCursorRight(uint8_t ACount) { DoorWrite(AnsiCursorRight(ACount)); }
void DoorCursorSave() { DoorWrite(AnsiCursorSave()); }
void DoorCursorRestore() { DoorWrite(AnsiCursorRestore()); }
void DoorTextAttr(uint8_t AAttr) { DoorWrite(AnsiTextAttr(AAttr)); }
void DoorTextBackground(uint8_t AColour) { DoorWrite(AnsiTextBackground(AColour)); }
void DoorTextColour(uint8_t AColour) { DoorWrite(AnsiTextColour(AColour)); }

void DoorTextColourAndBlink(uint8_t AColour, bool ABlink) {
  DoorWrite(AnsiTextColour(AColour));
  // Built only now: the blink-off form restates the attribute the first one set.
  DoorWrite(AnsiBlink(ABlink));
}

// The local screen mirrors the caller's, so its cursor says where the caller's stands.
void DoorGotoX(uint8_t AX) { DoorGotoXY(AX, WhereY()); }
void DoorGotoY(uint8_t AY) { DoorGotoXY(WhereX(), AY); }

void DoorWriteCentered(std::string_view AText) {
  size_t width = static_cast<size_t>((WindMax() & 0xFF) - (WindMin() & 0xFF) + 1);
  size_t length = VisibleLength(AText);
  size_t column = length >= width ? 1 : (width - length) / 2 + 1;
  DoorGotoX(static_cast<uint8_t>(column));
  DoorWrite(AText);
}

// Text is read as the drop files are: CR LF, LF or a lone CR ends a line, and 0x1A ends the
// file, so what an ANSI picture carries after it (its SAUCE record) never reaches the caller.
// Lines are joined by CR LF, so the last one goes out without a line end; each is one write.
void DoorDisplayFile(const std::string &AFileName) {
  constexpr char END_OF_TEXT = '\x1A';
  int error = 0;
  std::FILE *file = std::fopen(AFileName.c_str(), "rb");
  if (!file) {
    error = errno;
  } else {
    std::string line;
    bool lineEndOwed = false;  // a line went out; the next one starts with CR LF
    bool afterCr = false;
    auto endLine = [&] {
      if (lineEndOwed) DoorWriteLn();
      DoorWrite(line);
      line.clear();
      lineEndOwed = true;
    };
    char buffer[8192];
    bool ended = false;
    while (!ended) {
      const size_t got = std::fread(buffer, 1, sizeof buffer, file);
      if (got == 0) break;
      for (size_t i = 0; i < got; i++) {
        const char ch = buffer[i];
        if (ch == END_OF_TEXT) {
          ended = true;
          break;
        }
        if (ch == '\n' && afterCr) {
          afterCr = false;
          continue;
        }
        afterCr = ch == '\r';
        if (ch == '\r' || ch == '\n') {
          endLine();
        } else {
          line += ch;
        }
      }
    }
    if (!line.empty()) endLine();
    if (std::ferror(file)) error = errno ? errno : EIO;
    std::fclose(file);
  }
  if (error == 0) return;
  DoorWriteLn("Error reading \"" + AFileName + "\": " + std::strerror(error));
  DoorWriteLn("Hit a key to continue");
  DoorReadKey();
}

void DoorDisplaySixel(const std::string &AFileName) {
  g.DisplayingSixel = true;
  DoorDisplayFile(AFileName);
  g.DisplayingSixel = false;
}
