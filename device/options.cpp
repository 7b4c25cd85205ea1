#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "protocol.h"

namespace device {

namespace {

const char kUsage[] =
    "Usage: tavik-device [OPTION]...\n"
    "Serve directory listings and file blocks from DIR over the tavik protocol,\n"
    "standing in for the device so the client can be tested without hardware.\n"
    "\n"
    "  --listen ADDR:PORT     address to listen on (default 127.0.0.1:15003;\n"
    "                         port 0 picks a free port, printed when listening)\n"
    "  --root DIR             directory to serve (default: the current directory)\n"
    "  --block-size N         data bytes per block reply, 1..65259 (default 1024)\n"
    "  --record FILE          append every complete request received to FILE\n"
    "  --target CORE:TASK     answer only requests addressed to this core and task\n"
    "                         (hexadecimal, as tavik -c and -t take them), leave\n"
    "                         others unanswered; repeatable (default: answer all)\n"
    "  --idle-timeout S       close a connection idle for S seconds; fractions\n"
    "                         allowed, 0 never (default 60)\n"
    "  --max-connections N    keep at most N connections open (default 1024); a\n"
    "                         new one beyond them takes the place of one that sent\n"
    "                         no request over the last idle timeout (60 s with\n"
    "                         --idle-timeout 0), and is refused when all did\n"
    "  --max-per-peer N       close a new connection at once when N from its\n"
    "                         address are open (default: no limit)\n"
    "  -v, --verbose          log connections, requests and faults on stderr\n"
    "  -h, --help             show this help and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "Faults (counted per connection, in arrival order, from 1):\n"
    "  --delay MS             send each reply MS milliseconds after its request\n"
    "                         arrived; fractions allowed (0.5)\n"
    "  --split N              write each reply in pieces of N bytes, --split-gap\n"
    "                         apart\n"
    "  --split-gap MS         milliseconds between the pieces of --split;\n"
    "                         fractions allowed (default 2)\n"
    "  --stall-after K        answer K requests, then read on but never answer\n"
    "  --close-after K        answer K requests, close when request K+1 arrives\n"
    "  --mangle FIELD=VALUE[@N]\n"
    "                         overwrite FIELD of reply N (of every reply without\n"
    "                         @N) with VALUE (decimal or 0x hex, may be negative);\n"
    "                         FIELD is a header field (reserved, msgId, target,\n"
    "                         sender, msgSize, flags), returnCode, filesize,\n"
    "                         offset, last, length, totalEntries, entries, or\n"
    "                         payload (cut the payload to VALUE bytes); repeatable\n"
    "  --order ORDER          order of replies sent together: arrival (default),\n"
    "                         reverse, or shuffle[:SEED]\n"
    "  --dup N                send reply N twice; repeatable\n"
    "  --drop N               never answer request N; repeatable\n"
    "  --chaos SEED           apply seeded random faults to some replies\n"
    "  --chaos-bytes SEED     damage some replies on the wire, seeded: insert\n"
    "                         random bytes, delete or duplicate a span\n"
    "  --chaos-rate P         chance of a fault per reply with --chaos or\n"
    "                         --chaos-bytes, 0..1 (default 0.05)\n"
    "  --fault-connections N  the faults that pick requests or replies (all above\n"
    "                         but --delay, --split and --order) strike only the\n"
    "                         first N connections; later ones are served cleanly\n"
    "\n"
    "A different device (on every connection):\n"
    "  --list-no-zero         listing texts without their terminating zero byte\n"
    "  --list-ignore-offset   answer every listing request as if offset 0 was asked\n"
    "  --max-inflight K       hold at most K unanswered requests; a request beyond\n"
    "                         them gets what --over says\n"
    "  --over ACTION          drop (never answer it; the default), close (the\n"
    "                         connection), or error (answer it at once with\n"
    "                         returnCode NoMemory)\n"
    "\n"
    "Prints 'listening on ADDR:PORT' once ready; runs until SIGTERM or SIGINT.\n";

// Each connection holds a 64 KiB receive buffer and up to three
// descriptors; beyond this many the machine gives out before the limit.
constexpr uint64_t kMaxConnectionsLimit = 65536;

const char kHint[] = "Try 'tavik-device --help' for more information.\n";

// A bad option or value; its text becomes the one line on stderr.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string &option, const std::string &text, const char *why)
{
    throw UsageError("--" + option + ": '" + text + "' " + why);
}

// Decimal, or hexadecimal after 0x.  Leading zeros do not mean octal, and
// signs, spaces and trailing junk are refused.
uint64_t parseUnsigned(const std::string &option, const std::string &text, uint64_t low,
                       uint64_t high)
{
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = text.c_str() + (hex ? 2 : 0);
    if (!std::isxdigit(static_cast<unsigned char>(*digits)) ||
        (!hex && !std::isdigit(static_cast<unsigned char>(*digits))))
        fail(option, text, "is not a number");
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(digits, &end, hex ? 16 : 10);
    if (*end != '\0')
        fail(option, text, "is not a number");
    if (errno == ERANGE || value < low || value > high)
        fail(option, text,
             ("is out of range (" + std::to_string(low) + ".." + std::to_string(high) + ")").c_str());
    return value;
}

int64_t parseSigned(const std::string &option, const std::string &text, int64_t low, int64_t high)
{
    bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = parseUnsigned(option, negative ? text.substr(1) : text, 0, UINT64_MAX);
    // Every range used here lies well inside int64_t, so a magnitude past
    // 2^62 is out of range however it is signed.
    if (magnitude > (uint64_t{1} << 62))
        fail(option, text, "is out of range");
    int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (value < low || value > high)
        fail(option, text,
             ("is out of range (" + std::to_string(low) + ".." + std::to_string(high) + ")").c_str());
    return value;
}

double parseReal(const std::string &option, const std::string &text, double low, double high)
{
    char *end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) || *end != '\0' ||
        errno == ERANGE || !std::isfinite(value))
        fail(option, text, "is not a number");
    if (value < low || value > high)
        fail(option, text, "is out of range");
    return value;
}

