// tavik-bench: measures tavik's downloads against a tavik-device on
// 127.0.0.1 that holds each reply for an emulated round-trip delay.
//
// Six kinds of rows, each a median of several runs:
//  - classic: every delay, mode and file size; throughput (wall time of
//    the client process), the ratio to what the delay allows, the client's
//    CPU time per MiB and peak RSS, and the device's CPU time, to show the
//    device is not what limits a run;
//  - window: pipelined with --window N, the same figures, and beside them
//    tavik-ideal, a client that does nothing but keep N requests in
//    flight, and tavik-ideal --write, the same client writing the blocks
//    into a file, each run alternately with tavik against the same
//    device: what tavik reaches of what a client could;
//  - retry: tavik --retry through a device that closes every connection
//    after K replies, alternated with the same download from the same
//    device without that fault: what the faults cost in time;
//  - small: downloads of a few bytes to a few KiB, one process each, timed
//    from its start to its end as a shell's user sees it, alternated with
//    tavik --version (a start and an end with nothing between);
//  - listing: tavik -l of a folder of many entries, against the time the
//    pages take at one round trip each;
//  - batch: many small files in one run (tavik --output-dir), pipelined
//    and in block mode, alternated with a shell loop of one tavik run per
//    file; the speed-up, round trips per file, and the requests and
//    connections the device logged.
// Every download is compared with the served file, and every listing with
// the served folder; a wrong copy fails the whole benchmark.
//
// The client's built-in address is the real device's.  Every client run
// here, the shell loop of the batch rows included, gets TAVIK_DEVICE
// pointing at our own device on loopback, and a run without it is refused
// before the client is started.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/support.h"

namespace {

namespace fs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kWindow = 16;        // requests the pipelined mode keeps in flight
constexpr int kBlock = 1024;       // bytes per block, both modes
constexpr int kRetries = 20;       // tavik --retry in the retry rows
constexpr double kRetryPause = 1;  // seconds tavik waits before an attempt that goes on
constexpr int kListPage = 100;     // entries tavik asks for per listing page

// The targets printed beside the rows they judge.
constexpr double kWriterTarget = 1.02;     // window rows at 2 ms: tavik's time over the writer's
constexpr double kCpuTarget = 1.6;         // window 256: tavik's ms of CPU per MiB
constexpr double kRssTargetKiB = 2.3 * 1024;  // window rows: tavik's peak RSS
constexpr double kSmallEarlierMs = 5.7;    // an earlier client's 1 KiB download at no delay
constexpr double kSmallTarget = 1.3;       // ... which this one may take up to this times
constexpr double kListTarget = 1.3;        // listing: wall time over the pages' round trips
constexpr double kBatchTarget = 8;         // pipelined batch: times faster than the loop
constexpr double kBatchTrips = 1.5;        // ... in at most this many round trips a file
constexpr double kBlockBatchTarget = 2;    // block-mode batch: times faster than the loop

// Anything that makes a figure untrustworthy ends the whole benchmark.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using support::now;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// ---- What to run ----------------------------------------------------------

enum class Mode { Block, Pipelined };

const char *modeName(Mode mode)
{
    return mode == Mode::Block ? "block" : "pipelined";
}

enum class Kind { Classic, Window, Retry, Small, Listing, Batch };

const char *kindName(Kind kind)
{
    switch (kind) {
    case Kind::Classic:
        return "classic";
    case Kind::Window:
        return "window";
    case Kind::Retry:
        return "retry";
    case Kind::Small:
        return "small";
    case Kind::Listing:
        return "listing";
    case Kind::Batch:
        return "batch";
    }
    return "?";
}

struct Options {
    bool quick = false;
    bool planOnly = false;  // --plan: print the plan, run nothing
    int runs = 0;  // 0: chosen per case
    std::string csv = "bench/results.csv";
    std::string tavik = TAVIK_BIN;
    std::string ideal = TAVIK_IDEAL_BIN;
    std::string device = TAVIK_DEVICE_BIN;
    // The classic rows: every delay, mode and size.
    bool classicRows = true;
    std::vector<double> delays = {0, 0.5, 2, 10};
    std::vector<Mode> modes = {Mode::Block, Mode::Pipelined};
    std::vector<size_t> sizes = {1u << 20, 32u << 20};
    // The window rows: pipelined with --window N, for every N and delay,
    // each alternated with the ideal client.
    bool windowRows = true;
    std::vector<int> windows = {16, 64, 256};
    std::vector<double> windowDelays = {2, 10};
    size_t windowBytes = 32u << 20;
    // The retry rows: a device that closes every connection after
    // closeAfter replies, alternated with the same device without it.
    bool retryRows = true;
    std::vector<Mode> retryModes = {Mode::Block, Mode::Pipelined};
    double retryDelay = 2;
    size_t retryBytes = 4u << 20;
    int closeAfter = 500;
    // The small rows: a process per download, every size, delay and mode.
    bool smallRows = true;
    std::vector<size_t> smallSizes = {0, 1024, 64 * 1024};
    std::vector<double> smallDelays = {0, 2};
    // The listing row: a folder of listEntries entries.
    bool listingRows = true;
    int listEntries = 10000;
    double listDelay = 2;
    // The batch rows: batchFiles files of batchBytes each.
    bool batchRows = true;
    int batchFiles = 100;
    size_t batchBytes = 4096;
    double batchDelay = 2;
};

struct Case {
    Kind kind = Kind::Classic;
    double delayMs = 0;
    Mode mode = Mode::Block;
    size_t bytes = 0;    // of the file; batch rows: of each file
    int window = 0;      // the client's --window; 0: not given, its default
    int closeAfter = 0;  // retry rows: the faulty device's --close-after
    int entries = 0;     // listing rows: in the folder listed
    int files = 0;       // batch rows: files a run fetches
    bool loop = false;   // batch rows: a shell loop of one tavik run per file
    int runs = 0;        // of tavik; as many of each run alternated with it
    double expected = 0;       // seconds for one run of tavik (retry rows: with faults)
    double expectedOther = 0;  // ... of each run alternated with it: the ideal
                               // clients, tavik without faults, or tavik
                               // --version; 0: none
    int others = 0;            // runs alternated with each of tavik's
};

// Requests a pipelined case keeps in flight.
int inFlight(const Case &c)
{
    return c.window ? c.window : kWindow;
}

std::string caseLabel(const Case &c)
{
    switch (c.kind) {
    case Kind::Retry:
        return format("retry %s", modeName(c.mode));
    case Kind::Listing:
        return "listing";
    case Kind::Batch:
        return format("%s %s", c.loop ? "loop" : "batch", modeName(c.mode));
    case Kind::Small:
        return format("small %s", modeName(c.mode));
    default:
        return c.window ? format("window %d", c.window) : modeName(c.mode);
    }
}

// What a paired case's other runs are, for the plan.
const char *otherName(const Case &c)
{
    switch (c.kind) {
    case Kind::Window:
        return "ideal, writer";
    case Kind::Small:
        return "start";
    default:
        return "no faults";
    }
}

const char kUsage[] =
    "Usage: tavik-bench [OPTION]...\n"
    "Downloads files with tavik from a tavik-device on 127.0.0.1 at several\n"
    "emulated round-trip delays, in both modes, and reports medians.\n"
    "\n"
    "  --quick          a tiny run of the classic rows: 64 KiB, delays 0 and\n"
    "                   0.5 ms, one run each; with --rows after it, the other\n"
    "                   kinds tiny too (sizes 0 and 1K at 0 ms, 300 entries,\n"
    "                   5 files, both at 0.5 ms)\n"
    "  --runs N         runs per case (default: 5, small rows 7; classic rows 3\n"
    "                   where a run is long); paired rows run N of each client\n"
    "  --rows LIST      classic, window, retry, small, listing, batch, any of\n"
    "                   them (default all six)\n"
    "  --plan           print what would run and how long it should take, and\n"
    "                   run nothing\n"
    "\n"
    "The classic rows: every delay, mode and size.\n"
    "  --delays LIST    delays in ms, comma-separated (default 0,0.5,2,10)\n"
    "  --modes LIST     block, pipelined or both (default block,pipelined)\n"
    "  --sizes LIST     file sizes: bytes or with K/M suffix (default 1M,32M)\n"
    "\n"
    "The window rows: pipelined with tavik --window N, against the bound of\n"
    "N x 1 KiB per round trip, against tavik-ideal with the same window, and\n"
    "against tavik-ideal --write, which also writes the file; the three run\n"
    "in turn.\n"
    "  --windows LIST        values of N (default 16,64,256)\n"
    "  --window-delays LIST  delays in ms (default 2,10)\n"
    "  --window-size SIZE    file size (default 32M)\n"
    "\n"
    "The retry rows: tavik --retry 20 through a device that closes every\n"
    "connection after K replies, alternated with the same download without\n"
    "that fault; the time with faults over the time without.\n"
    "  --retry-modes LIST    block, pipelined or both (default block,pipelined)\n"
    "  --retry-delay MS      delay in ms (default 2)\n"
    "  --retry-size SIZE     file size (default 4M)\n"
    "  --close-after K       replies per connection, at least 2 (default 500)\n"
    "\n"
    "The small rows: one tavik -g process per download, timed from its start\n"
    "to its end, both modes, alternated with tavik --version.\n"
    "  --small-sizes LIST    file sizes, 0 allowed (default 0,1K,64K)\n"
    "  --small-delays LIST   delays in ms (default 0,2)\n"
    "\n"
    "The listing row: tavik -l of a folder, against its pages' round trips.\n"
    "  --list-entries N      entries in the folder (default 10000)\n"
    "  --list-delay MS       delay in ms (default 2)\n"
    "\n"
    "The batch rows: tavik -g -b --output-dir and tavik -g --output-dir with\n"
    "F names, and a shell loop of F runs of tavik -g -b, in turn.\n"
    "  --batch-files F       files (default 100)\n"
    "  --batch-size SIZE     size of each (default 4K)\n"
    "  --batch-delay MS      delay in ms (default 2)\n"
    "\n"
    "  --csv PATH       where the rows go as CSV (default bench/results.csv)\n"
    "  --tavik PATH     the client to measure\n"
    "  --ideal PATH     the ideal client of the window rows\n"
    "  --device PATH    the stand-in device\n";

[[noreturn]] void usageError(const std::string &why)
{
    std::fprintf(stderr, "tavik-bench: %s\n\n%s", why.c_str(), kUsage);
    std::exit(2);
}

std::vector<std::string> splitList(const std::string &text)
{
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

double parseNumber(const std::string &option, const std::string &text, double low, double high)
{
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value) || value < low || value > high)
        usageError(option + ": bad value '" + text + "'");
    return value;
}

