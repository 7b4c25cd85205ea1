// The requests in flight.  Blocks from `first` on are asked for in
// ascending order; each has a slot by its block number modulo TABLE that
// holds its offset from the request until the gap-free mark passes it, so
// that a reply finds its slot without a search.  The blocks a resume
// compares below `first` are few and kept apart.

#include "window.h"

#include <string.h>

#include "localfile.h"
#include "tavik.h"

enum { TABLE = 2 * MAXWINDOW };

static struct flight {
    int want[TABLE];  // the offset the slot was asked for, -1 when free
    u8 got[TABLE];    // its reply was placed
    int nextoff;      // the next offset to ask for
    int lowoff;       // every block below it has been placed
    int nflight;
    int checks[CHECKSPREAD + 1];  // compared blocks below first: to ask, then in flight
    int nchecks, asked;           // how many; how many of them went out
} fl;

static int slotof(int offset)
{
    return offset / BLOCK % TABLE;
}

void startflight(int first, off_t from)
{
    memset(fl.want, -1, sizeof fl.want);
    memset(fl.got, 0, sizeof fl.got);
    fl.nextoff = fl.lowoff = first;
    fl.nchecks = from > 0 ? checkpoints(first, fl.checks) : 0;
    fl.asked = 0;
    fl.nflight = 0;
}

// Whether the next block of the file may be asked for now: the slot
// table and, for standard output, the memory for blocks ahead are bounded.
static int mayask(int window, int filesize)
{
    return fl.nextoff < filesize && fl.nextoff - fl.lowoff < TABLE * BLOCK &&
           fl.nextoff < aheadlimit(window);
}

int askfirst(void)
{
    int at = fl.nextoff;

    fl.want[slotof(at)] = at;
    fl.nextoff = at + BLOCK;
    fl.nflight = 1;
    return at;
}

int nextask(int window, int filesize)
{
    int at;

    if (fl.nflight >= window)
        return -1;
    if (fl.asked < fl.nchecks) {
        at = fl.checks[fl.asked++];
    } else if (mayask(window, filesize)) {
        at = fl.nextoff;
        fl.want[slotof(at)] = at;
        int left = filesize - at;  // never step past filesize: no overflow
        fl.nextoff += left < BLOCK ? left : BLOCK;
    } else {
        return -1;
    }
    fl.nflight++;
    return at;
}

int flightleft(int filesize)
{
    return fl.nextoff < filesize || fl.asked < fl.nchecks || fl.nflight > 0;
}

int answered(int offset)
{
    if (offset >= fl.lowoff && offset < fl.nextoff && offset % BLOCK == 0) {
        int i = slotof(offset);
        if (fl.want[i] != offset || fl.got[i])
            return 0;
        fl.got[i] = 1;
        for (; fl.lowoff < fl.nextoff && fl.got[slotof(fl.lowoff)]; fl.lowoff += BLOCK) {
            fl.want[slotof(fl.lowoff)] = -1;
            fl.got[slotof(fl.lowoff)] = 0;
        }
        fl.nflight--;
        return 1;
    }
    for (int i = 0; i < fl.asked; i++) {
        if (fl.checks[i] == offset) {
            fl.checks[i] = -1;  // asked and answered; -1 is never an offset
            fl.nflight--;
            return 1;
        }
    }
    return 0;
}

int lowmark(int filesize)
{
    return fl.lowoff < filesize ? fl.lowoff : filesize;
}

int inflight(void)
{
    return fl.nflight;
}
