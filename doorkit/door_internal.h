// Test seams of the door session. Door programs do not include this.
#pragma once

#include "doorkit/door.h"

// Back to the load-time values: records, hooks, mode (stdio), sixel flag, the wall clock.
// A link session's end-of-program tidy-up is disarmed (the link itself is not touched).
void DoorReset();

// Replaces the clock every time check reads (idle, time left, the pump's once a second);
// null goes back to the wall clock.
void DoorSetClock(TDateTime (*AClock)());
