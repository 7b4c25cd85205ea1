// The client's fixed values: where the device is, how long a wait lasts,
// how blocks are asked for and how much is gathered at most.  None of it
// is the wire; the wire is tavik.h.
#ifndef TAVIK_TUNING_H
#define TAVIK_TUNING_H

#define DEVICE_HOST "192.168.255.1"
#define DEVICE_PORT 15003

constexpr int WAIT_MS = 3000;        // every wait for the device, connect included
constexpr int QUIET_MS = 20;         // after the final reply, for a device that does not close
constexpr int LARGE = 10485760;      // no block is ever longer than this
constexpr int FLUSHSTEP = 131072;    // block download flushes stdout this often
constexpr int LISTMAX = 100;         // entries asked for per listing page
constexpr int LISTBOUND = 64 << 20;  // listing text gathered at most
constexpr int LISTENTRIES = 1000000; // ... and entries
constexpr int BLOCK = 1024;          // block size of the pipelined download
constexpr int WINDOW = 16;           // its requests in flight, unless --window
constexpr int MAXWINDOW = 256;       // ... says otherwise, up to this
constexpr int REFILL = 32;           // pipelined replies placed between refills
constexpr int MAXRETRY = 100;
constexpr int CHECKLEN = 1024;       // bytes before a resume point compared
constexpr int CHECKSPREAD = 15;      // blocks compared besides the first and the last KiB

#endif
