// The long options, sorted by name.  Adding one is a row in the table, a
// field in struct options and a case in takelong().

#include "options.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "fail.h"
#include "tuning.h"

#define STR(x) #x
#define XSTR(x) STR(x)  // a macro's value as text

// What a long option needs of the short ones, to mean anything.
enum {
    NEEDS_OP = 1,     // -l or -g
    NEEDS_GET = 2,    // -g, and no -l
    NEEDS_PIPED = 4,  // -g -b
    NEEDS_FILE = 8,   // a local file, not -o -
};

struct longopt {
    const char *name;
    const char *arg;   // its argument's name in --help, NULL for none
    int code;
    int needs;
    const char *help;  // a printf format of v1 and v2; lines after the first are indented
    int v1, v2;
};

static const struct longopt table[] = {
    {"continue", NULL, OPT_CONTINUE, NEEDS_GET | NEEDS_FILE,
     "with -g: go on from the end of an existing local file, once what\n"
     "it holds matches the remote file where compared", 0, 0},
    {"help", NULL, OPT_HELP, 0, "this text", 0, 0},
    {"input-file", "FILE", OPT_INPUTFILE, NEEDS_GET,
     "with -g: download the names in FILE too, one a line: REMOTE, or\n"
     "REMOTE<TAB>LOCAL; '#' begins a comment; - reads stdin", 0, 0},
    {"max-time", "S", OPT_MAXTIME, 0,
     "end the run after S seconds, every attempt and pause included", 0, 0},
    {"output-dir", "DIR", OPT_OUTPUTDIR, NEEDS_GET,
     "with -g: download every name given, each into DIR under its\n"
     "base name, all on one connection, a line on stdout for each", 0, 0},
    {"quiet", NULL, OPT_QUIET, 0,
     "only the listing text or the file's bytes (-o -) on stdout; no\n"
     "file size line, no progress line", 0, 0},
    {"report", "FILE", OPT_REPORT, NEEDS_OP,
     "a JSON line in FILE (- for stderr) for the listing, or for\n"
     "each download, as it ends", 0, 0},
    {"retry", "N", OPT_RETRY, NEEDS_OP,
     "on a broken link, reconnect and go on, up to N times (0-%d)", MAXRETRY, 0},
    {"verbose", NULL, OPT_VERBOSE, 0, "the endpoint, every request and every reply, on stderr", 0,
     0},
    {"version", NULL, OPT_VERSION, 0, "the version of tavik", 0, 0},
    {"window", "N", OPT_WINDOW, NEEDS_PIPED,
     "with -g -b: N requests in flight (1-%d, default %d); more\n"
     "than the device accepts ends in a timeout", MAXWINDOW, WINDOW},
};
enum { NLONG = sizeof table / sizeof table[0] };

static struct options state = {.verbose = 0, .resume = 0, .retries = 0, .window = WINDOW,
                               .quiet = 0, .maxtime = 0, .maxtimearg = "", .outputdir = NULL,
                               .report = NULL, .batch = 0, .given = 0};
const struct options &opt = state;

const struct option *longopts(void)
{
    static struct option opts[NLONG + 1];

    for (int i = 0; i < NLONG; i++)
        opts[i] = {table[i].name, table[i].arg ? required_argument : no_argument, NULL,
                   table[i].code};
    return opts;
}

int takecount(const char *what, const char *arg, int low, int high)
{
    char *end;
    long v;

    errno = 0;
    v = strtol(arg, &end, 10);
    if (*arg < '0' || *arg > '9' || *end != '\0' || errno || v < low || v > high)
        failmsg(USAGE, "invalid --%s '%s': expected %d to %d", what, arg, low, high);
    return (int)v;
}

// Seconds as a decimal number, fractions allowed (2, 0.5, .5): more than
// 0, at most a year.
static double takeseconds(const char *what, const char *arg)
{
    const char *p = arg;
    int digits = 0;

    for (; *p >= '0' && *p <= '9'; p++)
        digits++;
    if (*p == '.')
        for (p++; *p >= '0' && *p <= '9'; p++)
            digits++;
    double v = digits > 0 && *p == '\0' ? strtod(arg, NULL) : 0;
    if (!(v > 0) || v > 31536000)
        failmsg(USAGE, "invalid --%s '%s': expected seconds, more than 0 and at most 31536000",
                what, arg);
    return v;
}

