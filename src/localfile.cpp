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

#include "localfile.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <sys/stat.h>

#include "fail.h"
#include "options.h"
#include "tavik.h"

enum { TAILKEEP = CHECKLEN + BLOCK };  // the tail, far enough back for aligned requests

// Judgements that wait for the stream to vouch for them.
enum { NONE, DIFFERS, TOOLONG, RESIZED };

// The buffers of struct download, apart so that they take no room in the
// program file and no memory until used.
// A stream's run must take a whole window: the block that fills the gap
// before MAXWINDOW - 1 waiting ones brings them all in behind it.
enum { RUNSIZE = MAXWINDOW * BLOCK };
static u8 runbuf[RUNSIZE];
static u8 aheadbuf[MAXWINDOW][BLOCK];

static struct download {
    // For the whole run.
    const char *name;
    int fd;              // -1 when none is open; a stream stays open between attempts
    int stream;          // written in order, never cut
    int made;            // this run created the file: it goes if it ends empty
    int owned;           // an attempt's comparison was judged: what is there is this run's
    int firstsize;       // the file size the run was told first, in a reply vouched for
    long long written;   // stream: bytes written
    u8 tail[TAILKEEP];   // stream: the last bytes written, the latest last
    // For the attempt that runs.
    int active;
    int ours;            // taken over: a failure may cut it
    int mine;            // what lay there was written by an earlier attempt
    int verdict;
    int toolong;         // the local file is longer than any remote file
    int tocompare;       // requests below base not yet answered
    int size;            // the file size this attempt was told
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
} dl = {.name = "", .fd = -1, .stream = 0, .made = 0, .owned = 0, .firstsize = -1,
        .written = 0, .tail = {}, .active = 0, .ours = 0, .mine = 0,
        .verdict = NONE, .toolong = 0, .tocompare = 0, .size = -1, .base = 0, .gapless = 0, .unsure = -1,
        .writing = -1, .runat = 0, .runlen = 0, .run = runbuf, .aheadlen = {}, .aheadat = {},
        .ahead = aheadbuf};

// The end of what the download can vouch for.
static off_t trusted(void)
{
    off_t keep = dl.gapless;

    if (dl.verdict != NONE)
        return dl.base;  // nothing above base counts
    if (dl.unsure >= 0 && dl.unsure < keep)
        keep = dl.unsure;
    if (dl.writing >= 0 && dl.writing < keep)
        keep = dl.writing;
    return keep < dl.base ? dl.base : keep;
}

// What the file holds that can be trusted.
static off_t keeplen(void)
{
    off_t keep = trusted();

    if (dl.stream)
        return dl.written;
    if (dl.runlen > 0 && dl.runat < keep)
        keep = dl.runat;  // gathered, not yet written
    return keep;
}

static void openlocal(int again)
{
    struct stat st;

    if (strcmp(dl.name, "-") == 0) {
        dl.fd = 1;
        dl.stream = 1;
        return;
    }
    dl.fd = open(dl.name, O_RDWR | O_CREAT | O_EXCL, 0644);
    if (dl.fd >= 0)
        dl.made = 1;
    else if (errno == EEXIST)
        dl.fd = open(dl.name, again ? O_RDWR : O_WRONLY);
    if (dl.fd < 0)
        fail("Cannot open file!");
    dl.stream = fstat(dl.fd, &st) == 0 && !S_ISREG(st.st_mode);
    if (dl.stream && opt.resume)
        failmsg(USAGE, "--continue needs a local file, not a pipe or a device: '%s'", dl.name);
}

off_t startlocal(const char *name)
{
    int again = opt.resume || dl.owned;
    struct stat st;

    dl.name = name;
    if (dl.fd < 0)
        openlocal(again);
    dl.active = 1;
    dl.ours = 0;
    dl.mine = dl.owned;
    dl.verdict = NONE;
    dl.toolong = 0;
    dl.tocompare = 0;
    dl.unsure = dl.writing = -1;
    dl.runlen = 0;
    memset(dl.aheadlen, 0, sizeof dl.aheadlen);
    dl.base = 0;
    if (dl.stream) {
        dl.base = dl.written;
    } else if (again && fstat(dl.fd, &st) == 0) {
        dl.toolong = st.st_size > INT_MAX;  // no remote file is that long
        dl.base = dl.toolong ? INT_MAX : st.st_size;
    }
    dl.gapless = dl.runat = dl.base;
    return dl.base;
}

