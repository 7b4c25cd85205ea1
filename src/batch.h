// Several files in one run: the list of downloads (names given, names
// read from --input-file), where each goes (--output-dir), and what came
// of each.  Owns struct batch; nothing else writes it.
#ifndef TAVIK_BATCH_H
#define TAVIK_BATCH_H

#include "fail.h"

// What came of one file.
enum fate { PENDING, LIVE, DONE, FAILED };

struct job {
    char *remote;        // as the device knows it, at most 239 bytes
    char *local;         // where it goes, DIR/ in front
    enum fate fate;
    long long bytes;     // the local file holds this much that can be trusted
    int size;            // the remote file's size, -1 until known
    int attempts;        // attempts it took part in
    double begun;        // when its first request of the run went out
    double seconds;      // from then to its end
};

// Adds a remote name given on the command line.
void addname(const char *remote);
// Adds the one download of a run that is no batch.
void addjob(const char *remote, const char *local);
// Adds the names of an input file ("-": standard input), one per line,
// REMOTE or REMOTE<TAB>LOCAL; blank lines and lines that start with '#'
// are skipped.
void readnames(const char *path);
// Whether the run downloads a batch (--output-dir or --input-file given),
// and whether standard output stays empty (--quiet).
void batchmode(int on, int quiet);
int inbatch(void);
// The batch's local names under dir, checked: a directory that cannot be
// written into and two downloads to one name are refused.  local: the
// one file's local name (-o), or NULL.  Returns how many files there are.
int planbatch(const char *dir, const char *local);
// The files, in order.
int jobcount(void);
struct job *jobat(int i);
// The first file not yet ended, from which a new attempt goes on; -1 when
// every file has ended.
int firstopen(void);
// The file after i that has not begun, or -1.
int nextpending(int i);
// File i begins in an attempt.
void jobbegins(int i);
// File i came whole, size bytes.
void jobdone(int i, int size);
// File i ended with failure f, keeping bytes of it; size: the remote
// file's size, -1 if it never came.
void jobfailed(int i, const struct failure *f, long long bytes, int size);
// File i was live when an attempt failed, keeping bytes of size; the
// next attempt begins it again.
void jobinterrupted(int i, long long bytes, int size);
// The run ended with failure f: files begun before fail with it, the
// others were not attempted.
void batchfailed(const struct failure *f);
// How far the batch has got, to tell an attempt that got further from
// one that did not: bytes kept and files ended, and `current` bytes of
// the file the next attempt goes on with.
long long batchprogress(long long current);
// Says what came of the batch on standard error (unless quiet); returns
// the exit status.
int endbatch(void);

#endif
