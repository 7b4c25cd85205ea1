// The endpoint: TAVIK_DEVICE points the client at another device (a
// tunnel, a stand-in device); unset or empty, the device's own fixed
// address.

#include "endpoint.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "fail.h"
#include "timing.h"
#include "tuning.h"

enum { MAXADDRS = 8 };

// The addresses to try, in order: a name may resolve to several, of
// either family.
static struct endpoint {
    struct sockaddr_storage addrs[MAXADDRS];
    socklen_t lens[MAXADDRS];
    int n;
    const char *origin;  // how the endpoint was chosen
} ep = {.addrs = {}, .lens = {}, .n = 0, .origin = ""};

[[noreturn]] static void badendpoint(const char *env, const char *what)
{
    failmsg(USAGE, "TAVIK_DEVICE: bad %s in '%s' (expected HOST, HOST:PORT, [ADDR] or [ADDR]:PORT)",
            what, env);
}

// Splits TAVIK_DEVICE into host and port: HOST, HOST:PORT, [ADDR],
// [ADDR]:PORT, or a bare IPv6 address.  A value with more than one colon
// and no brackets is an IPv6 address as a whole, never a guessed split:
// ::1:1503 is an address, not ::1 and a port.
static void splitendpoint(const char *env, char *host, size_t hostlen, long *port)
{
    const char *h = env, *colon = NULL, *end = env + strlen(env);
    struct in6_addr a6;

    if (*env == '[') {
        h = env + 1;
        end = strchr(h, ']');
        if (end == NULL || (end[1] != '\0' && end[1] != ':'))
            badendpoint(env, "host");
        colon = end[1] == ':' ? end + 1 : NULL;
    } else if (strchr(env, ':') != strrchr(env, ':')) {
        if (inet_pton(AF_INET6, env, &a6) != 1)
            badendpoint(env, "IPv6 address");
    } else if ((colon = strchr(env, ':')) != NULL) {
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

static void resolve(const char *host)
{
    struct addrinfo hints, *res, *ai;

    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host, NULL, &hints, &res) != 0)
        failmsg(USAGE, "TAVIK_DEVICE: cannot resolve '%s'", host);
    ep.n = 0;
    for (ai = res; ai != NULL && ep.n < MAXADDRS; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof ep.addrs[0])
            continue;
        memcpy(&ep.addrs[ep.n], ai->ai_addr, ai->ai_addrlen);
        ep.lens[ep.n++] = ai->ai_addrlen;
    }
    freeaddrinfo(res);
    if (ep.n == 0)
        failmsg(USAGE, "TAVIK_DEVICE: cannot resolve '%s'", host);
}

void endpoint(void)
{
    const char *env = getenv("TAVIK_DEVICE");
    struct sockaddr_in *s4 = (struct sockaddr_in *)&ep.addrs[0];
    struct sockaddr_in6 *s6 = (struct sockaddr_in6 *)&ep.addrs[0];
    char host[256];
    long port = DEVICE_PORT;

    memset(ep.addrs, 0, sizeof ep.addrs);
    ep.n = 1;
    ep.origin = "built-in address";
    if (env == NULL || *env == '\0') {
        s4->sin_family = AF_INET;
        inet_pton(AF_INET, DEVICE_HOST, &s4->sin_addr);
        s4->sin_port = htons(DEVICE_PORT);
        ep.lens[0] = sizeof *s4;
        return;
    }
    ep.origin = "TAVIK_DEVICE";
    splitendpoint(env, host, sizeof host, &port);
    if (inet_pton(AF_INET, host, &s4->sin_addr) == 1) {
        s4->sin_family = AF_INET;
        ep.lens[0] = sizeof *s4;
    } else if (inet_pton(AF_INET6, host, &s6->sin6_addr) == 1) {
        s6->sin6_family = AF_INET6;
        ep.lens[0] = sizeof *s6;
    } else {
        resolve(host);
    }
    for (int i = 0; i < ep.n; i++) {
        if (ep.addrs[i].ss_family == AF_INET6)
            ((struct sockaddr_in6 *)&ep.addrs[i])->sin6_port = htons((uint16_t)port);
        else
            ((struct sockaddr_in *)&ep.addrs[i])->sin_port = htons((uint16_t)port);
    }
}

// An IPv6 address in its usual short form, always in hexadecimal groups:
// the library would show ::1:1503 as ::0.1.21.3.
static void ip6text(const struct in6_addr *a, char *buf, size_t len)
{
    int g[8], best = -1, bestlen = 1, at = 0;

    for (int i = 0; i < 8; i++)
        g[i] = a->s6_addr[2 * i] << 8 | a->s6_addr[2 * i + 1];
    for (int i = 0; i < 8; i++) {  // the longest run of zero groups, at least two
        int n = 0;
        while (i + n < 8 && g[i + n] == 0)
            n++;
        if (n > bestlen)
            best = i, bestlen = n;
    }
    buf[0] = '\0';
    for (int i = 0; i < 8; i++) {
        if (i == best) {
            at += snprintf(buf + at, len - (size_t)at, "::");
            i += bestlen - 1;
            continue;
        }
        const char *sep = i > 0 && i != best + bestlen ? ":" : "";
        at += snprintf(buf + at, len - (size_t)at, "%s%x", sep, (unsigned)g[i]);
    }
}

static void showaddr(const struct sockaddr_storage *ss)
{
    char addr[INET6_ADDRSTRLEN + 8];

    if (ss->ss_family == AF_INET6) {
        const struct sockaddr_in6 *s6 = (const struct sockaddr_in6 *)ss;
        ip6text(&s6->sin6_addr, addr, sizeof addr);
        fprintf(stderr, "connecting to [%s]:%d (%s)\n", addr, ntohs(s6->sin6_port), ep.origin);
    } else {
        const struct sockaddr_in *s4 = (const struct sockaddr_in *)ss;
        inet_ntop(AF_INET, &s4->sin_addr, addr, sizeof addr);
        fprintf(stderr, "connecting to %s:%d (%s)\n", addr, ntohs(s4->sin_port), ep.origin);
    }
}

// One connect, bounded like every other wait: started non-blocking, then
// given ms to complete.  Returns the socket, or -1 with errno set.
static int tryconnect(const struct sockaddr_storage *ss, socklen_t sslen, int ms)
{
    int sd, err = 0, r;
    socklen_t len = sizeof err;

    if ((sd = socket(ss->ss_family, SOCK_STREAM, 0)) < 0)
        fail("socket");
    // Without O_NONBLOCK the connect would not be bounded: that is fatal.
    int flags = fcntl(sd, F_GETFL);
    if (flags < 0 || fcntl(sd, F_SETFL, flags | O_NONBLOCK) < 0)
        fail("fcntl");
    if (connect(sd, (const struct sockaddr *)ss, sslen) < 0) {
        struct pollfd p = {.fd = sd, .events = POLLOUT, .revents = 0};
        if (errno != EINPROGRESS)
            err = errno;
        if (err == 0 && (r = pollfor(&p, ms)) <= 0)
            err = r == 0 ? ETIMEDOUT : errno;
        if (err == 0 && getsockopt(sd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        if (err != 0) {
            close(sd);
            errno = err;
            return -1;
        }
    }
    if (fcntl(sd, F_SETFL, flags) < 0)
        fail("fcntl");
    return sd;
}

int dial(int verbose, int ms)
{
    int sd = -1;

    for (int i = 0; i < ep.n && sd < 0; i++) {
        if (verbose)
            showaddr(&ep.addrs[i]);
        sd = tryconnect(&ep.addrs[i], ep.lens[i], ms);
    }
    return sd;
}