int checkpoints(off_t below, int *offs)
{
    int n = 0;

    if (dl.stream)
        return 0;  // only the tail is still at hand
    for (int k = 0; k <= CHECKSPREAD; k++) {
        off_t at = below * k / (CHECKSPREAD + 1) / BLOCK * BLOCK;
        if (at < below && (n == 0 || at > offs[n - 1]))
            offs[n++] = (int)at;
    }
    return n;
}

void asked(off_t at)
{
    if (at < dl.base)
        dl.tocompare++;
}

// A judgement is given when the stream vouches for the block it rests on.
[[noreturn]] static void judge(void)
{
    if (dl.mine || dl.verdict == RESIZED)
        failmsg(DEVICE, "file changed on the device during the download");
    if (dl.verdict == TOOLONG)
        failmsg(LOCAL, "cannot continue: the local file is longer than the remote file");
    failmsg(LOCAL, "cannot continue: the local file is not a beginning of the remote file");
}

void firstreply(int filesize)
{
    if (dl.firstsize >= 0 && filesize != dl.firstsize)
        dl.verdict = RESIZED;
    else if (dl.base > filesize || dl.toolong)
        dl.verdict = TOOLONG;
    if (dl.base == 0 && !dl.stream && ftruncate(dl.fd, 0) != 0)
        fail("Cannot write file!");
    dl.size = filesize;
    dl.ours = 1;
}

void refused(i32 rc, off_t at)
{
    // A resumed download asks first for bytes below the end of the local
    // file: a device that has no such offset holds a shorter file.
    if (at < dl.base && rc == EKxFileTavikRet_OutOfRange) {
        dl.verdict = TOOLONG;
        judge();
    }
    devfail("get", rc);
}

void vouch(void)
{
    if (dl.verdict != NONE)
        judge();
    dl.unsure = -1;
    if (!dl.ours)
        return;
    if (dl.firstsize < 0)
        dl.firstsize = dl.size;
    if (dl.tocompare == 0)
        dl.owned = 1;  // every compared block is in, and vouched for
}

// Compares the part of a block that lies below base with the local file.
// Returns how many of its n bytes were compared, or n when they differ
// (then none of it is written, and the judgement waits for a vouch).
static int compare(const u8 *data, int n, off_t at)
{
    u8 buf[4096];
    int m, done = 0;

    if (at >= dl.base)
        return 0;
    m = dl.base - at < n ? (int)(dl.base - at) : n;
    if (dl.stream) {  // what the tail no longer holds went out long ago
        off_t from = dl.base - (dl.written < (long long)TAILKEEP ? dl.written : (long long)TAILKEEP);
        done = at < from ? (int)(from - at) : 0;
        done = done > m ? m : done;
        const u8 *t = dl.tail + TAILKEEP - (dl.base - at - done);
        if (memcmp(t, data + done, (size_t)(m - done)) != 0)
            done = -1;
    }
    while (done >= 0 && done < m && !dl.stream) {
        int k = m - done < (int)sizeof buf ? m - done : (int)sizeof buf;
        ssize_t got = pread(dl.fd, buf, (size_t)k, at + done);
        if (got < 0)
            fail("Cannot read file!");
        if (got < k || memcmp(buf, data + done, (size_t)k) != 0)
            done = -1;
        else
            done += k;
    }
    if (done < 0) {
        dl.verdict = DIFFERS;
        return n;
    }
    return m;
}

// Writes all n bytes, or fails with the file's perror form.
static void writeall(const u8 *data, int n, off_t at)
{
    while (n > 0) {
        ssize_t w = dl.stream ? write(dl.fd, data, (size_t)n) : pwrite(dl.fd, data, (size_t)n, at);
        if (w <= 0) {
            if (w == 0)
                errno = ENOSPC;
            fail("Cannot write file!");
        }
        if (dl.stream) {
            dl.written += w;
            size_t keep = (size_t)w < sizeof dl.tail ? (size_t)w : sizeof dl.tail;
            memmove(dl.tail, dl.tail + keep, sizeof dl.tail - keep);
            memcpy(dl.tail + sizeof dl.tail - keep, data + w - keep, keep);
        }
        data += w;
        n -= (int)w;
        at += w;
    }
}

