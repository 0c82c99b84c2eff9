// The local keyboard as a PC gives it: terminal key sequences become 0 and the PC scan
// code; a lone ESC is told from the start of a sequence by a short time-out.
#include <cstring>

#include "console_parts.h"
#include "cp437.h"

namespace {

struct TKeySequence {
  const char *Bytes;
  uint8_t Scan;
};

// What xterm, the Linux console, rxvt and screen/tmux send for the keys a PC has.
constexpr TKeySequence KEY_SEQUENCES[] = {
    {"\x1b[A", 0x48},   {"\x1b[B", 0x50},   {"\x1b[C", 0x4D},   {"\x1b[D", 0x4B},
    {"\x1bOA", 0x48},   {"\x1bOB", 0x50},   {"\x1bOC", 0x4D},   {"\x1bOD", 0x4B},
    {"\x1b[H", 0x47},   {"\x1bOH", 0x47},   {"\x1b[1~", 0x47},  {"\x1b[7~", 0x47},
    {"\x1b[F", 0x4F},   {"\x1bOF", 0x4F},   {"\x1b[4~", 0x4F},  {"\x1b[8~", 0x4F},
    {"\x1b[5~", 0x49},  {"\x1b[6~", 0x51},  {"\x1b[2~", 0x52},  {"\x1b[3~", 0x53},
    {"\x1bOP", 0x3B},   {"\x1bOQ", 0x3C},   {"\x1bOR", 0x3D},   {"\x1bOS", 0x3E},
    {"\x1b[11~", 0x3B}, {"\x1b[12~", 0x3C}, {"\x1b[13~", 0x3D}, {"\x1b[14~", 0x3E},
    {"\x1b[[A", 0x3B},  {"\x1b[[B", 0x3C},  {"\x1b[[C", 0x3D},  {"\x1b[[D", 0x3E},
    {"\x1b[[E", 0x3F},  {"\x1b[15~", 0x3F}, {"\x1b[17~", 0x40}, {"\x1b[18~", 0x41},
    {"\x1b[19~", 0x42}, {"\x1b[20~", 0x43}, {"\x1b[21~", 0x44}, {"\x1b[23~", 0x85},
    {"\x1b[24~", 0x86},
};

// PC Alt scan codes: letters a-z, then digits 1-9 and 0 (0x78-0x81).
constexpr uint8_t ALT_LETTER_SCANS[26] = {0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17,
                                          0x24, 0x25, 0x26, 0x32, 0x31, 0x18, 0x19, 0x10, 0x13,
                                          0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C};

constexpr size_t QUEUE_SIZE = 4096;
constexpr int MAX_SEQUENCE = 16;
// What a PC keyboard gives for Ctrl+@ (Ctrl+Space on most terminals): 0, then this.
constexpr uint8_t SCAN_CTRL_AT = 0x03;

struct State {
  uint8_t Pending[MAX_SEQUENCE] = {};  // a sequence begun with ESC
  int Len = 0;
  uint64_t Since = 0;
  bool AfterCr = false;  // CR LF is one Enter
  bool Discarding = false;  // the rest of an overlong control sequence goes
  bool Utf8 = false;        // the keyboard sends UTF-8: characters become CP437 bytes
  TUtf8Decoder Decoder;
  uint8_t Queue[QUEUE_SIZE] = {};
  size_t Head = 0, Count = 0;
};

State g;

void Emit(uint8_t AByte) {
  if (g.Count == QUEUE_SIZE) return;  // nobody reads: the oldest keys are kept
  g.Queue[(g.Head + g.Count) % QUEUE_SIZE] = AByte;
  g.Count++;
}

void EmitExtended(uint8_t AScan) {
  if (g.Count + 2 > QUEUE_SIZE) return;
  Emit(0);
  Emit(AScan);
}

int AltScan(uint8_t ACh) {
  if (ACh >= 'a' && ACh <= 'z') return ALT_LETTER_SCANS[ACh - 'a'];
  if (ACh >= 'A' && ACh <= 'Z') return ALT_LETTER_SCANS[ACh - 'A'];
  if (ACh >= '1' && ACh <= '9') return 0x78 + (ACh - '1');
  if (ACh == '0') return 0x81;
  return -1;
}

void Plain(uint8_t AByte) {
  const bool AfterCr = g.AfterCr;
  g.AfterCr = AByte == '\r';
  if (AByte == '\n' && AfterCr) return;
  if (AByte == 0x7F) AByte = 8;
  if (AByte == '\n') AByte = 13;
  if (AByte == 0) {
    // A lone 0 would read as the start of an extended key and wait for a scan code.
    EmitExtended(SCAN_CTRL_AT);
    return;
  }
  if (g.Utf8 && (AByte >= 0x80 || g.Decoder.Left > 0)) {
    // The sysop types UTF-8; the door knows CP437 only. What has no CP437 form is dropped.
    const int32_t Code = Utf8Feed(g.Decoder, AByte);
    if (Code < 0) return;
    const int Ch = Cp437FromUnicode(static_cast<uint32_t>(Code));
    if (Ch > 0) Emit(static_cast<uint8_t>(Ch));
    return;
  }
  Emit(AByte);
}

int Lookup(const uint8_t *ABytes, int ALen) {
  for (const TKeySequence &S : KEY_SEQUENCES)
    if (std::strlen(S.Bytes) == static_cast<size_t>(ALen) && std::memcmp(S.Bytes, ABytes, ALen) == 0)
      return S.Scan;
  return -1;
}

void FeedByte(uint8_t AByte, uint64_t ANow);

// The pending bytes start no known key: ESC + letter is Alt+letter, anything else is ESC
// followed by the rest as typed.
void GiveUp(uint64_t ANow) {
  uint8_t Rest[MAX_SEQUENCE];
  const int RestLen = g.Len - 1;
  std::memcpy(Rest, g.Pending + 1, RestLen);
  g.Len = 0;
  int From = 0;
  const int Alt = RestLen > 0 ? AltScan(Rest[0]) : -1;
  if (Alt >= 0) {
    EmitExtended(static_cast<uint8_t>(Alt));
    From = 1;
  } else {
    Emit(27);
  }
  g.AfterCr = false;
  for (int I = From; I < RestLen; I++) FeedByte(Rest[I], ANow);
}

// A complete control sequence not in the table: the same key with modifiers (ESC [1;5A,
// ESC [3;2~) is the key; anything else is dropped.
void UnknownCsi() {
  const uint8_t Final = g.Pending[g.Len - 1];
  int Semicolon = -1;
  for (int I = 2; I < g.Len - 1; I++)
    if (g.Pending[I] == ';') {
      Semicolon = I;
      break;
    }
  g.Len = 0;
  if (Semicolon < 0) return;
  uint8_t Plainer[MAX_SEQUENCE];
  std::memcpy(Plainer, g.Pending, Semicolon);
  int Len = Semicolon;
  if (Final != '~' && Len == 3 && Plainer[2] == '1') Len = 2;  // ESC [1;5A is ESC [A
  Plainer[Len++] = Final;
  const int Scan = Lookup(Plainer, Len);
  if (Scan >= 0) EmitExtended(static_cast<uint8_t>(Scan));
}

void Resolve(uint64_t ANow) {
  bool Prefix = false;
  for (const TKeySequence &S : KEY_SEQUENCES) {
    if (std::strlen(S.Bytes) < static_cast<size_t>(g.Len) || std::memcmp(S.Bytes, g.Pending, g.Len) != 0)
      continue;
    if (S.Bytes[g.Len] == 0) {
      g.Len = 0;
      EmitExtended(S.Scan);
      return;
    }
    Prefix = true;
  }
  if (Prefix) return;
  if (g.Len >= 3 && g.Pending[1] == '[') {
    const uint8_t Last = g.Pending[g.Len - 1];
    if (Last >= 0x40 && Last <= 0x7E) {
      UnknownCsi();
      return;
    }
    if (Last >= 0x20 && Last <= 0x3F && g.Len < MAX_SEQUENCE) return;  // parameters go on
    // Broken off: the sequence goes, a byte that is no part of one stays. Endless: the rest
    // of it goes too, up to its final byte.
    g.Len = 0;
    if (Last < 0x20 || Last > 0x3F)
      FeedByte(Last, ANow);
    else
      g.Discarding = true;
    return;
  }
  GiveUp(ANow);
}

void FeedByte(uint8_t AByte, uint64_t ANow) {
  if (g.Discarding) {
    if (AByte >= 0x20 && AByte <= 0x3F) return;
    g.Discarding = false;
    if (AByte >= 0x40 && AByte <= 0x7E) return;
  }
  if (g.Len == 0) {
    if (AByte == 27) {
      g.Decoder = TUtf8Decoder{};  // a character cut short by a key sequence is dropped
      g.Pending[0] = AByte;
      g.Len = 1;
      g.Since = ANow;
      g.AfterCr = false;
      return;
    }
    Plain(AByte);
    return;
  }
  g.Pending[g.Len++] = AByte;
  Resolve(ANow);
}

}  // namespace

void KeysFeed(std::string_view ABytes, uint64_t ANow) {
  for (char C : ABytes) FeedByte(static_cast<uint8_t>(C), ANow);
}

void KeysTick(uint64_t ANow) {
  while (g.Len > 0 && ANow >= g.Since + KEYS_ESC_TIMEOUT_MS) GiveUp(ANow);
}

bool KeysWaiting() { return g.Count > 0; }

uint8_t KeysTake() {
  if (g.Count == 0) return 0;
  const uint8_t B = g.Queue[g.Head];
  g.Head = (g.Head + 1) % QUEUE_SIZE;
  g.Count--;
  return B;
}

bool KeysPartial() { return g.Len > 0; }

uint64_t KeysPendingSince() { return g.Since; }

size_t KeysRoom() {
  const size_t Free = QUEUE_SIZE - g.Count;
  return Free > MAX_SEQUENCE ? Free - MAX_SEQUENCE : 0;
}

void KeysSetUtf8(bool AUtf8) {
  g.Utf8 = AUtf8;
  g.Decoder = TUtf8Decoder{};
}

void KeysReset() { g = State{}; }
