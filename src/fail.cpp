// The failure procedures: every message form, and the end of an attempt.

#include "fail.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "IfKxFileTavik.h"
#include "progress.h"

void quit(enum cause cause, const char *msg)
{
    struct failure f = {.cause = cause, .boundary = 0, .msg = ""};

    snprintf(f.msg, sizeof f.msg, "%s", msg);
    throw f;
}

void failmsg(enum cause cause, const char *fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    quit(cause, msg);
}

void hangup(int boundary, const char *msg)
{
    struct failure f = {.cause = LINK, .boundary = boundary, .msg = ""};

    snprintf(f.msg, sizeof f.msg, "%s", msg);
    throw f;
}

void stopped(void)
{
    quit(STOPPED, "stopped by a signal");
}

void outofstep(const char *fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    quit(STEP, msg);
}

void failerrno(enum cause cause, const char *tag)
{
    failmsg(cause, "%s: %s", tag, strerror(errno));
}

void fail(const char *tag)
{
    failerrno(LOCAL, tag);
}

void lost(const char *tag)
{
    failerrno(LINK, tag);
}

void devfail(const char *op, i32 code)
{
    failmsg(DEVICE, "%s: %s (%d)", op, KxFileTavik_retname(code), code);
}

void say(const char *fmt, ...)
{
    va_list ap;

    endprogress();
    fflush(stdout);  // what was printed comes first
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}
