// How an attempt ends.  A failure builds its one message and throws it, as
// a plain struct, to the attempt loop in main; the loop lets go of the
// connection and the local file, then prints the message, or a retrying
// line that names it, and ends the run or starts another attempt.
#ifndef TAVIK_FAIL_H
#define TAVIK_FAIL_H

#include "glo_def.h"

// What failed, which decides whether another attempt may cure it.
enum cause {
    USAGE,     // the command line or the environment
    LOCAL,     // the local file, or standard output
    DEVICE,    // the device's own answer: an error code, a file that changed
    LINK,      // the connection broke, or a wait ran out
    STEP,      // a reply that does not frame or fit: the stream is out of step
    OVERTIME,  // the run took longer than --max-time allows
    STOPPED,   // a signal asked the run to end
};

struct failure {
    enum cause cause;
    int boundary;  // the device ended the stream right behind a whole reply
    char msg[512];
};

// Ends the attempt with msg.
[[noreturn]] void quit(enum cause cause, const char *msg);
[[noreturn]] void failmsg(enum cause cause, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// The perror form: a fixed tag, then the system's text for errno.
[[noreturn]] void failerrno(enum cause cause, const char *tag);
[[noreturn]] void fail(const char *tag);  // the local file, in the perror form
[[noreturn]] void lost(const char *tag);  // the link, in the perror form
// The device ended the stream; boundary: right behind a whole reply,
// which vouches for what came before it (the operations decide what).
[[noreturn]] void hangup(int boundary, const char *msg);
// A signal asked the run to end.
[[noreturn]] void stopped(void);
[[noreturn]] void outofstep(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The device answered, but with an error code.
[[noreturn]] void devfail(const char *op, i32 code);

// One line on standard error, after what standard output holds and after
// the progress line has made way.
void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
