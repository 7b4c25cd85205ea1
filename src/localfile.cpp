// The local file of a download.
//
// Invariant: bytes [0, keeplen()) of the file are the remote file's
// beginning, without a hole.  That one rule decides what a failure keeps
// and where a resumed download goes on from; trusted() is it.
//
//   base     where this attempt began: below it lie bytes that were there
//            before, which are compared, never written, never cut.
//   gapless  everything below it has been placed.
//   unsure   where the block placed last begins; that block may hold a
//            stranger's bytes until the stream vouches for it.
//   vouch    the reply after a block was read whole and fits what was
//            asked, or the connection ended exactly behind it.
//
// A reply whose size overstates its payload swallows the start of the
// next one, so the block placed last counts only once vouched for.  A
// judgement (a compared block that differs, a file size that is not the
// one seen before) waits for the same proof: a reply that did not frame
// would differ too, and that is the link's fault, not the file's.
//
// Standard output, and any output that cannot be cut (a pipe, a device),
// is a stream: it is written in order and only with what is vouched for,
// so that a failure leaves a beginning of the file there and nothing
// after it; the last bytes written are kept to compare a retry against.
//
// A file that held something before the run is not touched until the
// first block is vouched for: a failure before that leaves it as it was,
// time stamps and all.  A file this run made is never cut at all but by
// the keep rule.

#include "localfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <sys/stat.h>

#include "IfKxFileTavik.h"
#include "attempts.h"
#include "fail.h"
#include "stop.h"

// Judgements that wait for the stream to vouch for them.
enum { NONE, DIFFERS, TOOLONG, RESIZED };

// A stream's run must take a whole window: the block that fills the gap
// before MAXWINDOW - 1 waiting ones brings them all in behind it.
constexpr int RUNSIZE = MAXWINDOW * BLOCK;

void initdownload(struct download *d, const char *name, int resume)
{
    memset(d, 0, sizeof *d);
    d->name = name;
    d->resume = resume;
    d->fd = -1;
    d->firstsize = -1;
    d->size = -1;
    d->unsure = d->writing = -1;
    d->run = NULL;
    d->ahead = NULL;
}

void freedownload(struct download *d)
{
    free(d->run);
    free(d->ahead);
    d->run = NULL;
    d->ahead = NULL;
}

// The perror form's tag for a write that failed.
static const char *writetag(const struct download *d)
{
    return strcmp(d->name, "-") == 0 ? "stdout" : "Cannot write file!";
}

// The end of what the download can vouch for.
static off_t trusted(const struct download *d)
{
    off_t keep = d->gapless;

    if (d->verdict != NONE)
        return d->base;  // nothing above base counts
    if (d->unsure >= 0 && d->unsure < keep)
        keep = d->unsure;
    if (d->writing >= 0 && d->writing < keep)
        keep = d->writing;
    return keep < d->base ? d->base : keep;
}

off_t keeplen(const struct download *d)
{
    off_t keep = trusted(d);

    if (d->stream)
        return d->written;
    if (d->runlen > 0 && d->runat < keep)
        keep = d->runat;  // gathered, not yet written
    return keep;
}

// Opening a FIFO waits for its reader: a signal, or the run's time, ends
// the wait.
static int openfor(const char *name, int flags)
{
    int fd;

    while ((fd = open(name, flags, 0644)) < 0 && errno == EINTR) {
        if (stopsig())
            stopped();
        overtime();
    }
    return fd;
}

static void openlocal(struct download *d, int again)
{
    struct stat st;

    if (strcmp(d->name, "-") == 0) {
        d->fd = 1;
        d->stream = 1;
        return;
    }
    d->fd = openfor(d->name, O_RDWR | O_CREAT | O_EXCL);
    if (d->fd >= 0)
        d->made = 1;
    else if (errno == EEXIST)
        d->fd = openfor(d->name, again ? O_RDWR : O_WRONLY);
    if (d->fd < 0)
        fail("Cannot open file!");
    d->stream = fstat(d->fd, &st) == 0 && !S_ISREG(st.st_mode);
    if (d->stream && d->resume)
        failmsg(USAGE, "--continue needs a local file, not a pipe or a device: '%s'", d->name);
}

off_t startlocal(struct download *d)
{
    int again = d->resume || d->owned;
    struct stat st;

    if (d->fd < 0)
        openlocal(d, again);
    d->active = 1;
    d->ours = 0;
    d->replace = 0;
    d->mine = d->owned;
    d->verdict = NONE;
    d->toolong = 0;
    d->tocompare = 0;
    d->unsure = d->writing = -1;
    d->runlen = 0;
    memset(d->aheadlen, 0, sizeof d->aheadlen);
    d->base = 0;
    d->had = !d->stream && fstat(d->fd, &st) == 0 ? st.st_size : 0;
    if (d->stream) {
        d->base = d->written;
    } else if (again) {
        d->toolong = d->had > INT_MAX;  // no remote file is that long
        d->base = d->toolong ? INT_MAX : d->had;
    }
    d->gapless = d->runat = d->base;
    return d->base;
}

