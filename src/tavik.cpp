// tavik: lists the directories of a device and downloads files from it,
// over the device's message protocol on one TCP connection.
//
// One connection, one operation, then exit.  Every failure prints one
// message and ends the process with status 1; only --retry makes a
// failure of the link start another attempt.  Every reply is checked
// against what was asked before any of it is used.
//
// This file holds the command line, the device link, the listing and the
// two downloads.  What they lean on lives in rooms of its own, each
// owning its state: the local file (localfile), the retry policy and the
// run's time (attempts), the endpoint (endpoint), the long options
// (options), the progress line (progress) and the failure procedures
// (fail), which throw to the attempt loop in main.

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "attempts.h"
#include "batch.h"
#include "endpoint.h"
#include "fail.h"
#include "listing.h"
#include "localfile.h"
#include "options.h"
#include "progress.h"
#include "report.h"
#include "stop.h"
#include "tavik.h"
#include "timing.h"
#include "tuning.h"
#include "window.h"

#ifndef TAVIK_VERSION
#define TAVIK_VERSION "unknown"
#endif

#define GET_REQ_SIZE (KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_GET_REQ_SIZE)
#define LIST_REQ_SIZE (KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_LIST_REQ_SIZE)
#define MAXREPLY (KX_SYSCOM_HEADER_SIZE + 65519)  // msgSize is 16 bits

// Where a wait ran out.  The numbers are printed ("Timeout or Error (line
// 311)") and scripts match them, so they stay what they always were,
// although they are no longer line numbers of anything.
enum {
    SITE_LIST = 164,         // a listing reply
    SITE_LIST_DATA = 182,    // ... its payload
    SITE_READ = 256,         // the rest of a reply begun
    SITE_FIRST = 286,        // the first reply of a pipelined download
    SITE_TURBO_DATA = 380,   // a pipelined reply's payload
    SITE_BLOCK = 428,        // a block reply
    SITE_BLOCK_DATA = 446,   // ... its payload
    SITE_WINDOW = 311,       // any reply to a pipelined window
};

// A request is assembled at the start of reqbuf (a pipelined burst one
// behind the other).  Replies are read into respbuf as they arrive, many
// at a time, and used where they lie: respbuf[pos, len) holds what was
// taken off the connection and not yet used.
alignas(8) static u8 reqbuf[MSGBUF_SIZE];
alignas(8) static u8 respbuf[131072];
static_assert(MAXWINDOW * GET_REQ_SIZE <= MSGBUF_SIZE, "a full window fits reqbuf");
static_assert(sizeof respbuf >= 2 * MAXREPLY, "a reply begun always leaves room for the rest");

static struct link {
    size_t pos, len;
} ln = {.pos = 0, .len = 0};

static struct pollfd ufds;    // every wait polls through this
static char filename[10000];  // the local file

// Where the lines go that the operations print on standard output: to
// standard error instead when standard output carries the file (-o -)
// or only the payload (--quiet).
static struct {
    FILE *info;
    int sizeshown;  // the file size line is printed once a run
} pr = {.info = NULL, .sizeshown = 0};

static void printusage(const char *cmd)
{
    printf("\nUsage:\n");
    printf("  %s -c <core> -t <task> [-l|-g|-p] <name>\n", cmd);
    printf("  %s -l [<dirname>]     list <dirname> (default '/')\n", cmd);
    printf("  %s -g [<filename>]    get <filename> (default \"ttiTrace.dat\")\n", cmd);
    printf("  -o <local_filename>         with -g use <local_filename> for the copied file on the PC instead of <filename>\n");
    printf("  -b     enables faster download. Use with care because it has not been thoroughly test.\n");
    printf("  -c and -t are optional. Default values are 0x1462 and 0x614\n");
    printf("  VRQ is expected to have the IP address 192.168.255.1\n");
    printf("\nExample: '%s -g -c 1442' downloads DL ttiTrace.dat file\n\n", cmd);
}

// ---- Device link ----------------------------------------------------------

