// Where the device is: its fixed address, or TAVIK_DEVICE; and connecting
// to it, trying each address a name resolves to in turn.
#ifndef TAVIK_ENDPOINT_H
#define TAVIK_ENDPOINT_H

// Resolves the endpoint, once a run; a bad TAVIK_DEVICE ends the run.
void endpoint(void);
// Connects to the first address that answers, each connect given ms to
// complete; shows each address tried when verbose.  Returns the socket,
// or -1 with errno set.
int dial(int verbose, int ms);

#endif