int checkpoints(const struct download *d, off_t below, int *offs)
{
    int n = 0;

    if (d->stream)
        return 0;  // only the tail is still at hand
    for (int k = 0; k <= CHECKSPREAD; k++) {
        off_t at = below * k / (CHECKSPREAD + 1) / BLOCK * BLOCK;
        if (at < below && (n == 0 || at > offs[n - 1]))
            offs[n++] = (int)at;
    }
    return n;
}

void asked(struct download *d, off_t at)
{
    if (at < d->base)
        d->tocompare++;
}

// A judgement is given when the stream vouches for the block it rests on.
[[noreturn]] static void judge(const struct download *d)
{
    if (d->mine || d->verdict == RESIZED)
        failmsg(DEVICE, "file changed on the device during the download");
    if (d->verdict == TOOLONG)
        failmsg(LOCAL, "cannot continue: the local file is longer than the remote file");
    failmsg(LOCAL, "cannot continue: the local file is not a beginning of the remote file");
}

void firstreply(struct download *d, int filesize)
{
    if (d->firstsize >= 0 && filesize != d->firstsize)
        d->verdict = RESIZED;
    else if (d->base > filesize || d->toolong)
        d->verdict = TOOLONG;
    // What the file held goes only for what the stream vouches for.
    d->replace = d->base == 0 && !d->stream && d->had > 0;
    d->size = filesize;
    d->ours = 1;
}

void refused(struct download *d, i32 rc, off_t at)
{
    // A resumed download asks first for bytes below the end of the local
    // file: a device that has no such offset holds a shorter file.
    if (at < d->base && rc == EKxFileTavikRet_OutOfRange) {
        d->verdict = TOOLONG;
        judge(d);
    }
    devfail("get", rc);
}

void vouch(struct download *d)
{
    if (d->verdict != NONE)
        judge(d);
    d->unsure = -1;
    if (!d->ours)
        return;
    if (d->replace) {
        d->replace = 0;
        if (ftruncate(d->fd, 0) != 0)
            fail(writetag(d));
    }
    if (d->firstsize < 0)
        d->firstsize = d->size;
    if (d->tocompare == 0)
        d->owned = 1;  // every compared block is in, and vouched for
}

// Compares the part of a block that lies below base with the local file.
// Returns how many of its n bytes were compared, or n when they differ
// (then none of it is written, and the judgement waits for a vouch).
static int compare(struct download *d, const u8 *data, int n, off_t at)
{
    u8 buf[4096];
    int m, done = 0;

    if (at >= d->base)
        return 0;
    m = d->base - at < n ? (int)(d->base - at) : n;
    if (d->stream) {  // what the tail no longer holds went out long ago
        off_t from = d->base - (d->written < (long long)TAILKEEP ? d->written : (long long)TAILKEEP);
        done = at < from ? (int)(from - at) : 0;
        done = done > m ? m : done;
        const u8 *t = d->tail + TAILKEEP - (d->base - at - done);
        if (memcmp(t, data + done, (size_t)(m - done)) != 0)
            done = -1;
    }
    while (done >= 0 && done < m && !d->stream) {
        int k = m - done < (int)sizeof buf ? m - done : (int)sizeof buf;
        ssize_t got = pread(d->fd, buf, (size_t)k, at + done);
        if (got < 0)
            fail("Cannot read file!");
        if (got < k || memcmp(buf, data + done, (size_t)k) != 0)
            done = -1;
        else
            done += k;
    }
    if (done < 0) {
        d->verdict = DIFFERS;
        return n;
    }
    return m;
}

static void keeptail(struct download *d, const u8 *data, size_t w)
{
    size_t keep = w < sizeof d->tail ? w : sizeof d->tail;

    d->written += (long long)w;
    memmove(d->tail, d->tail + keep, sizeof d->tail - keep);
    memcpy(d->tail + sizeof d->tail - keep, data + w - keep, keep);
}

// Writes all n bytes, or fails with the file's perror form.  A write to
// a reader that stops reading waits as long as it takes, unless a signal
// or the run's time ends the wait.
static void writeall(struct download *d, const u8 *data, int n, off_t at)
{
    while (n > 0) {
        ssize_t w = d->stream ? write(d->fd, data, (size_t)n) : pwrite(d->fd, data, (size_t)n, at);
        if (w < 0 && errno == EINTR) {
            if (stopsig())
                stopped();
            overtime();
            continue;
        }
        if (w <= 0) {
            if (w == 0)
                errno = ENOSPC;
            fail(writetag(d));
        }
        if (d->stream)
            keeptail(d, data, (size_t)w);
        data += w;
        n -= (int)w;
        at += w;
        if (n > 0 && stopsig())
            stopped();
        if (n > 0)
            overtime();  // only a signal cuts a write short
    }
}

