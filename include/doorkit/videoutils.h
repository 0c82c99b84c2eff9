// Direct writes to the local screen, for the status bar.
#pragma once

#include <cstdint>
#include <string_view>

// Writes ALine at absolute column AX, row AY in attribute AAttr, cut at column 80,
// without moving the cursor or changing the text attribute.
void FastWrite(std::string_view ALine, uint8_t AX, uint8_t AY, uint8_t AAttr);
