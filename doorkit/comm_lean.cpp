// The lean wire: the caller's screen kept twice, as the full stream would leave it (Want)
// and as the caller's terminal shows it so far (Shown). Text, cursor moves and colours only
// change Want; wherever the link sends, the cells where the two differ go out with the
// cheapest ANSI.SYS-level moves and colours, and the cursor goes where the full stream
// leaves it.
//
// Everything else (music, pictures, erases, modes, sequences not modelled here) goes out
// whole, in its place, after the difference up to that point and with the caller's cursor
// and colour first made what the full stream has there: the caller's terminal then does
// with it what it does with the full stream, whatever terminal it is. Where the outcome is
// the terminal's own (an erase's colour, a note's text on a terminal without music, where a
// picture leaves the cursor, a glyph on the last column), the cells concerned become
// unknown on both sides and are sent again only once the door writes them; a cursor or a
// colour that becomes unknown makes the door's bytes go out as they are, until a move or
// a colour reset makes it known again. A mode or character set that changes how the
// terminal draws from then on leaves the rest of the session to the full stream.
//
// The model's screen is 80x25: a taller or wider caller's screen differs only beyond the
// bottom row and the last column, and whatever reaches those goes out whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "comm_private.h"
#include "doorkit/ansi.h"

namespace {

constexpr int COLS = 80;
constexpr int ROWS = 25;

constexpr uint8_t ESC = 0x1B;
constexpr uint8_t BEL = 0x07;
constexpr uint8_t BS = 0x08;
constexpr uint8_t LF = 0x0A;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t SO = 0x0E;
constexpr uint8_t SI = 0x0F;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t SUB = 0x1A;

// A cell: the CP437 byte in bits 0-7, the PC attribute in bits 8-15.
constexpr uint32_t UNKNOWN = 0x10000;  // what stands there is the caller's terminal's own
constexpr uint32_t STALE = 0x20000;    // Shown only: not known, so the cell is sent again
constexpr uint32_t BLANK_SHOWS = 0xF000;  // a blank shows its background and blink only

constexpr size_t MAX_SEQUENCE = 64;  // longer is no sequence a door sends
constexpr int MAX_NOTE = 1024;
constexpr int MAX_PARAMS = 16;
constexpr int MAX_PARAM = 10000;  // a parameter stops growing here: beyond every screen
constexpr int MAX_GAP = 8;  // cells rewritten rather than stepped over, at most

struct TPen {
  uint8_t Attr = 0x07;
  uint8_t Known = 0;   // the bits of Attr that are known: fg 0x07, bold 0x08, bg 0x70, blink 0x80
  bool Plain = false;  // known to carry nothing beyond those (underline, reverse, ...)
};

struct TCursor {
  int X = 1;
  int Y = 1;
  bool Known = false;
};

enum class TParse : uint8_t { Ground, Esc, EscInter, Csi, String, StringEsc, Music };

struct State {
  uint32_t Want[ROWS][COLS];
  uint32_t Shown[ROWS][COLS];
  // Where Want has changed in each row since its last difference: columns From to To
  // (from 0); To below From where nothing has.
  int8_t DirtyFrom[ROWS];
  int8_t DirtyTo[ROWS];
  bool AllUnknown = true;
  TCursor Cur;  // the full stream's
  TPen Pen;
  TCursor Term;  // the caller's terminal's, as the lean stream leaves it
  TPen TermPen;
  bool Tainted = false;  // the full stream from now on
  TParse Parse = TParse::Ground;
  char Seq[MAX_SEQUENCE];  // the escape sequence being read, held until it is whole
  size_t SeqLen = 0;
  const char *Whole = nullptr;  // or one found whole in what the door wrote
  size_t WholeLen = 0;
  bool Osc = false;  // the string being passed on ends with BEL too
  int NoteLen = 0;
  std::string Out;  // what goes to the caller, handed on at the end of each call
};
State g;

uint32_t Cell(uint8_t ACh, uint8_t AAttr) { return ACh | static_cast<uint32_t>(AAttr) << 8; }
bool IsBlank(uint32_t ACell) { return ACell < UNKNOWN && (ACell & 0xFF) == ' '; }
bool Same(uint32_t A, uint32_t B) { return A == B || (IsBlank(A) && IsBlank(B) && ((A ^ B) & BLANK_SHOWS) == 0); }
bool Full(const TPen &APen) { return APen.Known == 0xFF && APen.Plain; }
// The door's bytes go out as they are while the cursor or the colour is not known.
bool Raw() { return !g.Cur.Known || !Full(g.Pen); }

// Whatever went out as it was did to the caller's terminal what it does to the full stream's.
void Follow() {
  g.Term = g.Cur;
  g.TermPen = g.Pen;
}

void ForgetAll() {
  if (g.AllUnknown) return;
  std::fill(&g.Want[0][0], &g.Want[0][0] + ROWS * COLS, UNKNOWN);
  std::fill(&g.Shown[0][0], &g.Shown[0][0] + ROWS * COLS, UNKNOWN);
  std::fill(g.DirtyFrom, g.DirtyFrom + ROWS, static_cast<int8_t>(COLS));
  std::fill(g.DirtyTo, g.DirtyTo + ROWS, static_cast<int8_t>(-1));
  g.AllUnknown = true;
}

// Want has changed in row AY (from 0), columns AX1 to AX2 (from 0).
void Touch(int AY, int AX1, int AX2) {
  if (AX1 < g.DirtyFrom[AY]) g.DirtyFrom[AY] = static_cast<int8_t>(AX1);
  if (AX2 > g.DirtyTo[AY]) g.DirtyTo[AY] = static_cast<int8_t>(AX2);
}

// Columns AX1 to AX2 (from 1) of row AY.
void Forget(int AY, int AX1, int AX2) {
  for (int X = AX1; X <= AX2; ++X) g.Want[AY - 1][X - 1] = g.Shown[AY - 1][X - 1] = UNKNOWN;
}

// The bottom-right cell is never sent: ANSI.SYS scrolls the screen once it is written.
bool Changed(int AY, int AX) {
  const uint32_t W = g.Want[AY][AX];
  if (W == g.Shown[AY][AX]) return false;
  return W < UNKNOWN && !Same(W, g.Shown[AY][AX]) && !(AY == ROWS - 1 && AX == COLS - 1);
}

void PutNumber(std::string &AOut, int AValue) {
  if (AValue >= 10) PutNumber(AOut, AValue / 10);
  AOut += static_cast<char>('0' + AValue % 10);
}

// ESC [ n F, the count left out where it is 1.
void PutCsi(std::string &AOut, int ACount, char AFinal) {
  AOut += "\x1b[";
  if (ACount > 1) PutNumber(AOut, ACount);
  AOut += AFinal;
}

void PutHorizontal(std::string &AOut, int AFrom, int ATo) {
  if (ATo > AFrom) {
    PutCsi(AOut, ATo - AFrom, 'C');
  } else if (AFrom - ATo <= 3) {
    AOut.append(static_cast<size_t>(AFrom - ATo), '\b');
  } else if (ATo < AFrom) {
    PutCsi(AOut, AFrom - ATo, 'D');
  }
}

// The cheapest bytes that take the caller's cursor to column AX, row AY.
std::string Move(int AX, int AY) {
  std::string Best = "\x1b[";
  if (AY > 1 || AX > 1) PutNumber(Best, AY);
  if (AX > 1) {
    Best += ';';
    PutNumber(Best, AX);
  }
  Best += 'H';
  if (!g.Term.Known) return Best;
  const int Dy = AY - g.Term.Y;
  std::string Rows;  // the cursor keys keep the column
  if (Dy > 0) {
    PutCsi(Rows, Dy, 'B');
  } else if (Dy < 0) {
    PutCsi(Rows, -Dy, 'A');
  }
  std::string Along = Rows;
  PutHorizontal(Along, g.Term.X, AX);
  // From the row's start: after a CR, line feeds go down in column 1 on every terminal,
  // those that add a CR to each of them too.
  std::string FromStart = "\r";
  if (Dy > 0 && Dy <= 3) {
    FromStart.append(static_cast<size_t>(Dy), '\n');
  } else {
    FromStart += Rows;
  }
  PutHorizontal(FromStart, 1, AX);
  if (Along.size() < Best.size()) Best.swap(Along);
  if (FromStart.size() < Best.size()) Best.swap(FromStart);
  return Best;
}

void MoveTo(int AX, int AY) {
  if (g.Term.Known && g.Term.X == AX && g.Term.Y == AY) return;
  g.Out += Move(AX, AY);
  g.Term = TCursor{AX, AY, true};
}

bool PenHolds(uint8_t AAttr, uint8_t ANeed) {
  const TPen &T = g.TermPen;
  return T.Plain && (T.Known & ANeed) == ANeed && ((T.Attr ^ AAttr) & ANeed) == 0;
}

// Makes the bits ANeed of the caller's colour those of AAttr: by SGR 0 and what differs
// from light grey on black, or by adding to what the terminal has, whichever is shorter.
void SetPen(uint8_t AAttr, uint8_t ANeed) {
  if (PenHolds(AAttr, ANeed)) return;
  const TPen &T = g.TermPen;
  const char Fg = static_cast<char>('0' + AnsiColours[AAttr & 7]);
  const char Bg = static_cast<char>('0' + AnsiColours[(AAttr >> 4) & 7]);
  std::string Reset = "0";
  if ((ANeed & 0x08) && (AAttr & 0x08)) Reset += ";1";
  if ((ANeed & 0x80) && (AAttr & 0x80)) Reset += ";5";
  if ((ANeed & 0x07) && (AAttr & 0x07) != 7) (Reset += ";3") += Fg;
  if ((ANeed & 0x70) && (AAttr & 0x70) != 0) (Reset += ";4") += Bg;

  bool CanAdd = T.Plain;  // bold and blink only go off with a reset
  std::string Add;
  auto Part = [&](uint8_t ABits, const char *AOn, char AColour) {
    if (!(ANeed & ABits) || ((T.Known & ABits) == ABits && ((T.Attr ^ AAttr) & ABits) == 0)) return;
    if (!AColour && !(AAttr & ABits)) CanAdd = false;
    if (!Add.empty()) Add += ';';
    Add += AOn;
    if (AColour) Add += AColour;
  };
  Part(0x08, "1", 0);
  Part(0x80, "5", 0);
  Part(0x07, "3", Fg);
  Part(0x70, "4", Bg);

  g.Out += "\x1b[";
  if (CanAdd && Add.size() < Reset.size()) {
    g.Out += Add;
    g.TermPen.Attr = static_cast<uint8_t>((T.Attr & ~ANeed) | (AAttr & ANeed));
    g.TermPen.Known |= ANeed;
  } else {
    g.Out += Reset;
    g.TermPen = TPen{static_cast<uint8_t>((0x07 & ~ANeed) | (AAttr & ANeed)), 0xFF, true};
  }
  g.Out += 'm';
}

void WriteCell(int AY, int AX) {
  const uint32_t W = g.Want[AY][AX];
  SetPen(static_cast<uint8_t>(W >> 8), IsBlank(W) ? BLANK_SHOWS >> 8 : 0xFF);
  g.Out += static_cast<char>(W & 0xFF);
  g.Shown[AY][AX] = W;
  // After the last column the terminal decides where the cursor stands.
  if (++g.Term.X > COLS) g.Term.Known = false;
}

// Cells AX to ANext - 1 of row AY already show right; writing them again costs a byte
// each where the caller's colour suits them all.
size_t RewriteCost(int AY, int AX, int ANext) {
  for (int X = AX; X < ANext; ++X) {
    const uint32_t W = g.Want[AY][X];
    if (W >= UNKNOWN || !PenHolds(static_cast<uint8_t>(W >> 8), IsBlank(W) ? BLANK_SHOWS >> 8 : 0xFF))
      return SIZE_MAX;
  }
  return static_cast<size_t>(ANext - AX);
}

// What changed, row by row: runs of cells, short gaps written over when that is cheaper
// than moving past them.
void Difference() {
  for (int Y = 0; Y < ROWS; ++Y) {
    if (g.DirtyTo[Y] < g.DirtyFrom[Y]) continue;
    const int Last = g.DirtyTo[Y];
    int X = g.DirtyFrom[Y];
    g.DirtyFrom[Y] = COLS;
    g.DirtyTo[Y] = -1;
    const uint32_t *const Want = g.Want[Y];
    const uint32_t *const Shown = g.Shown[Y];
    while (X <= Last) {
      while (X <= Last && Want[X] == Shown[X]) ++X;
      if (X > Last) break;
      if (!Changed(Y, X)) {
        ++X;
        continue;
      }
      MoveTo(X + 1, Y + 1);
      for (;;) {
        while (X <= Last && Changed(Y, X)) WriteCell(Y, X++);
        int Next = X;
        while (Next <= Last && Next - X <= MAX_GAP && !Changed(Y, Next)) ++Next;
        if (Next > Last || Next - X > MAX_GAP || RewriteCost(Y, X, Next) > Move(Next + 1, Y + 1).size()) break;
        while (X < Next) WriteCell(Y, X++);
      }
    }
  }
}

// Before something goes out whole: the caller's screen, cursor and colour made what the
// full stream has at this point. While the door's bytes go out as they are, they are.
void Barrier(bool ACells = true) {
  if (Raw()) return;
  if (ACells) Difference();
  MoveTo(g.Cur.X, g.Cur.Y);
  SetPen(g.Pen.Attr, 0xFF);
}

void HandOn() {
  if (g.Whole) {
    g.Out.append(g.Whole, g.WholeLen);
  } else {
    g.Out.append(g.Seq, g.SeqLen);
  }
  g.Whole = nullptr;
  g.SeqLen = 0;
}

// Goes out whole, in its place; the caller applies its effect to the model, then follows.
void PassOn(bool ACells = true) {
  Barrier(ACells);
  HandOn();
}

// Applied to the model already: nothing goes out, unless the door's bytes go out as they are.
void Modelled(bool AWasRaw) {
  if (AWasRaw) {
    HandOn();
    Follow();
  }
  g.Whole = nullptr;
  g.SeqLen = 0;
}

void Taint() {
  PassOn();
  g.Tainted = true;
  g.Parse = TParse::Ground;
}

// What a sequence's outcome may be on some terminal: anything, anywhere.
void Anything(bool APen) {
  PassOn();
  ForgetAll();
  g.Cur.Known = false;
  if (APen) g.Pen = TPen{};
  Follow();
}

void Glyph(uint8_t ACh) {
  if (!Raw() && g.Cur.X < COLS) {
    g.Want[g.Cur.Y - 1][g.Cur.X - 1] = Cell(ACh, g.Pen.Attr);
    Touch(g.Cur.Y - 1, g.Cur.X - 1, g.Cur.X - 1);
    g.AllUnknown = false;
    ++g.Cur.X;
    return;
  }
  // On the last column, or while the cursor or the colour is not known.
  Barrier();
  g.Out += static_cast<char>(ACh);
  if (!g.Cur.Known) {
    ForgetAll();
  } else if (g.Cur.X == COLS) {
    // Where the cursor goes now is the terminal's own; in the bottom row ANSI.SYS scrolls.
    if (g.Cur.Y == ROWS) {
      ForgetAll();
    } else {
      g.Want[g.Cur.Y - 1][COLS - 1] = g.Shown[g.Cur.Y - 1][COLS - 1] = Full(g.Pen) ? Cell(ACh, g.Pen.Attr) : UNKNOWN;
      g.AllUnknown = false;
    }
    g.Cur.Known = false;
  } else {
    g.Want[g.Cur.Y - 1][g.Cur.X - 1] = g.Shown[g.Cur.Y - 1][g.Cur.X - 1] = UNKNOWN;
    ++g.Cur.X;
  }
  Follow();
}

void Control(uint8_t AByte) {
  g.Seq[0] = static_cast<char>(AByte);
  g.SeqLen = 1;
  const bool WasRaw = Raw();
  switch (AByte) {
    case CR:
      if (g.Cur.Known) g.Cur.X = 1;
      Modelled(WasRaw);
      return;
    case LF:
      if (g.Cur.Known && g.Cur.Y < ROWS) {
        ++g.Cur.Y;
        Modelled(WasRaw);
        return;
      }
      Anything(false);  // the bottom row scrolls, or on a taller screen it does not
      return;
    case BS:
      if (g.Cur.Known && g.Cur.X > 1) {
        --g.Cur.X;
        Modelled(WasRaw);
        return;
      }
      PassOn();
      g.Cur.Known = false;
      Follow();
      return;
    case BEL:
      PassOn();
      Follow();
      return;
    case SO:
    case SI:
      Taint();  // character sets
      return;
    default:
      Anything(false);  // a glyph on a PC, a tab, a form feed elsewhere
      return;
  }
}

void EndString() {
  g.Parse = TParse::Ground;
  if (!g.Osc) {
    ForgetAll();  // a picture, or a string the terminal may take as one
    g.Cur.Known = false;
  }
  Follow();
}

// The note's text is painted by a terminal without music; with music, nothing is.
void EndNote() {
  g.Parse = TParse::Ground;
  if (g.Cur.Known && g.Cur.X + g.NoteLen < COLS) {
    Forget(g.Cur.Y, g.Cur.X, g.Cur.X + g.NoteLen);  // SO is a glyph on a PC
  } else {
    ForgetAll();
  }
  g.Cur.Known = false;
  Follow();
}

void EscFinal(uint8_t AFinal) {
  switch (AFinal) {
    case '7':  // saves the cursor: nothing changes on the screen
    case '=':  // keypad modes
    case '>':
      PassOn();
      Follow();
      return;
    case 'N':  // single and locking shifts: character sets
    case 'O':
    case 'n':
    case 'o':
    case '|':
    case '}':
    case '~':
      Taint();
      return;
    default:  // a reset, a restored cursor, index, reverse index, ...
      Anything(true);
      return;
  }
}

void ApplySgr(TPen &APen, int AParam) {
  if (AParam == 0) {
    APen = TPen{0x07, 0xFF, true};
  } else if (AParam == 1 || AParam == 5) {
    const uint8_t Bit = AParam == 1 ? 0x08 : 0x80;
    APen.Attr |= Bit;
    APen.Known |= Bit;
  } else if (AParam >= 30 && AParam <= 37) {
    APen.Attr = static_cast<uint8_t>((APen.Attr & ~0x07) | AnsiColours[AParam - 30]);
    APen.Known |= 0x07;
  } else if (AParam >= 40 && AParam <= 47) {
    APen.Attr = static_cast<uint8_t>((APen.Attr & ~0x70) | AnsiColours[AParam - 40] << 4);
    APen.Known |= 0x70;
  } else {
    // 22, 25, 7, underline, 256 colours...: terminals take them differently or we do not
    // draw them; known again from the next reset.
    APen = TPen{APen.Attr, 0, false};
  }
}

struct TCsi {
  char Final = 0;
  char Private = 0;
  bool Odd = false;  // intermediates, sub-parameters, too many
  bool Bare = false;  // no parameter bytes at all
  int Count = 0;
  int Params[MAX_PARAMS];
};

// Reads the parameters from AFrom on; returns where they end (the final byte, if whole).
const char *ReadCsi(const char *AFrom, const char *AEnd, TCsi &ACsi) {
  const char *P = AFrom;
  if (P < AEnd && *P >= '<' && *P <= '?') ACsi.Private = *P++;
  int Value = 0;
  for (; P < AEnd; ++P) {
    const unsigned Digit = static_cast<unsigned>(static_cast<uint8_t>(*P) - '0');
    if (Digit <= 9) {
      if (Value < MAX_PARAM) Value = Value * 10 + static_cast<int>(Digit);
    } else if (*P == ';') {
      if (ACsi.Count < MAX_PARAMS - 1) {
        ACsi.Params[ACsi.Count++] = Value;
      } else {
        ACsi.Odd = true;
      }
      Value = 0;
    } else {
      break;
    }
  }
  ACsi.Params[ACsi.Count++] = Value;
  ACsi.Bare = P == AFrom;
  return P;
}

void CarryOut(const TCsi &ACsi);

// The held sequence, whole: its parameters read, then carried out.
void CsiFinal() {
  TCsi Csi;
  const char *const Last = g.Seq + g.SeqLen - 1;
  if (ReadCsi(g.Seq + 2, Last, Csi) != Last) Csi.Odd = true;
  Csi.Final = *Last;
  CarryOut(Csi);
}

void CarryOut(const TCsi &ACsi) {
  const char Final = ACsi.Final;
  const int *const Params = ACsi.Params;
  const int Count = ACsi.Count;
  const int P1 = Params[0];

  if (ACsi.Odd) {
    Anything(true);  // a soft reset among them
    return;
  }
  if (ACsi.Private) {
    // Showing and hiding the cursor, and wrapping on (as every terminal starts): nothing
    // else changes. Other private modes change how the terminal draws.
    if (ACsi.Private == '?' && Count == 1 && (Final == 'h' || Final == 'l') && (P1 == 25 || (P1 == 7 && Final == 'h'))) {
      PassOn();
      Follow();
    } else {
      Taint();
    }
    return;
  }
  const bool WasRaw = Raw();
  switch (Final) {
    case 'H':
    case 'f': {
      const int Row = std::max(P1, 1);
      const int Col = Count > 1 ? std::max(Params[1], 1) : 1;
      if (Count <= 2 && Row <= ROWS && Col <= COLS) {
        g.Cur = TCursor{Col, Row, true};
        Modelled(WasRaw);
        return;
      }
      PassOn();  // beyond the screen: where it stops is the terminal's own
      g.Cur.Known = false;
      Follow();
      return;
    }
    case 'A':
    case 'B':
    case 'C':
    case 'D': {
      if (Count > 1) {
        PassOn();
        g.Cur.Known = false;
        Follow();
        return;
      }
      if (!g.Cur.Known) {
        Modelled(WasRaw);
        return;
      }
      const int N = std::max(P1, 1);
      int X = g.Cur.X, Y = g.Cur.Y;
      if (Final == 'A') Y = std::max(Y - N, 1);
      if (Final == 'B') Y += N;
      if (Final == 'C') X += N;
      if (Final == 'D') X = std::max(X - N, 1);
      if (X <= COLS && Y <= ROWS) {
        g.Cur = TCursor{X, Y, true};
        Modelled(WasRaw);
        return;
      }
      PassOn();  // past the right or the bottom edge: that edge is the terminal's
      g.Cur.Known = false;
      Follow();
      return;
    }
    case 'm': {
      TPen Next = g.Pen;
      for (int K = 0; K < Count; ++K) ApplySgr(Next, Params[K]);
      if (!WasRaw && !Full(Next)) {
        PassOn();
        g.Pen = Next;
        Follow();
        return;
      }
      g.Pen = Next;
      Modelled(WasRaw);
      return;
    }
    case 'J':
      // Erased in the terminal's own colours; ANSI.SYS homes the cursor after a whole page.
      PassOn(P1 != 2);
      ForgetAll();
      if (P1 >= 2) g.Cur.Known = false;
      Follow();
      return;
    case 'K':
      PassOn();
      if (g.Cur.Known) {
        Forget(g.Cur.Y, P1 == 0 ? g.Cur.X : 1, P1 == 1 ? g.Cur.X : COLS);
      } else {
        ForgetAll();
      }
      Follow();
      return;
    case 'n':  // reports: of the cursor where the full stream has it
    case 'c':
      PassOn();
      Follow();
      return;
    case 's':  // saved where the full stream has the cursor; some terminals home it instead
    case 'u':  // restored by some terminals, ignored by others
      PassOn();
      g.Cur.Known = false;
      Follow();
      return;
    case 'N':
      if (ACsi.Bare) {  // ESC [ N: a note, up to SO
        PassOn();
        g.NoteLen = 0;
        g.Parse = TParse::Music;
        return;
      }
      Anything(false);
      return;
    case 'h':  // insert mode, new-line mode: glyphs and line feeds act otherwise
    case 'l':
    case 'r':  // scroll regions
      Taint();
      return;
    default:  // lines inserted or deleted, scrolls, erased characters, ...
      Anything(false);
      return;
  }
}

// What doors send most, taken at once while the lean wire models: a move on the screen,
// and a colour that stays known. AP stands at ESC [; moved past the sequence if taken.
bool Quick(const char *&AP, const char *AEnd) {
  int Params[4];
  int Count = 0, Value = 0;
  const char *P = AP + 2;
  const char *const Limit = AEnd - P > 16 ? P + 16 : AEnd;
  for (; P < Limit; ++P) {
    const unsigned Digit = static_cast<unsigned>(static_cast<uint8_t>(*P) - '0');
    if (Digit <= 9) {
      if (Value < MAX_PARAM) Value = Value * 10 + static_cast<int>(Digit);
      continue;
    }
    if (Count == 3) return false;
    Params[Count++] = Value;
    Value = 0;
    if (*P != ';') break;
  }
  if (P == Limit) return false;
  if (*P == 'm') {
    TPen Next = g.Pen;
    for (int K = 0; K < Count; ++K) ApplySgr(Next, Params[K]);
    if (!Full(Next)) return false;
    g.Pen = Next;
  } else if ((*P == 'H' || *P == 'f') && Count <= 2) {
    const int Row = std::max(Params[0], 1);
    const int Col = Count > 1 ? std::max(Params[1], 1) : 1;
    if (Row > ROWS || Col > COLS) return false;
    g.Cur = TCursor{Col, Row, true};
  } else {
    return false;
  }
  AP = P + 1;
  return true;
}

void Hold(uint8_t AByte) { g.Seq[g.SeqLen++] = static_cast<char>(AByte); }

void Step(uint8_t AByte) {
  if (g.Tainted) {
    g.Out += static_cast<char>(AByte);
    return;
  }
  switch (g.Parse) {
    case TParse::Ground:
      if (AByte == ESC) {
        g.SeqLen = 0;
        Hold(AByte);
        g.Parse = TParse::Esc;
      } else if (AByte >= 0x20 && AByte != 0x7F) {
        Glyph(AByte);
      } else {
        Control(AByte);
      }
      return;
    case TParse::Esc:
      Hold(AByte);
      if (AByte == '[') {
        g.Parse = TParse::Csi;
      } else if (AByte == 'P' || AByte == ']' || AByte == 'X' || AByte == '^' || AByte == '_') {
        // Strings (a sixel picture, a title) go on as they come.
        PassOn();
        g.Osc = AByte == ']';
        g.Parse = TParse::String;
      } else if (AByte >= 0x20 && AByte <= 0x2F) {
        g.Parse = TParse::EscInter;
      } else if (AByte >= 0x30 && AByte <= 0x7E) {
        g.Parse = TParse::Ground;
        EscFinal(AByte);
      } else {
        Taint();  // a control inside an escape: terminals part ways
      }
      return;
    case TParse::EscInter:
      Hold(AByte);
      if (AByte < 0x20 || AByte > 0x2F || g.SeqLen == MAX_SEQUENCE) Taint();  // character sets
      return;
    case TParse::Csi:
      if (AByte == ESC) {
        // Cuts the sequence off, unseen by any terminal; a new one starts.
        g.SeqLen = 0;
        Hold(AByte);
        g.Parse = TParse::Esc;
        return;
      }
      Hold(AByte);
      if (AByte >= 0x40 && AByte <= 0x7E) {
        g.Parse = TParse::Ground;
        CsiFinal();
      } else if (AByte < 0x20 || AByte > 0x3F || g.SeqLen == MAX_SEQUENCE) {
        Taint();
      }
      return;
    case TParse::String:
      g.Out += static_cast<char>(AByte);
      if (AByte == ESC) {
        g.Parse = TParse::StringEsc;
      } else if ((AByte == BEL && g.Osc) || AByte == CAN || AByte == SUB) {
        EndString();
      }
      return;
    case TParse::StringEsc:
      g.Out += static_cast<char>(AByte);
      if (AByte == '\\') {
        EndString();
      } else {
        g.Tainted = true;  // how a terminal reads an escape inside a string is its own
        g.Parse = TParse::Ground;
      }
      return;
    case TParse::Music:
      g.Out += static_cast<char>(AByte);
      if (AByte == SO) {
        EndNote();
      } else if (AByte < 0x20 || AByte == 0x7F || ++g.NoteLen > MAX_NOTE) {
        g.Tainted = true;  // no note of ours
        g.Parse = TParse::Ground;
      }
      return;
  }
}

// Hands what gathered on to the link. Taken out first: a send that waits may end the
// program, and the exit hook writes again.
void Send() {
  if (g.Out.empty()) return;
  std::string Pending;
  Pending.swap(g.Out);
  comm_private::Emit(Pending);
  if (g.Out.empty()) {
    Pending.clear();
    g.Out.swap(Pending);  // its room serves the next call
  }
}

}  // namespace

