// The requests in flight.  Blocks from `first` on are asked for in
// ascending order; each has a slot by its block number modulo
// FLIGHTTABLE that holds its offset from the request until the gap-free
// mark passes it, so that a reply finds its slot without a search.  The
// blocks a resume compares below `first` are few and kept apart.

#include "window.h"

#include <string.h>

static int slotof(int offset)
{
    return offset / BLOCK % FLIGHTTABLE;
}

void startflight(struct flight *fl, int first, const int *checks, int n)
{
    memset(fl->want, -1, sizeof fl->want);
    memset(fl->got, 0, sizeof fl->got);
    fl->nextoff = fl->lowoff = first;
    fl->nchecks = n;
    if (n > 0)
        memcpy(fl->checks, checks, sizeof *checks * (size_t)n);
    fl->asked = 0;
    fl->nflight = 0;
}

// Whether the next block of the file may be asked for now: the slot
// table, the file and the caller's limit bound it.
static int mayask(const struct flight *fl, int filesize, off_t limit)
{
    return fl->nextoff < filesize && fl->nextoff - fl->lowoff < FLIGHTTABLE * BLOCK &&
           fl->nextoff < limit;
}

int askfirst(struct flight *fl)
{
    int at = fl->nextoff;

    fl->want[slotof(at)] = at;
    fl->nextoff = at + BLOCK;
    fl->nflight = 1;
    return at;
}

int nextask(struct flight *fl, int room, int filesize, off_t limit, const struct flight *other)
{
    int at;

    if (room <= 0)
        return -1;
    if (fl->asked < fl->nchecks) {
        at = fl->checks[fl->asked];
        if (other && holds(other, at))
            return -1;
        fl->asked++;
    } else if (mayask(fl, filesize, limit)) {
        at = fl->nextoff;
        if (other && holds(other, at))
            return -1;
        fl->want[slotof(at)] = at;
        int left = filesize - at;  // never step past filesize: no overflow
        fl->nextoff += left < BLOCK ? left : BLOCK;
    } else {
        return -1;
    }
    fl->nflight++;
    return at;
}

int flightleft(const struct flight *fl, int filesize)
{
    return fl->nextoff < filesize || fl->asked < fl->nchecks || fl->nflight > 0;
}

int holds(const struct flight *fl, int offset)
{
    if (offset >= fl->lowoff && offset < fl->nextoff && offset % BLOCK == 0) {
        int i = slotof(offset);
        return fl->want[i] == offset && !fl->got[i];
    }
    for (int i = 0; i < fl->asked; i++)
        if (fl->checks[i] == offset)
            return 1;
    return 0;
}

int answered(struct flight *fl, int offset)
{
    if (offset >= fl->lowoff && offset < fl->nextoff && offset % BLOCK == 0) {
        int i = slotof(offset);
        if (fl->want[i] != offset || fl->got[i])
            return 0;
        fl->got[i] = 1;
        for (; fl->lowoff < fl->nextoff && fl->got[slotof(fl->lowoff)]; fl->lowoff += BLOCK) {
            fl->want[slotof(fl->lowoff)] = -1;
            fl->got[slotof(fl->lowoff)] = 0;
        }
        fl->nflight--;
        return 1;
    }
    for (int i = 0; i < fl->asked; i++) {
        if (fl->checks[i] == offset) {
            fl->checks[i] = -1;  // asked and answered; -1 is never an offset
            fl->nflight--;
            return 1;
        }
    }
    return 0;
}

int lowmark(const struct flight *fl, int filesize)
{
    return fl->lowoff < filesize ? fl->lowoff : filesize;
}

int inflight(const struct flight *fl)
{
    return fl->nflight;
}
