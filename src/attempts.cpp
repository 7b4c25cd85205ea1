// The retry policy.  A failure of the link, or a stream out of step, may
// be cured by a new connection; nothing else is tried again.  An attempt
// that got further than the one before starts the next one at once; only
// attempts that get nowhere pause, 1 s doubling up to 10 s, so that a
// device that restarts has time to come back.

#include "attempts.h"

#include <errno.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <sys/time.h>

#include "stop.h"
#include "timing.h"

constexpr int RETRY_PAUSE_FIRST = 1;  // seconds, after an attempt that got nowhere
constexpr int RETRY_PAUSE_MAX = 10;   // ... doubling up to this
// Once the run's time is up, the timer goes on ringing this often, so
// that a call entered just after it rang is cut short too.
constexpr int RING_MS = 50;

static struct attempts {
    int attempt;        // the attempt that runs, 1 for the first
    int retries;
    int stuck;          // attempts in a row that got no further
    double deadline;    // on the monotonic clock; 0: none
    const char *maxtime;  // as given
} at = {.attempt = 1, .retries = 0, .stuck = 0, .deadline = 0, .maxtime = ""};

static void ring(int)
{
}

// SIGALRM at the deadline, without SA_RESTART: a blocked call returns.
static void armtimer(double seconds)
{
    struct sigaction sa;
    struct itimerval it;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ring;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGALRM, &sa, NULL);
    long long us = (long long)(seconds * 1e6 + 0.5);
    memset(&it, 0, sizeof it);
    it.it_value.tv_sec = (time_t)(us / 1000000);
    it.it_value.tv_usec = (suseconds_t)(us % 1000000);
    it.it_interval.tv_usec = RING_MS * 1000;
    setitimer(ITIMER_REAL, &it, NULL);
}

void startrun(int retries, double maxtime, const char *given)
{
    at.retries = retries;
    at.maxtime = given;
    at.deadline = maxtime > 0 ? monotonic() + maxtime : 0;
    if (maxtime > 0)
        armtimer(maxtime);
}

int retrypause(int stuck)
{
    if (stuck <= 0)
        return 0;
    if (stuck > 4)
        return RETRY_PAUSE_MAX;  // and no shift too far
    int s = RETRY_PAUSE_FIRST << (stuck - 1);
    return s < RETRY_PAUSE_MAX ? s : RETRY_PAUSE_MAX;
}

int timeleft(int ms)
{
    if (at.deadline == 0)
        return ms;
    double left = ceil((at.deadline - monotonic()) * 1000);
    return left < 0 ? 0 : left < ms ? (int)left : ms;
}

int overdue(void)
{
    return at.deadline != 0 && monotonic() >= at.deadline;
}

void overtime(void)
{
    if (overdue())
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
    case STOPPED:
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
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR && !stopsig())
        ;
}

int another(struct failure *f, long long from, long long begun, const char *where)
{
    char when[24] = "now";
    int s = 0;

    if (!retried(f->cause) || at.attempt > at.retries)
        return 0;
    at.stuck = from > begun ? 0 : at.stuck + 1;
    s = retrypause(at.stuck);
    if (s > 0)
        snprintf(when, sizeof when, "in %d s", s);
    if (s > 0 && timeleft(s * 1000) < s * 1000) {  // the run's time ends within the pause
        pause(s);
        f->cause = OVERTIME;
        snprintf(f->msg, sizeof f->msg, "run took longer than %s s", at.maxtime);
        return 0;
    }
    say("retrying (%d of %d) %s %s: %s", at.attempt, at.retries, where, when, f->msg);
    pause(s);
    at.attempt++;
    return 1;
}