void setListen(Options &options, const std::string &text)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        fail("listen", text, "is not ADDR:PORT");
    std::string host = text.substr(0, colon);
    // [::1]:PORT for IPv6 addresses, whose colons would be ambiguous.
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    // Numeric addresses only, so that starting the device never needs a
    // name lookup.
    if (host == "localhost")
        host = "127.0.0.1";
    in6_addr parsed;
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1 &&
        inet_pton(AF_INET6, host.c_str(), &parsed) != 1)
        fail("listen", text, "has no numeric IP address");
    options.listenHost = host;
    options.listenPort = static_cast<uint16_t>(parseUnsigned("listen", text.substr(colon + 1), 0, 65535));
}

// The values --mangle may write into `field`: what a reply field can hold
// (any 32-bit pattern, given signed or not), or for the payload the lengths
// it can be cut to.  False when no reply has such a field.
bool mangleRange(const std::string &field, int64_t &low, int64_t &high)
{
    if (field == "payload") {
        low = 0;
        high = static_cast<int64_t>(kMaxPayload);
        return true;
    }
    const ReplyField *known = findReplyField(field);
    if (!known)
        return false;
    low = known->width == 2 ? 0 : INT32_MIN;
    high = known->width == 2 ? 0xFFFF : UINT32_MAX;
    return true;
}

void addMangle(Options &options, const std::string &text)
{
    size_t equals = text.find('=');
    if (equals == std::string::npos)
        fail("mangle", text, "is not FIELD=VALUE[@N]");
    Mangle mangle;
    mangle.field = text.substr(0, equals);
    int64_t low = 0, high = 0;
    if (!mangleRange(mangle.field, low, high))
        fail("mangle", text, "names no reply field");
    std::string value = text.substr(equals + 1);
    size_t at = value.find('@');
    try {
        if (at != std::string::npos) {
            mangle.reply = parseUnsigned("mangle", value.substr(at + 1), 1, UINT64_MAX);
            value.resize(at);
        }
        mangle.value = parseSigned("mangle", value, low, high);
    } catch (const UsageError &error) {
        // Say which --mangle, as there may be several.
        throw UsageError(std::string(error.what()) + " in '" + text + "'");
    }
    options.mangles.push_back(mangle);
}