int parseCount(const std::string &option, const std::string &text, int low, int high)
{
    double value = parseNumber(option, text, low, high);
    if (value != std::floor(value))
        usageError(option + ": bad value '" + text + "'");
    return static_cast<int>(value);
}

size_t parseSize(const std::string &option, const std::string &text, double low = 1)
{
    size_t scale = 1;
    std::string digits = text;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'M')) {
        scale = digits.back() == 'K' ? 1024 : 1024 * 1024;
        digits.pop_back();
    }
    double value = parseNumber(option, digits, low, 1024.0 * 1024 * 1024);
    if (value != std::floor(value))
        usageError(option + ": bad value '" + text + "'");
    return static_cast<size_t>(value) * scale;
}

std::vector<Mode> parseModes(const std::string &option, const std::string &value)
{
    std::vector<Mode> modes;
    for (const std::string &item : splitList(value)) {
        if (item == "block")
            modes.push_back(Mode::Block);
        else if (item == "pipelined")
            modes.push_back(Mode::Pipelined);
        else
            usageError(option + ": bad value '" + item + "'");
    }
    return modes;
}

// Delays in ms; one named twice is kept once, as it would only run twice.
std::vector<double> parseDelays(const std::string &option, const std::string &value)
{
    std::vector<double> delays;
    for (const std::string &item : splitList(value)) {
        double delay = parseNumber(option, item, 0, 1000);
        if (std::find(delays.begin(), delays.end(), delay) == delays.end())
            delays.push_back(delay);
    }
    return delays;
}

void parseRows(Options &options, const std::string &value)
{
    const std::pair<const char *, bool Options::*> kinds[] = {
        {"classic", &Options::classicRows}, {"window", &Options::windowRows},
        {"retry", &Options::retryRows},     {"small", &Options::smallRows},
        {"listing", &Options::listingRows}, {"batch", &Options::batchRows}};
    for (const auto &kind : kinds)
        options.*kind.second = false;
    for (const std::string &item : splitList(value)) {
        auto it = std::find_if(std::begin(kinds), std::end(kinds),
                               [&](const auto &kind) { return item == kind.first; });
        if (it == std::end(kinds))
            usageError("--rows: bad value '" + item + "'");
        options.*it->second = true;
    }
}

void applyOption(Options &options, const std::string &name, const std::string &value)
{
    if (name == "--runs") {
        options.runs = parseCount(name, value, 1, 1000);
    } else if (name == "--rows") {
        parseRows(options, value);
    } else if (name == "--delays") {
        options.delays = parseDelays(name, value);
    } else if (name == "--window-delays") {
        options.windowDelays = parseDelays(name, value);
    } else if (name == "--windows") {
        options.windows.clear();
        for (const std::string &item : splitList(value))
            options.windows.push_back(parseCount(name, item, 1, 256));
    } else if (name == "--window-size") {
        options.windowBytes = parseSize(name, value);
    } else if (name == "--modes") {
        options.modes = parseModes(name, value);
    } else if (name == "--sizes") {
        options.sizes.clear();
        for (const std::string &item : splitList(value))
            options.sizes.push_back(parseSize(name, item));
    } else if (name == "--retry-modes") {
        options.retryModes = parseModes(name, value);
    } else if (name == "--retry-delay") {
        options.retryDelay = parseNumber(name, value, 0, 1000);
    } else if (name == "--retry-size") {
        options.retryBytes = parseSize(name, value);
    } else if (name == "--close-after") {
        options.closeAfter = parseCount(name, value, 2, 1000000);
    } else if (name == "--small-sizes") {
        options.smallSizes.clear();
        for (const std::string &item : splitList(value))
            options.smallSizes.push_back(parseSize(name, item, 0));
    } else if (name == "--small-delays") {
        options.smallDelays = parseDelays(name, value);
    } else if (name == "--list-entries") {
        options.listEntries = parseCount(name, value, 1, 100000);
    } else if (name == "--list-delay") {
        options.listDelay = parseNumber(name, value, 0, 1000);
    } else if (name == "--batch-files") {
        options.batchFiles = parseCount(name, value, 1, 1000);
    } else if (name == "--batch-size") {
        options.batchBytes = parseSize(name, value, 0);
    } else if (name == "--batch-delay") {
        options.batchDelay = parseNumber(name, value, 0, 1000);
    } else if (name == "--csv") {
        options.csv = value;
    } else if (name == "--tavik") {
        options.tavik = value;
    } else if (name == "--ideal") {
        options.ideal = value;
    } else if (name == "--device") {
        options.device = value;
    } else {
        usageError("unknown option '" + name + "'");
    }
}

Options parseCommandLine(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--plan") {
            options.planOnly = true;
            continue;
        }
        if (arg == "--quick") {
            options.quick = true;
            options.windowRows = options.retryRows = false;
            options.smallRows = options.listingRows = options.batchRows = false;
            options.sizes = {64 * 1024};
            options.delays = {0, 0.5};
            options.smallSizes = {0, 1024};
            options.smallDelays = {0};
            options.listEntries = 300;
            options.listDelay = 0.5;
            options.batchFiles = 5;
            options.batchDelay = 0.5;
            options.runs = 1;
            continue;
        }
        if (i + 1 >= argc)
            usageError("option '" + arg + "' needs a value");
        applyOption(options, arg, argv[++i]);
    }
    return options;
}

// A rough length of one run, for the plan and for choosing repetitions:
// at a delay every round trip costs it plus a little, at no delay (or with
// a wide window) the client's own speed counts (figures from this
// project's machines).
double expectedSeconds(double delayMs, Mode mode, size_t bytes, int window = kWindow)
{
    double blocks = std::ceil(static_cast<double>(bytes) / kBlock);
    if (mode == Mode::Block)
        return 0.01 + (delayMs == 0 ? blocks * 30e-6 : blocks * (delayMs + 0.1) / 1000);
    double trips = std::ceil(blocks / window) + 1;
    double tripBound = delayMs > 0 ? trips * (delayMs + 0.1) / 1000 : 0;
    return 0.01 + std::max(tripBound, static_cast<double>(bytes) / (150 * kMiB));
}

// Connections a device that closes after closeAfter replies ends before
// the file is through: the first brings closeAfter blocks, every further
// one what is left after the requests tavik spends comparing: the last
// KiB it resumes behind, the first block and up to 15 more spread below.
// INT_MAX when a connection cannot get beyond those.
int expectedCloses(size_t bytes, int closeAfter)
{
    size_t blocks = (bytes + kBlock - 1) / kBlock, have = static_cast<size_t>(closeAfter);
    int closes = 0;
    for (; have < blocks; closes++) {
        size_t spent = 1 + std::min<size_t>(16, have - 1);
        if (static_cast<size_t>(closeAfter) <= spent)
            return INT_MAX;
        have += static_cast<size_t>(closeAfter) - spent;
    }
    return closes;
}

// Block mode at 10 ms needs ten seconds per MiB: only the small file.
bool worthRunning(double delayMs, Mode mode, size_t bytes)
{
    return !(mode == Mode::Block && delayMs >= 10 && bytes > (1u << 20));
}

// Pages of a listing of `entries`, kListPage a page.
int listPages(int entries)
{
    return std::max(1, (entries + kListPage - 1) / kListPage);
}

// Blocks of a file, one at least (an empty file is one empty reply).
size_t blocksOf(size_t bytes)
{
    return std::max<size_t>(1, (bytes + kBlock - 1) / kBlock);
}

constexpr double kProcessStart = 0.003;  // seconds to start and end a small process

// How many runs a case gets: --runs, else classic rows that take long 3,
// the small rows (short, and spread wide) 7, every other row 5.
int runsOf(const Options &options, const Case &c)
{
    if (options.runs)
        return options.runs;
    if (c.kind == Kind::Small)
        return 7;
    return c.kind == Kind::Classic && c.expected > 5 ? 3 : 5;
}

Case makeCase(const Options &options, Kind kind, double delay, Mode mode, size_t bytes, int window)
{
    Case c;
    c.kind = kind;
    c.delayMs = delay;
    c.mode = mode;
    c.bytes = bytes;
    c.window = window;
    c.expected = expectedSeconds(delay, mode, bytes, window ? window : kWindow);
    if (kind == Kind::Window) {
        c.expectedOther = c.expected;
        c.others = 2;
    } else if (kind == Kind::Retry) {
        c.closeAfter = options.closeAfter;
        c.expectedOther = c.expected;
        c.expected += expectedCloses(bytes, c.closeAfter) * (kRetryPause + 0.01);
        c.others = 1;
    } else if (kind == Kind::Small) {
        c.expected += kProcessStart;
        c.expectedOther = kProcessStart;
        c.others = 1;
    }
    c.runs = runsOf(options, c);
    return c;
}

Case makeListingCase(const Options &options)
{
    Case c;
    c.kind = Kind::Listing;
    c.delayMs = options.listDelay;
    c.entries = options.listEntries;
    // Each page costs the device a pass over the whole folder besides the
    // delay, about a microsecond an entry.
    c.expected = 0.01 + listPages(c.entries) * (c.delayMs + c.entries * 1e-3) / 1000;
    c.runs = runsOf(options, c);
    return c;
}

Case makeBatchCase(const Options &options, Mode mode, bool loop)
{
    Case c;
    c.kind = Kind::Batch;
    c.delayMs = options.batchDelay;
    c.mode = mode;
    c.bytes = options.batchBytes;
    c.files = options.batchFiles;
    c.loop = loop;
    double trip = (c.delayMs + 0.1) / 1000;
    double files = c.files;
    if (loop)
        c.expected = files * (kProcessStart + 0.001 + 2 * trip);
    else if (mode == Mode::Block)
        c.expected = 0.01 + files * static_cast<double>(blocksOf(c.bytes)) * trip;
    else
        c.expected = 0.01 + files * 1.5 * trip;
    c.runs = runsOf(options, c);
    return c;
}

