// The progress line of a download on a terminal, and the summary that
// takes its place at the end.  Anywhere else nothing at all, so that what
// scripts see stays the same byte for byte.
#ifndef TAVIK_PROGRESS_H
#define TAVIK_PROGRESS_H

#include <stddef.h>

// An attempt begins, with done bytes already there; off: never draw.
void startprogress(long long done, int off);
// Redraws the line, at most ten times a second unless forced.
void refreshprogress(long long done, long long total, int force);
// Ends the line on screen, so that what follows starts a line of its own.
void endprogress(void);
// After a download that succeeded: what the run came to.
void summary(long long total);
// n bytes as people read them: "61.2 KiB".
void fmtbytes(char *buf, size_t len, double n);
// The file in hand of a batch: file k of n, shown in front of the line.
void progressfile(const char *name, int k, int n);

#endif
