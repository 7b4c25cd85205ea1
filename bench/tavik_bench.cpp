// tavik-bench: measures tavik's downloads against a tavik-device on
// 127.0.0.1 that holds each reply for an emulated round-trip delay.
//
// Three kinds of rows, each a median of several runs:
//  - classic: every delay, mode and file size; throughput (wall time of
//    the client process), the ratio to what the delay allows, the client's
//    CPU time per MiB and peak RSS, and the device's CPU time, to show the
//    device is not what limits a run;
//  - window: pipelined with --window N, the same figures, and beside them
//    tavik-ideal, a client that does nothing but keep N requests in
//    flight, run alternately with tavik against the same device: what
//    tavik reaches of what a client could;
//  - retry: tavik --retry through a device that closes every connection
//    after K replies, alternated with the same download from the same
//    device without that fault: what the faults cost in time.
// Every download is compared with the served file; a wrong copy fails the
// whole benchmark.
//
// The client's built-in address is the real device's.  Every client run
// here gets TAVIK_DEVICE pointing at our own device on loopback, and a run
// without it is refused before the client is started.

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

enum class Kind { Classic, Window, Retry };

const char *kindName(Kind kind)
{
    return kind == Kind::Classic ? "classic" : kind == Kind::Window ? "window" : "retry";
}

struct Options {
    bool quick = false;
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
};

struct Case {
    Kind kind;
    double delayMs;
    Mode mode;
    size_t bytes;
    int window;      // the client's --window; 0: not given, its default
    int closeAfter;  // retry rows: the faulty device's --close-after
    int runs;        // of tavik; as many of the run alternated with it
    double expected;       // seconds for one run of tavik (retry rows: with faults)
    double expectedOther;  // ... of the run alternated with it: the ideal
                           // client, or tavik without faults; 0: none
};

// Requests a pipelined case keeps in flight.
int inFlight(const Case &c)
{
    return c.window ? c.window : kWindow;
}

std::string caseLabel(const Case &c)
{
    if (c.kind == Kind::Retry)
        return format("retry %s", modeName(c.mode));
    return c.window ? format("window %d", c.window) : modeName(c.mode);
}

// What a paired case's other run is, for the plan and the progress lines.
const char *otherName(const Case &c)
{
    return c.kind == Kind::Window ? "ideal" : "no faults";
}

const char kUsage[] =
    "Usage: tavik-bench [OPTION]...\n"
    "Downloads files with tavik from a tavik-device on 127.0.0.1 at several\n"
    "emulated round-trip delays, in both modes, and reports medians.\n"
    "\n"
    "  --quick          a tiny run of the classic rows: 64 KiB, delays 0 and\n"
    "                   0.5 ms, one run each\n"
    "  --runs N         runs per case (default: 5; classic rows 3 where a run\n"
    "                   is long); window and retry rows run N pairs\n"
    "  --rows LIST      classic, window, retry, any of them (default all three)\n"
    "\n"
    "The classic rows: every delay, mode and size.\n"
    "  --delays LIST    delays in ms, comma-separated (default 0,0.5,2,10)\n"
    "  --modes LIST     block, pipelined or both (default block,pipelined)\n"
    "  --sizes LIST     file sizes: bytes or with K/M suffix (default 1M,32M)\n"
    "\n"
    "The window rows: pipelined with tavik --window N, against the bound of\n"
    "N x 1 KiB per round trip and against tavik-ideal with the same window,\n"
    "run alternately with tavik.\n"
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

