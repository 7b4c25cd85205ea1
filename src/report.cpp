// The report's lines.  Names are bytes, not always UTF-8: a byte that is
// not part of a valid UTF-8 sequence is written as \udcXX (XX its value,
// the convention of surrogateescape), so that every line stays one JSON
// object and the name can be had back byte for byte.

#include "report.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

static struct report {
    FILE *out;  // NULL: no report asked for
} rp = {.out = NULL};

void openreport(const char *path)
{
    if (strcmp(path, "-") == 0) {
        rp.out = stderr;
        return;
    }
    rp.out = fopen(path, "a");
    if (rp.out == NULL)
        failmsg(USAGE, "--report '%s': %s", path, strerror(errno));
}

const char *causename(enum cause c)
{
    switch (c) {
    case USAGE: return "usage";
    case LOCAL: return "local";
    case DEVICE: return "device";
    case LINK: return "link";
    case STEP: return "step";
    case OVERTIME: return "overtime";
    case STOPPED: return "signal";
    }
    return "unknown";
}

// The length of the valid UTF-8 sequence at s (at most n bytes), 0 if none.
static int utf8len(const unsigned char *s, size_t n)
{
    int len = s[0] < 0x80 ? 1 : (s[0] & 0xE0) == 0xC0 ? 2 : (s[0] & 0xF0) == 0xE0 ? 3
            : (s[0] & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || (size_t)len > n)
        return 0;
    unsigned cp = len == 1 ? s[0] : s[0] & (0x7F >> len);
    for (int i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (s[i] & 0x3F);
    }
    static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;  // overlong, beyond Unicode, or a surrogate
    return len;
}

static void jsonstring(FILE *out, const char *text)
{
    const unsigned char *s = (const unsigned char *)text;
    size_t n = strlen(text);

    fputc('"', out);
    for (size_t i = 0; i < n;) {
        int len = utf8len(s + i, n - i);
        if (len == 0)
            fprintf(out, "\\udc%02x", s[i]);
        else if (s[i] == '"' || s[i] == '\\')
            fprintf(out, "\\%c", s[i]);
        else if (s[i] < 0x20 || s[i] == 0x7F)
            fprintf(out, "\\u%04x", s[i]);
        else
            fwrite(s + i, 1, (size_t)len, out);
        i += len == 0 ? 1 : (size_t)len;
    }
    fputc('"', out);
}

static void field(FILE *out, const char *name, const char *text)
{
    fprintf(out, ",\"%s\":", name);
    jsonstring(out, text);
}

void report(const struct outcome *o)
{
    FILE *out = rp.out;

    if (out == NULL)
        return;
    fprintf(out, "{\"op\":\"%s\"", o->op);
    field(out, "remote", o->remote);
    if (o->local)
        field(out, "local", o->local);
    field(out, "result", o->result);
    if (strcmp(o->result, "not attempted") != 0) {
        fprintf(out, ",\"%s\":%lld", o->local ? "bytes" : "entries", o->bytes);
        if (o->size >= 0)
            fprintf(out, ",\"size\":%lld", o->size);
        if (!o->local && !o->complete)
            fprintf(out, ",\"complete\":false");
        fprintf(out, ",\"seconds\":%.3f,\"attempts\":%d", o->seconds, o->attempts);
    }
    if (o->f) {
        fprintf(out, ",\"cause\":\"%s\"", causename(o->f->cause));
        field(out, "message", o->f->msg);
    }
    fputs("}\n", out);
    fflush(out);
}
