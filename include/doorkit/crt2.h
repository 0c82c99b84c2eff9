// The kit's tracked text attribute, kept equal to the local console's.
#pragma once

#include <cstdint>

uint8_t GetTextAttr();
void SetTextAttr(uint8_t AAttr);
// Background bits stay; foreground and blink come from the argument.
void SetTextColour(uint8_t AColour);
// Foreground and blink stay; only the low three bits of the argument are taken.
void SetTextBackground(uint8_t AColour);