// Writes the gathered run; a stream only up to what is vouched for, the
// rest waiting at the front of the run.
static void flushrun(void)
{
    int n = dl.runlen;

    if (dl.stream) {
        off_t upto = trusted();
        n = upto <= dl.runat ? 0 : upto - dl.runat < n ? (int)(upto - dl.runat) : n;
    }
    if (n == 0)
        return;
    dl.writing = dl.runat;
    dl.runlen -= n;  // a write that fails is not tried again on the way out
    writeall(dl.run, n, dl.runat);
    dl.writing = -1;
    memmove(dl.run, dl.run + n, (size_t)dl.runlen);
    dl.runat += n;
}

static void append(const u8 *data, int n)
{
    if (dl.runlen + n > (int)RUNSIZE)
        flushrun();
    if (dl.runlen + n > (int)RUNSIZE)
        failmsg(LOCAL, "no room for the blocks that wait to be written");
    memcpy(dl.run + dl.runlen, data, (size_t)n);
    dl.runlen += n;
}

// A stream takes blocks in order: one ahead of the gap waits for it.
static void streamblock(const u8 *data, int n, off_t at)
{
    int i = (int)(at / BLOCK % MAXWINDOW);

    if (at > dl.runat + dl.runlen) {
        if (dl.aheadlen[i] > 0)
            failmsg(LOCAL, "no room for the blocks that wait to be written");
        memcpy(dl.ahead[i], data, (size_t)n);
        dl.aheadlen[i] = n;
        dl.aheadat[i] = at;
        return;
    }
    append(data, n);
    for (off_t end = at + n;;) {
        i = (int)(end / BLOCK % MAXWINDOW);
        if (dl.aheadlen[i] == 0 || dl.aheadat[i] != end)
            break;
        append(dl.ahead[i], dl.aheadlen[i]);
        end += dl.aheadlen[i];
        dl.aheadlen[i] = 0;
    }
}

void putblock(const u8 *data, int n, off_t at)
{
    int same = compare(data, n, at);

    if (at < dl.base)
        dl.tocompare--;
    if (n <= same)
        return;
    data += same;
    at += same;
    dl.unsure = at;
    n -= same;
    if (dl.stream) {
        streamblock(data, n, at);
        return;
    }
    if (dl.runlen > 0 && (at != dl.runat + dl.runlen || dl.runlen + n > (int)RUNSIZE))
        flushrun();
    if (dl.runlen == 0)
        dl.runat = at;
    append(data, n);
}

void markgapless(off_t g)
{
    if (g > dl.gapless)
        dl.gapless = g;
}

void flushlocal(void)
{
    flushrun();
}

off_t aheadlimit(int window)
{
    return dl.stream ? dl.gapless + (off_t)window * BLOCK : (off_t)INT_MAX + 1;
}

void closelocal(void)
{
    int fd = dl.fd;

    flushrun();
    dl.active = 0;
    if (fd == 1)
        return;  // standard output: main checks it at the end
    dl.fd = -1;
    if (close(fd) != 0)
        fail("Cannot write file!");
}

void letgo(void)
{
    struct stat st;
    off_t keep;

    if (!dl.active)
        return;
    dl.active = 0;
    if (dl.ours) {
        // What is gathered and can be trusted is written after all: a
        // retry goes on from further along.  A write that fails here says
        // nothing: the failure that ended the attempt is the one to report.
        try {
            flushrun();
        } catch (const failure &) {
        }
    }
    if (dl.stream)
        return;  // kept open: a retry appends to it
    keep = keeplen();
    if (fstat(dl.fd, &st) == 0) {
        if (!dl.ours)
            keep = st.st_size;  // refused before it began: left as it was
        // A file left as long as it was is left alone, its time stamps too.
        else if (st.st_size != keep && ftruncate(dl.fd, keep) != 0)
            keep = st.st_size;
    }
    if (dl.made && keep == 0)
        unlink(dl.name);  // ours, and empty: it would look like an empty download
    close(dl.fd);
    dl.fd = -1;
}

long long resumefrom(const char *name)
{
    struct stat st;

    if (dl.stream)
        return dl.written;
    if ((opt.resume || dl.owned) && stat(name, &st) == 0 && S_ISREG(st.st_mode))
        return st.st_size;
    return 0;
}
