// The stop signals.  The handler only notes the signal: every wait the
// client makes returns early once it is noted (the handler is installed
// without SA_RESTART, so a blocked read, write or open returns EINTR),
// and the attempt's failure path does the rest outside the handler.

#include "stop.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t caught;

static void note(int sig)
{
    if (caught == 0)
        caught = sig;
}

void catchstops(void)
{
    struct sigaction sa;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = note;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);
}

int stopsig(void)
{
    return caught;
}

void diebysignal(void)
{
    int sig = caught;
    sigset_t set;

    signal(sig, SIG_DFL);
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, NULL);
    raise(sig);
    _exit(128 + sig);  // not reached: the default action ends the process
}