std::vector<Case> planCases(const Options &options)
{
    std::vector<Case> cases;
    if (options.classicRows)
        for (double delay : options.delays)
            for (Mode mode : options.modes)
                for (size_t bytes : options.sizes)
                    if (worthRunning(delay, mode, bytes))
                        cases.push_back(makeCase(options, Kind::Classic, delay, mode, bytes, 0));
    if (options.windowRows)
        for (double delay : options.windowDelays)
            for (int window : options.windows)
                cases.push_back(makeCase(options, Kind::Window, delay, Mode::Pipelined,
                                         options.windowBytes, window));
    if (options.retryRows) {
        int closes = expectedCloses(options.retryBytes, options.closeAfter);
        if (closes == INT_MAX)
            usageError(format("--close-after %d: a connection that closes so soon cannot get "
                              "beyond the blocks tavik compares when it resumes",
                              options.closeAfter));
        if (closes > kRetries)
            usageError(format("--close-after %d on a file of %zu bytes closes %d connections, "
                              "more than tavik --retry %d goes through",
                              options.closeAfter, options.retryBytes, closes, kRetries));
        for (Mode mode : options.retryModes)
            cases.push_back(
                makeCase(options, Kind::Retry, options.retryDelay, mode, options.retryBytes, 0));
    }
    if (options.smallRows)
        for (double delay : options.smallDelays)
            for (Mode mode : {Mode::Block, Mode::Pipelined})
                for (size_t bytes : options.smallSizes)
                    cases.push_back(makeCase(options, Kind::Small, delay, mode, bytes, 0));
    if (options.listingRows)
        cases.push_back(makeListingCase(options));
    // Run in turn, in this order, the loop last; its time is what the
    // batches' speed-ups are taken against.
    if (options.batchRows) {
        cases.push_back(makeBatchCase(options, Mode::Pipelined, false));
        cases.push_back(makeBatchCase(options, Mode::Block, false));
        cases.push_back(makeBatchCase(options, Mode::Pipelined, true));
    }
    return cases;
}

std::string sizeText(size_t bytes)
{
    if (bytes > 0 && bytes % (1u << 20) == 0)
        return format("%zu MiB", bytes >> 20);
    if (bytes > 0 && bytes % 1024 == 0)
        return format("%zu KiB", bytes >> 10);
    return format("%zu B", bytes);
}

// What a case fetches: its file's size, a listing's entries, a batch's files.
std::string whatText(const Case &c)
{
    if (c.kind == Kind::Listing)
        return format("%d entries", c.entries);
    if (c.kind == Kind::Batch)
        return format("%d x %s", c.files, sizeText(c.bytes).c_str());
    return sizeText(c.bytes);
}

void printSkipped(const Options &options)
{
    if (!options.classicRows)
        return;
    for (double delay : options.delays)
        for (Mode mode : options.modes)
            for (size_t bytes : options.sizes)
                if (!worthRunning(delay, mode, bytes))
                    std::printf("  D %4g ms  %-15s  %-13s  skipped: %.0f s a run\n", delay,
                                modeName(mode), sizeText(bytes).c_str(),
                                expectedSeconds(delay, mode, bytes));
}

void printPlan(const Options &options, const std::vector<Case> &cases)
{
    double total = 0;
    std::printf("Plan (expected time of one run, and runs):\n");
    printSkipped(options);
    for (const Case &c : cases) {
        double all = (c.expected + c.expectedOther * c.others) * c.runs;
        total += all;
        std::string one = format("%7.2f s", c.expected);
        if (c.others > 0)
            one += format(" + %s %.2f s%s", otherName(c), c.expectedOther,
                          c.others > 1 ? " each" : "");
        std::printf("  D %4g ms  %-15s  %-13s  %s x %d = %6.1f s%s\n", c.delayMs,
                    caseLabel(c).c_str(), whatText(c).c_str(), one.c_str(), c.runs, all,
                    c.kind == Kind::Classic && c.runs == 3 && c.expected > 5 ? "  (long: 3 runs)"
                                                                             : "");
    }
    std::printf("Expected total: about %.0f s (%.1f min)\n\n", total, total / 60);
    std::fflush(stdout);
}

// ---- Files ----------------------------------------------------------------

// The served files under root/, the downloads and logs beside it; removed
// however the benchmark ends.
struct Scratch : support::Scratch {
    Scratch() : support::Scratch("bench") { fs::create_directory(root()); }
    std::string root() const { return *this / "root"; }
    std::string file(const std::string &name) const { return *this / name; }
};

std::string servedName(size_t bytes)
{
    return format("bench-%zu.dat", bytes);
}

// The listing rows' folder, and its entries: empty files.
std::string listName(int entries)
{
    return format("listing-%d", entries);
}

std::string entryName(int i)
{
    return format("trace-%05d.log", i);
}

// The batch rows' files, each with bytes of its own.
std::string batchName(size_t bytes, int i)
{
    return format("batch-%zu-%03d.dat", bytes, i);
}

// Repeatable pseudo-random bytes (splitmix64), so that a download that
// lands in the wrong place cannot match by chance; seed tells files of
// one size apart.
void writePattern(const std::string &path, size_t bytes, uint64_t seed = 0)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> chunk(1 << 16);
    uint64_t state = 0x7a61'6b69'7400'0000ull + bytes + (seed << 40);
    for (size_t done = 0; done < bytes;) {
        for (uint64_t &word : chunk) {
            uint64_t z = (state += 0x9e3779b97f4a7c15ull);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            word = z ^ (z >> 31);
        }
        size_t n = std::min(bytes - done, chunk.size() * sizeof chunk[0]);
        out.write(reinterpret_cast<const char *>(chunk.data()), static_cast<std::streamsize>(n));
        done += n;
    }
    if (!out.flush())
        throw Failure("cannot write " + path);
}

void makeServedFiles(const Scratch &scratch, const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        if (c.kind == Kind::Listing) {
            std::string dir = scratch.root() + "/" + listName(c.entries);
            if (fs::create_directory(dir))
                for (int i = 0; i < c.entries; ++i)
                    support::writeFile(dir + "/" + entryName(i), "");
        } else if (c.kind == Kind::Batch) {
            // The files, and their names one a line for the shell loop.
            std::string names;
            for (int i = 0; i < c.files; ++i) {
                std::string path = scratch.root() + "/" + batchName(c.bytes, i);
                if (!fs::exists(path))
                    writePattern(path, c.bytes, static_cast<uint64_t>(i) + 1);
                names += batchName(c.bytes, i) + "\n";
            }
            support::writeFile(scratch.file("batch-names.txt"), names);
        } else {
            std::string path = scratch.root() + "/" + servedName(c.bytes);
            if (!fs::exists(path))
                writePattern(path, c.bytes);
        }
    }
}

// Throws unless the two files hold the same bytes.
void requireSameFile(const std::string &served, const std::string &copy, const std::string &what)
{
    std::ifstream a(served, std::ios::binary), b(copy, std::ios::binary);
    if (!b)
        throw Failure(what + ": the client left no file at " + copy);
    std::vector<char> x(1 << 20), y(1 << 20);
    for (size_t at = 0;;) {
        a.read(x.data(), static_cast<std::streamsize>(x.size()));
        b.read(y.data(), static_cast<std::streamsize>(y.size()));
        size_t na = static_cast<size_t>(a.gcount()), nb = static_cast<size_t>(b.gcount());
        size_t same = std::mismatch(x.begin(), x.begin() + std::min(na, nb), y.begin()).first -
                      x.begin();
        if (same < std::min(na, nb) || na != nb)
            throw Failure(format("%s: WRONG FILE: the copy differs from the served file at byte "
                                 "%zu", what.c_str(), at + same));
        if (na == 0)
            return;
        at += na;
    }
}

// ---- Processes ------------------------------------------------------------

// SIGCHLD, SIGINT and SIGTERM stay blocked and are waited for: a child's
// end can then be awaited with a deadline (sigtimedwait) and timed to the
// microsecond, and an interruption arrives where the client can be killed
// and everything cleaned up.  Children start with nothing blocked.
sigset_t awaitedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void blockAwaitedSignals()
{
    sigset_t set = awaitedSignals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    // Output piped into a reader that quits must not end us before the
    // device is stopped and the scratch folder removed.
    signal(SIGPIPE, SIG_IGN);
}

// What a counting device logged over a run.
struct Counts {
    int requests = 0;     // listing pages and blocks asked for
    int connections = 0;  // accepted
};

// The stand-in device, on 127.0.0.1 and a port the system picks, holding
// each reply for the delay; with closeAfter, closing every connection
// once it has answered that many requests.  A counting device logs every
// connection and request (tavik-device -v), for the rows that count them.
class Device {
public:
    Device(const std::string &bin, const Scratch &scratch, double delayMs, int closeAfter = 0,
           bool counting = false)
        : process_(bin, arguments(scratch, delayMs, closeAfter, counting),
                   scratch.file(format("device-%g%s%s.log", delayMs,
                                       closeAfter ? format("-close-%d", closeAfter).c_str() : "",
                                       counting ? "-counting" : "")))
    {
    }

    pid_t pid() const { return process_.pid(); }
    int port() const { return process_.port(); }
    const std::string &log() const { return process_.log(); }

    // Throws if the device has ended: a run against it would prove nothing.
    void requireRunning()
    {
        if (!process_.running())
            throw Failure("tavik-device ended during the run:\n" + support::readFile(log()));
    }
    void stop() { process_.stop(); }

    // The requests and connections logged since the last call.  Each is
    // logged as it arrives, before its reply goes out: once a client has
    // its replies, its requests are all in the log.
    Counts takeCounts()
    {
        std::ifstream in(log(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(counted_));
        std::string line;
        Counts counts;
        while (std::getline(in, line) && !in.eof()) {
            counted_ += line.size() + 1;
            if (line.find(" get '") != std::string::npos ||
                line.find(" list '") != std::string::npos)
                counts.requests++;
            else if (line.find(" accepted from ") != std::string::npos)
                counts.connections++;
        }
        return counts;
    }

private:
    static std::vector<std::string> arguments(const Scratch &scratch, double delayMs,
                                              int closeAfter, bool counting)
    {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--root", scratch.root(),
                                         "--delay", format("%g", delayMs)};
        if (closeAfter)
            args.insert(args.end(), {"--close-after", std::to_string(closeAfter)});
        if (counting)
            args.push_back("-v");
        return args;
    }

