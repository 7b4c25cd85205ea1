// tavik: lists the directories of a device and downloads files from it,
// over the device's message protocol on one TCP connection.
//
// One connection, one operation, then exit.  Every failure prints one
// message and ends the process with status 1; nothing is retried.  Every
// reply is checked against what was asked before any of it is used.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include "tavik.h"

#define DEVICE_HOST "192.168.255.1"
#define DEVICE_PORT 15003
#define WAIT_MS 3000          // every wait for the device, connect included
#define LARGE 10485760        // no block is ever longer than this
#define FLUSHSTEP 131072      // block download flushes stdout this often
#define LISTMAX 100           // entries asked for per listing page
#define BLOCK 1024            // block size of the pipelined download
#define WINDOW 16             // its requests in flight

#define GET_REQ_SIZE (KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_GET_REQ_SIZE)
#define LIST_REQ_SIZE (KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_LIST_REQ_SIZE)

// A request is assembled at the start of reqbuf (a pipelined burst one
// behind the other), a reply is read into respbuf: header, then payload.
alignas(8) static u8 reqbuf[MSGBUF_SIZE];
alignas(8) static u8 respbuf[MSGBUF_SIZE];
static int paylen;            // payload length of the reply in respbuf

static struct pollfd ufds;    // every wait polls through this
static char filename[10000];  // the local file

// Bytes taken off the connection but not yet used: reading whatever has
// arrived, rather than one reply half at a time, lets one read take in
// many pipelined replies.
static u8 inbuf[65536];
static size_t inpos, inlen;

// While a pipelined download runs, its local file and the length of the
// part that has no holes: a failure cuts the file to that length, so it
// never holds a stretch that the device did not send.  The block placed
// last counts only once a reply that frames exactly has followed it: a
// reply whose size overstated its payload swallows the start of the next
// one, which then no longer frames.
static int cutfd = -1;
static off_t cutlen;
static int lastblock = -1;  // offset of the block not yet vouched for

// Blocks that follow each other in the file are gathered here and written
// with one pwrite: a system call per block was most of the cost of a fast
// download.
static u8 runbuf[WINDOW * BLOCK];
static off_t runat;
static int runlen;

// ---- Progress -------------------------------------------------------------

// On a terminal, a line on stderr shows a download move.  Anywhere else
// nothing at all, so that what scripts see stays the same byte for byte.
static int progon;        // stderr is a terminal
static int progshown;     // a line is on screen and not yet ended
static double progstart, progdrawn;

static double seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void startprogress(void)
{
    progon = isatty(2);
    progstart = seconds();
    progdrawn = 0;
}

static void fmtbytes(char *buf, size_t len, double n)
{
    const char *unit[] = {"B", "KiB", "MiB", "GiB"};
    int u = 0;
    for (; n >= 1024 && u < 3; u++)
        n /= 1024;
    snprintf(buf, len, u ? "%.1f %s" : "%.0f %s", n, unit[u]);
}

