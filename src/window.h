// A pipelined download's requests in flight: which offset to ask for
// next, whether a reply answers one of them, and how far everything has
// arrived.  Owns struct flight, one per download: at a file boundary two
// are live, and no offset is ever in flight for both, so that a reply,
// which names only its offset, answers exactly one request.
#ifndef TAVIK_WINDOW_H
#define TAVIK_WINDOW_H

#include <sys/types.h>

#include "glo_def.h"
#include "tuning.h"

constexpr int FLIGHTTABLE = 2 * MAXWINDOW;

struct flight {
    int want[FLIGHTTABLE];  // the offset the slot was asked for, -1 when free
    u8 got[FLIGHTTABLE];    // its reply was placed
    int nextoff;            // the next offset of the file to ask for
    int lowoff;             // every block below it has been placed
    int nflight;
    int checks[CHECKSPREAD + 1];  // compared blocks below the first: to ask, then in flight
    int nchecks, asked;           // how many; how many of them went out
};

// A download begins at `first`, comparing first the n blocks at checks
// (below first, ascending; none when it starts afresh).
void startflight(struct flight *fl, int first, const int *checks, int n);
// The first request: for `first`, alone, before the file size is known.
int askfirst(struct flight *fl);
// The next offset to ask for, or -1 when none may go out now: `room`
// more requests may, none at or past filesize or at or past limit, and
// none for an offset that `other` (NULL: none) holds in flight.  It
// counts as asked.
int nextask(struct flight *fl, int room, int filesize, off_t limit, const struct flight *other);
// Whether anything is in flight or still to ask for.
int flightleft(const struct flight *fl, int filesize);
// Whether a request for offset is in flight.
int holds(const struct flight *fl, int offset);
// Whether offset is in flight; if so it counts as answered now.
int answered(struct flight *fl, int offset);
// Everything below this has arrived (the file's size at the end).
int lowmark(const struct flight *fl, int filesize);
// Requests in flight.
int inflight(const struct flight *fl);

#endif
