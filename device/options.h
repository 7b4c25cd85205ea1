// The command line of tavik-device.
#ifndef TAVIK_DEVICE_OPTIONS_H
#define TAVIK_DEVICE_OPTIONS_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "util.h"

namespace device {

// --mangle FIELD=VALUE[@N]
struct Mangle {
    std::string field;   // a reply field name, or "payload" to cut the payload
    int64_t value = 0;
    uint64_t reply = 0;  // reply number on a connection, 1-based; 0: every reply
};

enum class ReplyOrder { Arrival, Reverse, Shuffle };

// --over: what a request beyond --max-inflight gets.
enum class OverLimit { Drop, Close, Error };

struct Options {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 15003;
    std::string root = ".";
    std::string recordPath;  // empty: no recording
    size_t blockSize = 1024;
    bool verbose = false;
    // --target: the core<<16|task addresses answered; empty: every one.
    std::set<uint32_t> targets;
    Micros idleTimeout = 60 * kMicrosPerSecond;  // 0: connections never idle out
    // Open connections at most; a new one beyond them takes the place of
    // one that has sent no request for activityPeriod(), or is refused.
    size_t maxConnections = 1024;
    // Open connections from one address at most; none: no limit, so that
    // a benchmark's hundreds of local clients all get in.
    std::optional<uint64_t> maxPerPeer;

    // Faults; counts are per connection and 1-based.
    Micros delay = 0;
    size_t splitBytes = 0;  // 0: replies go out whole
    // Between --split pieces: long enough by default for each to arrive as
    // a read of its own, and as long as asked for a device that drips.
    Micros splitGap = 2 * kMicrosPerMilli;
    std::optional<uint64_t> stallAfter;
    std::optional<uint64_t> closeAfter;
    std::vector<Mangle> mangles;
    ReplyOrder order = ReplyOrder::Arrival;
    uint64_t shuffleSeed = 1;
    std::set<uint64_t> dupReplies;
    std::set<uint64_t> dropRequests;
    std::optional<uint64_t> chaosSeed;
    std::optional<uint64_t> chaosBytesSeed;  // --chaos-bytes
    double chaosRate = 0.05;
    // The faults above that pick requests or replies (not --delay, --split
    // or --order) strike only the first this many connections.
    std::optional<uint64_t> faultConnections;

    // Ways of a device that behaves differently, on every connection.
    bool listNoZero = false;        // listing texts without their zero byte
    bool listIgnoreOffset = false;  // every listing page as if offset 0
    std::optional<uint64_t> maxInflight;
    OverLimit over = OverLimit::Drop;
};

// A connection that sent a request within this period is in use, and
// never closed to make room for a new one: the idle timeout, or a minute
// when connections never idle out.
inline Micros activityPeriod(const Options &options)
{
    return options.idleTimeout > 0 ? options.idleTimeout : 60 * kMicrosPerSecond;
}

// Reads the command line into `options`.  Returns the exit status when the
// program is to stop at once (after --help or a bad option), nothing when
// it is to run.
std::optional<int> parseCommandLine(int argc, char **argv, Options &options);

// Reports a value that turned out unusable after parsing (a root that does
// not exist, say) the way a bad option is reported; returns the exit status.
int reportBadValue(const std::string &message);

}  // namespace device

#endif