size_t parseSize(const std::string &option, const std::string &text)
{
    size_t scale = 1;
    std::string digits = text;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'M')) {
        scale = digits.back() == 'K' ? 1024 : 1024 * 1024;
        digits.pop_back();
    }
    double value = parseNumber(option, digits, 1, 1024.0 * 1024 * 1024);
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
    options.classicRows = options.windowRows = options.retryRows = false;
    for (const std::string &item : splitList(value)) {
        if (item == "classic")
            options.classicRows = true;
        else if (item == "window")
            options.windowRows = true;
        else if (item == "retry")
            options.retryRows = true;
        else
            usageError("--rows: bad value '" + item + "'");
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
        if (arg == "--quick") {
            options.quick = true;
            options.windowRows = options.retryRows = false;
            options.sizes = {64 * 1024};
            options.delays = {0, 0.5};
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

Case makeCase(const Options &options, Kind kind, double delay, Mode mode, size_t bytes, int window)
{
    Case c{kind, delay, mode, bytes, window, 0, 0, 0, 0};
    c.expected = expectedSeconds(delay, mode, bytes, window ? window : kWindow);
    if (kind == Kind::Window) {
        c.expectedOther = c.expected;
    } else if (kind == Kind::Retry) {
        c.closeAfter = options.closeAfter;
        c.expectedOther = c.expected;
        c.expected += expectedCloses(bytes, c.closeAfter) * (kRetryPause + 0.01);
    }
    // Classic rows that take long are run 3 times; the paired rows always
    // 5 times, as their ratios are what they are there for.
    int runs = kind == Kind::Classic && c.expected > 5 ? 3 : 5;
    c.runs = options.runs ? options.runs : runs;
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
    return cases;
}

std::string sizeText(size_t bytes)
{
    if (bytes % (1u << 20) == 0)
        return format("%zu MiB", bytes >> 20);
    if (bytes % 1024 == 0)
        return format("%zu KiB", bytes >> 10);
    return format("%zu B", bytes);
}

void printSkipped(const Options &options)
{
    if (!options.classicRows)
        return;
    for (double delay : options.delays)
        for (Mode mode : options.modes)
            for (size_t bytes : options.sizes)
                if (!worthRunning(delay, mode, bytes))
                    std::printf("  D %4g ms  %-15s  %-7s  skipped: %.0f s a run\n", delay,
                                modeName(mode), sizeText(bytes).c_str(),
                                expectedSeconds(delay, mode, bytes));
}

void printPlan(const Options &options, const std::vector<Case> &cases)
{
    double total = 0;
    std::printf("Plan (expected time of one run, and runs):\n");
    printSkipped(options);
    for (const Case &c : cases) {
        double all = (c.expected + c.expectedOther) * c.runs;
        total += all;
        std::string one = format("%7.2f s", c.expected);
        if (c.expectedOther > 0)
            one += format(" + %s %.2f s", otherName(c), c.expectedOther);
        std::printf("  D %4g ms  %-15s  %-7s  %s x %d = %6.1f s%s\n", c.delayMs,
                    caseLabel(c).c_str(), sizeText(c.bytes).c_str(), one.c_str(), c.runs, all,
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

// Repeatable pseudo-random bytes (splitmix64), so that a download that
// lands in the wrong place cannot match by chance.
void writePattern(const std::string &path, size_t bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> chunk(1 << 16);
    uint64_t state = 0x7a61'6b69'7400'0000ull + bytes;
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
        std::string path = scratch.root() + "/" + servedName(c.bytes);
        if (!fs::exists(path))
            writePattern(path, c.bytes);
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

// The stand-in device, on 127.0.0.1 and a port the system picks, holding
// each reply for the delay; with closeAfter, closing every connection
// once it has answered that many requests.
class Device {
public:
    Device(const std::string &bin, const Scratch &scratch, double delayMs, int closeAfter = 0)
        : process_(bin, arguments(scratch, delayMs, closeAfter),
                   scratch.file(closeAfter ? format("device-%g-close-%d.log", delayMs, closeAfter)
                                           : format("device-%g.log", delayMs)))
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

private:
    static std::vector<std::string> arguments(const Scratch &scratch, double delayMs,
                                              int closeAfter)
    {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--root", scratch.root(),
                                         "--delay", format("%g", delayMs)};
        if (closeAfter)
            args.insert(args.end(), {"--close-after", std::to_string(closeAfter)});
        return args;
    }

    support::DeviceProcess process_;
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
};

double seconds(const timeval &t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

std::string caseName(const Case &c)
{
    return format("D=%g ms %s %s", c.delayMs, caseLabel(c).c_str(), sizeText(c.bytes).c_str());
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

enum class Client { Tavik, Ideal };

// One run of a client against `device`.  tavik's download must be the
// served file to the byte; the ideal client writes nothing, and its exit
// status says whether every block came.
Sample runOnce(const Options &options, const Scratch &scratch, Device &device, const Case &c,
               Client client, double expected)
{
    std::string out = scratch.file("download.dat"), log = scratch.file("client.log");
    fs::remove(out);
    const char *who = client == Client::Tavik ? "tavik" : "tavik-ideal";
    std::vector<std::string> args =
        client == Client::Tavik
            ? clientArgs(options, c, out)
            : std::vector<std::string>{options.ideal, servedName(c.bytes),
                                       std::to_string(inFlight(c))};
    std::vector<std::string> env = clientEnvironment(device.port());
    int logFd = support::openForWriting(log);

    double cpu0 = processCpuSeconds(device.pid());
    double t0 = now();
    pid_t pid = support::Command(args, env).start(logFd, logFd);
    close(logFd);
    support::Exit done = awaitClient(pid, who, 30 + 5 * expected, device);
    double wall = now() - t0;
    double cpu1 = processCpuSeconds(device.pid());

    std::string said = support::readFile(log);
    if (!WIFEXITED(done.status) || WEXITSTATUS(done.status) != 0)
        throw Failure(format("%s: %s failed (%s):\n", caseName(c).c_str(), who,
                             support::exitText(done.status).c_str()) +
                      said);
    if (client == Client::Tavik) {
        requireSameFile(scratch.root() + "/" + servedName(c.bytes), out, caseName(c));
        fs::remove(out);
    }
    return Sample{wall,
                  seconds(done.usage.ru_utime) + seconds(done.usage.ru_stime),
                  seconds(done.usage.ru_stime),
                  done.usage.ru_maxrss,
                  cpu1 - cpu0,
                  countRetries(said)};
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
};

// A median with the lowest and highest value beside it.
struct Spread {
    double median, min, max;
};

Spread spreadOf(const std::vector<double> &values)
{
    return Spread{median(values), *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end())};
}

struct Row {
    Case c;
    Stats s;  // tavik's runs; in a retry row, those through the faulty device
    // Window rows: the ideal client's runs; retry rows: tavik's without faults.
    std::optional<Stats> other;
    // Run by run, each of tavik's runs against the other run of its pair:
    // window rows tavik's MiB/s over the ideal client's, retry rows the
    // time with faults over the time without.
    Spread pairs{0, 0, 0};
};

// What the delay allows: one block per round trip in block mode, a full
// window per round trip pipelined; nothing at no delay.
double boundMiBps(const Case &c)
{
    if (c.delayMs <= 0)
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

double cpuMsPerMiB(const Row &r)
{
    return r.s.clientCpu * 1000 / (static_cast<double>(r.c.bytes) / kMiB);
}

// (max - min) / median, in per cent.
double spreadPercent(double median, double min, double max)
{
    return 100 * (max - min) / median;
}

template <class F>
std::vector<double> each(const std::vector<Sample> &samples, F f)
{
    std::vector<double> out;
    for (const Sample &s : samples)
        out.push_back(f(s));
    return out;
}

Stats summarise(size_t bytes, const std::vector<Sample> &samples)
{
    double mib = static_cast<double>(bytes) / kMiB;
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
                 median(each(samples, [](const Sample &s) { return double(s.retries); }))};
}

void reportRun(const Case &c, int i, const char *who, const Sample &s)
{
    std::string extra = s.retries ? format("  %d retries", s.retries) : std::string();
    std::fprintf(stderr, "  %-30s run %d/%d %-9s %8.3f s  %8.2f MiB/s%s\n", caseName(c).c_str(),
                 i + 1, c.runs, who, s.wall, static_cast<double>(c.bytes) / kMiB / s.wall,
                 extra.c_str());
}

// A case's runs.  Window and retry rows alternate tavik with their other
// run (tavik, ideal, tavik, ideal, ...; without faults, with faults, ...),
// so that whatever the machine does meanwhile falls on both alike.
Row measure(const Options &options, const Scratch &scratch, Device &device, Device *faulty,
            const Case &c)
{
    std::vector<Sample> mine, other;
    std::vector<double> pairs;
    for (int i = 0; i < c.runs; ++i) {
        switch (c.kind) {
        case Kind::Classic:
            mine.push_back(runOnce(options, scratch, device, c, Client::Tavik, c.expected));
            reportRun(c, i, "", mine.back());
            break;
        case Kind::Window:
            mine.push_back(runOnce(options, scratch, device, c, Client::Tavik, c.expected));
            reportRun(c, i, "tavik", mine.back());
            other.push_back(runOnce(options, scratch, device, c, Client::Ideal, c.expectedOther));
            reportRun(c, i, "ideal", other.back());
            pairs.push_back(other.back().wall / mine.back().wall);
            break;
        case Kind::Retry:
            other.push_back(runOnce(options, scratch, device, c, Client::Tavik, c.expectedOther));
            reportRun(c, i, "no faults", other.back());
            mine.push_back(runOnce(options, scratch, *faulty, c, Client::Tavik, c.expected));
            reportRun(c, i, "faults", mine.back());
            pairs.push_back(mine.back().wall / other.back().wall);
            break;
        }
    }
    Row row{c, summarise(c.bytes, mine), std::nullopt, Spread{0, 0, 0}};
    if (!other.empty()) {
        row.other = summarise(c.bytes, other);
        row.pairs = spreadOf(pairs);
    }
    if (c.kind == Kind::Retry && expectedCloses(c.bytes, c.closeAfter) > 0 && row.s.retries == 0)
        std::fprintf(stderr, "  %s: tavik said nothing of retrying through a device that "
                     "closes after %d replies\n", caseName(c).c_str(), c.closeAfter);
    return row;
}

void printDeviceLog(Device &device, const std::string &what)
{
    device.requireRunning();
    device.stop();
    std::string log = support::readFile(device.log());
    if (!log.empty())
        std::fprintf(stderr, "tavik-device (%s) said:\n%s", what.c_str(), log.c_str());
}

// One device per delay, for every kind of row, and beside it for the
// retry rows one with the same delay that closes connections.  Each
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
        std::unique_ptr<Device> faulty;
        for (const Case &c : cases)
            if (c.delayMs == delay && c.kind == Kind::Retry && !faulty)
                faulty = std::make_unique<Device>(options.device, scratch, delay, c.closeAfter);
        for (size_t i = 0; i < cases.size(); ++i)
            if (cases[i].delayMs == delay)
                measured[i] = measure(options, scratch, device, faulty.get(), cases[i]);
        printDeviceLog(device, format("D=%g ms", delay));
        if (faulty)
            printDeviceLog(*faulty, format("D=%g ms, --close-after %d", delay,
                                           options.closeAfter));
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

void printWindowTable(const std::vector<Row> &rows)
{
    std::printf("Window rows: tavik -b --window N, and tavik-ideal with the same window, "
                "alternated\n");
    std::printf("%6s  %-10s  %7s  %4s  %9s  %7s  %9s  %5s  %9s  %7s  %5s  %8s  %11s  %10s  %8s  "
                "%6s  %6s\n",
                "D ms", "mode", "size", "runs", "MiB/s", "spread", "bound", "ratio", "ideal",
                "spread", "ratio", "vs ideal", "pairs", "cpu ms/MiB", "peak KiB", "dev %",
                "idev %");
    for (const Row &r : rows) {
        if (r.c.kind != Kind::Window)
            continue;
        const Stats &i = *r.other;
        std::printf("%6g  %-10s  %7s  %4d  %9.3f  %6.1f%%  %s  %s  %9.3f  %6.1f%%  %s  %8.3f  "
                    "%5.3f-%5.3f  %10.2f  %8.0f  %5.1f%%  %5.1f%%\n",
                    r.c.delayMs, caseLabel(r.c).c_str(), sizeText(r.c.bytes).c_str(), r.c.runs,
                    r.s.mibps, spreadPercent(r.s.mibps, r.s.mibpsMin, r.s.mibpsMax),
                    boundText(r.c).c_str(), ratioText(r.c, r.s).c_str(), i.mibps,
                    spreadPercent(i.mibps, i.mibpsMin, i.mibpsMax), ratioText(r.c, i).c_str(),
                    vsIdeal(r), r.pairs.min, r.pairs.max, cpuMsPerMiB(r), r.s.peakRssKiB,
                    100 * r.s.deviceShare, 100 * i.deviceShare);
    }
    std::printf("(medians over the row's runs of each; MiB/s, its spread and ratio: tavik's, ratio to the "
                "bound of\n N x 1 KiB per round trip; ideal, its spread and ratio: tavik-ideal's; "
                "vs ideal: tavik's\n MiB/s over tavik-ideal's; pairs: the lowest and highest of "
                "that, each tavik run over\n the ideal run after it; cpu, peak: tavik's user+sys "
                "per MiB and peak RSS; dev %%,\n idev %%: tavik-device's CPU time as a share of "
                "the wall time, tavik's runs and the\n ideal client's)\n\n");
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

void writeCsv(const std::string &path, const std::vector<Row> &rows)
{
    std::ofstream out(path, std::ios::trunc);
    // The first seventeen columns are those of every row; window and
    // retry rows fill the further ones of their kind, the others leave
    // them empty.  In a retry row the first ones are the runs with faults.
    out << "delay_ms,mode,size_bytes,runs,mib_per_s,mib_per_s_min,mib_per_s_max,"
           "bound_mib_per_s,ratio,wall_s,client_cpu_ms,client_sys_ms,client_cpu_ms_per_mib,"
           "peak_rss_kib,device_cpu_ms,device_cpu_share,window,"
           "row,wall_s_min,wall_s_max,"
           "ideal_mib_per_s,ideal_mib_per_s_min,ideal_mib_per_s_max,ideal_ratio,"
           "ideal_device_cpu_share,vs_ideal,vs_ideal_min,vs_ideal_max,"
           "close_after,retry,clean_wall_s,clean_wall_s_min,clean_wall_s_max,"
           "fault_time_ratio,fault_time_ratio_min,fault_time_ratio_max,retries,s_per_retry\n";
    for (const Row &r : rows) {
        double bound = boundMiBps(r.c);
        out << format("%g,%s,%zu,%d,%.4f,%.4f,%.4f,", r.c.delayMs, modeName(r.c.mode), r.c.bytes,
                      r.c.runs, r.s.mibps, r.s.mibpsMin, r.s.mibpsMax)
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
        out << "\n";
    }
    if (!out.flush())
        throw Failure("cannot write " + path);
}

const Row *findRow(const std::vector<Row> &rows, double delay, Mode mode, size_t bytes,
                   int window = 0)
{
    for (const Row &r : rows)
        if (r.c.kind != Kind::Retry && r.c.delayMs == delay && r.c.mode == mode &&
            r.c.bytes == bytes && r.c.window == window)
            return &r;
    return nullptr;
}

void printVerdict(const std::string &what, const std::string &figure, bool reached)
{
    std::printf("  %-58s %-10s %s\n", what.c_str(), figure.c_str(),
                reached ? "reached" : "NOT REACHED");
}

// The project's targets, for whatever this run measured.
void printTargets(const std::vector<Row> &rows)
{
    std::printf("Targets (medians):\n");
    for (const Row &r : rows)
        if (r.c.kind != Kind::Retry && r.c.delayMs > 0 &&
            (r.c.mode == Mode::Pipelined || r.c.delayMs >= 2))
            printVerdict(format("%s, %s, D=%g ms: >= 0.90 of bound", caseLabel(r.c).c_str(),
                                sizeText(r.c.bytes).c_str(), r.c.delayMs),
                         format("%.3f", ratio(r)), ratio(r) >= 0.90);
    for (const Row &big : rows) {
        const Row *small = findRow(rows, big.c.delayMs, big.c.mode, 1u << 20, big.c.window);
        if (big.c.kind != Kind::Retry && big.c.bytes == (32u << 20) && small) {
            double growth = big.s.peakRssKiB - small->s.peakRssKiB;
            printVerdict(format("%s, D=%g ms: peak RSS 32 MiB vs 1 MiB within 1 MiB",
                                caseLabel(big.c).c_str(), big.c.delayMs),
                         format("%+.0f KiB", growth), growth <= 1024);
        }
    }
    for (const Row &piped : rows) {
        const Row *block = findRow(rows, 0, Mode::Block, piped.c.bytes);
        if (piped.c.kind != Kind::Retry && piped.c.delayMs == 0 &&
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