// Writes the gathered run; a stream only up to what is vouched for, the
// rest waiting at the front of the run.  Nothing is written over what
// the file held until the first block is vouched for.
static void flushrun(struct download *d)
{
    int n = d->runlen;

    if (d->replace)
        return;
    if (d->stream) {
        off_t upto = trusted(d);
        n = upto <= d->runat ? 0 : upto - d->runat < n ? (int)(upto - d->runat) : n;
    }
    if (n == 0)
        return;
    d->writing = d->runat;
    d->runlen -= n;  // a write that fails is not tried again on the way out
    writeall(d, d->run, n, d->runat);
    d->writing = -1;
    memmove(d->run, d->run + n, (size_t)d->runlen);
    d->runat += n;
}

static void *memory(size_t n)
{
    void *p = malloc(n);
    if (p == NULL)
        failmsg(LOCAL, "out of memory for the blocks that wait to be written");
    return p;
}

static void append(struct download *d, const u8 *data, int n)
{
    if (d->run == NULL)
        d->run = (u8 *)memory(RUNSIZE);
    if (d->runlen + n > RUNSIZE)
        flushrun(d);
    if (d->runlen + n > RUNSIZE)
        failmsg(LOCAL, "no room for the blocks that wait to be written");
    memcpy(d->run + d->runlen, data, (size_t)n);
    d->runlen += n;
}

// A stream takes blocks in order: one ahead of the gap waits for it.
static void streamblock(struct download *d, const u8 *data, int n, off_t at)
{
    int i = (int)(at / BLOCK % MAXWINDOW);

    if (at > d->runat + d->runlen) {
        if (d->ahead == NULL)
            d->ahead = (u8(*)[BLOCK])memory(sizeof *d->ahead * MAXWINDOW);
        if (d->aheadlen[i] > 0)
            failmsg(LOCAL, "no room for the blocks that wait to be written");
        memcpy(d->ahead[i], data, (size_t)n);
        d->aheadlen[i] = n;
        d->aheadat[i] = at;
        return;
    }
    append(d, data, n);
    for (off_t end = at + n;;) {
        i = (int)(end / BLOCK % MAXWINDOW);
        if (d->aheadlen[i] == 0 || d->aheadat[i] != end)
            break;
        append(d, d->ahead[i], d->aheadlen[i]);
        end += d->aheadlen[i];
        d->aheadlen[i] = 0;
    }
}

void putblock(struct download *d, const u8 *data, int n, off_t at)
{
    int same = compare(d, data, n, at);

    if (at < d->base)
        d->tocompare--;
    if (n <= same)
        return;
    data += same;
    at += same;
    d->unsure = at;
    n -= same;
    if (d->stream) {
        streamblock(d, data, n, at);
        return;
    }
    if (d->runlen > 0 && (at != d->runat + d->runlen || d->runlen + n > RUNSIZE))
        flushrun(d);
    if (d->runlen == 0)
        d->runat = at;
    append(d, data, n);
}

void markgapless(struct download *d, off_t g)
{
    if (g > d->gapless)
        d->gapless = g;
}

void flushlocal(struct download *d)
{
    flushrun(d);
}

off_t aheadlimit(const struct download *d, int window)
{
    return d->stream ? d->gapless + (off_t)window * BLOCK : (off_t)INT_MAX + 1;
}

void closelocal(struct download *d)
{
    int fd = d->fd;

    flushrun(d);
    d->active = 0;
    d->kept = d->stream ? d->written : d->size;
    if (fd == 1)
        return;  // standard output: main checks it at the end
    d->fd = -1;
    if (close(fd) != 0)
        fail(writetag(d));
}

void letgo(struct download *d)
{
    struct stat st;
    off_t keep;

    if (!d->active)
        return;
    d->active = 0;
    if (d->ours) {
        // What is gathered and can be trusted is written after all: a
        // retry goes on from further along.  A write that fails here says
        // nothing: the failure that ended the attempt is the one to report.
        try {
            flushrun(d);
        } catch (const failure &) {
        }
    }
    d->kept = d->stream ? d->written : d->ours && !d->replace ? keeplen(d) : 0;
    if (d->stream)
        return;  // kept open: a retry appends to it
    keep = keeplen(d);
    if (fstat(d->fd, &st) == 0) {
        // Refused before it began, or nothing vouched for yet that would
        // replace what it held: left as it was.
        if (!d->ours || d->replace)
            keep = st.st_size;
        // A file left as long as it was is left alone, its time stamps too.
        else if (st.st_size != keep && ftruncate(d->fd, keep) != 0)
            keep = d->kept = st.st_size;
    }
    if (d->made && keep == 0)
        unlink(d->name);  // ours, and empty: it would look like an empty download
    close(d->fd);
    d->fd = -1;
}

long long resumefrom(const struct download *d)
{
    struct stat st;

    if (d->stream)
        return d->written;
    if ((d->resume || d->owned) && stat(d->name, &st) == 0 && S_ISREG(st.st_mode))
        return st.st_size;
    return 0;
}

long long keptbytes(const struct download *d)
{
    return d->kept;
}
