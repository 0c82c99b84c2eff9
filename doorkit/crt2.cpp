#include "doorkit/crt2.h"

#include "doorkit/console.h"
#include "crt2_internal.h"

namespace {

struct State {
  // The console's attribute is read on first use, not in a static initialiser, so the
  // order in which the modules load does not matter.
  bool Loaded = false;
  uint8_t FTextAttr = 0x07;
};
State g;

uint8_t &Tracked() {
  if (!g.Loaded) {
    g.FTextAttr = TextAttr == 0 ? 0x07 : TextAttr;
    g.Loaded = true;
  }
  return g.FTextAttr;
}

}  // namespace

void Crt2Reset() {
  g = State{};
  Tracked();
}

uint8_t GetTextAttr() { return Tracked(); }

void SetTextAttr(uint8_t AAttr) {
  Tracked();
  TextAttr = AAttr;
  g.FTextAttr = AAttr;
}

void SetTextColour(uint8_t AColour) {
  uint8_t &attr = Tracked();  // before the console changes, so the old value is read
  TextColor(AColour);
  attr = static_cast<uint8_t>((attr & 0x70) | (AColour & 0x8F));
}

void SetTextBackground(uint8_t AColour) {
  uint8_t &attr = Tracked();
  TextBackground(AColour);
  attr = static_cast<uint8_t>(((AColour << 4) & 0x70) | (attr & 0x8F));
}
