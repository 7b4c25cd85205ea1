// The long options: one table, from which getopt_long's array and the
// --help block are both made, and the state they set.
#ifndef TAVIK_OPTIONS_H
#define TAVIK_OPTIONS_H

#include <getopt.h>
#include <stdio.h>

enum {
    OPT_CONTINUE = 256,
    OPT_HELP,
    OPT_INPUTFILE,
    OPT_MAXTIME,
    OPT_OUTPUTDIR,
    OPT_QUIET,
    OPT_REPORT,
    OPT_RETRY,
    OPT_VERBOSE,
    OPT_VERSION,
    OPT_WINDOW,
};

// What the long options asked for.  Only options.cpp writes it.
struct options {
    int verbose;     // the endpoint, requests and replies on stderr
    int resume;      // --continue
    int retries;     // --retry N
    int window;      // --window N
    int quiet;       // only the payload on stdout
    double maxtime;  // --max-time S; 0: none
    const char *maxtimearg;  // ... as given
    const char *outputdir;   // --output-dir DIR; NULL: none
    const char *report;      // --report FILE; NULL: none
    int batch;               // --output-dir or --input-file: every name counts
    unsigned given;  // a bit per option given (1 << (code - OPT_CONTINUE))
};
extern const struct options &opt;

// getopt_long's table of the long options.
const struct option *longopts(void);
// Takes long option `code` with its argument; returns OPT_HELP or
// OPT_VERSION for main to act on, 0 for the others.
int takelong(int code, const char *arg);
// The --help block that follows the usage text.
void printlongopts(FILE *out, const char *cmd);
// Refuses a long option that the run's short options leave no use for.
// tostdout: -o -.
void checkapplies(int list, int get, int piped, int tostdout);
// A decimal count within [low, high], for a long option's argument.
int takecount(const char *what, const char *arg, int low, int high);

#endif
