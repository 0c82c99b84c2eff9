// Test seams of the local ANSI interpreter. Door programs do not include this.
#pragma once

#include "doorkit/ansi.h"

// The most parameters one sequence keeps; later ones still count as colours.
constexpr int ANSI_MAX_PARAMS = 32;

// Back to the state at program start: no open sequence, saved cursor 1, 1, saved attribute 7.
void AnsiReset();
// Where the byte machine stands after the last call.
TAnsiParserState AnsiCurrentState();
