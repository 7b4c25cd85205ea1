// The batch: its files in the order given, each with its local name and
// its fate.  A file's line goes out when it ends, so that a script sees
// each one as it comes; the lines for files never begun come at the end.

#include "batch.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sys/stat.h>

#include "IfKxFileTavik.h"
#include "progress.h"
#include "report.h"
#include "timing.h"

static struct batch {
    struct job *jobs;
    int n, cap;
    int on;          // --output-dir or --input-file given
    int quiet;       // nothing on standard output
    int ok, failed;
    long long bytes;  // of the files that came
    double start;
} bt = {.jobs = NULL, .n = 0, .cap = 0, .on = 0, .quiet = 0, .ok = 0, .failed = 0, .bytes = 0,
        .start = 0};

static char *copy(const char *s, size_t n)
{
    char *p = (char *)malloc(n + 1);
    if (p == NULL)
        failmsg(LOCAL, "out of memory for the list of files");
    memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

// A job for remote, its local name given (NULL: not yet known).
static void add(const char *remote, size_t rlen, const char *local, size_t llen)
{
    if (bt.n == bt.cap) {
        int cap = bt.cap ? 2 * bt.cap : 16;
        struct job *p = (struct job *)realloc(bt.jobs, sizeof *p * (size_t)cap);
        if (p == NULL)
            failmsg(LOCAL, "out of memory for the list of files");
        bt.jobs = p;
        bt.cap = cap;
    }
    struct job *j = &bt.jobs[bt.n++];
    memset(j, 0, sizeof *j);
    j->remote = copy(remote, rlen);
    j->local = local ? copy(local, llen) : NULL;
    j->fate = PENDING;
    j->size = -1;
}

void addname(const char *remote)
{
    // Names must reach the device whole: refuse rather than cut.
    if (strlen(remote) >= KX_FILE_TAVIK_NAME_LEN)
        failmsg(USAGE, "remote name too long: at most %d characters", KX_FILE_TAVIK_NAME_LEN - 1);
    add(remote, strlen(remote), NULL, 0);
}

void addjob(const char *remote, const char *local)
{
    add(remote, strlen(remote), local, strlen(local));
}

// One line of an input file, without its end.
static void addline(const char *path, int lineno, const char *s, size_t n)
{
    const char *tab = (const char *)memchr(s, '\t', n);
    size_t rlen = tab ? (size_t)(tab - s) : n;

    if (memchr(s, '\0', n) != NULL)
        failmsg(USAGE, "--input-file '%s' line %d: a NUL byte", path, lineno);
    if (rlen >= KX_FILE_TAVIK_NAME_LEN)
        failmsg(USAGE, "--input-file '%s' line %d: name longer than %d bytes", path, lineno,
                KX_FILE_TAVIK_NAME_LEN - 1);
    if (rlen == 0)
        failmsg(USAGE, "--input-file '%s' line %d: no remote name before the tab", path, lineno);
    if (tab && tab + 1 == s + n)
        failmsg(USAGE, "--input-file '%s' line %d: no local name after the tab", path, lineno);
    add(s, rlen, tab ? tab + 1 : NULL, tab ? n - rlen - 1 : 0);
}

static int blank(const char *s, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (s[i] != ' ' && s[i] != '\t')
            return 0;
    return 1;
}

void readnames(const char *path)
{
    FILE *in = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    char *line = NULL;
    size_t cap = 0;
    ssize_t len;
    int lineno = 0, before = bt.n;

    if (in == NULL)
        failmsg(USAGE, "--input-file '%s': %s", path, strerror(errno));
    try {
        while ((len = getline(&line, &cap, in)) >= 0) {
            lineno++;
            size_t n = (size_t)len;
            if (n > 0 && line[n - 1] == '\n')
                n--;
            if (n > 0 && line[n - 1] == '\r')
                n--;
            if (!blank(line, n) && line[0] != '#')
                addline(path, lineno, line, n);
        }
        if (ferror(in))
            failmsg(USAGE, "--input-file '%s': %s", path, strerror(errno));
    } catch (const failure &) {
        free(line);
        if (in != stdin)
            fclose(in);
        throw;
    }
    free(line);
    if (in != stdin)
        fclose(in);
    if (bt.n == before)
        failmsg(USAGE, "--input-file '%s' holds no names", path);
}

void batchmode(int on, int quiet)
{
    bt.on = on;
    bt.quiet = quiet;
}

int inbatch(void)
{
    return bt.on;
}

// A path as it names a file, for telling two names of one file apart:
// no empty or "." components.
static void normal(const char *path, char *out, size_t len)
{
    size_t at = 0;

    if (path[0] == '/' && at + 1 < len)
        out[at++] = '/';
    for (const char *p = path; *p;) {
        while (*p == '/')
            p++;
        const char *end = strchrnul(p, '/');
        size_t n = (size_t)(end - p);
        if (n > 0 && !(n == 1 && p[0] == '.') && at + n + 1 < len) {
            if (at > 0 && out[at - 1] != '/')
                out[at++] = '/';
            memcpy(out + at, p, n);
            at += n;
        }
        p = end;
    }
    out[at] = '\0';
}

// A file's key and the job that writes it.
struct keyed {
    char *key;
    int job;
};

static int bykey(const void *a, const void *b)
{
    const struct keyed *x = (const struct keyed *)a, *y = (const struct keyed *)b;
    int c = strcmp(x->key, y->key);
    return c != 0 ? c : x->job - y->job;
}

// The file a local name names: its folder as the system resolves it (so
// that a relative and an absolute name, or a link, of one folder agree),
// then its own name; as written when the folder cannot be resolved.
static char *filekey(const char *local)
{
    const char *slash = strrchr(local, '/');
    char *dir = slash ? copy(local, (size_t)(slash - local + (slash == local))) : copy(".", 1);
    char *real = realpath(dir, NULL);
    const char *base = slash ? slash + 1 : local;
    size_t len = (real ? strlen(real) : 0) + strlen(local) + 3;
    char *key = (char *)malloc(len), *path = (char *)malloc(len);

    if (key == NULL || path == NULL)
        failmsg(LOCAL, "out of memory for the list of files");
    snprintf(path, len, "%s/%s", real ? real : dir, base);
    normal(path, key, len);
    free(real);
    free(dir);
    free(path);
    return key;
}

static void nodoubles(void)
{
    struct keyed *keys = (struct keyed *)malloc(sizeof *keys * (size_t)bt.n);
    if (keys == NULL)
        failmsg(LOCAL, "out of memory for the list of files");
    for (int i = 0; i < bt.n; i++)
        keys[i] = {filekey(bt.jobs[i].local), i};
    qsort(keys, (size_t)bt.n, sizeof *keys, bykey);
    int twice = -1;
    for (int i = 1; i < bt.n && twice < 0; i++)
        if (strcmp(keys[i - 1].key, keys[i].key) == 0)
            twice = keys[i].job;
    for (int i = 0; i < bt.n; i++)
        free(keys[i].key);
    free(keys);
    if (twice >= 0)
        failmsg(USAGE, "two downloads would write '%s': give one a name of its own "
                       "(REMOTE<TAB>LOCAL in --input-file)", bt.jobs[twice].local);
}

int planbatch(const char *dir, const char *local)
{
    struct stat st;
    int here = strcmp(dir, ".") == 0;

    if (local != NULL && bt.n > 1)
        failmsg(USAGE, "-o names one local file, and %d names are given: --output-dir DIR "
                       "puts each there", bt.n);

    if (stat(dir, &st) != 0)
        failmsg(USAGE, "--output-dir '%s': %s", dir, strerror(errno));
    if (!S_ISDIR(st.st_mode))
        failmsg(USAGE, "--output-dir '%s': not a directory", dir);
    if (access(dir, W_OK | X_OK) != 0)
        failmsg(USAGE, "--output-dir '%s': %s", dir, strerror(errno));
    if (bt.n == 0)
        addname("ttiTrace.dat");
    if (local != NULL) {
        free(bt.jobs[0].local);
        bt.jobs[0].local = copy(local, strlen(local));
    }
    for (int i = 0; i < bt.n; i++) {
        struct job *j = &bt.jobs[i];
        const char *slash = strrchr(j->remote, '/');
        const char *base = j->local ? j->local : slash ? slash + 1 : j->remote;
        if (*base == '\0')
            failmsg(USAGE, "'%s' names no file to write locally: give one with "
                           "REMOTE<TAB>LOCAL in --input-file", j->remote);
        size_t len = strlen(dir) + strlen(base) + 2;
        if (len > 10000)
            failmsg(USAGE, "local name too long: at most 9999 characters");
        char *local = (char *)malloc(len);
        if (local == NULL)
            failmsg(LOCAL, "out of memory for the list of files");
        const char *in = dir, *sep = dir[strlen(dir) - 1] == '/' ? "" : "/";
        if (here || base[0] == '/')
            in = sep = "";
        if (snprintf(local, len, "%s%s%s", in, sep, base) >= (int)len)
            failmsg(LOCAL, "local name cut short");  // not reached: len is enough
        free(j->local);
        j->local = local;
    }
    nodoubles();
    bt.start = monotonic();
    return bt.n;
}

int jobcount(void)
{
    return bt.n;
}

struct job *jobat(int i)
{
    return &bt.jobs[i];
}

int firstopen(void)
{
    for (int i = 0; i < bt.n; i++)
        if (bt.jobs[i].fate == PENDING || bt.jobs[i].fate == LIVE)
            return i;
    return -1;
}

int nextpending(int i)
{
    for (i++; i < bt.n; i++)
        if (bt.jobs[i].fate == PENDING)
            return i;
    return -1;
}

void jobbegins(int i)
{
    struct job *j = &bt.jobs[i];

    if (j->attempts == 0)
        j->begun = monotonic();
    j->fate = LIVE;
    j->attempts++;
}

static void ended(struct job *j, const struct failure *f)
{
    struct outcome o = {.op = "get", .remote = j->remote, .local = j->local,
                        .result = f ? "failed" : "ok", .bytes = j->bytes, .size = j->size,
                        .complete = 1, .seconds = 0, .attempts = j->attempts, .f = f};

    j->seconds = monotonic() - j->begun;
    o.seconds = j->seconds;
    if (!bt.on) {
        report(&o);
        return;  // one file: the lines of old, and main says what failed
    }
    endprogress();
    if (f)
        say("%s: %s", j->remote, f->msg);
    if (!bt.quiet) {
        if (f)
            printf("failed %s: %s\n", j->remote, f->msg);
        else
            printf("ok %s -> %s %lld\n", j->remote, j->local, j->bytes);
        fflush(stdout);
    }
    report(&o);
}

void jobdone(int i, int size)
{
    struct job *j = &bt.jobs[i];

    j->fate = DONE;
    j->size = size;
    j->bytes = size;
    bt.ok++;
    bt.bytes += size;
    ended(j, NULL);
}

void jobfailed(int i, const struct failure *f, long long bytes, int size)
{
    struct job *j = &bt.jobs[i];

    j->fate = FAILED;
    j->bytes = bytes;
    j->size = size;
    bt.failed++;
    ended(j, f);
}

void jobinterrupted(int i, long long bytes, int size)
{
    bt.jobs[i].fate = PENDING;
    bt.jobs[i].bytes = bytes;
    bt.jobs[i].size = size;
}

void batchfailed(const struct failure *f)
{
    for (int i = 0; i < bt.n; i++) {
        struct job *j = &bt.jobs[i];
        if (j->fate == LIVE || (j->fate == PENDING && j->attempts > 0)) {
            jobfailed(i, f, j->bytes, j->size);
            continue;
        }
        if (j->fate != PENDING || !bt.on)
            continue;
        if (!bt.quiet)
            printf("not attempted %s\n", j->remote);
        struct outcome o = {.op = "get", .remote = j->remote, .local = j->local,
                            .result = "not attempted", .bytes = 0, .size = -1, .complete = 0,
                            .seconds = 0, .attempts = 0, .f = NULL};
        report(&o);
    }
}

long long batchprogress(long long current)
{
    long long p = current;

    for (int i = 0; i < bt.n; i++)
        if (bt.jobs[i].fate == DONE || bt.jobs[i].fate == FAILED)
            p += bt.jobs[i].bytes + 1;
    return p;
}

int endbatch(void)
{
    int left = bt.n - bt.ok - bt.failed;
    char bytes[24], rest[40] = "";

    if (!bt.on)
        return bt.ok == bt.n ? 0 : 1;
    if (left > 0)
        snprintf(rest, sizeof rest, ", %d not attempted", left);
    fmtbytes(bytes, sizeof bytes, (double)bt.bytes);
    if (!bt.quiet)
        say("%d file%s: %d ok, %d failed%s; %s in %.2f s", bt.n, bt.n == 1 ? "" : "s", bt.ok,
            bt.failed, rest, bytes, monotonic() - bt.start);
    return bt.ok == bt.n ? 0 : 1;
}
