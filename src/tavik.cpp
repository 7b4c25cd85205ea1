// tavik: lists the directories of a device and downloads files from it,
// over the device's message protocol on one TCP connection.
//
// One connection, one operation, then exit.  Every failure prints one
// message and ends the process with status 1; only --retry makes a
// failure of the link start another attempt.  Every reply is checked
// against what was asked before any of it is used.

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
#include <setjmp.h>
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
#include <sys/stat.h>
#include <time.h>

#include "tavik.h"

#ifndef TAVIK_VERSION
#define TAVIK_VERSION "unknown"
#endif

#define DEVICE_HOST "192.168.255.1"
#define DEVICE_PORT 15003
#define WAIT_MS 3000          // every wait for the device, connect included
#define LARGE 10485760        // no block is ever longer than this
#define FLUSHSTEP 131072      // block download flushes stdout this often
#define LISTMAX 100           // entries asked for per listing page
#define LISTBOUND (64 << 20)  // listing text gathered at most
#define LISTENTRIES 1000000   // ... and entries
#define BLOCK 1024            // block size of the pipelined download
#define WINDOW 16             // its requests in flight, unless --window
#define MAXWINDOW 256         // ... says otherwise, up to this
#define MAXRETRY 100
#define CHECKLEN 1024         // bytes of a local file compared before resuming

#define GET_REQ_SIZE (KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_GET_REQ_SIZE)
#define LIST_REQ_SIZE (KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_LIST_REQ_SIZE)

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
// behind the other), a reply is read into respbuf: header, then payload.
alignas(8) static u8 reqbuf[MSGBUF_SIZE];
alignas(8) static u8 respbuf[MSGBUF_SIZE];
static int paylen;            // payload length of the reply in respbuf
static_assert(MAXWINDOW * GET_REQ_SIZE <= MSGBUF_SIZE, "a full window fits reqbuf");

static struct pollfd ufds;    // every wait polls through this
static char filename[10000];  // the local file

// The long options.
static int verbose;           // requests and replies on stderr
static int resume;            // --continue
static int retries;           // --retry
static int window = WINDOW;   // --window

// Attempts: a failure that a new connection may cure jumps back to main
// while attempts are left.
static jmp_buf again;
static int attempt;           // 1 for the first
static int firstsize = -1;    // the file size the first attempt was told
static int sizeshown;         // the file size line is printed once a run
static int unseekable;        // the local file is a pipe or a device
static int owned;             // an attempt took the local file over

// Bytes taken off the connection but not yet used: reading whatever has
// arrived, rather than one reply half at a time, lets one read take in
// many pipelined replies.
static u8 inbuf[262144];
static size_t inpos, inlen;
static int midreply;          // bytes of a reply taken, and it is not yet read whole

// ---- What a download keeps ------------------------------------------------

// The local file of the download that runs, and how much of it is true.
//
// Invariant: bytes [0, keeplen()) of the file are the remote file's
// beginning, without a hole.  Below `base` lie bytes that were there
// before this attempt; they are compared, never written, so nothing ever
// cuts below it.  Above it, [0, gapless) has all been placed; but the
// block placed last, from `unsure` on, may hold a stranger's bytes: a
// reply whose size overstates its payload swallows the start of the next
// one.  It is vouched for (unsure = -1) once the reply after it was read
// whole and names an offset that was asked for and the first file size,
// or once the connection ended exactly where it ended.  A write that
// fails leaves nothing trusted from `writing` on.  A block that differs
// from what lies below `base` is judged only when it is vouched for: a
// reply that did not frame would differ too, and that is the link's
// fault, not the file's.
struct download {
    int fd;           // the local file, -1 when none is open
    int ours;         // taken over: a failure may cut it
    int mine;         // what lay there was written by an earlier attempt
    int seq;          // written with write(), in order (block mode)
    int differs;      // a compared block differed: nothing above base counts
    int toolong;      // the local file is longer than any remote file
    off_t base;
    off_t gapless;
    off_t unsure;
    off_t writing;
    // Pipelined blocks that follow each other are gathered here and
    // written with one pwrite: a system call per block was most of the
    // cost of a fast download.
    u8 run[MAXWINDOW * BLOCK];
    off_t runat;
    int runlen;
};
static struct download dl = {-1, 0, 0, 0, 0, 0, 0, 0, -1, -1, {0}, 0, 0};

// The length of the file that can be trusted: what a failure keeps, and
// where a resumed download goes on from.
static off_t keeplen(void)
{
    off_t keep = dl.gapless;

    if (dl.differs)
        return dl.base;
    if (dl.unsure >= 0 && dl.unsure < keep)
        keep = dl.unsure;
    if (dl.writing >= 0 && dl.writing < keep)
        keep = dl.writing;
    if (dl.runlen > 0 && dl.runat < keep)
        keep = dl.runat;  // gathered, not yet written
    return keep < dl.base ? dl.base : keep;
}

// Cuts the file to what can be trusted and lets go of it.
static void letgo(void)
{
    off_t keep;

    if (dl.fd < 0)
        return;
    if (!dl.ours) {  // refused before it began: the file stays as it was
        close(dl.fd);
        dl.fd = -1;
        return;
    }
    if (dl.runlen > 0 && pwrite(dl.fd, dl.run, (size_t)dl.runlen, dl.runat) == dl.runlen)
        dl.runlen = 0;  // written after all: it counts
    keep = keeplen();
    struct stat st;
    // A file left as long as it was is left alone, its time stamps too.
    if (fstat(dl.fd, &st) == 0 && st.st_size != keep && ftruncate(dl.fd, keep) != 0) {
        // Not a regular file (a device, a pipe): nothing to cut.
    }
    close(dl.fd);
    dl.fd = -1;
    dl.runlen = 0;
}