    support::DeviceProcess process_;
    size_t counted_ = 0;  // bytes of the log counted, up to a line's end
};

// CPU time the device has used so far, in seconds: the scheduler's
// nanosecond count where the kernel has it, else utime+stime in ticks.
double processCpuSeconds(pid_t pid)
{
    std::ifstream sched("/proc/" + std::to_string(pid) + "/schedstat");
    unsigned long long ns;
    if (sched >> ns)
        return static_cast<double>(ns) * 1e-9;
    std::string stat = support::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        throw Failure("cannot read the CPU time of process " + std::to_string(pid));
    // Fields after "(comm)": state is field 3, utime 14, stime 15.
    unsigned long long utime = 0, stime = 0;
    std::sscanf(stat.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The environment of a client run, tavik's and the ideal client's alike.
// The client's built-in endpoint is the real device, so the run must carry
// TAVIK_DEVICE, naming a loopback address: anything else is refused before
// the client exists.
std::vector<std::string> clientEnvironment(int port)
{
    std::vector<std::string> env =
        support::childEnvironment({{"TAVIK_DEVICE", format("127.0.0.1:%d", port)}});
    support::requireLoopbackDevice(env);
    return env;
}

// Waits for `pid` with a deadline, watching that the device stays up.
support::Exit awaitClient(pid_t pid, const char *who, double limit, Device &device)
{
    double giveUp = now() + limit;
    sigset_t set = awaitedSignals();
    for (;;) {
        if (std::optional<support::Exit> done = support::reap(pid))
            return *done;
        device.requireRunning();
        double left = std::max(0.0, giveUp - now());
        timespec wait{static_cast<time_t>(left), static_cast<long>((left - std::floor(left)) * 1e9)};
        int sig = left > 0 ? sigtimedwait(&set, nullptr, &wait) : -1;
        if (sig == SIGINT || sig == SIGTERM) {
            support::killAndReap(pid);
            throw Failure("interrupted");
        }
        if (sig < 0 && (errno == EAGAIN || left <= 0)) {
            support::killAndReap(pid);
            throw Failure(format("%s took longer than %.0f s: killed", who, limit));
        }
    }
}

// ---- Measuring ------------------------------------------------------------

struct Sample {
    double wall;       // seconds
    double clientCpu;  // seconds, user + system
    double clientSys;  // seconds, system alone
    long peakRssKiB;
    double deviceCpu;  // seconds
    int retries;       // "retrying" lines tavik wrote
    Counts counts;     // what a counting device logged; nothing from any other
};

double seconds(const timeval &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

std::string caseName(const Case &c)
{
    return format("D=%g ms %s %s", c.delayMs, caseLabel(c).c_str(), whatText(c).c_str());
}

// Bytes a run of the case fetches in all.
double payloadBytes(const Case &c)
{
    if (c.kind == Kind::Listing)
        return 0;
    return static_cast<double>(c.bytes) * (c.kind == Kind::Batch ? c.files : 1);
}

std::vector<std::string> clientArgs(const Options &options, const Case &c, const std::string &out)
{
    std::vector<std::string> args = {options.tavik, "-g"};
    if (c.mode == Mode::Pipelined)
        args.push_back("-b");
    if (c.window)
        args.insert(args.end(), {"--window", std::to_string(c.window)});
    if (c.kind == Kind::Retry)
        args.insert(args.end(), {"--retry", std::to_string(kRetries)});
    args.insert(args.end(), {servedName(c.bytes), "-o", out});
    return args;
}

// Lines of the client's output that announce another attempt.
int countRetries(const std::string &log)
{
    std::istringstream lines(log);
    int n = 0;
    for (std::string line; std::getline(lines, line);)
        n += line.compare(0, 9, "retrying ") == 0;
    return n;
}

// One process run to its end against `device`: standard output to out,
// standard error to err (one file if they are the same), timed from
// before the fork to the reaping, with the device's CPU time over the
// same span.  Anything but exit status 0 fails the benchmark.
struct Ran {
    support::Exit exit;
    double wall, deviceCpu;
    std::string said;  // its standard error
};

Ran runProcess(const std::vector<std::string> &args, const std::string &what, const char *who,
               double expected, Device &device, const std::string &out, const std::string &err)
{
    std::vector<std::string> env = clientEnvironment(device.port());
    int outFd = support::openForWriting(out);
    int errFd = err == out ? outFd : support::openForWriting(err);

    double cpu0 = processCpuSeconds(device.pid());
    double t0 = now();
    pid_t pid = support::Command(args, env).start(outFd, errFd);
    close(outFd);
    if (errFd != outFd)
        close(errFd);
    support::Exit done = awaitClient(pid, who, 30 + 5 * expected, device);
    double wall = now() - t0;
    double cpu1 = processCpuSeconds(device.pid());

    std::string said = support::readFile(err);
    if (!WIFEXITED(done.status) || WEXITSTATUS(done.status) != 0)
        throw Failure(format("%s: %s failed (%s):\n", what.c_str(), who,
                             support::exitText(done.status).c_str()) +
                      said);
    return Ran{done, wall, cpu1 - cpu0, said};
}

// A run's figures.  The CPU time and peak RSS are the process's own and
// those of its children it waited for (the shell loop's tavik runs).
Sample sampleOf(const Ran &ran, Counts counts = {})
{
    const rusage &u = ran.exit.usage;
    return Sample{ran.wall,
                  seconds(u.ru_utime) + seconds(u.ru_stime),
                  seconds(u.ru_stime),
                  u.ru_maxrss,
                  ran.deviceCpu,
                  countRetries(ran.said),
                  counts};
}

// tavik, the ideal client, the ideal client that writes, and tavik
// --version: a process that starts and ends and does nothing between.
enum class Client { Tavik, Ideal, Writer, Start };

const char *clientName(Client client)
{
    switch (client) {
    case Client::Tavik:
        return "tavik";
    case Client::Ideal:
        return "tavik-ideal";
    case Client::Writer:
        return "tavik-ideal --write";
    case Client::Start:
        return "tavik --version";
    }
    return "?";
}

// One run of a client against `device`.  tavik's download, and the
// writing ideal client's, must be the served file to the byte; the ideal
// client that writes nothing has its exit status say whether every block
// came.
Sample runOnce(const Options &options, const Scratch &scratch, Device &device, const Case &c,
               Client client, double expected)
{
    std::string out = scratch.file("download.dat"), log = scratch.file("client.log");
    fs::remove(out);
    std::string window = std::to_string(inFlight(c));
    std::vector<std::string> args;
    switch (client) {
    case Client::Tavik:
        args = clientArgs(options, c, out);
        break;
    case Client::Ideal:
        args = {options.ideal, servedName(c.bytes), window};
        break;
    case Client::Writer:
        args = {options.ideal, "--write", out, servedName(c.bytes), window};
        break;
    case Client::Start:
        args = {options.tavik, "--version"};
        break;
    }
    Ran ran = runProcess(args, caseName(c), clientName(client), expected, device, log, log);
    if (client == Client::Tavik || client == Client::Writer) {
        requireSameFile(scratch.root() + "/" + servedName(c.bytes), out,
                        caseName(c) + (client == Client::Writer ? " (tavik-ideal --write)" : ""));
        fs::remove(out);
    }
    return sampleOf(ran);
}

// The listing tavik printed must say the folder's count of entries and
// name each of its entries, and nothing else.
void requireListing(const Case &c, const std::string &text)
{
    std::istringstream lines(text);
    std::vector<std::string> names;
    long long said = -1;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 8, "entries ") == 0)
            said = std::atoll(line.c_str() + 8);
        else if (!line.empty())
            names.push_back(line.substr(line.rfind(' ') + 1));
    }
    if (said != c.entries)
        throw Failure(format("%s: WRONG LISTING: it gives %lld entries, the folder holds %d",
                             caseName(c).c_str(), said, c.entries));
    std::vector<std::string> served;
    for (int i = 0; i < c.entries; ++i)
        served.push_back(entryName(i));
    std::sort(names.begin(), names.end());
    if (names != served)
        throw Failure(format("%s: WRONG LISTING: its %zu entry lines do not name the folder's "
                             "%d entries",
                             caseName(c).c_str(), names.size(), c.entries));
}

Sample runListing(const Options &options, const Scratch &scratch, Device &device, const Case &c)
{
    std::string out = scratch.file("listing.txt"), log = scratch.file("client.log");
    device.takeCounts();
    Ran ran = runProcess({options.tavik, "-l", listName(c.entries)}, caseName(c), "tavik",
                         c.expected, device, out, log);
    Counts counts = device.takeCounts();
    requireListing(c, support::readFile(out));
    return sampleOf(ran, counts);
}

// The batch rows' loop, as a user would write it: one tavik run per name,
// one after the other, each into the folder under its name.  $1 is tavik,
// $2 the folder, $3 the file of names.  It stops at the first failure,
// and runs nothing without a TAVIK_DEVICE on loopback (the benchmark has
// checked it already; the loop's own check guards every run it starts).
const char kLoopScript[] =
    "case ${TAVIK_DEVICE-} in\n"
    "127.*:*) ;;\n"
    "*) echo \"refusing to run tavik: TAVIK_DEVICE=${TAVIK_DEVICE-} is not 127.x.x.x:PORT\" >&2\n"
    "   exit 3 ;;\n"
    "esac\n"
    "while IFS= read -r name; do\n"
    "    \"$1\" -g -b \"$name\" -o \"$2/$name\" || exit 1\n"
    "done <\"$3\"\n";