static int myconnect(void)
{
    int one = 1, sd;

    endpoint();
    overtime();
    sd = dial(opt.verbose, timeleft(WAIT_MS));
    if (sd < 0) {
        if (stopsig())
            stopped();
        overtime();
        lost("connect");
    }
    // Requests are small: the kernel must not hold one back while an
    // earlier one is unacknowledged.  And a device that stops reading must
    // not hold a write forever.  Without either bound the run's promises
    // do not hold: that is fatal.
    struct timeval tv = {WAIT_MS / 1000, WAIT_MS % 1000 * 1000};
    if (setsockopt(sd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        setsockopt(sd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        int e = errno;
        close(sd);
        errno = e;
        fail("setsockopt");
    }
    ln.pos = ln.len = 0;
    return sd;
}

// Lets go of the connection, if there is one, and of what it buffered.
static void closelink(int sd)
{
    if (sd >= 0)
        close(sd);
    ln.pos = ln.len = 0;
}

static size_t buffered(void)
{
    return ln.len - ln.pos;
}

// Waits up to ms for the connection to become readable, never past the
// run's time: returns 1 once it is, 0 when ms ran out (or poll failed,
// which is reported as a wait that ran out, as ever).
static int readable(int sd, int ms)
{
    if (stopsig())
        stopped();
    int limit = timeleft(ms);

    ufds.fd = sd;
    ufds.events = POLLIN;
    int r = pollfor(&ufds, limit);
    if (r < 0 && errno == EINTR)
        stopped();
    if (r == 0 && limit < ms)
        overtime();  // the run's time cut the wait short
    return r > 0;
}

static const char *sitename(int site)
{
    switch (site) {
    case SITE_LIST: return "waiting for a listing page";
    case SITE_LIST_DATA: return "waiting for a listing page's payload";
    case SITE_FIRST: return "waiting for the first block reply";
    case SITE_WINDOW: return "waiting for replies to the window";
    case SITE_BLOCK: return "waiting for a block reply";
    case SITE_BLOCK_DATA:
    case SITE_TURBO_DATA: return "waiting for a block reply's payload";
    }
    return "waiting for the rest of a reply";
}

// Returns once data can be read; a wait that runs out ends the attempt
// with its site number.  unanswered: the requests of a wider window than
// the usual still in flight (-1 for any other wait).
static void waitsite(int sd, int site, int unanswered)
{
    if (readable(sd, WAIT_MS))
        return;
    endprogress();
    fprintf(pr.info, "Timeout or Error (line %d)\n", site);
    if (site == SITE_WINDOW && unanswered >= 0)
        failmsg(LINK,
                "no reply within %d ms with %d requests asked, %d unanswered: the device may "
                "accept fewer; try a smaller --window",
                WAIT_MS, opt.window, unanswered);
    failmsg(LINK, "no reply from the device within %d ms (%s)", WAIT_MS, sitename(site));
}

static void waitfor(int sd, int site)
{
    waitsite(sd, site, -1);
}

// The device closed the connection: right where a reply ended, or not.
[[noreturn]] static void closed(void)
{
    hangup(buffered() == 0, "device closed the connection");
}

// Takes in what the connection holds, behind what is buffered, without
// waiting: returns 1 when bytes came, 0 when none are there yet, -1 when
// the device has closed.  Trying the read itself, rather than polling
// first, saves a system call whenever data is there.
static int takein(int sd, size_t want)
{
    if (ln.pos == ln.len) {
        ln.pos = ln.len = 0;
    } else if (sizeof respbuf - ln.len < MAXREPLY) {
        memmove(respbuf, respbuf + ln.pos, buffered());
        ln.len -= ln.pos;
        ln.pos = 0;
    }
    ssize_t n = recv(sd, respbuf + ln.len, sizeof respbuf - ln.len, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    if (n < 0) {
        int e = errno;
        endprogress();
        fprintf(pr.info, "n = %x,  size = %x\n", (unsigned)n, (unsigned)want);
        errno = e;
        lost("my_read");
    }
    if (n == 0)
        return -1;
    ln.len += (size_t)n;
    overtime();  // a device that never stops sending is bounded too
    return 1;
}

// Makes `want` bytes from pos available, across as many reads as the
// network needs: waits at `site` while exactly `at` of them are there,
// and at SITE_READ inside a reply begun.  A reply to the one request just
// sent has not come yet: waiting first saves a read that finds nothing.
static void need(int sd, size_t want, size_t at, int site)
{
    if (buffered() == 0 && buffered() < want)
        waitfor(sd, site);
    while (buffered() < want) {
        int r = takein(sd, want - buffered());
        if (r < 0)
            closed();
        if (r == 0)
            waitfor(sd, buffered() == at ? site : SITE_READ);
    }
}

// After the final reply nothing more may come: bytes there, or arriving
// before the device's end of stream, mean a reply did not frame (its true
// end is still on the connection) or a stray one followed.  Our end of
// the stream goes out first, as it would at exit: a device that closes
// on it proves at once that nothing more is coming; one that does not is
// waited for QUIET_MS, which catches a final reply written in two pieces.
static void nothingmore(int sd)
{
    double start = monotonic();
    int left, one = 1;

    // The final reply is acknowledged at once: a device whose last piece
    // waits for that acknowledgement (Nagle) sends it within the wait.
    setsockopt(sd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    shutdown(sd, SHUT_WR);
    while (buffered() == 0 && (left = QUIET_MS - (int)((monotonic() - start) * 1000)) > 0 &&
           readable(sd, left))
        if (takein(sd, 0) < 0)
            return;
    // One last look: the time may have run out while this process was not
    // running, and what arrived meanwhile counts as much.
    if (buffered() == 0 && takein(sd, 0) < 0)
        return;
    if (buffered() > 0)
        outofstep("data after the final reply: a reply did not frame");
}

// Whether a whole reply lies in respbuf (or one whose size is impossible,
// for readreply to report).
static int wholereply(void)
{
    if (buffered() < KX_SYSCOM_HEADER_SIZE)
        return 0;
    int n = getsize(respbuf + ln.pos);
    return (unsigned)n > MAX_PAYLOAD || buffered() >= KX_SYSCOM_HEADER_SIZE + (size_t)n;
}

// Reads one reply whole: waits for it at site `head`, for its payload at
// site `body`, and checks that the payload holds its record's fixed part.
// Returns where it lies in respbuf, valid until the next read; *paylen
// is its payload length.
static const u8 *readreply(int sd, int head, int body, int fixed, const char *what, int *paylen)
{
    const u8 *msg;
    int n;

    need(sd, KX_SYSCOM_HEADER_SIZE, 0, head);
    n = getsize(respbuf + ln.pos);
    if ((unsigned)n > MAX_PAYLOAD) {
        errno = EPROTO;
        failerrno(STEP, "size");
    }
    if (n > 0)
        need(sd, KX_SYSCOM_HEADER_SIZE + (size_t)n, KX_SYSCOM_HEADER_SIZE, body);
    msg = respbuf + ln.pos;
    ln.pos += KX_SYSCOM_HEADER_SIZE + (size_t)n;
    if (n < fixed)
        outofstep("short %s reply: %d payload bytes, at least %d expected", what, n, fixed);
    *paylen = n;
    return msg;
}

// Takes in what has arrived without waiting: returns 1 when a whole
// reply is there (or one whose size is impossible), 0 when not yet.
static int replyready(int sd)
{
    while (!wholereply()) {
        int r = takein(sd, 0);
        if (r < 0)
            closed();
        if (r == 0)
            return 0;
    }
    return 1;
}

// Waits for more of a pipelined reply: at `site` while nothing of it is
// there, at SITE_TURBO_DATA between its header and its payload.
static void awaitmore(int sd, int site, int unanswered)
{
    waitsite(sd, buffered() == 0 ? site
                 : buffered() == KX_SYSCOM_HEADER_SIZE ? SITE_TURBO_DATA : SITE_READ,
             unanswered);
}

static void sendbuf(int sd, const u8 *buf, size_t len)
{
    ssize_t n = send(sd, buf, len, MSG_NOSIGNAL);
    if (n != (ssize_t)len) {
        int e = n >= 0 ? EIO : errno;
        char c, msg[160];
        if (e == EINTR && stopsig())
            stopped();
        // A device that closed right after a whole reply shows it here
        // first: that end is the link's to tell.
        int boundary = (e == EPIPE || e == ECONNRESET) && buffered() == 0 &&
                       recv(sd, &c, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
        snprintf(msg, sizeof msg, "write: %s", strerror(e));
        hangup(boundary, msg);
    }
}

// Header of a request at msg, the payload zeroed behind it.
static void prepreq(u8 *msg, u32 msgId, u32 size, u32 core, u32 task)
{
    memset(msg, 0, size);
    prepheader(msg, msgId, KxSysCom_zelad(core, task), size, KX_SYSCOM_REQ_FLAGS);
}

// ---- Directory listing ----------------------------------------------------

static void sendListReq(int sd, u32 core, u32 task, const char *name, u32 offset)
{
    prepreq(reqbuf, KX_FILE_TAVIK_LIST_REQ_MSG, LIST_REQ_SIZE, core, task);
    SKxFileTavikListReq *q = (SKxFileTavikListReq *)(reqbuf + KX_SYSCOM_HEADER_SIZE);
    strcpy(q->destVolumeName, name);
    q->offset = hostbe32(offset);
    q->maxEntries = hostbe32(LISTMAX);
    if (opt.verbose)
        fprintf(stderr, "> %04x list '%s' offset %u max %d\n", KX_FILE_TAVIK_LIST_REQ_MSG, name,
                offset, LISTMAX);
    sendbuf(sd, reqbuf, LIST_REQ_SIZE);
}

static void loglist(const struct listreply *r)
{
    fprintf(stderr, "< %04x list rc %d (%s) offset %u entries %d of %u\n", r->msgId, r->returnCode,
            KxFileTavik_retname(r->returnCode), r->offset, r->entries, r->totalEntries);
}

// Why the Ok page r, asked for at offset, ends the paging early, or NULL
// when it fits: its counts must agree with themselves and (after the
// first) with the first page's total.
static const char *misfit(const struct listreply *r, u32 offset, u32 total, char *why, size_t len)
{
    i32 n = r->entries;
    u32 t = r->totalEntries;

    if (offset > 0 && t != total)
        snprintf(why, len, "the total changed from %u to %u", total, t);
    else if (n < 0)
        snprintf(why, len, "the device gave %d entries at entry %u", n, offset);
    else if ((unsigned long long)offset + (u32)n > t)
        snprintf(why, len, "the device gave %d entries at entry %u of %u", n, offset, t);
    else if (n == 0 && offset < t)
        snprintf(why, len, "the device gave no entries at entry %u", offset);
    else
        return NULL;
    return why;
}

// Lists a directory, page by page while the device says there is more,
// and prints the entry count and the listing text of all pages.  A page
// that does not add up ends the paging: what the pages gave is printed,
// then why the listing is incomplete.
static int listreq(int sd, u32 core, u32 task, const char *name)
{
    struct listreply r;
    u32 offset = 0, total = 0;
    long long entries = 0;
    char reason[160];
    const char *why = NULL;
    int paylen;

    beginlisting();
    for (;;) {
        sendListReq(sd, core, task, name, offset);
        const u8 *msg = readreply(sd, SITE_LIST, SITE_LIST_DATA, KX_FILE_TAVIK_LIST_RESP_FIXED,
                                  "listing", &paylen);
        decodelist(msg, paylen, &r);
        if (opt.verbose)
            loglist(&r);
        if (offset == 0)
            total = r.totalEntries;
        if (r.returnCode == EKxFileTavikRet_Ok && r.offset != offset) {
            snprintf(reason, sizeof reason, "the device answered offset %u with offset %u",
                     offset, r.offset);
            why = reason;  // not the page asked for: its text is not used
            break;
        }
        if (offset > 0)
            listvouch();  // the page asked for: the pages before it framed
        entries = addpage(&r, total);
        if (r.returnCode != EKxFileTavikRet_Ok)
            break;
        why = misfit(&r, offset, total, reason, sizeof reason);
        if (why != NULL || r.entries == 0 || (unsigned long long)offset + (u32)r.entries >= total)
            break;
        offset += (u32)r.entries;
    }
    nothingmore(sd);
    listvouch();
    printlisting(opt.quiet);
    if (r.returnCode != EKxFileTavikRet_Ok)
        devfail("list", r.returnCode);
    if (why != NULL)
        failmsg(DEVICE, "listing incomplete: %lld of %u entries (%s)", entries, total, why);
    return 0;
}

// ---- Downloads ------------------------------------------------------------

// Places a block request for offset at msg.
static void prepGetReq(u8 *msg, u32 core, u32 task, const char *name, int offset,
                       struct download *d)
{
    prepreq(msg, KX_FILE_TAVIK_GET_REQ_MSG, GET_REQ_SIZE, core, task);
    SKxFileTavikGetReq *q = (SKxFileTavikGetReq *)(msg + KX_SYSCOM_HEADER_SIZE);
    strcpy(q->filename, name);
    q->offset = hostbe32((u32)offset);
    if (opt.verbose)
        fprintf(stderr, "> %04x get '%s' offset %d\n", KX_FILE_TAVIK_GET_REQ_MSG, name, offset);
    asked(d, offset);
}

static void sendGetReq(int sd, u32 core, u32 task, const char *name, int offset,
                       struct download *d)
{
    prepGetReq(reqbuf, core, task, name, offset, d);
    sendbuf(sd, reqbuf, GET_REQ_SIZE);
}

static void logget(const struct getreply *r)
{
    fprintf(stderr, "< %04x get rc %d (%s) offset %d length %d last %u filesize %d\n", r->msgId,
            r->returnCode, KxFileTavik_retname(r->returnCode), r->offset, r->length, r->last,
            r->filesize);
}

// The reply that respbuf holds whole next, decoded.
static void takereply(int sd, int head, int body, struct getreply *r)
{
    int paylen;
    const u8 *msg = readreply(sd, head, body, KX_FILE_TAVIK_GET_RESP_FIXED, "block", &paylen);

    decodeget(msg, paylen, r);
    if (opt.verbose)
        logget(r);
}

static void printsize(const char *fmt, int filesize, int numb)
{
    if (!pr.sizeshown++ && !opt.quiet)
        fprintf(pr.info, fmt, filesize, numb);
}

// What a download mode expects of a block reply.
struct expect {
    int first;     // the attempt's first reply
    int asked;     // it names an offset asked for and not yet answered
    int offset;    // that offset (INT_MAX when it names none)
    int filesize;  // the first reply's file size
    int whole;     // pipelined: blocks of BLOCK bytes, the last one shorter
};

// The block-size check of the first pipelined reply.
[[noreturn]] static void badblocksize(int length)
{
    fprintf(pr.info, "Serious problem with block size. Inform Developer.\n");
    failmsg(DEVICE, "the device sends %d-byte blocks; the pipelined download needs %d: "
                    "download without -b", length, BLOCK);
}

// The checks both modes make of a block reply for download d, in order;
// returns its block length.  A reply that names what was asked and the
// first file size first vouches for the block placed before it.
static int checkreply(struct download *d, const struct getreply *r, const struct expect *e)
{
    int n = r->length, at = r->offset, size = e->filesize;

    if (e->asked && r->filesize == size)
        vouch(d);
    if (!e->whole && n > LARGE) {
        errno = EFBIG;
        lost("large");
    }
    if (r->returnCode != EKxFileTavikRet_Ok)
        refused(d, r->returnCode, e->offset);
    if (e->first && r->filesize < 0)
        failmsg(DEVICE, "bad file size %d", r->filesize);
    if (e->first && e->whole && !r->last && n != BLOCK)
        badblocksize(n);
    if (n < 0 || n > r->carried)
        outofstep("bad block length %d: the reply carries %d data bytes", n, r->carried);
    if (!e->asked && e->whole)
        outofstep("reply for offset %d, which is not in flight", at);
    if (!e->asked)
        outofstep("reply for offset %d, asked for %d", at, e->offset);
    if (r->filesize != size && e->whole)
        outofstep("reply for offset %d gives file size %d, the first gave %d", at, r->filesize,
                  size);
    if (r->filesize != size)
        failmsg(DEVICE, "file size changed from %d to %d during the download", size, r->filesize);
    if (e->whole) {
        int want = size - at < BLOCK ? size - at : BLOCK;
        if (n != want)
            outofstep("reply for offset %d carries %d bytes, %d expected", at, n, want);
        if ((r->last != 0) != (at + n == size))
            outofstep("reply for offset %d %s the last block", at,
                      r->last ? "claims to be" : "does not claim to be");
        return n;
    }
    if (n > INT_MAX - at)
        failmsg(DEVICE, "file too large: more than %d bytes", INT_MAX);
    if (at + n > size)
        outofstep("block at offset %d of %d bytes goes past the file size %d", at, n, size);
    if (!r->last && n == 0)
        outofstep("empty block at offset %d, and not the last", at);
    if (r->last && at + n != size)
        outofstep("last block ends at %d, but the file size is %d", at + n, size);
    return n;
}

// Where a resumed download asks first: far enough back to compare the
// last CHECKLEN bytes of the local file, on a multiple of align.
static int checkfrom(off_t from, int align)
{
    return from > CHECKLEN ? (int)((from - CHECKLEN) / align * align) : 0;
}

// One block request and its reply, decoded into r.
static void getblock(int sd, u32 core, u32 task, const char *name, int offset,
                     struct download *d, struct getreply *r)
{
    sendGetReq(sd, core, task, name, offset, d);
    takereply(sd, SITE_BLOCK, SITE_BLOCK_DATA, r);
}

// The downloads of a run.  Two can be live at once: one whose last
// replies are still due, or whose final block waits for the stream's
// proof, and the one after it.  A slot holds a file's download across
// attempts, so that a retry goes on from what it kept.
struct slots {
    struct download dl[2];
    int job[2];  // the file in each slot, -1 for none
};

// The download of file j: its own slot if it has one, else a slot that
// holds no live file.
static int over(int j)
{
    return j < 0 || jobat(j)->fate == DONE || jobat(j)->fate == FAILED;
}

static struct download *slotfor(struct slots *sl, int j)
{
    int s = sl->job[0] == j ? 0 : sl->job[1] == j ? 1 : -1;

    if (s < 0) {
        // A slot whose file has ended; else one whose file is not live (a
        // file an attempt that failed had begun keeps its slot for the next).
        s = over(sl->job[0]) ? 0 : over(sl->job[1]) ? 1 : jobat(sl->job[0])->fate != LIVE ? 0 : 1;
        if (sl->job[s] >= 0)
            freedownload(&sl->dl[s]);
        initdownload(&sl->dl[s], jobat(j)->local, opt.resume);
        sl->job[s] = j;
    }
    return &sl->dl[s];
}

// Whether failure f ends only the file it belongs to, the batch going on
// with the next one on the same connection: the stream is still in step.
// Outside a batch every failure ends the run.
static int ownfailure(const struct failure *f)
{
    return inbatch() && (f->cause == DEVICE || f->cause == LOCAL || f->cause == USAGE);
}

// File j ended with its own failure f.
static void filefailed(struct slots *sl, int j, const struct failure *f)
{
    struct download *d = slotfor(sl, j);

    letgo(d);
    jobfailed(j, f, keptbytes(d), d->size);
}

// The stream vouched for the final block of file j: the file is done.
static void prove(struct slots *sl, int j)
{
    struct download *d = slotfor(sl, j);

    try {
        vouch(d);
        if (!inbatch())
            summary(d->size);
        closelocal(d);
        jobdone(j, d->size);
    } catch (const failure &f) {
        if (!ownfailure(&f))
            throw;
        filefailed(sl, j, &f);
    }
}

// File j begins in this attempt: returns where its download goes on from.
static off_t beginfile(struct slots *sl, int j)
{
    struct download *d = slotfor(sl, j);

    jobbegins(j);
    off_t from = startlocal(d);
    startprogress(from, opt.quiet);
    if (inbatch())
        progressfile(jobat(j)->remote, j + 1, jobcount());
    return from;
}

// Whether a reply's name field names the file asked for.  The field is
// not something every device fills, or fills with the name as asked: a
// connection's first reply tells whether this device echoes the name
// (*echoes: -1 not yet known), and from then on a reply that names
// another file answers a request it only looks like, as a duplicate of the
// file before's last reply looks like the next file's first.
static void checkname(int *echoes, const struct getreply *r, const char *asked)
{
    size_t n = strlen(asked);
    int same = strnlen(r->filename, KX_FILE_TAVIK_NAME_LEN) == n && memcmp(r->filename, asked, n) == 0;

    if (*echoes < 0)
        *echoes = same;
    else if (*echoes && !same)
        outofstep("reply for offset %d names '%.*s', asked for '%s'", r->offset,
                  (int)strnlen(r->filename, KX_FILE_TAVIK_NAME_LEN), r->filename, asked);
}

// One file block by block.  Its first reply, if it names what was asked,
// proves the final block of the file before it (*prev); its own final
// block then waits for the same proof.
static void getfile(int sd, u32 core, u32 task, struct slots *sl, int j, int *prev, int *echoes)
{
    struct getreply r;
    struct download *d = slotfor(sl, j);
    const char *name = jobat(j)->remote;
    off_t from = beginfile(sl, j);
    int offset = checkfrom(from, 1), checks[CHECKSPREAD + 1];
    int nchecks = checkpoints(d, offset, checks), next = 0, resumeat = -1, filesize = -1;
    int ended = 0;
    long long cmp = FLUSHSTEP;

    for (;;) {
        getblock(sd, core, task, name, offset, d, &r);
        int first = filesize < 0;
        if (inbatch())
            checkname(echoes, &r, name);
        if (*prev >= 0) {
            if (r.offset != offset)
                outofstep("reply for offset %d, asked for %d", r.offset, offset);
            int p = *prev;
            *prev = -1;
            prove(sl, p);
        }
        if (first) {
            filesize = r.filesize;
            if (!inbatch())
                printsize("\nfilesize      %d  \n", filesize, 0);
        }
        struct expect e = {.first = first, .asked = r.offset == offset, .offset = offset,
                           .filesize = filesize, .whole = 0};
        int n = checkreply(d, &r, &e);
        if (first)
            firstreply(d, filesize);
        putblock(d, r.data, n, offset);
        flushlocal(d);
        if (resumeat < 0) {
            offset += n;
            markgapless(d, offset);
            ended = r.last != 0;
            if (offset > cmp) {
                fflush(stdout);
                cmp += FLUSHSTEP;
            }
            refreshprogress(offset, filesize, ended);
        }
        if ((resumeat >= 0 || ended || offset >= from) && next < nchecks) {  // one to compare next
            resumeat = resumeat < 0 ? offset : resumeat;
            offset = checks[next++];
        } else if (resumeat >= 0) {
            offset = resumeat;
            resumeat = -1;
        }
        if (ended && resumeat < 0)
            break;
    }
    *prev = j;
}

// Block by block: one request in flight, each block appended at the
// running total, in whatever lengths the device chooses; the files of a
// batch one after the other on the one connection.  A resumed download
// asks first for the last CHECKLEN bytes it holds, and once past them
// for the other blocks it compares, one request each.
static int getreq(int sd, u32 core, u32 task, struct slots *sl)
{
    int prev = -1;  // the file whose final block waits for the next reply
    int echoes = -1;

    for (int j = firstopen(); j >= 0; j = nextpending(j)) {
        try {
            getfile(sd, core, task, sl, j, &prev, &echoes);
        } catch (const failure &f) {
            if (!ownfailure(&f))
                throw;
            filefailed(sl, j, &f);
        }
    }
    nothingmore(sd);
    if (prev >= 0)
        prove(sl, prev);
    return 0;
}

// A pipelined download on the connection.
struct xfer {
    int job;           // -1: none
    struct download *d;
    struct flight fl;
    int filesize;      // -1 until its first reply
    int first;         // its first offset; asked once `asked`
    int asked;
    int failed;        // ended by its own failure: what it has in flight is dropped
};

static int live(const struct xfer *x)
{
    return x->job >= 0;
}

// Everything x needs is asked for (or x has failed): the next file may
// begin beside it.
static int askedall(const struct xfer *x)
{
    return x->asked && (x->failed || (x->filesize >= 0 && x->fl.nextoff >= x->filesize &&
                                      x->fl.asked == x->fl.nchecks));
}

// Prepares a request of x in the burst at reqbuf.
static void burst(u32 core, u32 task, struct xfer *x, int at, int *n)
{
    prepGetReq(reqbuf + (*n)++ * GET_REQ_SIZE, core, task, jobat(x->job)->remote, at, x->d);
}

// The next file of the batch takes slot x, once the other slot's file has
// asked for all it needs: its first request rides with the other's last
// ones.  A file that cannot begin (its local file) ends there.
static void nextfile(struct slots *sl, struct xfer *x, const struct xfer *other, int *next)
{
    while (!live(x) && *next >= 0 && (!live(other) || askedall(other))) {
        int j = *next;
        *next = nextpending(j);
        try {
            off_t from = beginfile(sl, j);
            struct download *d = slotfor(sl, j);
            int checks[CHECKSPREAD + 1];
            x->first = checkfrom(from, BLOCK);
            int nchecks = from > 0 ? checkpoints(d, x->first, checks) : 0;
            startflight(&x->fl, x->first, checks, nchecks);
            *x = {.job = j, .d = d, .fl = x->fl, .filesize = -1, .first = x->first, .asked = 0,
                  .failed = 0};
        } catch (const failure &f) {
            if (!ownfailure(&f))
                throw;
            filefailed(sl, j, &f);
        }
    }
}

static int totalflight(const struct xfer *xs)
{
    return inflight(&xs[0].fl) * live(&xs[0]) + inflight(&xs[1].fl) * live(&xs[1]);
}

// Asks for every block the window has room for, in one write, so that the
// burst leaves at once: each file's compared blocks first, then the file
// in order, and the next file's first request behind them.  No offset is
// ever in flight for two files.
static void fillwindow(int sd, u32 core, u32 task, struct slots *sl, struct xfer *xs, int *next)
{
    int n = 0, at;

    int older = live(&xs[1]) && (!live(&xs[0]) || xs[1].job < xs[0].job);
    for (int i = 0; i < 2; i++) {
        int k = i ^ older;  // the older file's blocks first
        struct xfer *x = &xs[k], *o = &xs[1 - k];
        if (!live(x) || x->failed || x->filesize < 0)
            continue;
        off_t limit = aheadlimit(x->d, opt.window);
        while ((at = nextask(&x->fl, opt.window - totalflight(xs), x->filesize, limit,
                             live(o) ? &o->fl : NULL)) >= 0)
            burst(core, task, x, at, &n);
    }
    for (int k = 0; k < 2; k++) {
        struct xfer *x = &xs[k], *o = &xs[1 - k];
        nextfile(sl, x, o, next);
        if (live(x) && !x->asked && totalflight(xs) < opt.window &&
            !(live(o) && holds(&o->fl, x->first))) {
            burst(core, task, x, askfirst(&x->fl), &n);
            x->asked = 1;
        }
    }
    if (n > 0)
        sendbuf(sd, reqbuf, (size_t)n * GET_REQ_SIZE);
}

// Checks a reply against the requests in flight and the first reply's
// file size, then places its block at its offset.
static void placeblock(struct download *d, struct flight *fl, const struct getreply *r,
                       int filesize, int first)
{
    int at = r->offset, ok = at >= 0 && answered(fl, at);
    struct expect e = {.first = first, .asked = ok, .offset = ok ? at : INT_MAX,
                       .filesize = filesize, .whole = 1};
    int n = checkreply(d, r, &e);

    if (first)
        firstreply(d, filesize);
    putblock(d, r->data, n, at);
    markgapless(d, lowmark(fl, filesize));
}

// The file in slot x ended with its own failure: its local file is let
// go, and what it still has in flight is answered and dropped.
static void xferfailed(struct slots *sl, struct xfer *x, const struct failure *f)
{
    filefailed(sl, x->job, f);
    x->failed = 1;
    if (inflight(&x->fl) == 0)
        x->job = -1;
}

// The stream is in step up to the reply before this one: the other file
// (o) has its block placed last vouched for, and is done if that was its
// final one.
static void instep(struct slots *sl, struct xfer *o)
{
    if (!live(o) || o->failed || o->filesize < 0)
        return;
    if (flightleft(&o->fl, o->filesize)) {
        try {
            vouch(o->d);
        } catch (const failure &f) {
            if (!ownfailure(&f))
                throw;
            xferfailed(sl, o, &f);
        }
        return;
    }
    prove(sl, o->job);
    o->job = -1;
}

// One pipelined reply: the file whose request it answers takes it.
static void takeblock(struct slots *sl, struct xfer *xs, const struct getreply *r, int *echoes)
{
    int k = live(&xs[0]) && holds(&xs[0].fl, r->offset) ? 0
          : live(&xs[1]) && holds(&xs[1].fl, r->offset) ? 1 : -1;

    if (k < 0) {
        // Names no request in flight: a single download's checks say what
        // is wrong; in a batch it could belong to any file, so to none.
        if (inbatch())
            outofstep("reply for offset %d, which is not in flight", r->offset);
        k = live(&xs[0]) ? 0 : 1;
    }
    struct xfer *x = &xs[k], *o = &xs[1 - k];
    int first = x->filesize < 0;
    if (inbatch())
        checkname(echoes, r, jobat(x->job)->remote);
    if (holds(&x->fl, r->offset) && (first || r->filesize == x->filesize))
        instep(sl, o);
    if (x->failed) {
        if (!answered(&x->fl, r->offset))
            outofstep("reply for offset %d, which is not in flight", r->offset);
        if (inflight(&x->fl) == 0)
            x->job = -1;
        return;
    }
    if (first && !inbatch())
        printsize("Filesize %d bytes (blocks %d)\n", r->filesize,
                  (int)(((long long)r->filesize + BLOCK - 1) / BLOCK));
    try {
        placeblock(x->d, &x->fl, r, first ? r->filesize : x->filesize, first);
    } catch (const failure &f) {
        if (!ownfailure(&f))
            throw;
        xferfailed(sl, x, &f);
        return;
    }
    if (first)
        x->filesize = r->filesize;
    if (!live(o) || o->job < x->job)  // the line shows the file begun last
        refreshprogress(lowmark(&x->fl, x->filesize), x->filesize, 0);
}

// Waits until a whole pipelined reply is there.  What the downloads have
// gathered is written out only when there is nothing to read: a reply
// waiting while a file is written is a request not yet asked again.
static void nextreply(int sd, struct xfer *xs)
{
    int firsts = 1;  // only first requests in flight

    for (int k = 0; k < 2; k++)
        firsts &= !live(&xs[k]) || xs[k].filesize < 0;
    while (!replyready(sd)) {
        for (int k = 0; k < 2; k++)
            if (live(&xs[k]) && !xs[k].failed)
                flushlocal(xs[k].d);
        if (!replyready(sd))
            awaitmore(sd, firsts ? SITE_FIRST : SITE_WINDOW,
                      opt.window > WINDOW ? totalflight(xs) : -1);
    }
}

// Pipelined: a file's first reply gives its size, then up to `window`
// block requests stay in flight, and each reply's block is placed at its
// own offset as it arrives, in whatever order the replies come.  The
// window is filled again after every REFILL replies placed, and whenever
// the replies that arrived are placed, so that it stays spread over the
// round trip; a reply that has only begun to arrive waits in respbuf.
// The window spans the files of a batch: while one file's last requests
// are in flight, the next file's first goes out.
static void getturbo(int sd, u32 core, u32 task, struct slots *sl)
{
    struct getreply r;
    struct xfer xs[2];
    int next = firstopen(), echoes = -1;

    xs[0].job = xs[1].job = -1;
    for (;;) {
        fillwindow(sd, core, task, sl, xs, &next);
        if (totalflight(xs) == 0)
            break;
        nextreply(sd, xs);
        // What comes after the last block is no reply.
        for (int placed = 0; totalflight(xs) > 0 && wholereply();) {
            takereply(sd, 0, SITE_TURBO_DATA, &r);
            takeblock(sl, xs, &r, &echoes);
            if (++placed == REFILL) {
                fillwindow(sd, core, task, sl, xs, &next);
                placed = 0;
            }
        }
    }
    for (int k = 0; k < 2; k++)
        if (live(&xs[k]))
            flushlocal(xs[k].d);
    nothingmore(sd);
    for (int k = 0; k < 2; k++) {
        if (live(&xs[k])) {
            refreshprogress(xs[k].filesize, xs[k].filesize, 1);
            prove(sl, xs[k].job);
        }
    }
}

// ---- Command line ---------------------------------------------------------

struct command {
    u32 core, task;
    int ol, og, ot;  // -l, -g, -b
    char name[256];
};

static int hexval(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

// A core or task number: an optional 0x, hexadecimal digits and nothing
// else, at most 0xFFFF.  A typo must not address another node.
static int parsehex(const char *s, u32 *v)
{
    u32 x = 0;

    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s += 2;
    if (*s == '\0')
        return 0;
    for (; *s; s++) {
        if (hexval(*s) < 0)
            return 0;
        x = x * 16 + (u32)hexval(*s);
        if (x > 0xFFFF)
            return 0;
    }
    *v = x;
    return 1;
}

static void takehex(const char *what, const char *arg, u32 *v)
{
    if (!parsehex(arg, v))
        failmsg(USAGE, "invalid %s '%s'", what, arg);
}

// --help and --version: what they print must reach standard output.
[[noreturn]] static void printed(void)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("stdout");
        exit(1);
    }
    exit(0);
}

// The names of the command line in their order, and --input-file's.
struct source {
    const char *s;
    int file;  // an input file's path, not a name
};

// Several names without the batch's options: the last one wins, and one
// line says how to have them all.
static void onename(const struct source *src, int n, struct command *cmd, const char *out)
{
    const char *arg = "";
    int names = 0;

    for (int i = 0; i < n; i++)
        if (!src[i].file)
            arg = src[i].s, names++;
    if (cmd->og && !cmd->ol && names > 1)
        say("tavik: %d names given, only %s is used; --output-dir DIR downloads each", names, arg);
    // Names must reach the device whole: refuse rather than cut.
    if (strlen(arg) >= KX_FILE_TAVIK_NAME_LEN)
        failmsg(USAGE, "remote name too long: at most %d characters", KX_FILE_TAVIK_NAME_LEN - 1);
    strcpy(cmd->name, arg);
    if (out != NULL) {
        if (strlen(out) >= sizeof filename)
            failmsg(USAGE, "local name too long: at most %d characters", (int)sizeof filename - 1);
        strcpy(filename, out);
    }
    if (cmd->og && !cmd->ol) {
        if (cmd->name[0] == '\0')
            strcpy(cmd->name, "ttiTrace.dat");
        if (out == NULL) {
            const char *slash = strrchr(cmd->name, '/');
            const char *base = slash ? slash + 1 : cmd->name;
            if (*base == '\0')
                failmsg(USAGE, "'%s' names no file to write locally: give one with -o",
                        cmd->name);
            strcpy(filename, base);
        }
    }
}

// The names, and what the options make of them: the one download of a
// run, or a batch.
static void takenames(struct command *cmd, const struct source *src, int n, const char *out)
{
    int getting = cmd->og && !cmd->ol, batch = getting && opt.batch;

    if (batch && out != NULL && strcmp(out, "-") == 0)
        failmsg(USAGE, "-o - takes one file, not a batch (--output-dir, --input-file)");
    if (!batch)
        onename(src, n, cmd, out);
    int tostdout = getting && !batch && strcmp(filename, "-") == 0;
    checkapplies(cmd->ol, cmd->og, cmd->ot, tostdout);
    if (batch) {
        for (int i = 0; i < n; i++)
            src[i].file ? readnames(src[i].s) : addname(src[i].s);
        planbatch(opt.outputdir ? opt.outputdir : ".", out);
    } else if (getting) {
        addjob(cmd->name, filename);
    }
    batchmode(batch, opt.quiet);
    pr.info = tostdout || opt.quiet || batch ? stderr : stdout;
}

// The options in their order; the names and input files into src.
static int readopts(int argc, char **argv, struct command *cmd, struct source *src,
                    const char **out)
{
    int c, n = 0;

    while ((c = getopt_long(argc, argv, "-c:t:o:lgphb", longopts(), NULL)) != -1) {
        switch (c) {
        case 'c': takehex("core", optarg, &cmd->core); break;
        case 't': takehex("task", optarg, &cmd->task); break;
        case 'o': *out = optarg; break;
        case 'l': cmd->ol = 1; break;
        case 'g': cmd->og = 1; break;
        case 'b': cmd->ot = 1; break;
        case 'p': break;  // accepted, does nothing
        case 1: src[n++] = {optarg, 0}; break;
        case '?':
        case 'h':  // -h, or getopt has said what is wrong
            printusage(argv[0]);
            exit(1);
        default:
            if (c == OPT_INPUTFILE)
                src[n++] = {optarg, 1};
            if (takelong(c, optarg) == OPT_HELP) {
                printusage(argv[0]);
                printlongopts(stdout, argv[0]);
                printed();
            } else if (c == OPT_VERSION) {
                printf("tavik %s\n", TAVIK_VERSION);
                printed();
            }
        }
    }
    for (; optind < argc; optind++)  // after "--": names, even ones that start with '-'
        src[n++] = {argv[optind], 0};
    return n;
}

// Reads the command line into cmd and filename, and a batch's names into
// the batch; usage text and exit for -h, --help, --version and what
// getopt refuses.
static void parseargs(int argc, char **argv, struct command *cmd)
{
    struct source *src = (struct source *)calloc((size_t)argc, sizeof *src);
    const char *out = NULL;

    if (src == NULL)
        failmsg(LOCAL, "out of memory for the command line");
    try {
        int n = readopts(argc, argv, cmd, src, &out);
        takenames(cmd, src, n, out);
    } catch (const failure &) {
        free(src);
        throw;
    }
    free(src);
    if (opt.report)
        openreport(opt.report);
}

// One attempt on the connection sd: the operation the command asks for.
static void operate(int sd, const struct command *cmd, const char *argv0, struct slots *sl)
{
    if (cmd->ol)
        listreq(sd, cmd->core, cmd->task, cmd->name);
    else if (cmd->og && cmd->ot)
        getturbo(sd, cmd->core, cmd->task, sl);
    else if (cmd->og)
        getreq(sd, cmd->core, cmd->task, sl);
    else
        printusage(argv0);
}

// The device ended the stream right behind a whole reply: what came
// before was in step, so what was placed last counts.  A judgement that
// waited on it is the failure to report then, the file's own in a batch.
static void settle(struct failure *f, struct slots *sl)
{
    if (!f->boundary)
        return;
    for (int s = 0; s < 2; s++) {
        if (sl->job[s] < 0 || jobat(sl->job[s])->fate != LIVE)
            continue;
        try {
            vouch(&sl->dl[s]);
        } catch (const failure &g) {
            if (!ownfailure(&g))
                *f = g;
            else
                filefailed(sl, sl->job[s], &g);
        }
    }
    listvouch();
}

static void freeslots(struct slots *sl)
{
    for (int s = 0; s < 2; s++)
        if (sl->job[s] >= 0)
            freedownload(&sl->dl[s]);
}

// The attempt failed: the live downloads let go of their files, keeping
// what can be trusted; once no attempt follows, they fail with it.
static void letgoall(struct slots *sl, const struct failure *f, int last)
{
    for (int s = 0; s < 2; s++) {
        int j = sl->job[s];
        if (j < 0 || jobat(j)->fate != LIVE)
            continue;
        letgo(&sl->dl[s]);
        if (last)
            jobfailed(j, f, keptbytes(&sl->dl[s]), sl->dl[s].size);
        else
            jobinterrupted(j, keptbytes(&sl->dl[s]), sl->dl[s].size);
    }
    if (last)
        batchfailed(f);
}

// How far the run has got: an attempt that got further than the one
// before it goes on at once.
static long long progress(const struct command *cmd, struct slots *sl)
{
    if (cmd->ol)
        return listbest();
    int j = firstopen();
    long long current = j >= 0 ? resumefrom(slotfor(sl, j)) : 0;
    return inbatch() ? batchprogress(current) : current;
}

// Where the next attempt goes on, for the retrying line.
static void goeson(const struct command *cmd, struct slots *sl, char *where, size_t len)
{
    int j = firstopen();

    if (cmd->ol || j < 0)
        snprintf(where, len, "from the start");
    else if (inbatch())
        snprintf(where, len, "from byte %lld of %s", resumefrom(slotfor(sl, j)), jobat(j)->remote);
    else
        snprintf(where, len, "from byte %lld", resumefrom(slotfor(sl, j)));
}

// A listing's line in the report.
static void reportlist(const struct command *cmd, const struct failure *f, int attempts,
                       double start)
{
    struct outcome o = {.op = "list", .remote = cmd->name, .local = NULL,
                        .result = f ? "failed" : "ok", .bytes = f ? listbest() : listentries(),
                        .size = -1, .complete = f == NULL, .seconds = monotonic() - start,
                        .attempts = attempts, .f = f};
    report(&o);
}

// The attempt loop: a failure lets go of the connection and the local
// files, then the retry policy decides whether another attempt starts.
static int run(const struct command *cmd, const char *argv0)
{
    struct slots sl;
    double start = monotonic();
    int attempts = 0;

    sl.job[0] = sl.job[1] = -1;
    catchstops();
    startrun(opt.retries, opt.maxtime, opt.maxtimearg);
    for (;;) {
        long long begun = progress(cmd, &sl);
        int sd = -1;
        attempts++;
        try {
            sd = myconnect();
            operate(sd, cmd, argv0, &sl);
            closelink(sd);
            break;
        } catch (failure &f) {
            closelink(sd);
            settle(&f, &sl);
            int stop = f.cause == STOPPED;
            if (!stop) {
                letgoall(&sl, &f, 0);
                long long from = cmd->ol ? listfailed() : progress(cmd, &sl);
                char where[300];
                goeson(cmd, &sl, where, sizeof where);
                if (another(&f, from, begun, where))
                    continue;
            }
            letgoall(&sl, &f, 1);
            if (cmd->ol)
                listfailed();
            // A signal ends the run as it asked, without a word.
            if (!stop && !inbatch() && (!cmd->ol || !listpartial(&f, opt.quiet)))
                say("%s", f.msg);
            if (cmd->ol)
                reportlist(cmd, &f, attempts, start);
            endbatch();
            freeslots(&sl);
            if (stop) {
                fflush(stdout);
                diebysignal();
            }
            return 1;
        }
    }
    freeslots(&sl);
    if (cmd->ol)
        reportlist(cmd, NULL, attempts, start);
    int status = cmd->og && !cmd->ol ? endbatch() : 0;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        if (errno == EINTR && overdue())
            say("run took longer than %s s", opt.maxtimearg);
        else
            perror("stdout");
        return 1;
    }
    return status;
}

// Standard streams that are closed get a stand-in before anything else
// is opened, so that no socket or file takes their place: a byte meant
// for standard output must never reach the device.  The stand-ins stay
// as closed as the streams were to what the run writes (or reads): a
// write to /dev/null opened for reading fails with EBADF.
static void standins(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int got = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (got != fd) {
            if (got >= 0)
                close(got);
            _exit(1);  // nothing could say why: there is nowhere to say it
        }
    }
}

#ifndef TAVIK_NO_MAIN  // the unit tests compile this file with a main of their own
int main(int argc, char **argv)
{
    struct command cmd = {.core = 0x1462, .task = 0x614, .ol = 0, .og = 0, .ot = 0, .name = ""};

    standins();
    if (argc == 1) {
        printusage(argv[0]);
        exit(1);
    }
    try {
        parseargs(argc, argv, &cmd);
    } catch (const failure &f) {
        say("%s", f.msg);
        return 1;
    }
    return run(&cmd, argv[0]);
}
#endif
