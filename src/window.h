// The pipelined download's requests in flight: which offset to ask for
// next, whether a reply answers one of them, and how far everything has
// arrived.  Owns struct flight.
#ifndef TAVIK_WINDOW_H
#define TAVIK_WINDOW_H

#include <sys/types.h>

// A download begins at `first`, resuming from `from` (0: afresh).
void startflight(int first, off_t from);
// The first request: for `first`, alone, before the file size is known.
int askfirst(void);
// The next offset to ask for, within the window of `window` requests
// and the file, or -1 when none may go out now.  It counts as asked.
int nextask(int window, int filesize);
// Whether anything is in flight or still to ask for.
int flightleft(int filesize);
// Whether offset is in flight; if so it counts as answered now.
int answered(int offset);
// Everything below this has arrived (the file's size at the end).
int lowmark(int filesize);
// Requests in flight.
int inflight(void);

#endif