// One run of a batch row: every file must have come whole, and a batch
// must have said so of each on standard output and summed it up on
// standard error.
Sample runBatch(const Options &options, const Scratch &scratch, Device &device, const Case &c)
{
    std::string dir = scratch.file("batch"), out = scratch.file("batch.out"),
                log = scratch.file("client.log");
    fs::remove_all(dir);
    fs::create_directory(dir);
    std::vector<std::string> args;
    if (c.loop) {
        args = {"/bin/sh", "-c", kLoopScript, "tavik-loop", options.tavik, dir,
                scratch.file("batch-names.txt")};
    } else {
        args = {options.tavik, "-g"};
        if (c.mode == Mode::Pipelined)
            args.push_back("-b");
        args.insert(args.end(), {"--output-dir", dir});
        for (int i = 0; i < c.files; ++i)
            args.push_back(batchName(c.bytes, i));
    }
    device.takeCounts();
    Ran ran = runProcess(args, caseName(c), c.loop ? "the loop of tavik runs" : "tavik",
                         c.expected, device, out, log);
    Counts counts = device.takeCounts();
    for (int i = 0; i < c.files; ++i) {
        std::string name = batchName(c.bytes, i);
        requireSameFile(scratch.root() + "/" + name, dir + "/" + name, caseName(c) + " " + name);
    }
    if (!c.loop) {
        std::istringstream lines(support::readFile(out));
        int ok = 0;
        for (std::string line; std::getline(lines, line);)
            ok += line.compare(0, 3, "ok ") == 0;
        std::string summary = format("%d files: %d ok, 0 failed", c.files, c.files);
        if (ok != c.files || ran.said.find(summary) == std::string::npos)
            throw Failure(format("%s: %d 'ok' lines on standard output, and no '%s' on standard "
                                 "error:\n",
                                 caseName(c).c_str(), ok, summary.c_str()) +
                          ran.said);
    }
    fs::remove_all(dir);
    return sampleOf(ran, counts);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Medians (and for speed and time, the extremes) of one client's runs.
struct Stats {
    double mibps, mibpsMin, mibpsMax;
    double wall, wallMin, wallMax;
    double clientCpu;
    double clientSys;
    double peakRssKiB;
    double deviceCpu;
    double deviceShare;  // device CPU / wall, per run
    double retries;
    double requests, connections;  // logged by a counting device
};

// A median with the lowest and highest value beside it.
struct Spread {
    double median, min, max;
};

Spread spreadOf(const std::vector<double> &values)
{
    if (values.empty())
        return Spread{0, 0, 0};
    return Spread{median(values), *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end())};
}

struct Row {
    Case c;
    Stats s;  // tavik's runs; in a retry row, those through the faulty device
    // Window rows: the ideal client's runs; retry rows: tavik's without
    // faults; small rows: tavik --version's.
    std::optional<Stats> other = std::nullopt;
    std::optional<Stats> writer = std::nullopt;  // window rows: tavik-ideal --write's runs
    // Run by run, each of tavik's runs against the other run of its pair:
    // window rows tavik's MiB/s over the ideal client's, retry rows the
    // time with faults over the time without.
    Spread pairs{0, 0, 0};
    // Window rows, run by run: tavik's time over the ideal client's, and
    // over the writing ideal client's.
    Spread xIdeal{0, 0, 0}, xWriter{0, 0, 0};
    // Batch rows, round by round: the loop's time over this row's.
    Spread speedup{0, 0, 0};
};

// What the delay allows: one block per round trip in block mode, a full
// window per round trip pipelined; nothing at no delay, nor for the rows
// that start a process per file, list or fetch many files: what bounds
// them is their own, beside their tables.
double boundMiBps(const Case &c)
{
    if (c.delayMs <= 0 || c.kind == Kind::Small || c.kind == Kind::Listing ||
        c.kind == Kind::Batch)
        return 0;
    int perTrip = c.mode == Mode::Block ? kBlock : inFlight(c) * kBlock;
    return perTrip / (c.delayMs / 1000) / kMiB;
}

double ratio(const Case &c, const Stats &s)
{
    double bound = boundMiBps(c);
    return bound > 0 ? s.mibps / bound : 0;
}

double ratio(const Row &r)
{
    return ratio(r.c, r.s);
}

// Window rows: tavik's median MiB/s over the ideal client's.
double vsIdeal(const Row &r)
{
    return r.s.mibps / r.other->mibps;
}

// Retry rows: tavik's median time with faults over its median time without.
double faultTimeRatio(const Row &r)
{
    return r.s.wall / r.other->wall;
}

// Retry rows: what each retry added to the time, in seconds; 0 if tavik
// announced none.
double secondsPerRetry(const Row &r)
{
    return r.s.retries > 0 ? (r.s.wall - r.other->wall) / r.s.retries : 0;
}

double cpuMsPerMiB(const Stats &s, const Case &c)
{
    double mib = payloadBytes(c) / kMiB;
    return mib > 0 ? s.clientCpu * 1000 / mib : 0;
}

double cpuMsPerMiB(const Row &r)
{
    return cpuMsPerMiB(r.s, r.c);
}

// (max - min) / median, in per cent.
double spreadPercent(double median, double min, double max)
{
    return median > 0 ? 100 * (max - min) / median : 0;
}

template <class F>
std::vector<double> each(const std::vector<Sample> &samples, F f)
{
    std::vector<double> out;
    for (const Sample &s : samples)
        out.push_back(f(s));
    return out;
}

Stats summarise(const Case &c, const std::vector<Sample> &samples)
{
    double mib = payloadBytes(c) / kMiB;
    Spread rate = spreadOf(each(samples, [&](const Sample &s) { return mib / s.wall; }));
    Spread wall = spreadOf(each(samples, [](const Sample &s) { return s.wall; }));
    return Stats{rate.median,
                 rate.min,
                 rate.max,
                 wall.median,
                 wall.min,
                 wall.max,
                 median(each(samples, [](const Sample &s) { return s.clientCpu; })),
                 median(each(samples, [](const Sample &s) { return s.clientSys; })),
                 median(each(samples, [](const Sample &s) { return double(s.peakRssKiB); })),
                 median(each(samples, [](const Sample &s) { return s.deviceCpu; })),
                 median(each(samples, [](const Sample &s) { return s.deviceCpu / s.wall; })),
                 median(each(samples, [](const Sample &s) { return double(s.retries); })),
                 median(each(samples, [](const Sample &s) { return double(s.counts.requests); })),
                 median(each(samples,
                             [](const Sample &s) { return double(s.counts.connections); }))};
}

// A run's line on standard error; fetched: whether the run fetched the
// case's bytes (tavik --version fetches nothing).
void reportRun(const Case &c, int i, const char *who, const Sample &s, bool fetched = true)
{
    std::string extra = s.retries ? format("  %d retries", s.retries) : std::string();
    if (s.counts.requests || s.counts.connections)
        extra += format("  %d requests, %d connections", s.counts.requests, s.counts.connections);
    double bytes = fetched ? payloadBytes(c) : 0;
    std::string rate = bytes > 0 ? format("  %8.2f MiB/s", bytes / kMiB / s.wall) : std::string();
    std::fprintf(stderr, "  %-36s run %d/%d %-9s %8.4f s%s%s\n", caseName(c).c_str(), i + 1,
                 c.runs, who, s.wall, rate.c_str(), extra.c_str());
}

// A case's runs.  Window, retry and small rows alternate tavik with their
// other runs (tavik, ideal, writer, tavik, ideal, writer, ...; without
// faults, with faults, ...; start, tavik, ...), so that whatever the
// machine does meanwhile falls on all alike.
Row measure(const Options &options, const Scratch &scratch, Device &device, Device *faulty,
            const Case &c)
{
    std::vector<Sample> mine, other, writes;
    std::vector<double> pairs, xIdeal, xWriter;
    for (int i = 0; i < c.runs; ++i) {
        switch (c.kind) {
        case Kind::Window: {
            mine.push_back(runOnce(options, scratch, device, c, Client::Tavik, c.expected));
            reportRun(c, i, "tavik", mine.back());
            other.push_back(runOnce(options, scratch, device, c, Client::Ideal, c.expectedOther));
            reportRun(c, i, "ideal", other.back());
            writes.push_back(runOnce(options, scratch, device, c, Client::Writer, c.expectedOther));
            reportRun(c, i, "writer", writes.back());
            double tavik = mine.back().wall;
            pairs.push_back(other.back().wall / tavik);
            xIdeal.push_back(tavik / other.back().wall);
            xWriter.push_back(tavik / writes.back().wall);
            break;
        }
        case Kind::Retry:
            other.push_back(runOnce(options, scratch, device, c, Client::Tavik, c.expectedOther));
            reportRun(c, i, "no faults", other.back());
            mine.push_back(runOnce(options, scratch, *faulty, c, Client::Tavik, c.expected));
            reportRun(c, i, "faults", mine.back());
            pairs.push_back(mine.back().wall / other.back().wall);
            break;
        case Kind::Small:
            other.push_back(runOnce(options, scratch, device, c, Client::Start, c.expectedOther));
            reportRun(c, i, "start", other.back(), false);
            mine.push_back(runOnce(options, scratch, device, c, Client::Tavik, c.expected));
            reportRun(c, i, "tavik", mine.back());
            break;
        default:
            mine.push_back(runOnce(options, scratch, device, c, Client::Tavik, c.expected));
            reportRun(c, i, "", mine.back());
            break;
        }
    }
    Row row{c, summarise(c, mine)};
    if (!other.empty()) {
        row.other = summarise(c, other);
        row.pairs = spreadOf(pairs);
    }
    if (!writes.empty()) {
        row.writer = summarise(c, writes);
        row.xIdeal = spreadOf(xIdeal);
        row.xWriter = spreadOf(xWriter);
    }
    if (c.kind == Kind::Retry && expectedCloses(c.bytes, c.closeAfter) > 0 && row.s.retries == 0)
        std::fprintf(stderr, "  %s: tavik said nothing of retrying through a device that "
                     "closes after %d replies\n", caseName(c).c_str(), c.closeAfter);
    return row;
}

Row measureListing(const Options &options, const Scratch &scratch, Device &counting,
                   const Case &c)
{
    std::vector<Sample> runs;
    for (int i = 0; i < c.runs; ++i) {
        runs.push_back(runListing(options, scratch, counting, c));
        reportRun(c, i, "tavik", runs.back());
    }
    return Row{c, summarise(c, runs)};
}

