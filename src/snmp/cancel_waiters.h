// The wake-ups by which a cancel ends the waits of the GETs in progress at once.
#pragma once

namespace printxpc {

// The calling thread's wake-up descriptor, which a cancel makes readable; negative when no
// descriptor could be had (a GET then notices a cancel only when its wait ends).
int threadCancelWakeupFd();

// Empties the calling thread's count of wake-ups, once its descriptor was readable.
void drainThreadCancelWakeup();

}  // namespace printxpc
