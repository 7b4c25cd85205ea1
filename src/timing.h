// The clock every bound is measured on, and the one way the client waits
// for a descriptor.
#ifndef TAVIK_TIMING_H
#define TAVIK_TIMING_H

#include <poll.h>

// Seconds on the monotonic clock.
double monotonic(void);
// poll() of one descriptor for up to ms; a signal that interrupts it is
// waited out again for the time left, never taken for the time running
// out, unless the run is being stopped (then -1 with errno EINTR).
int pollfor(struct pollfd *p, int ms);

#endif
