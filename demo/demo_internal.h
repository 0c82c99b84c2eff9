// Test seams of the show: a repeatable random sequence. The door program does not use it.
#pragma once

#include <cstdint>

// Starts the show's random numbers from a fixed seed instead of the clock.
void DemoRandSeed(uint64_t ASeed);
