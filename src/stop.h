// The signals that end a run before its time (SIGINT, SIGTERM, SIGHUP):
// caught, so that the run ends the way every failure does, its local
// file kept to what can be trusted, and then ended by the same signal.
#ifndef TAVIK_STOP_H
#define TAVIK_STOP_H

// Catches the stop signals from now on; every wait they interrupt ends.
void catchstops(void);
// The stop signal that arrived, or 0.
int stopsig(void);
// Ends the process by the stop signal that arrived, as it would have
// ended without a handler (exit status 128 + the signal to a shell).
[[noreturn]] void diebysignal(void);

#endif