int takelong(int code, const char *arg)
{
    state.given |= 1u << (code - OPT_CONTINUE);
    switch (code) {
    case OPT_CONTINUE: state.resume = 1; break;
    case OPT_MAXTIME:
        state.maxtime = takeseconds("max-time", arg);
        state.maxtimearg = arg;
        break;
    case OPT_QUIET: state.quiet = 1; break;
    case OPT_INPUTFILE: state.batch = 1; break;  // main reads it, in its place among the names
    case OPT_OUTPUTDIR:
        state.outputdir = arg;
        state.batch = 1;
        break;
    case OPT_REPORT: state.report = arg; break;
    case OPT_RETRY: state.retries = takecount("retry", arg, 0, MAXRETRY); break;
    case OPT_VERBOSE: state.verbose = 1; break;
    case OPT_WINDOW: state.window = takecount("window", arg, 1, MAXWINDOW); break;
    default: return code;  // --help, --version: main's to do
    }
    return 0;
}

void checkapplies(int list, int get, int piped, int tostdout)
{
    int getting = get && !list;
    const char *instead = list && get ? ", and -l lists instead" : "";

    for (const struct longopt *o = table; o < table + NLONG; o++) {
        if (!(opt.given & 1u << (o->code - OPT_CONTINUE)))
            continue;
        if ((o->needs & NEEDS_OP) && !list && !get)
            failmsg(USAGE, "--%s needs -l or -g", o->name);
        if ((o->needs & NEEDS_PIPED) && !(getting && piped))
            failmsg(USAGE, "--%s needs -g -b%s", o->name, instead);
        if ((o->needs & NEEDS_GET) && !getting)
            failmsg(USAGE, "--%s needs -g%s", o->name, instead);
        if ((o->needs & NEEDS_FILE) && tostdout)
            failmsg(USAGE, "--%s needs a local file, not -o -", o->name);
    }
}

void printlongopts(FILE *out, const char *cmd)
{
    const char *name = strrchr(cmd, '/') ? strrchr(cmd, '/') + 1 : cmd;  // to fit 80 columns

    fprintf(out, "Options besides those above:\n");
    fprintf(out, "  -h            the usage text alone, with exit status 1\n");
    fprintf(out, "  -o -          with -g: the file's bytes on stdout, the other lines on stderr\n");
    for (const struct longopt *o = table; o < table + NLONG; o++) {
        char tag[32], help[256];
        snprintf(tag, sizeof tag, "--%s%s%s", o->name, o->arg ? " " : "", o->arg ? o->arg : "");
        snprintf(help, sizeof help, o->help, o->v1, o->v2);
        if (strlen(tag) > 13)
            fprintf(out, "  %s\n%16s", tag, "");  // too wide for the column: a line of its own
        else
            fprintf(out, "  %-13s ", tag);
        for (const char *p = help; *p; p++) {
            if (*p == '\n')
                fputs("\n                ", out);
            else
                fputc(*p, out);
        }
        fputc('\n', out);
    }
    fprintf(out,
            "\nEnvironment:\n"
            "  TAVIK_DEVICE  the device's endpoint instead of " DEVICE_HOST ":" XSTR(DEVICE_PORT) ":\n"
            "                HOST, HOST:PORT, [ADDR], [ADDR]:PORT, or a bare IPv6 address\n"
            "                (which takes no port); the port defaults to " XSTR(DEVICE_PORT) "\n"
            "\nExit status:\n"
            "  0  the listing or the file came whole (in a batch, every file), or\n"
            "     there was nothing to do\n"
            "  1  anything else; a message on stderr says what\n"
            "\nExamples: '%s -g -b --retry 5 ram/ttiTrace.dat'\n"
            "          '%s -g -b ram/ttiTrace.dat -o - | gzip >trace.gz'\n"
            "          '%s -g -b --output-dir logs boot.log crash.log'\n\n",
            name, name, name);
}