void setOrder(Options &options, const std::string &text)
{
    if (text == "arrival") {
        options.order = ReplyOrder::Arrival;
    } else if (text == "reverse") {
        options.order = ReplyOrder::Reverse;
    } else if (text == "shuffle") {
        options.order = ReplyOrder::Shuffle;
    } else if (text.compare(0, 8, "shuffle:") == 0) {
        options.order = ReplyOrder::Shuffle;
        options.shuffleSeed = parseUnsigned("order", text.substr(8), 0, UINT64_MAX);
    } else {
        fail("order", text, "is not arrival, reverse or shuffle[:SEED]");
    }
}

void setOver(Options &options, const std::string &text)
{
    if (text == "drop")
        options.over = OverLimit::Drop;
    else if (text == "close")
        options.over = OverLimit::Close;
    else if (text == "error")
        options.over = OverLimit::Error;
    else
        fail("over", text, "is not drop, close or error");
}

// Options that take no value, besides -v and -h.
struct FlagOption {
    const char *name;
    bool Options::*flag;
};

const FlagOption kFlags[] = {
    {"list-no-zero", &Options::listNoZero},
    {"list-ignore-offset", &Options::listIgnoreOffset},
};

const FlagOption *findFlag(const std::string &name)
{
    for (const FlagOption &flag : kFlags)
        if (name == flag.name)
            return &flag;
    return nullptr;
}

// One half of a --target: hexadecimal, with or without 0x, at most 0xFFFF,
// as the client takes -c and -t.
uint32_t parseAddressHalf(const std::string &text, const std::string &whole)
{
    bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = prefixed ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        fail("target", whole, "is not CORE:TASK in hexadecimal, each at most FFFF");
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    if (digits.size() > 4)
        fail("target", whole, "is not CORE:TASK in hexadecimal, each at most FFFF");
    return static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
}

void addTarget(Options &options, const std::string &text)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        fail("target", text, "is not CORE:TASK in hexadecimal, each at most FFFF");
    uint32_t core = parseAddressHalf(text.substr(0, colon), text);
    uint32_t task = parseAddressHalf(text.substr(colon + 1), text);
    options.targets.insert(core << 16 | task);
}

using Setter = void (*)(Options &, const std::string &);

struct ValueOption {
    const char *name;
    Setter set;
};