// ---- Progress -------------------------------------------------------------

// On a terminal, a line on stderr shows a download move.  Anywhere else
// nothing at all, so that what scripts see stays the same byte for byte.
static int progon;        // stderr is a terminal
static int progshown;     // a line is on screen and not yet ended
static double progstart, progdrawn, runstart;
static long long runbase;    // bytes that were there when the run began
static int runbegun;
static long long progbase;  // bytes that were there when this attempt began

static double seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void startprogress(long long done)
{
    progon = isatty(2);
    progstart = seconds();
    if (!runbegun++) {
        runstart = progstart;
        runbase = done;
    }
    progdrawn = 0;
    progbase = done;
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
// longest form that fits the terminal wins.  The rate is this attempt's.
static void drawprogress(long long done, long long total, int force)
{
    char line[4][160], got[24], all[24], speed[24], left[48];
    double now, rate;
    int pct, width, i;

    if (!progon || (now = seconds(), !force && now - progdrawn < 0.1))
        return;
    progdrawn = now;
    rate = now > progstart ? (double)(done - progbase) / (now - progstart) : 0;
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

// After a download that succeeded, the line gives way to what it came to:
// the file, the time of the whole run, and the rate of what the run
// fetched; the longest form that fits the terminal.
static void summary(long long total)
{
    long long fetched = total - runbase;
    char line[3][120], all[24], speed[24];
    double took;
    int i, width;

    if (!progon)
        return;
    took = seconds() - runstart;
    fmtbytes(all, sizeof all, (double)total);
    fmtbytes(speed, sizeof speed, took > 0 ? (double)fetched / took : 0);
    snprintf(line[0], sizeof line[0], "%s in %.1f s, %s/s", all, took, speed);
    snprintf(line[1], sizeof line[1], "%s in %.1f s", all, took);
    snprintf(line[2], sizeof line[2], "done");
    width = termwidth() - 1;
    for (i = 0; i < 2 && (int)strlen(line[i]) > width; i++)
        ;
    fprintf(stderr, "\r%.*s\033[K\n", width, line[i]);
    progshown = 0;
}

// ---- Failures -------------------------------------------------------------

// What a failure means for the run: the end, or, with --retry, another
// attempt on a new connection.
enum { FATAL, LINK };

static void quit(int sd, int kind)
{
    fflush(stdout);  // the message comes before any retrying line
    if (sd >= 0)
        close(sd);
    letgo();
    // What went into a pipe cannot be taken back: no attempt may repeat it.
    if (kind == LINK && attempt <= retries && !(unseekable && owned))
        longjmp(again, 1);
    exit(1);
}

static void say(int sd, int kind, const char *msg)
{
    endprogress();
    fflush(stdout);  // what was printed comes first
    fprintf(stderr, "%s\n", msg);
    quit(sd, kind);
}

// The perror form: a fixed tag and the system's text for errno.
static void failerrno(int sd, int kind, const char *tag)
{
    int e = errno;

    endprogress();
    fflush(stdout);
    errno = e;
    perror(tag);
    quit(sd, kind);
}

// A failure no new connection would cure: the local file, the device's
// own answer, the command line.
static void fail(int sd, const char *tag)
{
    failerrno(sd, FATAL, tag);
}

static void failmsg(int sd, const char *fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    say(sd, FATAL, msg);
}

// The link broke, or the stream of replies is out of step: a new
// connection may cure it.
static void lost(int sd, const char *tag)
{
    failerrno(sd, LINK, tag);
}

static void outofstep(int sd, const char *fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    say(sd, LINK, msg);
}

// The device answered, but with an error code.
static void devfail(int sd, const char *op, i32 code)
{
    failmsg(sd, "%s: %s (%d)", op, KxFileTavik_retname(code), code);
}

// The local file is no beginning of the remote file: nothing of this
// attempt is kept, the file stays as it was.
static void notbeginning(int sd)
{
    dl.differs = 1;
    if (dl.mine)
        failmsg(sd, "file changed on the device during the download");
    failmsg(sd, "cannot continue: the local file is not a beginning of the remote file");
}

// The stream was shown to be in step after the block placed last: that
// block counts, and a comparison it failed is the file's fault.
static void vouch(int sd)
{
    if (dl.differs)
        notbeginning(sd);
    dl.unsure = -1;
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

static void printlongopts(const char *cmd)
{
    printf("Long options:\n");
    printf("  --help        this text\n");
    printf("  --version     the version of tavik\n");
    printf("  --verbose     the endpoint, every request and every reply, on stderr\n");
    printf("  --continue    with -g: go on from the end of an existing local file, once its\n"
           "                last KiB matches the remote file\n");
    printf("  --retry N     on a broken link, reconnect and go on, up to N times (0-%d)\n",
           MAXRETRY);
    printf("  --window N    with -g -b: N requests in flight (1-%d, default %d); more than\n"
           "                the device accepts ends in a timeout\n", MAXWINDOW, WINDOW);
    printf("\nExamples: '%s -g -b --retry 5 ram/ttiTrace.dat'\n"
           "          '%s -g -b --window 64 ram/ttiTrace.dat'\n\n", cmd, cmd);
}

// ---- Device link ----------------------------------------------------------

static void badendpoint(const char *env, const char *what)
{
    failmsg(-1, "TAVIK_DEVICE: bad %s in '%s' (expected HOST or HOST:PORT)", what, env);
}

// Splits TAVIK_DEVICE into host and port: HOST, HOST:PORT, [ADDR],
// [ADDR]:PORT, or a bare IPv6 address (which cannot carry a port).
static void splitendpoint(const char *env, char *host, size_t hostlen, long *port)
{
    const char *h = env, *colon, *end = env + strlen(env);
    struct in6_addr a6;

    if (*env == '[') {
        h = env + 1;
        end = strchr(h, ']');
        if (end == NULL || (end[1] != '\0' && end[1] != ':'))
            badendpoint(env, "host");
        colon = end[1] == ':' ? end + 1 : NULL;
    } else if (inet_pton(AF_INET6, env, &a6) == 1) {
        colon = NULL;
    } else {
        colon = strrchr(env, ':');
        if (colon)
            end = colon;
    }
    if (colon) {
        char *stop;
        errno = 0;
        *port = strtol(colon + 1, &stop, 10);
        if (colon[1] < '0' || colon[1] > '9' || *stop != '\0' || errno || *port < 1 ||
            *port > 65535)
            badendpoint(env, "port");
    }
    if (end == h || (size_t)(end - h) >= hostlen)
        badendpoint(env, "host");
    memcpy(host, h, (size_t)(end - h));
    host[end - h] = '\0';
}

// The addresses to try, in order: a name may resolve to several, of
// either family.
#define MAXADDRS 8
static struct sockaddr_storage addrs[MAXADDRS];
static socklen_t addrlens[MAXADDRS];
static int naddrs;
static const char *addrorigin;  // how the endpoint was chosen

// TAVIK_DEVICE points the client at another endpoint (a tunnel, a
// stand-in device); unset or empty, the device's own fixed address.
static void endpoint(void)
{
    const char *env = getenv("TAVIK_DEVICE");
    struct sockaddr_in *s4 = (struct sockaddr_in *)&addrs[0];
    struct sockaddr_in6 *s6 = (struct sockaddr_in6 *)&addrs[0];
    char host[256];
    long port = DEVICE_PORT;

    memset(addrs, 0, sizeof addrs);
    naddrs = 1;
    addrorigin = "built-in address";
    if (env == NULL || *env == '\0') {
        s4->sin_family = AF_INET;
        inet_pton(AF_INET, DEVICE_HOST, &s4->sin_addr);
        s4->sin_port = htons(DEVICE_PORT);
        addrlens[0] = sizeof *s4;
        return;
    }
    addrorigin = "TAVIK_DEVICE";
    splitendpoint(env, host, sizeof host, &port);
    if (inet_pton(AF_INET, host, &s4->sin_addr) == 1) {
        s4->sin_family = AF_INET;
        addrlens[0] = sizeof *s4;
    } else if (inet_pton(AF_INET6, host, &s6->sin6_addr) == 1) {
        s6->sin6_family = AF_INET6;
        addrlens[0] = sizeof *s6;
    } else {
        struct addrinfo hints, *res, *ai;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(host, NULL, &hints, &res) != 0)
            failmsg(-1, "TAVIK_DEVICE: cannot resolve '%s'", host);
        naddrs = 0;
        for (ai = res; ai != NULL && naddrs < MAXADDRS; ai = ai->ai_next) {
            if (ai->ai_addrlen > sizeof addrs[0])
                continue;
            memcpy(&addrs[naddrs], ai->ai_addr, ai->ai_addrlen);
            addrlens[naddrs++] = ai->ai_addrlen;
        }
        freeaddrinfo(res);
        if (naddrs == 0)
            failmsg(-1, "TAVIK_DEVICE: cannot resolve '%s'", host);
    }
    for (int i = 0; i < naddrs; i++) {
        if (addrs[i].ss_family == AF_INET6)
            ((struct sockaddr_in6 *)&addrs[i])->sin6_port = htons((u16)port);
        else
            ((struct sockaddr_in *)&addrs[i])->sin_port = htons((u16)port);
    }
}

static void showaddr(const struct sockaddr_storage *ss)
{
    char addr[INET6_ADDRSTRLEN];

    if (ss->ss_family == AF_INET6) {
        const struct sockaddr_in6 *s6 = (const struct sockaddr_in6 *)ss;
        inet_ntop(AF_INET6, &s6->sin6_addr, addr, sizeof addr);
        fprintf(stderr, "connecting to [%s]:%d (%s)\n", addr, ntohs(s6->sin6_port), addrorigin);
    } else {
        const struct sockaddr_in *s4 = (const struct sockaddr_in *)ss;
        inet_ntop(AF_INET, &s4->sin_addr, addr, sizeof addr);
        fprintf(stderr, "connecting to %s:%d (%s)\n", addr, ntohs(s4->sin_port), addrorigin);
    }
}

// One connect, bounded like every other wait: started non-blocking, then
// given WAIT_MS to complete.  Returns the socket, or -1 with errno set.
static int tryconnect(const struct sockaddr_storage *ss, socklen_t sslen)
{
    int sd, err = 0, r;
    socklen_t len = sizeof err;

    if ((sd = socket(ss->ss_family, SOCK_STREAM, 0)) < 0)
        fail(-1, "socket");
    int flags = fcntl(sd, F_GETFL);
    fcntl(sd, F_SETFL, flags | O_NONBLOCK);
    if (connect(sd, (const struct sockaddr *)ss, sslen) < 0) {
        if (errno != EINPROGRESS)
            err = errno;
        ufds.fd = sd;
        ufds.events = POLLOUT;
        if (err == 0 && (r = poll(&ufds, 1, WAIT_MS)) <= 0)
            err = r == 0 ? ETIMEDOUT : errno;
        if (err == 0 && getsockopt(sd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        if (err != 0) {
            close(sd);
            errno = err;
            return -1;
        }
    }
    fcntl(sd, F_SETFL, flags);
    return sd;
}

static int myconnect(void)
{
    int sd = -1, one = 1;

    endpoint();
    for (int i = 0; i < naddrs && sd < 0; i++) {
        if (verbose)
            showaddr(&addrs[i]);
        sd = tryconnect(&addrs[i], addrlens[i]);
    }
    if (sd < 0)
        lost(-1, "connect");
    // Requests are small: the kernel must not hold one back while an
    // earlier one is unacknowledged.
    setsockopt(sd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A device that stops reading must not hold a write forever either.
    struct timeval tv = {WAIT_MS / 1000, WAIT_MS % 1000 * 1000};
    setsockopt(sd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    inpos = inlen = 0;
    midreply = 0;
    return sd;
}

static int nflight;           // pipelined requests not yet answered

// Returns once data can be read; a wait that runs out ends the attempt
// with its site number.
static void waitfor(int sd, int site)
{
    if (inpos < inlen)
        return;
    ufds.fd = sd;
    ufds.events = POLLIN;
    if (poll(&ufds, 1, WAIT_MS) <= 0) {
        endprogress();
        printf("Timeout or Error (line %d)\n", site);
        if (site == SITE_WINDOW && window > WINDOW) {
            fflush(stdout);
            fprintf(stderr,
                    "no reply within %d ms with %d requests in flight: the device may accept "
                    "fewer; try a smaller --window\n",
                    WAIT_MS, nflight);
        }
        quit(sd, LINK);
    }
}

// The device closed the connection.  If it did so right where a reply
// ended, the stream was in step up to there.
static void closed(int sd)
{
    if (!midreply)
        vouch(sd);
    outofstep(sd, "device closed the connection");
}

// Takes into inbuf what the connection holds, without waiting: returns 1
// when bytes came, 0 when none are there yet, -1 when the device has
// closed.  Trying the read itself, rather than polling first, saves a
// system call whenever data is there.
static int takein(int sd, int size)
{
    ssize_t n = recv(sd, inbuf, sizeof inbuf, MSG_DONTWAIT);

    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    if (n < 0) {
        endprogress();
        perror("my_read");
        printf("n = %x,  size = %x\n", (unsigned)n, (unsigned)size);
        quit(sd, LINK);
    }
    if (n == 0)
        return -1;
    inpos = 0;
    inlen = (size_t)n;
    return 1;
}

// Whether a reply has begun to arrive, without waiting.
static int pending(int sd)
{
    if (inpos < inlen)
        return 1;
    int r = takein(sd, 0);
    if (r < 0)
        closed(sd);
    return r;
}

// After the final reply nothing more may come: bytes already there mean a
// reply did not frame (its true end is still on the connection) or a
// stray one followed.  Looks without waiting; an end of stream is fine.
static void nothingmore(int sd)
{
    if (inpos < inlen || takein(sd, 0) > 0)
        outofstep(sd, "data after the final reply: a reply did not frame");
}

// Reads exactly size bytes, across as many reads as the network needs.
static void my_read(int sd, u8 *buf, int size)
{
    int got = 0;

    while (got < size) {
        if (inpos == inlen) {
            int r = takein(sd, size);
            if (r < 0)
                closed(sd);
            if (r == 0) {
                waitfor(sd, SITE_READ);
                continue;
            }
        }
        size_t n = inlen - inpos;
        if (n > (size_t)(size - got))
            n = (size_t)(size - got);
        memcpy(buf + got, inbuf + inpos, n);
        inpos += n;
        got += (int)n;
        midreply = 1;
    }
}

static void logreply(const char *what)
{
    const SInternalMsgHeader *h = (const SInternalMsgHeader *)respbuf;
    const SKxFileTavikListResp *l = (const SKxFileTavikListResp *)(respbuf + KX_SYSCOM_HEADER_SIZE);
    const SKxFileTavikGetResp *g = (const SKxFileTavikGetResp *)(respbuf + KX_SYSCOM_HEADER_SIZE);
    u32 id = hostbe16(h->msgId);

    if (strcmp(what, "listing") == 0)
        fprintf(stderr, "< %04x list rc %d (%s) offset %u entries %d of %u\n", id,
                le32(l->returnCode), KxFileTavik_retname(le32(l->returnCode)),
                hostle32(l->offset), le32(l->entries), hostle32(l->totalEntries));
    else
        fprintf(stderr, "< %04x get rc %d (%s) offset %d length %d last %u filesize %d\n", id,
                le32(g->returnCode), KxFileTavik_retname(le32(g->returnCode)), le32(g->offset),
                le32(g->length), hostle32(g->last), le32(g->filesize));
}

// Reads one reply whole into respbuf: waits for it at site `head` (0 when
// it is known to have begun), reads the header, waits for the payload at
// site `body`, and checks that the payload holds its record's fixed part.
static void readreply(int sd, int head, int body, int fixed, const char *what)
{
    if (head)
        waitfor(sd, head);
    my_read(sd, respbuf, KX_SYSCOM_HEADER_SIZE);
    paylen = getsize(respbuf);
    if ((unsigned)paylen > MAX_PAYLOAD) {
        errno = EPROTO;
        lost(sd, "size");
    }
    if (paylen > 0) {
        waitfor(sd, body);
        my_read(sd, respbuf + KX_SYSCOM_HEADER_SIZE, paylen);
    }
    midreply = 0;
    if (paylen < fixed)
        outofstep(sd, "short %s reply: %d payload bytes, at least %d expected", what, paylen,
                  fixed);
    if (verbose)
        logreply(what);
}

static void sendbuf(int sd, const u8 *buf, size_t len)
{
    ssize_t n = send(sd, buf, len, MSG_NOSIGNAL);
    if (n != (ssize_t)len) {
        int e = n >= 0 ? EIO : errno;
        // A device that closed right after a whole reply shows it here
        // first; that end vouches for the block placed last.
        if ((e == EPIPE || e == ECONNRESET) && inpos == inlen && !midreply &&
            recv(sd, inbuf, sizeof inbuf, MSG_DONTWAIT) == 0)
            vouch(sd);
        errno = e;
        lost(sd, "write");
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
    if (verbose)
        fprintf(stderr, "> %04x list '%s' offset %u max %d\n", KX_FILE_TAVIK_LIST_REQ_MSG, name,
                offset, LISTMAX);
    sendbuf(sd, reqbuf, LIST_REQ_SIZE);
}

// The listing text of all pages, gathered: the entry count is printed
// first.  The buffer doubles as it fills, so that many pages cost no more
// copying than one.
static char *listing;
static size_t listlen, listcap;

static void addlisting(int sd, const char *text, size_t len)
{
    if (listlen + len > LISTBOUND)
        failmsg(sd, "listing too large: more than %d MiB of text", LISTBOUND >> 20);
    if (listing == NULL || listlen + len + 1 > listcap) {
        size_t cap = listcap ? listcap : 65536;
        while (cap < listlen + len + 1)
            cap *= 2;
        if (cap > (size_t)LISTBOUND + 1)
            cap = (size_t)LISTBOUND + 1;
        char *p = (char *)realloc(listing, cap);
        if (p == NULL)
            failmsg(sd, "out of memory for the listing");
        listing = p;
        listcap = cap;
    }
    memcpy(listing + listlen, text, len);
    listlen += len;
    listing[listlen] = '\0';
}

// Why the Ok page in respbuf, asked for at offset, ends the paging early,
// or NULL when it fits: its counts must agree with themselves and (after
// the first) with the first page's total.
static const char *misfit(u32 offset, u32 total, char *why, size_t len)
{
    const SKxFileTavikListResp *r = (const SKxFileTavikListResp *)(respbuf + KX_SYSCOM_HEADER_SIZE);
    i32 n = le32(r->entries);
    u32 t = hostle32(r->totalEntries);

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
    const SKxFileTavikListResp *r = (const SKxFileTavikListResp *)(respbuf + KX_SYSCOM_HEADER_SIZE);
    long long entries = 0;
    u32 offset = 0, total = 0;
    char reason[160];
    const char *why = NULL;
    i32 rc;

    listlen = 0;
    addlisting(sd, "", 0);
    for (;;) {
        sendListReq(sd, core, task, name, offset);
        readreply(sd, SITE_LIST, SITE_LIST_DATA, KX_FILE_TAVIK_LIST_RESP_FIXED, "listing");
        rc = le32(r->returnCode);
        i32 n = le32(r->entries);
        if (offset == 0)
            total = hostle32(r->totalEntries);
        if (rc == EKxFileTavikRet_Ok && hostle32(r->offset) != offset) {
            snprintf(reason, sizeof reason, "the device answered offset %u with offset %u",
                     offset, hostle32(r->offset));
            why = reason;  // not the page asked for: its text is not used
            break;
        }
        // The text runs to its first zero or to the end of the payload.
        size_t room = (size_t)(paylen - KX_FILE_TAVIK_LIST_RESP_FIXED);
        addlisting(sd, r->listing, strnlen(r->listing, room));
        if (rc != EKxFileTavikRet_Ok) {
            entries += n;
            break;
        }
        why = misfit(offset, total, reason, sizeof reason);
        if (n > 0)
            entries += n;
        if (entries > LISTENTRIES)
            failmsg(sd, "listing too large: more than %d entries", LISTENTRIES);
        if (why != NULL || n == 0 || (unsigned long long)offset + (u32)n >= total)
            break;
        offset += (u32)n;
    }
    nothingmore(sd);
    printf("\nentries       %lld\n\n%s\n", entries, listing);
    if (rc != EKxFileTavikRet_Ok)
        devfail(sd, "list", rc);
    if (why != NULL)
        failmsg(sd, "listing incomplete: %lld of %u entries (%s)", entries, total, why);
    return 0;
}

// ---- Downloads ------------------------------------------------------------

// Opens the local file without cutting it: a refusal of the first request
// must not destroy a file that was there.  Returns where the download
// goes on from: the end of the file when resuming (--continue, or an
// attempt after one that took the file over), else 0.
static off_t startlocal(int sd)
{
    int again = resume || owned;
    int fd = open(filename, (again ? O_RDWR : O_WRONLY) | O_CREAT, 0644);
    struct stat st;

    if (fd < 0)
        fail(sd, "Cannot open file!");
    dl.fd = fd;
    dl.ours = 0;
    dl.base = 0;
    dl.mine = owned;
    dl.differs = dl.toolong = 0;
    dl.unsure = dl.writing = -1;
    dl.runlen = 0;
    unseekable = fstat(fd, &st) == 0 && !S_ISREG(st.st_mode);
    if (again && !unseekable) {
        dl.toolong = st.st_size > INT_MAX;  // no remote file is that long
        dl.base = dl.toolong ? INT_MAX : st.st_size;
    }
    dl.gapless = dl.base;
    return dl.base;
}

// The first reply has passed every check: the local file is ours now.  A
// fresh download starts it from nothing, a resumed one goes on behind
// what is there, once the device's file is known to be the same one.
static void samefile(int sd, int filesize)
{
    if (firstsize >= 0 && filesize != firstsize)
        failmsg(sd, "file changed on the device during the download");
    if (dl.base > filesize || dl.toolong)
        failmsg(sd, "cannot continue: the local file is longer than the remote file");
}

// The device refused the first request.  A resumed attempt asks first for
// bytes near the end of the local file: a device that has no such offset
// holds a shorter file.
static void refused(int sd, i32 rc)
{
    if (!dl.ours && dl.base > 0 && rc == EKxFileTavikRet_OutOfRange) {
        if (dl.mine)
            failmsg(sd, "file changed on the device during the download");
        failmsg(sd, "cannot continue: the local file is longer than the remote file");
    }
    devfail(sd, "get", rc);
}

static void takeover(int sd, int filesize)
{
    struct stat st;

    samefile(sd, filesize);
    if (dl.base == 0 && ftruncate(dl.fd, 0) != 0 && fstat(dl.fd, &st) == 0 &&
        S_ISREG(st.st_mode))
        fail(sd, "Cannot write file!");
    if (dl.seq)
        lseek(dl.fd, dl.base, SEEK_SET);  // fails harmlessly on a pipe
    firstsize = filesize;
    dl.ours = owned = 1;
}

// A resumed download compares the bytes of a block that lie below the end
// of the local file instead of writing them.  Returns how many of the n
// bytes at `at` were compared, or n when they differ.
static int compare(const u8 *data, int n, off_t at)
{
    u8 buf[4096];
    int m, done;

    if (at >= dl.base)
        return 0;
    m = dl.base - at < n ? (int)(dl.base - at) : n;
    for (done = 0; done < m;) {
        int k = m - done < (int)sizeof buf ? m - done : (int)sizeof buf;
        if (pread(dl.fd, buf, (size_t)k, at + done) != k || memcmp(buf, data + done, (size_t)k))
            break;
        done += k;
    }
    if (done < m) {
        dl.differs = 1;  // judged when vouched for; none of it is written
        return n;
    }
    return m;
}

static void writelocal(int sd, const u8 *data, int n, off_t at)
{
    dl.writing = at;
    while (n > 0) {
        ssize_t w = dl.seq ? write(dl.fd, data, (size_t)n) : pwrite(dl.fd, data, (size_t)n, at);
        if (w <= 0) {
            if (w == 0)
                errno = ENOSPC;
            fail(sd, "Cannot write file!");
        }
        data += w;
        n -= (int)w;
        at += w;
    }
    dl.writing = -1;
}

static void closelocal(int sd)
{
    int fd = dl.fd;

    dl.fd = -1;
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
    if (verbose)
        fprintf(stderr, "> %04x get '%s' offset %d\n", KX_FILE_TAVIK_GET_REQ_MSG, name, offset);
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
        outofstep(sd, "bad block length %d: the reply carries %d data bytes", n,
                  paylen - KX_FILE_TAVIK_GET_RESP_FIXED);
    return n;
}

// One block request and its reply, read into respbuf; returns the block
// length the reply claims.
static int getblock(int sd, u32 core, u32 task, const char *name, int offset)
{
    sendGetReq(sd, core, task, name, offset);
    readreply(sd, SITE_BLOCK, SITE_BLOCK_DATA, KX_FILE_TAVIK_GET_RESP_FIXED, "block");
    return le32(getresp()->length);
}

// Where a resumed download asks first: far enough back to compare the
// last CHECKLEN bytes of the local file, on a multiple of align.
static int checkfrom(off_t from, int align)
{
    return from > CHECKLEN ? (int)((from - CHECKLEN) / align * align) : 0;
}

// Block by block: one request in flight, each block appended at the
// running total, in whatever lengths the device chooses.
static int getreq(int sd, u32 core, u32 task, const char *name)
{
    const SKxFileTavikGetResp *r = getresp();
    off_t from = startlocal(sd);
    int offset = checkfrom(from, 1), filesize = -1;
    long long cmp = FLUSHSTEP;

    dl.seq = 1;
    startprogress(from);
    for (;;) {
        int n = getblock(sd, core, task, name, offset);
        if (filesize >= 0 && le32(r->offset) == offset && le32(r->filesize) == filesize)
            vouch(sd);  // in step after the block before
        if (n > LARGE) {
            errno = EFBIG;
            lost(sd, "large");
        }
        if (filesize < 0) {
            filesize = le32(r->filesize);
            if (!sizeshown++)
                printf("\nfilesize      %d  \n", filesize);
        }
        if (le32(r->returnCode) != EKxFileTavikRet_Ok)
            refused(sd, le32(r->returnCode));
        n = blocklength(sd);
        if (le32(r->offset) != offset)
            outofstep(sd, "reply for offset %d, asked for %d", le32(r->offset), offset);
        if (le32(r->filesize) != filesize)
            failmsg(sd, "file size changed from %d to %d during the download", filesize,
                    le32(r->filesize));
        if (n > INT_MAX - offset)
            failmsg(sd, "file too large: more than %d bytes", INT_MAX);
        if (offset + n > filesize)
            outofstep(sd, "block at offset %d of %d bytes goes past the file size %d", offset, n,
                      filesize);
        if (!r->last && n == 0)
            outofstep(sd, "empty block at offset %d, and not the last", offset);
        if (r->last && offset + n != filesize)
            outofstep(sd, "last block ends at %d, but the file size is %d", offset + n, filesize);
        if (!dl.ours)
            takeover(sd, filesize);

        int same = compare(r->data, n, offset);
        if (n > same) {
            dl.unsure = offset + same;
            writelocal(sd, r->data + same, n - same, offset + same);
        }
        offset += n;
        if (offset > dl.gapless)
            dl.gapless = offset;
        if (offset > cmp) {
            fflush(stdout);
            cmp += FLUSHSTEP;
        }
        drawprogress(offset, filesize, r->last != 0);
        if (r->last)
            break;
    }
    nothingmore(sd);
    vouch(sd);
    summary(filesize);
    closelocal(sd);
    return 0;
}

// Offsets asked for and not yet answered in the pipelined download, in
// the first `window` slots; -1 is a free slot.  nflight counts the others.
static int inflight[MAXWINDOW];
static int nextoff;  // the next offset to ask for

static int findslot(int offset)
{
    for (int i = 0; i < window; i++)
        if (inflight[i] == offset)
            return i;
    return -1;
}

// Everything below the lowest offset still in flight (or below the next
// one to ask for) has arrived.
static off_t gapfree(int filesize)
{
    int low = nextoff < filesize ? nextoff : filesize;
    for (int i = 0; i < window; i++)
        if (inflight[i] >= 0 && inflight[i] < low)
            low = inflight[i];
    return low;
}

static void askfor(u8 *msg, u32 core, u32 task, const char *name, int offset)
{
    prepGetReq(msg, core, task, name, offset);
    inflight[findslot(-1)] = offset;
    nflight++;
}

// Asks for every block up to the window in one write, so that the burst
// leaves at once.
static void fillwindow(int sd, u32 core, u32 task, const char *name, int filesize)
{
    int n = 0;

    while (nflight < window && nextoff < filesize) {
        askfor(reqbuf + n * GET_REQ_SIZE, core, task, name, nextoff);
        int left = filesize - nextoff;  // never step past filesize: no overflow
        nextoff += left < BLOCK ? left : BLOCK;
        n++;
    }
    if (n > 0)
        sendbuf(sd, reqbuf, (size_t)n * GET_REQ_SIZE);
}

// Takes in one reply if one has begun to arrive: returns 1 with the reply
// in respbuf, or 0 when none is pending.
static int recGetReq(int sd)
{
    if (!pending(sd))
        return 0;
    readreply(sd, 0, SITE_TURBO_DATA, KX_FILE_TAVIK_GET_RESP_FIXED, "block");
    return 1;
}

static void flushrun(int sd)
{
    int n = dl.runlen;

    dl.runlen = 0;  // a write that fails is not tried again on the way out
    if (n > 0)
        writelocal(sd, dl.run, n, dl.runat);
}

static void stageblock(int sd, const u8 *data, int n, off_t at)
{
    if (dl.runlen > 0 && (at != dl.runat + dl.runlen || dl.runlen + n > (int)sizeof dl.run))
        flushrun(sd);
    if (dl.runlen == 0)
        dl.runat = at;
    memcpy(dl.run + dl.runlen, data, (size_t)n);
    dl.runlen += n;
}

// Checks the reply in respbuf against the requests in flight and the
// first reply's file size, then places its block at its offset.
static void placeblock(int sd, int filesize)
{
    const SKxFileTavikGetResp *r = getresp();
    i32 rc = le32(r->returnCode);
    int at = le32(r->offset);
    int slot = at < 0 ? -1 : findslot(at);  // -1 also marks free slots
    int want, n;

    if (slot >= 0 && le32(r->filesize) == filesize)
        vouch(sd);  // in step after the block placed before
    if (rc != EKxFileTavikRet_Ok)
        devfail(sd, "get", rc);
    if (slot < 0)
        outofstep(sd, "reply for offset %d, which is not in flight", at);
    if (le32(r->filesize) != filesize)
        outofstep(sd, "reply for offset %d gives file size %d, the first gave %d", at,
                  le32(r->filesize), filesize);
    n = blocklength(sd);
    want = filesize - at < BLOCK ? filesize - at : BLOCK;
    if (n != want)
        outofstep(sd, "reply for offset %d carries %d bytes, %d expected", at, n, want);
    if ((r->last != 0) != (at + n == filesize))
        outofstep(sd, "reply for offset %d %s the last block", at,
                  r->last ? "claims to be" : "does not claim to be");
    inflight[slot] = -1;
    nflight--;
    int same = compare(r->data, n, at);
    if (n > same) {
        stageblock(sd, r->data + same, n - same, at + same);
        dl.unsure = at + same;
    }
    off_t low = gapfree(filesize);
    if (low > dl.gapless)
        dl.gapless = low;
}

// Pipelined: the first reply gives the file size, then up to `window`
// block requests stay in flight, and each reply's block is written at its
// own offset as it arrives, in whatever order the replies come.
static void getturbo(int sd, u32 core, u32 task, const char *name)
{
    const SKxFileTavikGetResp *r = getresp();
    off_t from = startlocal(sd);
    int first = checkfrom(from, BLOCK);

    dl.seq = 0;
    startprogress(from);
    for (int i = 0; i < MAXWINDOW; i++)
        inflight[i] = -1;
    nflight = 0;

    askfor(reqbuf, core, task, name, first);
    sendbuf(sd, reqbuf, GET_REQ_SIZE);
    do
        waitfor(sd, SITE_FIRST);
    while (!recGetReq(sd));
    int filesize = le32(r->filesize);
    int numb = (int)(((long long)filesize + BLOCK - 1) / BLOCK);
    if (!sizeshown++)
        printf("Filesize %d bytes (blocks %d)\n", filesize, numb);
    if (le32(r->returnCode) != EKxFileTavikRet_Ok)
        refused(sd, le32(r->returnCode));
    if (filesize < 0)
        outofstep(sd, "bad file size %d", filesize);
    if (!r->last && le32(r->length) != BLOCK) {
        printf("Serious problem with block size. Inform Developer.\n");
        quit(sd, FATAL);
    }
    nextoff = first + BLOCK;
    samefile(sd, filesize);
    placeblock(sd, filesize);
    takeover(sd, filesize);

    while (nextoff < filesize || nflight > 0) {
        fillwindow(sd, core, task, name, filesize);
        flushrun(sd);  // while the device works on the new requests
        waitfor(sd, SITE_WINDOW);
        // The replies that one read brought in, then the window is filled
        // again: on a wide window the replies never stop coming, and
        // draining them all first would leave the device waiting.  What
        // comes after the last block is no reply.
        while (nflight > 0 && recGetReq(sd)) {
            placeblock(sd, filesize);
            drawprogress(dl.gapless, filesize, 0);
            if (inpos == inlen)
                break;
        }
    }
    flushrun(sd);
    nothingmore(sd);
    vouch(sd);
    drawprogress(filesize, filesize, 1);
    summary(filesize);
    closelocal(sd);
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

// A decimal count of a long option, within [low, high].
static int takecount(const char *what, const char *arg, int low, int high)
{
    char *end;
    long v;

    errno = 0;
    v = strtol(arg, &end, 10);
    if (*arg < '0' || *arg > '9' || *end != '\0' || errno || v < low || v > high)
        failmsg(-1, "invalid --%s '%s': expected %d to %d", what, arg, low, high);
    return (int)v;
}

// Before another attempt: what it goes on from, and a pause that doubles
// up to 10 s while attempts keep failing without getting further, so that
// a device that restarts has time to come back.  An attempt that fetched
// something starts the pauses again from 1 s.
static void backoff(int ol)
{
    static off_t before = -1;
    static int stuck;
    struct stat st;
    off_t from = 0;  // where the next attempt goes on from, as it will see it
    int pause;

    if ((resume || owned) && stat(filename, &st) == 0 && S_ISREG(st.st_mode))
        from = st.st_size;
    stuck = from > before ? 1 : stuck + 1;
    before = from;
    pause = stuck >= 5 ? 10 : 1 << (stuck - 1);
    if (ol)
        fprintf(stderr, "retrying (%d of %d) from the start in %d s\n", attempt, retries, pause);
    else
        fprintf(stderr, "retrying (%d of %d) from byte %lld in %d s\n", attempt, retries,
                (long long)from, pause);
    sleep((unsigned)pause);
}

enum { OPT_HELP = 256, OPT_VERSION, OPT_VERBOSE, OPT_CONTINUE, OPT_RETRY, OPT_WINDOW };

static const struct option longopts[] = {
    {"help", no_argument, NULL, OPT_HELP},
    {"version", no_argument, NULL, OPT_VERSION},
    {"verbose", no_argument, NULL, OPT_VERBOSE},
    {"continue", no_argument, NULL, OPT_CONTINUE},
    {"retry", required_argument, NULL, OPT_RETRY},
    {"window", required_argument, NULL, OPT_WINDOW},
    {NULL, 0, NULL, 0},
};

int main(int argc, char **argv)
{
    static u32 core = 0x1462, task = 0x614;
    static int ol, og, ot;
    static char name[256];
    const char *arg = "", *out = NULL;
    int c;

    if (argc == 1) {
        printusage(argv[0]);
        exit(1);
    }
    while ((c = getopt_long(argc, argv, "-c:t:o:lgphb", longopts, NULL)) != -1) {
        switch (c) {
        case 'c': takehex("core", optarg, &core); break;
        case 't': takehex("task", optarg, &task); break;
        case 'o': out = optarg; break;
        case 'l': ol = 1; break;
        case 'g': og = 1; break;
        case 'b': ot = 1; break;
        case 'p': break;  // accepted, does nothing
        case 1: arg = optarg; break;
        case OPT_HELP:
            printusage(argv[0]);
            printlongopts(argv[0]);
            exit(0);
        case OPT_VERSION:
            printf("tavik %s\n", TAVIK_VERSION);
            exit(0);
        case OPT_VERBOSE: verbose = 1; break;
        case OPT_CONTINUE: resume = 1; break;
        case OPT_RETRY: retries = takecount("retry", optarg, 0, MAXRETRY); break;
        case OPT_WINDOW: window = takecount("window", optarg, 1, MAXWINDOW); break;
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

    if (setjmp(again))
        backoff(ol);
    attempt++;
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
