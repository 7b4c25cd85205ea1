// The progress line: drawn on standard error while it is a terminal and
// this process is in the terminal's foreground process group, so that a
// download sent to the background does not write over the shell.

#include "progress.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <sys/ioctl.h>

#include "timing.h"

static struct meter {
    int off;             // never drawn in this attempt: not a terminal, or --quiet
    int shown;           // a line is on screen and not yet ended
    int begun;           // the run's first attempt has started
    double start, drawn; // this attempt's start and its last draw
    double runstart;
    long long runbase;   // bytes that were there when the run began
    long long base;      // ... when this attempt began
    char file[96];       // a batch's file in hand, in front of the line
} pm = {.off = 0, .shown = 0, .begun = 0, .start = 0, .drawn = 0, .runstart = 0,
        .runbase = 0, .base = 0, .file = ""};

// Ours to write on just now: a download sent to the background must not
// write over the shell.
static int onscreen(void)
{
    return !pm.off && tcgetpgrp(2) == getpgrp();
}

void startprogress(long long done, int off)
{
    pm.off = off || !isatty(2);
    pm.start = monotonic();
    if (!pm.begun++) {
        pm.runstart = pm.start;
        pm.runbase = done;
    }
    pm.drawn = 0;
    pm.base = done;
}

void fmtbytes(char *buf, size_t len, double n)
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

// The first of the n forms that fits the terminal (the last one if none),
// drawn over the line; the last column would wrap on some terminals.
static void drawfirstfit(char (*line)[256], int n, const char *end)
{
    int width = termwidth() - 1, i;

    for (i = 0; i < n - 1 && (int)strlen(line[i]) > width; i++)
        ;
    fprintf(stderr, "\r%.*s\033[K%s", width, line[i], end);
}

// The longest form that fits wins.  The rate is this attempt's.
void refreshprogress(long long done, long long total, int force)
{
    char line[7][256], got[24], all[24], speed[24], left[48];
    double now, rate;
    int pct;

    if (pm.off || (now = monotonic(), !force && now - pm.drawn < 0.1))
        return;
    pm.drawn = now;
    if (!onscreen())
        return;
    rate = now > pm.start ? (double)(done - pm.base) / (now - pm.start) : 0;
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
    // A batch's file comes first in the three longer forms.
    const char *f = pm.file;
    int n = 0;
    snprintf(line[n++], sizeof line[0], "%s%s of %s  %3d%%  %s/s  %s left", f, got, all, pct, speed, left);
    snprintf(line[n++], sizeof line[0], "%s%s  %3d%%  %s/s  %s left", f, got, pct, speed, left);
    snprintf(line[n++], sizeof line[0], "%s%3d%%  %s left", f, pct, left);
    if (*f) {
        snprintf(line[n++], sizeof line[0], "%s of %s  %3d%%  %s/s  %s left", got, all, pct, speed, left);
        snprintf(line[n++], sizeof line[0], "%3d%%  %s left", pct, left);
    }
    snprintf(line[n++], sizeof line[0], "%3d%%", pct);
    drawfirstfit(line, n, "");
    pm.shown = 1;
}

void endprogress(void)
{
    if (pm.shown) {
        int e = errno;
        fputc('\n', stderr);
        errno = e;
        pm.shown = 0;
    }
}

void progressfile(const char *name, int k, int n)
{
    snprintf(pm.file, sizeof pm.file, "%.48s (%d of %d files)  ", name, k, n);
}

// The file, the time of the whole run, and the rate of what the run
// fetched.
void summary(long long total)
{
    char line[3][256], all[24], speed[24];
    double took;

    if (!onscreen())
        return;
    took = monotonic() - pm.runstart;
    fmtbytes(all, sizeof all, (double)total);
    fmtbytes(speed, sizeof speed, took > 0 ? (double)(total - pm.runbase) / took : 0);
    snprintf(line[0], sizeof line[0], "%s in %.1f s, %s/s", all, took, speed);
    snprintf(line[1], sizeof line[1], "%s in %.1f s", all, took);
    snprintf(line[2], sizeof line[2], "done");
    drawfirstfit(line, 3, "\n");
    pm.shown = 0;
}
