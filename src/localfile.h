// The local file of a download: what it keeps, what it compares, and how
// blocks reach it.  Owns struct download; nothing else writes it.
#ifndef TAVIK_LOCALFILE_H
#define TAVIK_LOCALFILE_H

#include <sys/types.h>

#include "glo_def.h"

// An attempt's download begins: opens the local file (name "-": standard
// output) without cutting it, or goes on with the one kept open.  Returns
// the base: where the download goes on from, 0 when it starts afresh.
off_t startlocal(const char *name);
// The offsets besides the last KiB that a resume compares: the first
// block and up to CHECKSPREAD more spread evenly below `below`, on
// multiples of BLOCK.  Returns how many, at most CHECKSPREAD + 1.
int checkpoints(off_t below, int *offs);
// A block request for offset at went out.
void asked(off_t at);
// The first reply of the attempt passed its checks: the file is taken over.
void firstreply(int filesize);
// The device refused the request for at with code rc.
[[noreturn]] void refused(i32 rc, off_t at);
// A block of n bytes at `at` passed its checks: compared where the local
// file already holds it, placed where it does not.
void putblock(const u8 *data, int n, off_t at);
// Everything below g has been placed.
void markgapless(off_t g);
// The stream was shown to be in step behind the block placed last: that
// block counts, and a judgement waiting on it is given.
void vouch(void);
// Writes what is gathered and may be written.
void flushlocal(void);
// How far a pipelined download may ask ahead of what it has placed:
// blocks for standard output wait in memory until the gap before them
// fills, and that memory is bounded.
off_t aheadlimit(int window);
// The download succeeded: everything written, the file closed.
void closelocal(void);
// The attempt failed: the file is cut to what can be trusted (and removed
// if this run made it and it holds nothing) and let go.
void letgo(void);
// Where the next attempt at a download to name would go on from.
long long resumefrom(const char *name);

#endif