void comm_private::LeanReset() {
  g.AllUnknown = false;
  ForgetAll();
  g.Cur = g.Term = TCursor{};
  g.Pen = g.TermPen = TPen{};
  g.Tainted = false;
  g.Parse = TParse::Ground;
  g.SeqLen = 0;
  g.Out.clear();
}

void comm_private::LeanTake(std::string_view AText) {
  const char *P = AText.data();
  const char *const End = P + AText.size();
  while (P < End) {
    if (g.Parse == TParse::Ground && !g.Tainted) {
      // The bulk of what doors send, taken without the byte machine: whole control
      // sequences, and runs of text short of the last column.
      if (*P == static_cast<char>(ESC)) {
        if (End - P > 2 && P[1] == '[' && !Raw() && Quick(P, End)) continue;
        if (End - P > 2 && P[1] == '[') {
          TCsi Csi;
          const char *const Limit = End - P > static_cast<ptrdiff_t>(MAX_SEQUENCE) ? P + MAX_SEQUENCE - 1 : End;
          const char *const F = ReadCsi(P + 2, Limit, Csi);
          if (F < Limit && *F >= 0x40 && *F <= 0x7E) {
            g.Whole = P;
            g.WholeLen = static_cast<size_t>(F - P + 1);
            Csi.Final = *F;
            P = F + 1;
            CarryOut(Csi);
            g.Whole = nullptr;
            continue;
          }
        }
      } else if (!Raw()) {
        uint32_t *const Row = g.Want[g.Cur.Y - 1];
        const uint32_t Attr = static_cast<uint32_t>(g.Pen.Attr) << 8;
        int X = g.Cur.X - 1;
        const char *const Start = P;
        while (P < End && X < COLS - 1) {
          const auto B = static_cast<uint8_t>(*P);
          if (B < 0x20 || B == 0x7F) break;
          Row[X++] = B | Attr;
          ++P;
        }
        if (P != Start) {
          Touch(g.Cur.Y - 1, g.Cur.X - 1, X - 1);
          g.Cur.X = X + 1;
          g.AllUnknown = false;
          continue;
        }
      }
    }
    Step(static_cast<uint8_t>(*P++));
  }
  if (!g.Out.empty()) Send();
}

void comm_private::LeanFlush(bool AFinal) {
  if (!g.Tainted && !Raw()) {
    Difference();
    MoveTo(g.Cur.X, g.Cur.Y);
    if (AFinal) SetPen(g.Pen.Attr, 0xFF);
  }
  if (AFinal && (g.Parse == TParse::Esc || g.Parse == TParse::EscInter || g.Parse == TParse::Csi)) {
    // A sequence cut off by the end: the caller's terminal gets what the full stream gave it.
    Taint();
  }
  Send();
}

void comm_private::LeanPurge() {
  for (int Y = 0; Y < ROWS; ++Y) {
    for (int X = 0; X < COLS; ++X) {
      if (g.Want[Y][X] < UNKNOWN) g.Shown[Y][X] = STALE;
    }
    Touch(Y, 0, COLS - 1);
  }
  g.Term = TCursor{};
  g.TermPen = TPen{};
  g.Out.clear();
}
