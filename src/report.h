// --report FILE: a JSON line for every listing and download as it ends,
// flushed at once, so that a run that is killed leaves whole lines for
// what finished.  Owns struct report.
#ifndef TAVIK_REPORT_H
#define TAVIK_REPORT_H

#include "fail.h"

// Opens the report ("-": standard error); a file that cannot be opened
// ends the run before it connects.
void openreport(const char *path);

// What one operation came to: f NULL when it succeeded.
struct outcome {
    const char *op;      // "get" or "list"
    const char *remote;
    const char *local;   // a download's local name, NULL for a listing
    const char *result;  // "ok", "failed" or "not attempted"
    long long bytes;     // a download's trusted bytes; a listing's entries
    long long size;      // the remote file's size, -1 if unknown
    int complete;        // a listing: every entry came
    double seconds;
    int attempts;
    const struct failure *f;
};

// Writes one line, if a report was asked for.
void report(const struct outcome *o);
// The cause as the report names it.
const char *causename(enum cause c);

#endif
