// Test seams of the link. Door programs do not include this.
#pragma once

#include <cstddef>

// Back to the load-time state (carrier true, handle -1, nothing buffered) without
// touching any descriptor: the test owns and closes its own.
void CommReset();
// Received bytes held and not read yet.
size_t CommBuffered();