static int termwidth(void)
{
    struct winsize ws;
    if (ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

// Redraws the line in place, at most ten times a second unless forced; the
// longest form that fits the terminal wins.
static void drawprogress(long long done, long long total, int force)
{
    char line[4][160], got[24], all[24], speed[24], left[48];
    double now, rate;
    int pct, width, i;

    if (!progon || (now = seconds(), !force && now - progdrawn < 0.1))
        return;
    progdrawn = now;
    rate = now > progstart ? (double)done / (now - progstart) : 0;
    pct = total > 0 ? (int)(done * 100 / total) : 100;
    pct = pct < 0 ? 0 : pct > 100 ? 100 : pct;
    fmtbytes(got, sizeof got, (double)done);
    fmtbytes(all, sizeof all, (double)total);
    fmtbytes(speed, sizeof speed, rate);
    if (rate > 0 && total >= done && (double)(total - done) / rate < 360000) {
        long s = (long)((double)(total - done) / rate);
        snprintf(left, sizeof left, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    } else {
        snprintf(left, sizeof left, "-:--:--");
    }
    snprintf(line[0], sizeof line[0], "%s of %s  %3d%%  %s/s  %s left", got, all, pct, speed, left);
    snprintf(line[1], sizeof line[1], "%s  %3d%%  %s/s  %s left", got, pct, speed, left);
    snprintf(line[2], sizeof line[2], "%3d%%  %s left", pct, left);
    snprintf(line[3], sizeof line[3], "%3d%%", pct);
    width = termwidth() - 1;  // the last column would wrap on some terminals
    for (i = 0; i < 3 && (int)strlen(line[i]) > width; i++)
        ;
    fprintf(stderr, "\r%.*s\033[K", width, line[i]);
    progshown = 1;
}

// Ends the line, so that what follows starts on a line of its own.
static void endprogress(void)
{
    if (progshown) {
        int e = errno;
        fputc('\n', stderr);
        errno = e;
        progshown = 0;
    }
}

// ---- Failures -------------------------------------------------------------

static void quit(int sd)
{
    off_t keep = lastblock >= 0 && lastblock < cutlen ? lastblock : cutlen;
    if (cutfd >= 0) {
        // A gathered run that cannot be written must not leave a hole.
        if (runlen > 0 && pwrite(cutfd, runbuf, (size_t)runlen, runat) != runlen && runat < keep)
            keep = runat;
        if (ftruncate(cutfd, keep) != 0) {
            // Not a regular file (a device, a pipe): nothing to cut.
        }
    }
    if (sd >= 0)
        close(sd);
    exit(1);
}

// The perror form: a fixed tag and the system's text for errno.
static void fail(int sd, const char *tag)
{
    int e = errno;

    endprogress();
    fflush(stdout);  // what was printed comes first, but errno is the tag's
    errno = e;
    perror(tag);
    quit(sd);
}

static void failmsg(int sd, const char *fmt, ...)
{
    va_list ap;

    endprogress();
    fflush(stdout);
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
    quit(sd);
}

// The device answered, but with an error code.
static void devfail(int sd, const char *op, i32 code)
{
    failmsg(sd, "%s: %s (%d)", op, KxFileTavik_retname(code), code);
}

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

// TAVIK_DEVICE=HOST[:PORT] points the client at another endpoint (a tunnel,
// a stand-in device); unset or empty, the device's own fixed address.
static void endpoint(struct sockaddr_in *sa)
{
    const char *env = getenv("TAVIK_DEVICE");
    char host[256];
    long port = DEVICE_PORT;

    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    if (env == NULL || *env == '\0') {
        inet_pton(AF_INET, DEVICE_HOST, &sa->sin_addr);
        sa->sin_port = htons(DEVICE_PORT);
        return;
    }

    const char *colon = strrchr(env, ':');
    size_t hlen = colon ? (size_t)(colon - env) : strlen(env);
    if (colon) {
        char *end;
        errno = 0;
        port = strtol(colon + 1, &end, 10);
        if (colon[1] < '0' || colon[1] > '9' || *end != '\0' || errno || port < 1 || port > 65535)
            failmsg(-1, "TAVIK_DEVICE: bad port in '%s' (expected HOST or HOST:PORT)", env);
    }
    if (hlen == 0 || hlen >= sizeof host)
        failmsg(-1, "TAVIK_DEVICE: bad host in '%s' (expected HOST or HOST:PORT)", env);
    memcpy(host, env, hlen);
    host[hlen] = '\0';
    sa->sin_port = htons((u16)port);
    if (inet_pton(AF_INET, host, &sa->sin_addr) == 1)
        return;

    struct addrinfo hints, *res;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, NULL, &hints, &res) != 0)
        failmsg(-1, "TAVIK_DEVICE: cannot resolve '%s'", host);
    sa->sin_addr = ((struct sockaddr_in *)res->ai_addr)->sin_addr;
    freeaddrinfo(res);
}

// The connect is bounded like every other wait: started non-blocking, then
// given WAIT_MS to complete.
static int myconnect(void)
{
    struct sockaddr_in sa;
    int sd, err, one = 1;
    socklen_t len = sizeof err;

    endpoint(&sa);
    if ((sd = socket(AF_INET, SOCK_STREAM, 0)) < 0)
        fail(-1, "socket");
    int flags = fcntl(sd, F_GETFL);
    fcntl(sd, F_SETFL, flags | O_NONBLOCK);
    if (connect(sd, (struct sockaddr *)&sa, sizeof sa) < 0) {
        if (errno != EINPROGRESS)
            fail(sd, "connect");
        ufds.fd = sd;
        ufds.events = POLLOUT;
        int r = poll(&ufds, 1, WAIT_MS);
        if (r == 0)
            errno = ETIMEDOUT;
        if (r <= 0)
            fail(sd, "connect");
        if (getsockopt(sd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            fail(sd, "connect");
        if (err != 0) {
            errno = err;
            fail(sd, "connect");
        }
    }
    fcntl(sd, F_SETFL, flags);
    // Requests are small: the kernel must not hold one back while an
    // earlier one is unacknowledged.
    setsockopt(sd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A device that stops reading must not hold a write forever either.
    struct timeval tv = {WAIT_MS / 1000, WAIT_MS % 1000 * 1000};
    setsockopt(sd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return sd;
}

// Returns once data can be read; a wait that runs out ends the run with
// its site number.
static void waitfor(int sd, int site)
{
    if (inpos < inlen)
        return;
    ufds.fd = sd;
    ufds.events = POLLIN;
    if (poll(&ufds, 1, WAIT_MS) <= 0) {
        endprogress();
        printf("Timeout or Error (line %d)\n", site);
        quit(-1);
    }
}

// Takes into inbuf what the connection holds, without waiting: returns 1
// when bytes came, 0 when none are there yet.  Trying the read itself,
// rather than polling first, saves a system call whenever data is there.
static int takein(int sd, int size)
{
    ssize_t n = recv(sd, inbuf, sizeof inbuf, MSG_DONTWAIT);

    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    if (n < 0) {
        endprogress();
        perror("my_read");
        printf("n = %x,  size = %x\n", (unsigned)n, (unsigned)size);
        quit(sd);
    }
    if (n == 0)
        failmsg(sd, "device closed the connection");
    inpos = 0;
    inlen = (size_t)n;
    return 1;
}

// Whether a reply has begun to arrive, without waiting.
static int pending(int sd)
{
    return inpos < inlen || takein(sd, 0);
}

// Reads exactly size bytes, across as many reads as the network needs.
static int my_read(int sd, u8 *buf, int size)
{
    int got = 0;

    while (got < size) {
        if (inpos == inlen && !takein(sd, size)) {
            waitfor(sd, 256);
            continue;
        }
        size_t n = inlen - inpos;
        if (n > (size_t)(size - got))
            n = (size_t)(size - got);
        memcpy(buf + got, inbuf + inpos, n);
        inpos += n;
        got += (int)n;
    }
    return got;
}

// Reads a reply header into respbuf and returns its payload length.
static int readheader(int sd)
{
    my_read(sd, respbuf, KX_SYSCOM_HEADER_SIZE);
    paylen = getsize(respbuf);
    if ((unsigned)paylen > MAX_PAYLOAD) {
        errno = EPROTO;
        fail(sd, "size");
    }
    return paylen;
}

// Reads the payload behind the header; no wait when there is none.
static void readpayload(int sd, int site)
{
    if (paylen > 0) {
        waitfor(sd, site);
        my_read(sd, respbuf + KX_SYSCOM_HEADER_SIZE, paylen);
    }
}

// A reply shorter than its record's fixed part has no fields to read.
static void needfixed(int sd, int fixed, const char *what)
{
    if (paylen < fixed)
        failmsg(sd, "short %s reply: %d payload bytes, at least %d expected", what, paylen, fixed);
}

static void sendbuf(int sd, const u8 *buf, size_t len)
{
    ssize_t n = send(sd, buf, len, MSG_NOSIGNAL);
    if (n != (ssize_t)len) {
        if (n >= 0)
            errno = EIO;
        fail(sd, "write");
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
    sendbuf(sd, reqbuf, LIST_REQ_SIZE);
}

// A page must be the one asked for, agree with itself, and (after the
// first) keep the first page's total.
static void checkpage(int sd, u32 offset, u32 total)
{
    const SKxFileTavikListResp *r = (const SKxFileTavikListResp *)(respbuf + KX_SYSCOM_HEADER_SIZE);
    i32 n = le32(r->entries);
    u32 at = hostle32(r->offset), t = hostle32(r->totalEntries);

    if (at != offset || (offset > 0 && t != total) || n < 0 ||
        (unsigned long long)at + (u32)n > t || (n == 0 && at < t))
        failmsg(sd, "listing page for entry %u does not fit: entry %u, %d entries of %u", offset,
                at, n, t);
}

// The listing text of all pages, gathered: the entry count is printed first.
static char *listing;
static size_t listlen;

static void addlisting(int sd, const char *text, size_t len)
{
    char *p = (char *)realloc(listing, listlen + len + 1);

    if (p == NULL)
        failmsg(sd, "out of memory for the listing");
    listing = p;
    memcpy(listing + listlen, text, len);
    listlen += len;
    listing[listlen] = '\0';
}

// Lists a directory, page by page while the device says there is more,
// and prints the entry count and the listing text of all pages.
static int listreq(int sd, u32 core, u32 task, const char *name)
{
    const SKxFileTavikListResp *r = (const SKxFileTavikListResp *)(respbuf + KX_SYSCOM_HEADER_SIZE);
    long long entries = 0;
    u32 offset = 0, total = 0;
    i32 rc;

    for (;;) {
        sendListReq(sd, core, task, name, offset);
        waitfor(sd, 164);
        readheader(sd);
        readpayload(sd, 182);
        needfixed(sd, KX_FILE_TAVIK_LIST_RESP_FIXED, "listing");
        rc = le32(r->returnCode);
        if (rc == EKxFileTavikRet_Ok)
            checkpage(sd, offset, total);

        // A text that runs to the end of the payload was cut short.
        size_t room = (size_t)(paylen - KX_FILE_TAVIK_LIST_RESP_FIXED);
        size_t len = strnlen(r->listing, room);
        if (len == room)
            failmsg(sd, "listing text does not end within its reply");
        addlisting(sd, r->listing, len);
        i32 n = le32(r->entries);
        entries += n;
        total = hostle32(r->totalEntries);
        if (rc != EKxFileTavikRet_Ok || n == 0 || (unsigned long long)offset + (u32)n >= total)
            break;
        offset += (u32)n;
    }
    printf("\nentries       %lld\n\n%s\n", entries, listing);
    if (rc != EKxFileTavikRet_Ok)
        devfail(sd, "list", rc);
    return 0;
}

// ---- Downloads ------------------------------------------------------------

static int openlocal(int sd)
{
    int fd = open(filename, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        fail(sd, "Cannot open file!");
    return fd;
}

static void writelocal(int sd, int fd, const u8 *data, int n, off_t at)
{
    while (n > 0) {
        ssize_t w = at < 0 ? write(fd, data, (size_t)n) : pwrite(fd, data, (size_t)n, at);
        if (w <= 0) {
            if (w == 0)
                errno = ENOSPC;
            fail(sd, "Cannot write file!");
        }
        data += w;
        n -= (int)w;
        if (at >= 0)
            at += w;
    }
}

static void closelocal(int sd, int fd)
{
    if (close(fd) != 0)
        fail(sd, "Cannot write file!");
}

// Places a block request for offset at msg.
static void prepGetReq(u8 *msg, u32 core, u32 task, const char *name, int offset)
{
    prepreq(msg, KX_FILE_TAVIK_GET_REQ_MSG, GET_REQ_SIZE, core, task);
    SKxFileTavikGetReq *q = (SKxFileTavikGetReq *)(msg + KX_SYSCOM_HEADER_SIZE);
    strcpy(q->filename, name);
    q->offset = hostbe32((u32)offset);
}

static void sendGetReq(int sd, u32 core, u32 task, const char *name, int offset)
{
    prepGetReq(reqbuf, core, task, name, offset);
    sendbuf(sd, reqbuf, GET_REQ_SIZE);
}

static const SKxFileTavikGetResp *getresp(void)
{
    return (const SKxFileTavikGetResp *)(respbuf + KX_SYSCOM_HEADER_SIZE);
}

// The block length of the reply in respbuf, once it is known to be no more
// than the reply carries.
static int blocklength(int sd)
{
    int n = le32(getresp()->length);
    if (n < 0 || n > paylen - KX_FILE_TAVIK_GET_RESP_FIXED)
        failmsg(sd, "bad block length %d: the reply carries %d data bytes", n,
                paylen - KX_FILE_TAVIK_GET_RESP_FIXED);
    return n;
}

// One block request and its reply, read into respbuf; returns the block
// length the reply claims.
static int getblock(int sd, u32 core, u32 task, const char *name, int offset)
{
    sendGetReq(sd, core, task, name, offset);
    waitfor(sd, 428);
    readheader(sd);
    readpayload(sd, 446);
    needfixed(sd, KX_FILE_TAVIK_GET_RESP_FIXED, "block");
    return le32(getresp()->length);
}

// Block by block: one request in flight, each block appended at the
// running total, in whatever lengths the device chooses.
static int getreq(int sd, u32 core, u32 task, const char *name)
{
    const SKxFileTavikGetResp *r = getresp();
    int fd = openlocal(sd);
    int offset = 0, cmp = FLUSHSTEP, filesize = 0;

    startprogress();
    for (;;) {
        int n = getblock(sd, core, task, name, offset);
        if (n > LARGE) {
            errno = EFBIG;
            fail(-1, "large");
        }
        if (offset == 0) {
            filesize = le32(r->filesize);
            printf("\nfilesize      %d  \n", filesize);
        }
        if (le32(r->returnCode) != EKxFileTavikRet_Ok)
            devfail(sd, "get", le32(r->returnCode));
        n = blocklength(sd);
        if (le32(r->offset) != offset)
            failmsg(sd, "reply for offset %d, asked for %d", le32(r->offset), offset);
        if (n > INT_MAX - offset)
            failmsg(sd, "file too large: more than %d bytes", INT_MAX);
        if (!r->last && n == 0)
            failmsg(sd, "empty block at offset %d, and not the last", offset);
        if (r->last && offset + n != le32(r->filesize))
            failmsg(sd, "last block ends at %d, but the file size is %d", offset + n,
                    le32(r->filesize));

        writelocal(sd, fd, r->data, n, -1);
        offset += n;
        if (offset > cmp) {
            fflush(stdout);
            cmp += FLUSHSTEP;
        }
        drawprogress(offset, filesize, r->last != 0);
        if (r->last)
            break;
    }
    endprogress();
    closelocal(sd, fd);
    return 0;
}

// Offsets asked for and not yet answered in the pipelined download; -1 is
// a free slot.
static int inflight[WINDOW];

static int findslot(int offset)
{
    for (int i = 0; i < WINDOW; i++)
        if (inflight[i] == offset)
            return i;
    return -1;
}

// Everything below the lowest offset still in flight (or below the next
// one to ask for) has arrived.
static off_t gapfree(int next, int filesize)
{
    int low = next < filesize ? next : filesize;
    for (int i = 0; i < WINDOW; i++)
        if (inflight[i] >= 0 && inflight[i] < low)
            low = inflight[i];
    return low;
}

// Asks for every block up to the window in one write, so that the burst
// leaves at once; returns how many.
static int fillwindow(int sd, u32 core, u32 task, const char *name, int *offset, int filesize,
                      int nused)
{
    int n = 0;

    while (nused + n < WINDOW && *offset < filesize) {
        prepGetReq(reqbuf + n * GET_REQ_SIZE, core, task, name, *offset);
        inflight[findslot(-1)] = *offset;
        int left = filesize - *offset;  // never step past filesize: no overflow
        *offset += left < BLOCK ? left : BLOCK;
        n++;
    }
    if (n > 0)
        sendbuf(sd, reqbuf, (size_t)n * GET_REQ_SIZE);
    return n;
}

// Takes in one reply if one has begun to arrive: returns 1 with the reply
// in respbuf, or 0 when none is pending.
static int recGetReq(int sd)
{
    if (!pending(sd))
        return 0;
    readheader(sd);
    readpayload(sd, 380);
    needfixed(sd, KX_FILE_TAVIK_GET_RESP_FIXED, "block");
    return 1;
}

static void flushrun(int sd, int fd)
{
    int n = runlen;
    off_t keep = cutlen;

    // Should the write fail, the way out must neither try it again nor
    // keep a part of the file that it did not write.
    runlen = 0;
    if (runat < cutlen)
        cutlen = runat;
    writelocal(sd, fd, runbuf, n, runat);
    cutlen = keep;
}

static void stageblock(int sd, int fd, const u8 *data, int n, off_t at)
{
    if (runlen > 0 && (at != runat + runlen || runlen + n > (int)sizeof runbuf))
        flushrun(sd, fd);
    if (runlen == 0)
        runat = at;
    memcpy(runbuf + runlen, data, (size_t)n);
    runlen += n;
}

// Checks the reply in respbuf against the requests in flight and the
// first reply's file size, then writes its block at its offset.
static void placeblock(int sd, int fd, int filesize)
{
    const SKxFileTavikGetResp *r = getresp();
    i32 rc = le32(r->returnCode);
    int at = le32(r->offset);
    int slot = at < 0 ? -1 : findslot(at);  // -1 also marks free slots
    int want, n = le32(r->length);

    if (paylen - KX_FILE_TAVIK_GET_RESP_FIXED == n)
        lastblock = -1;  // framed exactly: the reply before it was whole
    if (rc != EKxFileTavikRet_Ok)
        devfail(sd, "get", rc);
    if (slot < 0)
        failmsg(sd, "reply for offset %d, which is not in flight", at);
    if (le32(r->filesize) != filesize)
        failmsg(sd, "reply for offset %d gives file size %d, the first gave %d", at,
                le32(r->filesize), filesize);
    n = blocklength(sd);
    want = filesize - at < BLOCK ? filesize - at : BLOCK;
    if (n != want)
        failmsg(sd, "reply for offset %d carries %d bytes, %d expected", at, n, want);
    if ((r->last != 0) != (at + n == filesize))
        failmsg(sd, "reply for offset %d %s the last block", at,
                r->last ? "claims to be" : "does not claim to be");
    stageblock(sd, fd, r->data, n, at);
    inflight[slot] = -1;
    lastblock = at;
}

// Pipelined: the first reply gives the file size, then up to WINDOW block
// requests stay in flight, and each reply's block is written at its own
// offset as it arrives, in whatever order the replies come.
static void getturbo(int sd, u32 core, u32 task, const char *name)
{
    const SKxFileTavikGetResp *r = getresp();
    int fd = openlocal(sd);

    cutfd = fd;
    cutlen = 0;
    startprogress();
    for (int i = 0; i < WINDOW; i++)
        inflight[i] = -1;

    sendGetReq(sd, core, task, name, 0);
    inflight[0] = 0;
    do
        waitfor(sd, 286);
    while (!recGetReq(sd));
    int filesize = le32(r->filesize);
    int numb = (int)(((long long)filesize + BLOCK - 1) / BLOCK);
    printf("Filesize %d bytes (blocks %d)\n", filesize, numb);
    if (le32(r->returnCode) != EKxFileTavikRet_Ok)
        devfail(sd, "get", le32(r->returnCode));
    if (filesize < 0)
        failmsg(sd, "bad file size %d", filesize);
    if (!r->last && le32(r->length) != BLOCK) {
        printf("Serious problem with block size. Inform Developer.\n");
        quit(sd);
    }
    placeblock(sd, fd, filesize);

    int offset = BLOCK, num = 1, nused = 0;
    cutlen = gapfree(offset, filesize);
    while (num < numb) {
        nused += fillwindow(sd, core, task, name, &offset, filesize, nused);
        flushrun(sd, fd);  // while the device works on the new requests
        if (nused == 0)
            break;
        waitfor(sd, 311);
        while (recGetReq(sd)) {
            placeblock(sd, fd, filesize);
            num++;
            nused--;
            cutlen = gapfree(offset, filesize);
            drawprogress(cutlen, filesize, 0);
        }
    }
    flushrun(sd, fd);
    drawprogress(filesize, filesize, 1);
    endprogress();
    cutfd = -1;
    closelocal(sd, fd);
}

// ---- Command line ---------------------------------------------------------

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
        failmsg(-1, "invalid %s '%s'", what, arg);
}

int main(int argc, char **argv)
{
    u32 core = 0x1462, task = 0x614;
    int ol = 0, og = 0, ot = 0, c;
    const char *arg = "", *out = NULL;
    static char name[256];

    if (argc == 1) {
        printusage(argv[0]);
        exit(1);
    }
    while ((c = getopt(argc, argv, "-c:t:o:lgphb")) != -1) {
        switch (c) {
        case 'c': takehex("core", optarg, &core); break;
        case 't': takehex("task", optarg, &task); break;
        case 'o': out = optarg; break;
        case 'l': ol = 1; break;
        case 'g': og = 1; break;
        case 'b': ot = 1; break;
        case 'p': break;  // accepted, does nothing
        case 1: arg = optarg; break;
        default:  // -h, or getopt has said what is wrong
            printusage(argv[0]);
            exit(1);
        }
    }
    for (; optind < argc; optind++)  // after "--": names, even ones that start with '-'
        arg = argv[optind];

    // Names must reach the device whole: refuse rather than cut.
    if (strlen(arg) >= KX_FILE_TAVIK_NAME_LEN)
        failmsg(-1, "remote name too long: at most %d characters", KX_FILE_TAVIK_NAME_LEN - 1);
    strcpy(name, arg);
    if (out != NULL) {
        if (strlen(out) >= sizeof filename)
            failmsg(-1, "local name too long: at most %d characters", (int)sizeof filename - 1);
        strcpy(filename, out);
    }
    if (og && !ol) {
        if (name[0] == '\0')
            strcpy(name, "ttiTrace.dat");
        if (out == NULL) {
            const char *slash = strrchr(name, '/');
            const char *base = slash ? slash + 1 : name;
            if (*base == '\0')
                failmsg(-1, "'%s' names no file to write locally: give one with -o", name);
            strcpy(filename, base);
        }
    }

    int sd = myconnect();
    if (ol)
        listreq(sd, core, task, name);
    else if (og && ot)
        getturbo(sd, core, task, name);
    else if (og)
        getreq(sd, core, task, name);
    else
        printusage(argv[0]);
    close(sd);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("stdout");
        exit(1);
    }
    return 0;
}
