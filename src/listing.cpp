// The gathered listing.  A page counts once the page after it was read
// whole and is the one asked for, or once the connection ended right
// behind it; a page that did not frame is never printed.

#include "listing.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tuning.h"

struct listing {
    char *text;
    size_t len, cap;
    long long entries;
    u32 total;
    int pages;
    size_t vlen;  // vouched for: the text, the entries and the pages
    long long ventries;
    int vpages;
};
static struct listing ls, best;

void beginlisting(void)
{
    char *text = ls.text;
    size_t cap = ls.cap;

    ls = {.text = text, .len = 0, .cap = cap, .entries = 0, .total = 0, .pages = 0, .vlen = 0,
          .ventries = 0, .vpages = 0};
}

// The buffer doubles as it fills, so that many pages cost no more copying
// than one.
static void addtext(const char *text, size_t len)
{
    if (ls.len + len > LISTBOUND)
        failmsg(DEVICE, "listing too large: more than %d MiB of text", LISTBOUND >> 20);
    if (ls.text == NULL || ls.len + len + 1 > ls.cap) {
        size_t cap = ls.cap ? ls.cap : 65536;
        while (cap < ls.len + len + 1)
            cap *= 2;
        if (cap > (size_t)LISTBOUND + 1)
            cap = (size_t)LISTBOUND + 1;
        char *p = (char *)realloc(ls.text, cap);
        if (p == NULL)
            failmsg(LOCAL, "out of memory for the listing");
        ls.text = p;
        ls.cap = cap;
    }
    memcpy(ls.text + ls.len, text, len);
    ls.len += len;
    ls.text[ls.len] = '\0';
}

long long addpage(const struct listreply *r, u32 total)
{
    ls.total = total;
    addtext(r->listing, r->textlen);
    ls.pages++;
    // An error page counts as received, so that the count printed is the
    // one of the text printed; an Ok page's count that does not add up
    // ends the paging, and its entries do not count.
    if (r->returnCode != EKxFileTavikRet_Ok || r->entries > 0)
        ls.entries += r->entries;
    if (ls.entries > LISTENTRIES)
        failmsg(DEVICE, "listing too large: more than %d entries", LISTENTRIES);
    return ls.entries;
}

void listvouch(void)
{
    ls.vlen = ls.len;
    ls.ventries = ls.entries;
    ls.vpages = ls.pages;
}

static void print(long long entries, const char *text, size_t len, int quiet)
{
    if (!quiet)
        printf("\nentries       %lld\n\n", entries);
    fwrite(text, 1, len, stdout);
    if (!quiet)
        printf("\n");
}

void printlisting(int quiet)
{
    print(ls.entries, ls.text ? ls.text : "", ls.len, quiet);
}

long long listentries(void)
{
    return ls.entries;
}

long long listbest(void)
{
    return best.ventries;
}

long long listfailed(void)
{
    long long got = ls.ventries;

    if (ls.vpages > best.vpages || (ls.vpages == best.vpages && ls.ventries > best.ventries)) {
        struct listing t = best;
        best = ls;
        ls = t;
    }
    return got;
}

int listpartial(const struct failure *f, int quiet)
{
    if ((f->cause != LINK && f->cause != OVERTIME) || best.vpages == 0)
        return 0;
    print(best.ventries, best.text, best.vlen, quiet);
    say("listing incomplete: %lld of %u entries (%s)", best.ventries, best.total, f->msg);
    return 1;
}
