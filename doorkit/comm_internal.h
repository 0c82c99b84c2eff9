// Test seams of the link. Door programs do not include this.
#pragma once

#include <cstddef>
#include <cstdint>

// Back to the load-time state (carrier true, handle -1, nothing buffered) without
// touching any descriptor: the test owns and closes its own.
void CommReset();
// Received bytes held and not read yet.
size_t CommBuffered();
// Bytes the kernel has taken for the caller since the reset.
uint64_t CommBytesSent();
// Called at every point where the link sends, once the out-buffer has gone out: a test
// looks at the caller's screen there.
extern void (*CommOnFlushed)();
