// Small pieces every part of the device uses: the monotonic clock, access to
// wire fields inside byte buffers, and the log on stderr.
#ifndef TAVIK_DEVICE_UTIL_H
#define TAVIK_DEVICE_UTIL_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "tavik.h"

namespace device {

// Microseconds on CLOCK_MONOTONIC: immune to wall-clock jumps and fine
// enough for the sub-millisecond delays the tests ask for.
using Micros = int64_t;
constexpr Micros kMicrosPerMilli = 1000;
constexpr Micros kMicrosPerSecond = 1000 * kMicrosPerMilli;

Micros nowMicros();

// Messages are built in plain byte buffers where fields are not aligned, so
// they are copied in and out rather than accessed through casts.
inline u16 loadBe16(const char *p)
{
    u16 v;
    std::memcpy(&v, p, sizeof v);
    return hostbe16(v);
}

inline u32 loadBe32(const char *p)
{
    u32 v;
    std::memcpy(&v, p, sizeof v);
    return hostbe32(v);
}

inline u32 loadLe32(const char *p)
{
    u32 v;
    std::memcpy(&v, p, sizeof v);
    return hostle32(v);
}

inline void storeBe16(char *p, u32 value)
{
    u16 v = hostbe16(value);
    std::memcpy(p, &v, sizeof v);
}

inline void storeBe32(char *p, u32 value)
{
    u32 v = hostbe32(value);
    std::memcpy(p, &v, sizeof v);
}

inline void storeLe32(char *p, u32 value)
{
    u32 v = hostle32(value);
    std::memcpy(p, &v, sizeof v);
}

// Writes all of `data`, retrying after signals and short writes.  For the
// record file and the log, which are expected to take what comes quickly.
bool writeAll(int fd, const char *data, size_t size);

// The log: one line per call on stderr, stamped with the milliseconds since
// the device started (tests compare the stamps of a burst of requests).
// Each line is one write(), so lines never interleave.
void startLog(bool verbose);
bool verboseLog();
void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Like logLine(), but only with -v.  Callers whose arguments are costly to
// build check verboseLog() themselves.
void logVerbose(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A name from the wire made safe for a one-line log entry: anything outside
// printable ASCII (and the quote and backslash) becomes \xNN.
std::string printable(const char *text);

}  // namespace device

#endif
