// The text of a listing's pages, gathered, and how much of it the stream
// has vouched for; the attempt that gathered most is kept, to be printed
// if the last one fails on the link.  Owns struct listing.
#ifndef TAVIK_LISTING_H
#define TAVIK_LISTING_H

#include "fail.h"
#include "tavik.h"

// An attempt's listing begins, with nothing gathered.
void beginlisting(void);
// Adds page r, of a listing of `total` entries: its text and its entries
// (an error page's as received).  Returns the entries gathered so far.
long long addpage(const struct listreply *r, u32 total);
// The pages gathered so far framed: the stream vouched for them.
void listvouch(void);
// Prints the entry count and the text of the pages gathered; quiet: the
// text alone.
void printlisting(int quiet);
// The entries this attempt gathered.
long long listentries(void);
// The entries the best attempt so far vouched for.
long long listbest(void);
// The attempt failed: the best one is kept.  Returns the entries it vouched for.
long long listfailed(void);
// The run ends with failure f: on the link, what the best attempt vouched
// for is printed, then that the listing is incomplete.  Returns 0 when
// there is nothing to print, for f to be reported as it is.
int listpartial(const struct failure *f, int quiet);

#endif
