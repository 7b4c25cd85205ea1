// The local file of a download: what it keeps, what it compares, and how
// blocks reach it.  Owns struct download, a value per file: at a file
// boundary of a batch two are live.  Only localfile.cpp writes one.
#ifndef TAVIK_LOCALFILE_H
#define TAVIK_LOCALFILE_H

#include <sys/types.h>

#include "glo_def.h"
#include "tuning.h"

constexpr int TAILKEEP = CHECKLEN + BLOCK;  // a stream's tail, far enough back for aligned requests

struct download {
    // For the whole run.
    const char *name;
    int resume;          // --continue: go on from what the file holds
    int fd;              // -1 when none is open; a stream stays open between attempts
    int stream;          // written in order, never cut
    int made;            // this run created the file: it goes if it ends empty
    int owned;           // an attempt's comparison was judged: what is there is this run's
    int firstsize;       // the file size the run was told first, in a reply vouched for
    long long written;   // stream: bytes written
    u8 tail[TAILKEEP];   // stream: the last bytes written, the latest last
    // For the attempt that runs.
    int active;
    long long kept;      // what the file held of the remote one when let go
    int ours;            // taken over: a failure may cut it
    int replace;         // what the file held goes once the first block is vouched for
    int mine;            // what lay there was written by an earlier attempt
    int verdict;
    int toolong;         // the local file is longer than any remote file
    int tocompare;       // requests below base not yet answered
    int size;            // the file size this attempt was told
    off_t had;           // the file's length when the attempt began
    off_t base, gapless, unsure, writing;
    // Blocks that follow each other are gathered and written with one
    // system call: a call per block was most of the cost of a fast download.
    off_t runat;
    int runlen;
    u8 *run;
    // Stream: blocks that arrived ahead of the gap, by block number.
    int aheadlen[MAXWINDOW];
    off_t aheadat[MAXWINDOW];
    u8 (*ahead)[BLOCK];
};

// A download to name ("-": standard output) begins for the run; resume:
// go on from what the file holds (--continue).
void initdownload(struct download *d, const char *name, int resume);
// The run is done with it: its memory goes (the file is let go before).
void freedownload(struct download *d);
// An attempt's download begins: opens the local file without cutting it,
// or goes on with the one kept open.  Returns the base: where the
// download goes on from, 0 when it starts afresh.
off_t startlocal(struct download *d);
// The offsets besides the last KiB that a resume compares: the first
// block and up to CHECKSPREAD more spread evenly below `below`, on
// multiples of BLOCK.  Returns how many, at most CHECKSPREAD + 1.
int checkpoints(const struct download *d, off_t below, int *offs);
// A block request for offset at went out.
void asked(struct download *d, off_t at);
// The first reply of the attempt passed its checks: the file is taken over.
void firstreply(struct download *d, int filesize);
// The device refused the request for at with code rc.
[[noreturn]] void refused(struct download *d, i32 rc, off_t at);
// A block of n bytes at `at` passed its checks: compared where the local
// file already holds it, placed where it does not.
void putblock(struct download *d, const u8 *data, int n, off_t at);
// Everything below g has been placed.
void markgapless(struct download *d, off_t g);
// The stream was shown to be in step behind the block placed last: that
// block counts, and a judgement waiting on it is given.
void vouch(struct download *d);
// Writes what is gathered and may be written.
void flushlocal(struct download *d);
// How far a pipelined download may ask ahead of what it has placed:
// blocks for standard output wait in memory until the gap before them
// fills, and that memory is bounded.
off_t aheadlimit(const struct download *d, int window);
// The download succeeded: everything written, the file closed.
void closelocal(struct download *d);
// The attempt failed: the file is cut to what can be trusted (and removed
// if this run made it and it holds nothing) and let go.
void letgo(struct download *d);
// What the file holds that can be trusted: the one rule for what a
// failure keeps and where a resumed download goes on from.
off_t keeplen(const struct download *d);
// Where the next attempt at this download would go on from.
long long resumefrom(const struct download *d);
// The bytes of the remote file that the local one held when it was let
// go or closed.
long long keptbytes(const struct download *d);

#endif
