// The retry policy.  A failure of the link, or a stream out of step, may
// be cured by a new connection; nothing else is tried again.  An attempt
// that got further than the one before starts the next one at once; only
// attempts that get nowhere pause, 1 s doubling up to 10 s, so that a
// device that restarts has time to come back.

#include "attempts.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <time.h>

#include "tavik.h"

enum {
    RETRY_PAUSE_FIRST = 1,  // seconds, after an attempt that got nowhere
    RETRY_PAUSE_MAX = 10,   // ... doubling up to this
};

static struct attempts {
    int attempt;        // the attempt that runs, 1 for the first
    int retries;
    int stuck;          // attempts in a row that got no further
    double deadline;    // on the monotonic clock; 0: none
    const char *maxtime;  // as given
} at = {.attempt = 1, .retries = 0, .stuck = 0, .deadline = 0, .maxtime = ""};

void startrun(int retries, double maxtime, const char *given)
{
    at.retries = retries;
    at.maxtime = given;
    at.deadline = maxtime > 0 ? monotonic() + maxtime : 0;
}

int timeleft(int ms)
{
    if (at.deadline == 0)
        return ms;
    double left = ceil((at.deadline - monotonic()) * 1000);
    return left < 0 ? 0 : left < ms ? (int)left : ms;
}

void overtime(void)
{
    if (at.deadline != 0 && monotonic() >= at.deadline)
        failmsg(OVERTIME, "run took longer than %s s", at.maxtime);
}

static int retried(enum cause cause)
{
    switch (cause) {
    case LINK:
    case STEP:
        return 1;
    case USAGE:
    case LOCAL:
    case DEVICE:
    case OVERTIME:
        break;
    }
    return 0;
}

// Sleeps s seconds, or until the run's time is up.
static void pause(int s)
{
    struct timespec ts;
    int ms = timeleft(s * 1000);

    ts.tv_sec = ms / 1000;
    ts.tv_nsec = ms % 1000 * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
        ;
}

int another(struct failure *f, long long from, long long begun, int listing)
{
    char when[24] = "now";
    int s = 0;

    if (!retried(f->cause) || at.attempt > at.retries)
        return 0;
    at.stuck = from > begun ? 0 : at.stuck + 1;
    if (at.stuck > 0) {
        s = at.stuck > 4 ? RETRY_PAUSE_MAX : RETRY_PAUSE_FIRST << (at.stuck - 1);
        s = s > RETRY_PAUSE_MAX ? RETRY_PAUSE_MAX : s;
        snprintf(when, sizeof when, "in %d s", s);
    }
    if (s > 0 && timeleft(s * 1000) < s * 1000) {  // the run's time ends within the pause
        pause(s);
        f->cause = OVERTIME;
        snprintf(f->msg, sizeof f->msg, "run took longer than %s s", at.maxtime);
        return 0;
    }
    if (listing)
        say("retrying (%d of %d) from the start %s: %s", at.attempt, at.retries, when, f->msg);
    else
        say("retrying (%d of %d) from byte %lld %s: %s", at.attempt, at.retries, from, when,
            f->msg);
    pause(s);
    at.attempt++;
    return 1;
}