// The batch rows of one delay, in turn round by round: the batches, then
// the loop; each round's loop time over each row's time is that row's
// speed-up in the round.
std::vector<Row> measureBatch(const Options &options, const Scratch &scratch, Device &counting,
                              const std::vector<Case> &group)
{
    auto loop = std::find_if(group.begin(), group.end(), [](const Case &c) { return c.loop; });
    std::vector<std::vector<Sample>> samples(group.size());
    std::vector<std::vector<double>> speedups(group.size());
    for (int i = 0; i < group.front().runs; ++i) {
        for (size_t k = 0; k < group.size(); ++k) {
            samples[k].push_back(runBatch(options, scratch, counting, group[k]));
            reportRun(group[k], i, group[k].loop ? "loop" : "batch", samples[k].back());
        }
        if (loop != group.end()) {
            double loopWall = samples[static_cast<size_t>(loop - group.begin())].back().wall;
            for (size_t k = 0; k < group.size(); ++k)
                speedups[k].push_back(loopWall / samples[k].back().wall);
        }
    }
    std::vector<Row> rows;
    for (size_t k = 0; k < group.size(); ++k) {
        rows.push_back(Row{group[k], summarise(group[k], samples[k])});
        rows.back().speedup = spreadOf(speedups[k]);
    }
    return rows;
}

// What a device said, on standard error.  A counting device's lines for
// every connection and request are left out: only what else it said.
void printDeviceLog(Device &device, const std::string &what, bool counting = false)
{
    device.requireRunning();
    device.stop();
    std::istringstream lines(support::readFile(device.log()));
    std::string said;
    for (std::string line; std::getline(lines, line);) {
        const char *routine[] = {" accepted from ", " get '", " list '", " closed (peer closed)",
                                 " stopping"};
        if (!counting || std::none_of(std::begin(routine), std::end(routine), [&](const char *r) {
                return line.find(r) != std::string::npos;
            }))
            said += line + "\n";
    }
    if (!said.empty())
        std::fprintf(stderr, "tavik-device (%s) said:\n%s", what.c_str(), said.c_str());
}

// One device per delay, for every kind of row; beside it for the retry
// rows one with the same delay that closes connections, and for the
// listing and batch rows one that logs what it gets, to count it.  Each
// device's own log shows anything it had to say.  The rows come back in
// plan order.
std::vector<Row> measureAll(const Options &options, const Scratch &scratch,
                            const std::vector<Case> &cases)
{
    std::vector<double> delays;
    for (const Case &c : cases)
        if (std::find(delays.begin(), delays.end(), c.delayMs) == delays.end())
            delays.push_back(c.delayMs);
    std::vector<std::optional<Row>> measured(cases.size());
    for (double delay : delays) {
        Device device(options.device, scratch, delay);
        std::unique_ptr<Device> faulty, counting;
        std::vector<size_t> batch;
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case &c = cases[i];
            if (c.delayMs != delay)
                continue;
            if (c.kind == Kind::Retry && !faulty)
                faulty = std::make_unique<Device>(options.device, scratch, delay, c.closeAfter);
            if ((c.kind == Kind::Listing || c.kind == Kind::Batch) && !counting)
                counting = std::make_unique<Device>(options.device, scratch, delay, 0, true);
            if (c.kind == Kind::Batch)
                batch.push_back(i);
        }
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case &c = cases[i];
            if (c.delayMs != delay)
                continue;
            if (c.kind == Kind::Listing) {
                measured[i] = measureListing(options, scratch, *counting, c);
            } else if (c.kind == Kind::Batch) {
                if (i != batch.front())
                    continue;
                std::vector<Case> group;
                for (size_t k : batch)
                    group.push_back(cases[k]);
                std::vector<Row> rows = measureBatch(options, scratch, *counting, group);
                for (size_t k = 0; k < batch.size(); ++k)
                    measured[batch[k]] = rows[k];
            } else {
                measured[i] = measure(options, scratch, device, faulty.get(), c);
            }
        }
        printDeviceLog(device, format("D=%g ms", delay));
        if (faulty)
            printDeviceLog(*faulty, format("D=%g ms, --close-after %d", delay,
                                           options.closeAfter));
        if (counting)
            printDeviceLog(*counting, format("D=%g ms, counting", delay), true);
    }
    std::vector<Row> rows;
    for (std::optional<Row> &row : measured)
        rows.push_back(*row);
    return rows;
}

// ---- Reporting ------------------------------------------------------------

bool any(const std::vector<Row> &rows, Kind kind)
{
    return std::any_of(rows.begin(), rows.end(), [&](const Row &r) { return r.c.kind == kind; });
}

std::string boundText(const Case &c)
{
    double bound = boundMiBps(c);
    return bound > 0 ? format("%9.3f", bound) : format("%9s", "-");
}

std::string ratioText(const Case &c, const Stats &s)
{
    return boundMiBps(c) > 0 ? format("%5.3f", ratio(c, s)) : format("%5s", "-");
}

void printClassicTable(const std::vector<Row> &rows)
{
    std::printf("%6s  %-10s  %7s  %4s  %9s  %9s  %5s  %7s  %10s  %8s  %8s  %6s\n", "D ms", "mode",
                "size", "runs", "MiB/s", "bound", "ratio", "spread", "cpu ms/MiB", "peak KiB",
                "dev ms", "dev %");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Classic)
            continue;
        std::printf("%6g  %-10s  %7s  %4d  %9.3f  %s  %s  %6.1f%%  %10.2f  %8.0f  %8.1f  %5.1f%%\n",
                    r.c.delayMs, caseLabel(r.c).c_str(), sizeText(r.c.bytes).c_str(), r.c.runs,
                    r.s.mibps, boundText(r.c).c_str(), ratioText(r.c, r.s).c_str(),
                    spreadPercent(r.s.mibps, r.s.mibpsMin, r.s.mibpsMax), cpuMsPerMiB(r),
                    r.s.peakRssKiB, r.s.deviceCpu * 1000, 100 * r.s.deviceShare);
    }
    std::printf("(medians; bound: one block per round trip in block mode, %d KiB pipelined;\n"
                " spread: (max-min)/median of MiB/s; cpu: client user+sys; "
                "peak: client peak RSS;\n dev: tavik-device CPU time over the run, and as a "
                "share of its wall time)\n\n",
                kWindow);
}

void printVerdict(const std::string &what, const std::string &figure, bool reached)
{
    std::printf("  %-66s %-10s %s\n", what.c_str(), figure.c_str(),
                reached ? "reached" : "NOT REACHED");
}

// "LOW-HIGH", to be printed in a column of its own width.
std::string rangeText(double low, double high, int decimals)
{
    return format("%.*f-%.*f", decimals, low, decimals, high);
}

void printWindowTable(const std::vector<Row> &rows)
{
    std::printf("Window rows: tavik -b --window N, tavik-ideal and tavik-ideal --write with the "
                "same window, in turn\n");
    std::printf("%6s  %-10s  %7s  %4s  %9s  %7s  %9s  %5s  %9s  %7s  %7s  %11s  %9s  %7s  %8s  "
                "%11s  %6s  %6s  %8s  %6s  %6s\n",
                "D ms", "mode", "size", "runs", "MiB/s", "spread", "bound", "ratio", "ideal",
                "spread", "x ideal", "pairs", "writer", "spread", "x writer", "pairs", "cpu",
                "w cpu", "peak KiB", "dev %", "idev %");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Window)
            continue;
        const Stats &i = *r.other, &w = *r.writer;
        std::printf("%6g  %-10s  %7s  %4d  %9.3f  %6.1f%%  %s  %s  %9.3f  %6.1f%%  %7.3f  "
                    "%5.3f-%5.3f  %9.3f  %6.1f%%  %8.3f  %5.3f-%5.3f  %6.2f  %6.2f  %8.0f  "
                    "%5.1f%%  %5.1f%%\n",
                    r.c.delayMs, caseLabel(r.c).c_str(), sizeText(r.c.bytes).c_str(), r.c.runs,
                    r.s.mibps, spreadPercent(r.s.mibps, r.s.mibpsMin, r.s.mibpsMax),
                    boundText(r.c).c_str(), ratioText(r.c, r.s).c_str(), i.mibps,
                    spreadPercent(i.mibps, i.mibpsMin, i.mibpsMax), r.xIdeal.median,
                    r.xIdeal.min, r.xIdeal.max, w.mibps,
                    spreadPercent(w.mibps, w.mibpsMin, w.mibpsMax), r.xWriter.median,
                    r.xWriter.min, r.xWriter.max, cpuMsPerMiB(r), cpuMsPerMiB(w, r.c),
                    r.s.peakRssKiB, 100 * r.s.deviceShare, 100 * i.deviceShare);
    }
    std::printf("(medians over the row's runs of each; MiB/s, its spread and ratio: tavik's, "
                "ratio to the bound of\n N x 1 KiB per round trip; ideal: tavik-ideal's MiB/s, "
                "writer: tavik-ideal --write's, each\n with its spread; x ideal, x writer: "
                "tavik's time over the ideal client's and over the writing\n one's, the median "
                "of the runs taken in turn, pairs their lowest and highest; cpu, w cpu:\n the "
                "user+sys ms per MiB of tavik and of the writer; peak: tavik's peak RSS; dev %%, "
                "idev %%:\n tavik-device's CPU time as a share of the wall time, tavik's runs "
                "and the ideal client's)\n");
    std::printf("Targets:\n");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Window)
            continue;
        std::string row = format("%s, %s, D=%g ms", caseLabel(r.c).c_str(),
                                 sizeText(r.c.bytes).c_str(), r.c.delayMs);
        if (r.c.delayMs == 2 && (r.c.window == 16 || r.c.window == 64 || r.c.window == 256))
            printVerdict(format("%s: <= %.2fx the writer", row.c_str(), kWriterTarget),
                         format("%.3fx", r.xWriter.median), r.xWriter.median <= kWriterTarget);
        if (r.c.window == 256)
            printVerdict(format("%s: cpu <= %.1f ms/MiB", row.c_str(), kCpuTarget),
                         format("%.2f", cpuMsPerMiB(r)), cpuMsPerMiB(r) <= kCpuTarget);
        printVerdict(format("%s: peak RSS <= %.1f MiB", row.c_str(), kRssTargetKiB / 1024),
                     format("%.0f KiB", r.s.peakRssKiB), r.s.peakRssKiB <= kRssTargetKiB);
    }
    std::printf("\n");
}