// Every option that takes a value; -v and -h are handled on their own.
const ValueOption kOptions[] = {
    {"listen", setListen},
    {"root", [](Options &o, const std::string &v) {
         if (v.empty())
             fail("root", v, "is empty");
         o.root = v;
     }},
    {"block-size", [](Options &o, const std::string &v) {
         o.blockSize = parseUnsigned("block-size", v, 1, kMaxBlockSize);
     }},
    {"record", [](Options &o, const std::string &v) {
         if (v.empty())
             fail("record", v, "is empty");
         o.recordPath = v;
     }},
    {"target", addTarget},
    {"idle-timeout", [](Options &o, const std::string &v) {
         // Up to a day; a connection that is to stay longer never idles out.
         double seconds = parseReal("idle-timeout", v, 0, 86400);
         o.idleTimeout = static_cast<Micros>(std::llround(seconds * kMicrosPerSecond));
     }},
    {"max-connections", [](Options &o, const std::string &v) {
         o.maxConnections = parseUnsigned("max-connections", v, 1, kMaxConnectionsLimit);
     }},
    {"max-per-peer", [](Options &o, const std::string &v) {
         o.maxPerPeer = parseUnsigned("max-per-peer", v, 1, kMaxConnectionsLimit);
     }},
    {"delay", [](Options &o, const std::string &v) {
         // Up to an hour: anything longer is surely a typo.
         double ms = parseReal("delay", v, 0, 3600.0 * 1000);
         o.delay = static_cast<Micros>(std::llround(ms * kMicrosPerMilli));
     }},
    {"split", [](Options &o, const std::string &v) {
         o.splitBytes = parseUnsigned("split", v, 1, 0xFFFF);
     }},
    {"split-gap", [](Options &o, const std::string &v) {
         // At least the clock's microsecond: with no gap at all, a reply in
         // one-byte pieces would take a whole turn of the loop to itself.
         double ms = parseReal("split-gap", v, 0.001, 3600.0 * 1000);
         o.splitGap = static_cast<Micros>(std::llround(ms * kMicrosPerMilli));
     }},
    {"stall-after", [](Options &o, const std::string &v) {
         o.stallAfter = parseUnsigned("stall-after", v, 0, UINT64_MAX);
     }},
    {"close-after", [](Options &o, const std::string &v) {
         o.closeAfter = parseUnsigned("close-after", v, 0, UINT64_MAX);
     }},
    {"mangle", addMangle},
    {"order", setOrder},
    {"dup", [](Options &o, const std::string &v) {
         o.dupReplies.insert(parseUnsigned("dup", v, 1, UINT64_MAX));
     }},
    {"drop", [](Options &o, const std::string &v) {
         o.dropRequests.insert(parseUnsigned("drop", v, 1, UINT64_MAX));
     }},
    {"chaos", [](Options &o, const std::string &v) {
         o.chaosSeed = parseUnsigned("chaos", v, 0, UINT64_MAX);
     }},
    {"chaos-rate", [](Options &o, const std::string &v) {
         o.chaosRate = parseReal("chaos-rate", v, 0, 1);
     }},
    {"chaos-bytes", [](Options &o, const std::string &v) {
         o.chaosBytesSeed = parseUnsigned("chaos-bytes", v, 0, UINT64_MAX);
     }},
    {"fault-connections", [](Options &o, const std::string &v) {
         o.faultConnections = parseUnsigned("fault-connections", v, 0, UINT64_MAX);
     }},
    {"max-inflight", [](Options &o, const std::string &v) {
         o.maxInflight = parseUnsigned("max-inflight", v, 0, UINT32_MAX);
     }},
    {"over", setOver},
};

const ValueOption *findOption(const std::string &name)
{
    for (const ValueOption &option : kOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

// Handles argv[i] (and its value, which may be the next argument).
void parseArgument(int argc, char **argv, int &i, Options &options)
{
    std::string arg = argv[i];
    if (arg == "-v" || arg == "--verbose") {
        options.verbose = true;
        return;
    }
    if (arg.compare(0, 2, "--") != 0 || arg.size() == 2)
        throw UsageError("unexpected argument '" + arg + "'");
    size_t equals = arg.find('=');
    std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    if (const FlagOption *flag = findFlag(name)) {
        if (equals != std::string::npos)
            throw UsageError("option '--" + name + "' takes no value");
        options.*(flag->flag) = true;
        return;
    }
    const ValueOption *option = findOption(name);
    if (!option)
        throw UsageError("unknown option '--" + name + "'");
    if (equals != std::string::npos) {
        option->set(options, arg.substr(equals + 1));
        return;
    }
    if (i + 1 >= argc)
        throw UsageError("option '--" + name + "' needs a value");
    option->set(options, argv[++i]);
}

}  // namespace

std::optional<int> parseCommandLine(int argc, char **argv, Options &options)
{
    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "-h" || arg == "--help") {
                std::fputs(kUsage, stdout);
                return 0;
            }
            if (arg == "--version") {
                std::printf("tavik-device %s\n", TAVIK_VERSION);
                return 0;
            }
            parseArgument(argc, argv, i, options);
        }
    } catch (const UsageError &error) {
        return reportBadValue(error.what());
    }
    return std::nullopt;
}

int reportBadValue(const std::string &message)
{
    std::fprintf(stderr, "tavik-device: %s\n%s", message.c_str(), kHint);
    return 2;
}

}  // namespace device
