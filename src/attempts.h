// Attempts: whether a failure is worth another one, the pause before it,
// the retrying line, and the run's bound in time (--max-time).
#ifndef TAVIK_ATTEMPTS_H
#define TAVIK_ATTEMPTS_H

#include "fail.h"

// The run begins: up to retries more attempts, within maxtime seconds
// (0: no bound), which the user gave as `given`.  A bound is kept by a
// timer too, so that no system call blocks past it (a write to a reader
// that stopped reading, the open of a FIFO).
void startrun(int retries, double maxtime, const char *given);
// Seconds to pause after `stuck` attempts in a row that got no further.
int retrypause(int stuck);
// After failure f: whether to make another attempt.  The run has got as
// far as `from`, and had got as far as `begun` when the failed attempt
// began (bytes, or a listing's entries).  If so, prints the retrying line
// with `where` it goes on ("from byte 2048") and pauses first, unless the
// failed attempt got further; if not, the caller reports f (which says
// so instead when the run's time ran out in that pause).
int another(struct failure *f, long long from, long long begun, const char *where);
// ms, or less if the run's time runs out sooner.
int timeleft(int ms);
// Ends the attempt once the run has used up its time; not retried.
void overtime(void);
// Whether the run has used up its time.
int overdue(void);

#endif