void printRetryTable(const std::vector<Row> &rows)
{
    int closeAfter = 0;
    for (const Row &r : rows)
        if (r.c.kind == Kind::Retry)
            closeAfter = r.c.closeAfter;
    std::printf("Retry rows: tavik --retry %d through tavik-device --close-after %d, and "
                "without it, alternated\n",
                kRetries, closeAfter);
    std::printf("%6s  %-10s  %7s  %4s  %11s  %7s  %9s  %7s  %6s  %11s  %7s  %7s  %10s  %8s\n",
                "D ms", "mode", "size", "runs", "no faults s", "spread", "faults s", "spread",
                "ratio", "pairs", "retries", "s/retry", "cpu ms/MiB", "peak KiB");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Retry)
            continue;
        const Stats &clean = *r.other;
        std::string perRetry =
            r.s.retries > 0 ? format("%7.3f", secondsPerRetry(r)) : format("%7s", "-");
        std::printf("%6g  %-10s  %7s  %4d  %11.3f  %6.1f%%  %9.3f  %6.1f%%  %6.3f  %5.3f-%5.3f  "
                    "%7.0f  %s  %10.2f  %8.0f\n",
                    r.c.delayMs, modeName(r.c.mode), sizeText(r.c.bytes).c_str(), r.c.runs,
                    clean.wall, spreadPercent(clean.wall, clean.wallMin, clean.wallMax), r.s.wall,
                    spreadPercent(r.s.wall, r.s.wallMin, r.s.wallMax), faultTimeRatio(r),
                    r.pairs.min, r.pairs.max, r.s.retries, perRetry.c_str(), cpuMsPerMiB(r),
                    r.s.peakRssKiB);
    }
    std::printf("(medians over the row's runs of each; no faults s, faults s: tavik's wall time, "
                "spread\n (max-min)/median; ratio: with faults over without; pairs: the lowest "
                "and highest of\n that, each run with faults over the run without before it; "
                "retries: the attempts tavik\n announced after the first; s/retry: the time "
                "with faults less the time without, per\n retry; cpu, peak: tavik's user+sys "
                "per MiB and peak RSS with faults; pipelined: -b,\n window %d)\n\n",
                kWindow);
}

void printSmallTable(const std::vector<Row> &rows)
{
    std::printf("Small rows: one tavik -g [-b] NAME -o FILE process per download, from its start "
                "to its end;\n start: tavik --version, in turn with it\n");
    std::printf("%6s  %-10s  %7s  %4s  %8s  %15s  %7s  %8s  %7s  %8s  %6s\n", "D ms", "mode",
                "size", "runs", "wall ms", "min-max ms", "spread", "start ms", "cpu ms",
                "peak KiB", "dev %");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Small)
            continue;
        std::printf("%6g  %-10s  %7s  %4d  %8.3f  %15s  %6.1f%%  %8.3f  %7.3f  %8.0f  %5.1f%%\n",
                    r.c.delayMs, modeName(r.c.mode), sizeText(r.c.bytes).c_str(), r.c.runs,
                    r.s.wall * 1000, rangeText(r.s.wallMin * 1000, r.s.wallMax * 1000, 3).c_str(),
                    spreadPercent(r.s.wall, r.s.wallMin, r.s.wallMax), r.other->wall * 1000,
                    r.s.clientCpu * 1000, r.s.peakRssKiB, 100 * r.s.deviceShare);
    }
    std::printf("(medians over the row's runs; wall: tavik's wall time per download, fork to "
                "reaping, with its\n lowest and highest, spread (max-min)/median; start: the "
                "same of tavik --version, which\n neither connects nor writes; cpu, peak: "
                "tavik's user+sys and peak RSS; dev %%: tavik-device's\n CPU time as a share of "
                "the wall time; pipelined: -b, window %d)\n",
                kWindow);
    std::printf("Targets:\n");
    for (const Row &r : rows)
        if (r.c.kind == Kind::Small && r.c.bytes == 1024 && r.c.delayMs == 0)
            printVerdict(format("small, %s, 1 KiB, D=0 ms: <= %.1f x %.1f ms = %.2f ms",
                                modeName(r.c.mode), kSmallTarget, kSmallEarlierMs,
                                kSmallTarget * kSmallEarlierMs),
                         format("%.2f ms", r.s.wall * 1000),
                         r.s.wall * 1000 <= kSmallTarget * kSmallEarlierMs);
    std::printf("\n");
}

// A listing's bound: one round trip per page.
double listBoundSeconds(const Case &c)
{
    return listPages(c.entries) * c.delayMs / 1000;
}

void printListingTable(const std::vector<Row> &rows)
{
    std::printf("Listing rows: tavik -l DIR, DIR a folder of N empty files, %d entries a page\n",
                kListPage);
    std::printf("%6s  %7s  %4s  %8s  %17s  %7s  %5s  %5s  %7s  %7s  %7s  %8s  %11s  %6s\n",
                "D ms", "entries", "runs", "wall s", "min-max s", "spread", "pages", "conns",
                "bound s", "x bound", "cpu ms", "peak KiB", "dev ms/page", "dev %");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Listing)
            continue;
        double bound = listBoundSeconds(r.c);
        std::string times = bound > 0 ? format("%7.3f", r.s.wall / bound) : format("%7s", "-");
        double perPage = r.s.requests > 0 ? r.s.deviceCpu * 1000 / r.s.requests : 0;
        std::printf("%6g  %7d  %4d  %8.4f  %17s  %6.1f%%  %5.0f  %5.0f  %7.3f  %s  %7.2f  %8.0f  "
                    "%11.3f  %5.1f%%\n",
                    r.c.delayMs, r.c.entries, r.c.runs, r.s.wall,
                    rangeText(r.s.wallMin, r.s.wallMax, 4).c_str(),
                    spreadPercent(r.s.wall, r.s.wallMin, r.s.wallMax), r.s.requests,
                    r.s.connections, bound, times.c_str(), r.s.clientCpu * 1000, r.s.peakRssKiB,
                    perPage, 100 * r.s.deviceShare);
    }
    std::printf("(medians over the row's runs; wall: tavik's, with its lowest and highest, "
                "spread (max-min)/median;\n pages, conns: the list requests and connections "
                "the device logged in a run; bound: a round\n trip per page, ceil(N/%d) x D; "
                "x bound: wall over bound; cpu, peak: tavik's user+sys and peak\n RSS; dev "
                "ms/page, dev %%: tavik-device's CPU time per page and as a share of the wall "
                "time)\n",
                kListPage);
    std::printf("Targets:\n");
    for (const Row &r : rows)
        if (r.c.kind == Kind::Listing && r.c.delayMs > 0)
            printVerdict(format("listing, %d entries, D=%g ms: <= %.1fx %d pages x %g ms",
                                r.c.entries, r.c.delayMs, kListTarget, listPages(r.c.entries),
                                r.c.delayMs),
                         format("%.3fx", r.s.wall / listBoundSeconds(r.c)),
                         r.s.wall / listBoundSeconds(r.c) <= kListTarget);
    std::printf("\n");
}

// Batch rows: round trips per file, from the time: wall / delay / files.
double tripsPerFile(const Row &r)
{
    return r.c.delayMs > 0 ? r.s.wall / (r.c.delayMs / 1000) / r.c.files : 0;
}

void printBatchTable(const std::vector<Row> &rows)
{
    const Row *first = nullptr;
    for (const Row &r : rows)
        if (r.c.kind == Kind::Batch && !first)
            first = &r;
    std::printf("Batch rows: %d files of %s; tavik -g -b --output-dir DIR NAME..., tavik -g "
                "--output-dir DIR NAME...,\n and a shell loop of one tavik -g -b NAME -o "
                "DIR/NAME per file, in turn\n",
                first->c.files, sizeText(first->c.bytes).c_str());
    std::printf("%6s  %-15s  %5s  %4s  %8s  %17s  %7s  %7s  %10s  %8s  %5s  %5s  %8s  %11s  "
                "%7s  %8s  %6s\n",
                "D ms", "how", "files", "runs", "wall s", "min-max s", "spread", "ms/file",
                "trips/file", "req/file", "conns", "procs", "speed-up", "pairs", "cpu ms",
                "peak KiB", "dev %");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Batch)
            continue;
        std::string trips =
            r.c.delayMs > 0 ? format("%10.3f", tripsPerFile(r)) : format("%10s", "-");
        std::string speedup = r.c.loop ? format("%8s  %11s", "-", "-")
                                       : format("%8.2f  %11s", r.speedup.median,
                                                rangeText(r.speedup.min, r.speedup.max, 2).c_str());
        std::printf("%6g  %-15s  %5d  %4d  %8.4f  %17s  %6.1f%%  %7.3f  %s  %8.2f  %5.0f  %5d  %s  "
                    "%7.1f  %8.0f  %5.1f%%\n",
                    r.c.delayMs, caseLabel(r.c).c_str(), r.c.files, r.c.runs, r.s.wall,
                    rangeText(r.s.wallMin, r.s.wallMax, 4).c_str(),
                    spreadPercent(r.s.wall, r.s.wallMin, r.s.wallMax),
                    r.s.wall * 1000 / r.c.files, trips.c_str(), r.s.requests / r.c.files,
                    r.s.connections, r.c.loop ? r.c.files : 1, speedup.c_str(),
                    r.s.clientCpu * 1000, r.s.peakRssKiB, 100 * r.s.deviceShare);
    }
    std::printf("(medians over the row's runs; wall: a run's, all files, with its lowest and "
                "highest, spread\n (max-min)/median; trips/file: wall / D / files, round trips "
                "a file took; req/file, conns:\n the block requests per file and the connections "
                "the device logged in a run; procs: tavik\n processes a run starts; speed-up: "
                "the loop's time over the row's, the median of the rounds\n taken in turn, "
                "pairs its lowest and highest; cpu, peak: user+sys and peak RSS, of the loop's\n "
                "shell and every tavik it ran; dev %%: tavik-device's CPU time as a share of the "
                "wall time)\n");
    std::printf("Targets:\n");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Batch || r.c.loop)
            continue;
        std::string row = format("%s, %s, D=%g ms", caseLabel(r.c).c_str(),
                                 whatText(r.c).c_str(), r.c.delayMs);
        double target = r.c.mode == Mode::Pipelined ? kBatchTarget : kBlockBatchTarget;
        printVerdict(format("%s: >= %gx faster than the loop", row.c_str(), target),
                     format("%.2fx", r.speedup.median), r.speedup.median >= target);
        if (r.c.mode == Mode::Pipelined && r.c.delayMs > 0)
            printVerdict(format("%s: <= %.1f round trips a file", row.c_str(), kBatchTrips),
                         format("%.3f", tripsPerFile(r)), tripsPerFile(r) <= kBatchTrips);
        printVerdict(format("%s: one connection", row.c_str()),
                     format("%.0f", r.s.connections), r.s.connections == 1);
    }
    std::printf("\n");
}

