// The clock and the wait.

#include "timing.h"

#include <errno.h>
#include <time.h>

#include "stop.h"

double monotonic(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int pollfor(struct pollfd *p, int ms)
{
    double end = monotonic() + ms / 1000.0;
    int r;

    while ((r = poll(p, 1, ms)) < 0 && errno == EINTR && stopsig() == 0) {
        double left = (end - monotonic()) * 1000;
        ms = left > 0 ? (int)left : 0;
    }
    return r;
}