void writeCsv(const std::string &path, const std::vector<Row> &rows)
{
    std::ofstream out(path, std::ios::trunc);
    // The first seventeen columns are those of every row; each kind of row
    // fills the further ones of its kind, the others leave them empty.  In
    // a retry row the first ones are the runs with faults; in a batch row
    // size_bytes is each file's, MiB/s of all of them.
    out << "delay_ms,mode,size_bytes,runs,mib_per_s,mib_per_s_min,mib_per_s_max,"
           "bound_mib_per_s,ratio,wall_s,client_cpu_ms,client_sys_ms,client_cpu_ms_per_mib,"
           "peak_rss_kib,device_cpu_ms,device_cpu_share,window,"
           "row,wall_s_min,wall_s_max,"
           "ideal_mib_per_s,ideal_mib_per_s_min,ideal_mib_per_s_max,ideal_ratio,"
           "ideal_device_cpu_share,vs_ideal,vs_ideal_min,vs_ideal_max,"
           "close_after,retry,clean_wall_s,clean_wall_s_min,clean_wall_s_max,"
           "fault_time_ratio,fault_time_ratio_min,fault_time_ratio_max,retries,s_per_retry,"
           "x_ideal,x_ideal_min,x_ideal_max,writer_mib_per_s,writer_mib_per_s_min,"
           "writer_mib_per_s_max,writer_cpu_ms_per_mib,writer_peak_rss_kib,"
           "writer_device_cpu_share,x_writer,x_writer_min,x_writer_max,"
           "start_wall_s,"
           "entries,bound_s,bound_time_ratio,"
           "requests,connections,"
           "files,processes,round_trips_per_file,speedup_vs_loop,speedup_vs_loop_min,"
           "speedup_vs_loop_max\n";
    for (const Row &r : rows) {
        double bound = boundMiBps(r.c);
        const char *mode = r.c.kind == Kind::Listing ? "-" : modeName(r.c.mode);
        out << format("%g,%s,%zu,%d,%.4f,%.4f,%.4f,", r.c.delayMs, mode, r.c.bytes, r.c.runs,
                      r.s.mibps, r.s.mibpsMin, r.s.mibpsMax)
            << (bound > 0 ? format("%.4f,%.4f,", bound, ratio(r)) : std::string(",,"))
            << format("%.6f,%.3f,%.3f,%.3f,%.0f,%.3f,%.4f,", r.s.wall, r.s.clientCpu * 1000,
                      r.s.clientSys * 1000, cpuMsPerMiB(r), r.s.peakRssKiB, r.s.deviceCpu * 1000,
                      r.s.deviceShare)
            << (r.c.window ? std::to_string(r.c.window) : std::string())
            << format(",%s,%.6f,%.6f,", kindName(r.c.kind), r.s.wallMin, r.s.wallMax);
        if (r.c.kind == Kind::Window) {
            const Stats &i = *r.other;
            out << format("%.4f,%.4f,%.4f,", i.mibps, i.mibpsMin, i.mibpsMax)
                << (bound > 0 ? format("%.4f,", ratio(r.c, i)) : std::string(","))
                << format("%.4f,%.4f,%.4f,%.4f,", i.deviceShare, vsIdeal(r), r.pairs.min,
                          r.pairs.max);
        } else {
            out << ",,,,,,,,";
        }
        if (r.c.kind == Kind::Retry) {
            const Stats &clean = *r.other;
            out << format("%d,%d,%.6f,%.6f,%.6f,%.4f,%.4f,%.4f,%.0f,", r.c.closeAfter, kRetries,
                          clean.wall, clean.wallMin, clean.wallMax, faultTimeRatio(r),
                          r.pairs.min, r.pairs.max, r.s.retries)
                << (r.s.retries > 0 ? format("%.4f", secondsPerRetry(r)) : std::string());
        } else {
            out << ",,,,,,,,,";
        }
        if (r.c.kind == Kind::Window) {
            const Stats &w = *r.writer;
            out << format(",%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.3f,%.0f,%.4f,%.4f,%.4f,%.4f",
                          r.xIdeal.median, r.xIdeal.min, r.xIdeal.max, w.mibps, w.mibpsMin,
                          w.mibpsMax, cpuMsPerMiB(w, r.c), w.peakRssKiB, w.deviceShare,
                          r.xWriter.median, r.xWriter.min, r.xWriter.max);
        } else {
            out << ",,,,,,,,,,,,";
        }
        out << (r.c.kind == Kind::Small ? format(",%.6f", r.other->wall) : std::string(","));
        if (r.c.kind == Kind::Listing) {
            double bound = listBoundSeconds(r.c);
            out << format(",%d,%.4f,", r.c.entries, bound)
                << (bound > 0 ? format("%.4f", r.s.wall / bound) : std::string());
        } else {
            out << ",,,";
        }
        if (r.c.kind == Kind::Listing || r.c.kind == Kind::Batch)
            out << format(",%.0f,%.0f", r.s.requests, r.s.connections);
        else
            out << ",,";
        if (r.c.kind == Kind::Batch) {
            out << format(",%d,%d,", r.c.files, r.c.loop ? r.c.files : 1)
                << (r.c.delayMs > 0 ? format("%.4f", tripsPerFile(r)) : std::string())
                << (r.c.loop ? std::string(",,,")
                             : format(",%.4f,%.4f,%.4f", r.speedup.median, r.speedup.min,
                                      r.speedup.max));
        } else {
            out << ",,,,,,";
        }
        out << "\n";
    }
    if (!out.flush())
        throw Failure("cannot write " + path);
}

const Row *findRow(const std::vector<Row> &rows, double delay, Mode mode, size_t bytes,
                   int window = 0)
{
    for (const Row &r : rows)
        if ((r.c.kind == Kind::Classic || r.c.kind == Kind::Window) && r.c.delayMs == delay &&
            r.c.mode == mode && r.c.bytes == bytes && r.c.window == window)
            return &r;
    return nullptr;
}

// Whether the rows of the classic targets include r.
bool transferRow(const Row &r)
{
    return r.c.kind == Kind::Classic || r.c.kind == Kind::Window;
}

// The project's targets of throughput and memory, for whatever this run
// measured; the other kinds of rows have theirs under their tables.
void printTargets(const std::vector<Row> &rows)
{
    std::printf("Targets (medians):\n");
    for (const Row &r : rows)
        if (transferRow(r) && r.c.delayMs > 0 &&
            (r.c.mode == Mode::Pipelined || r.c.delayMs >= 2))
            printVerdict(format("%s, %s, D=%g ms: >= 0.90 of bound", caseLabel(r.c).c_str(),
                                sizeText(r.c.bytes).c_str(), r.c.delayMs),
                         format("%.3f", ratio(r)), ratio(r) >= 0.90);
    for (const Row &big : rows) {
        const Row *small = findRow(rows, big.c.delayMs, big.c.mode, 1u << 20, big.c.window);
        if (transferRow(big) && big.c.bytes == (32u << 20) && small) {
            double growth = big.s.peakRssKiB - small->s.peakRssKiB;
            printVerdict(format("%s, D=%g ms: peak RSS 32 MiB vs 1 MiB within 1 MiB",
                                caseLabel(big.c).c_str(), big.c.delayMs),
                         format("%+.0f KiB", growth), growth <= 1024);
        }
    }
    for (const Row &piped : rows) {
        const Row *block = findRow(rows, 0, Mode::Block, piped.c.bytes);
        if (transferRow(piped) && piped.c.delayMs == 0 &&
            piped.c.mode == Mode::Pipelined && block)
            printVerdict(format("D=0, %s: %s >= 3x block", sizeText(piped.c.bytes).c_str(),
                                caseLabel(piped.c).c_str()),
                         format("%.2fx", piped.s.mibps / block->s.mibps),
                         piped.s.mibps >= 3 * block->s.mibps);
    }
    std::printf("\n");
}

int runBenchmark(const Options &options)
{
    std::vector<Case> cases = planCases(options);
    if (cases.empty())
        usageError("nothing to run");
    printPlan(options, cases);
    if (options.planOnly)
        return 0;
    Scratch scratch;
    makeServedFiles(scratch, cases);
    double t0 = now();
    std::vector<Row> rows = measureAll(options, scratch, cases);
    std::printf("\n");
    if (any(rows, Kind::Classic))
        printClassicTable(rows);
    if (any(rows, Kind::Window))
        printWindowTable(rows);
    if (any(rows, Kind::Retry))
        printRetryTable(rows);
    if (any(rows, Kind::Small))
        printSmallTable(rows);
    if (any(rows, Kind::Listing))
        printListingTable(rows);
    if (any(rows, Kind::Batch))
        printBatchTable(rows);
    // A tiny file says nothing about them; nor do the retry rows.
    if (!options.quick && (any(rows, Kind::Classic) || any(rows, Kind::Window)))
        printTargets(rows);
    writeCsv(options.csv, rows);
    std::printf("Written to %s; took %.0f s.\n", options.csv.c_str(), now() - t0);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options = parseCommandLine(argc, argv);
    blockAwaitedSignals();
    try {
        return runBenchmark(options);
    } catch (const std::exception &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "tavik-bench: FAILED: %s\n", error.what());
        return 1;
    }
}
