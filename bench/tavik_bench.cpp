// tavik-bench: measures tavik's downloads against a tavik-device on
// 127.0.0.1 that holds each reply for an emulated round-trip delay.
//
// For every delay, mode and file size it runs the client a few times and
// reports medians: throughput (wall time of the client process), the ratio
// to what the delay allows, the client's CPU time per MiB and peak RSS, and
// the device's CPU time, to show the device is not what limits a run.
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
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/support.h"

namespace {

namespace fs = std::filesystem;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kWindow = 16;        // requests the pipelined mode keeps in flight
constexpr int kBlock = 1024;       // bytes per block, both modes

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

struct Options {
    bool quick = false;
    int runs = 0;  // 0: chosen per case from its expected length
    std::string csv = "bench/results.csv";
    std::string tavik = TAVIK_BIN;
    std::string device = TAVIK_DEVICE_BIN;
    // The classic rows: every delay, mode and size.
    bool classicRows = true;
    std::vector<double> delays = {0, 0.5, 2, 10};
    std::vector<Mode> modes = {Mode::Block, Mode::Pipelined};
    std::vector<size_t> sizes = {1u << 20, 32u << 20};
    // The window rows: pipelined with --window N, for every N and delay.
    bool windowRows = true;
    std::vector<int> windows = {16, 64, 256};
    std::vector<double> windowDelays = {2, 10};
    size_t windowBytes = 32u << 20;
};

struct Case {
    double delayMs;
    Mode mode;
    size_t bytes;
    int window;  // the client's --window; 0: not given, its default
    int runs;
    double expected;  // seconds for one run
};

// Requests a pipelined case keeps in flight.
int inFlight(const Case &c)
{
    return c.window ? c.window : kWindow;
}

std::string caseLabel(const Case &c)
{
    return c.window ? format("window %d", c.window) : modeName(c.mode);
}

const char kUsage[] =
    "Usage: tavik-bench [OPTION]...\n"
    "Downloads files with tavik from a tavik-device on 127.0.0.1 at several\n"
    "emulated round-trip delays, in both modes, and reports medians.\n"
    "\n"
    "  --quick          a tiny run of the classic rows: 64 KiB, delays 0 and\n"
    "                   0.5 ms, one run each\n"
    "  --runs N         runs per case (default: 5, or 3 where a run is long)\n"
    "  --rows LIST      classic, window or both (default classic,window)\n"
    "\n"
    "The classic rows: every delay, mode and size.\n"
    "  --delays LIST    delays in ms, comma-separated (default 0,0.5,2,10)\n"
    "  --modes LIST     block, pipelined or both (default block,pipelined)\n"
    "  --sizes LIST     file sizes: bytes or with K/M suffix (default 1M,32M)\n"
    "\n"
    "The window rows: pipelined with tavik --window N, the bound N x 1 KiB per\n"
    "round trip.\n"
    "  --windows LIST        values of N (default 16,64,256)\n"
    "  --window-delays LIST  delays in ms (default 2,10)\n"
    "  --window-size SIZE    file size (default 32M)\n"
    "\n"
    "  --csv PATH       where the table goes as CSV (default bench/results.csv)\n"
    "  --tavik PATH     the client to measure\n"
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

Mode parseMode(const std::string &text)
{
    if (text == "block")
        return Mode::Block;
    if (text == "pipelined")
        return Mode::Pipelined;
    usageError("--modes: bad value '" + text + "'");
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
    options.classicRows = options.windowRows = false;
    for (const std::string &item : splitList(value)) {
        if (item == "classic")
            options.classicRows = true;
        else if (item == "window")
            options.windowRows = true;
        else
            usageError("--rows: bad value '" + item + "'");
    }
}

void applyOption(Options &options, const std::string &name, const std::string &value)
{
    if (name == "--runs") {
        options.runs = static_cast<int>(parseNumber(name, value, 1, 1000));
    } else if (name == "--rows") {
        parseRows(options, value);
    } else if (name == "--delays") {
        options.delays = parseDelays(name, value);
    } else if (name == "--window-delays") {
        options.windowDelays = parseDelays(name, value);
    } else if (name == "--windows") {
        options.windows.clear();
        for (const std::string &item : splitList(value)) {
            double window = parseNumber(name, item, 1, 256);
            if (window != std::floor(window))
                usageError(name + ": bad value '" + item + "'");
            options.windows.push_back(static_cast<int>(window));
        }
    } else if (name == "--window-size") {
        options.windowBytes = parseSize(name, value);
    } else if (name == "--modes") {
        options.modes.clear();
        for (const std::string &item : splitList(value))
            options.modes.push_back(parseMode(item));
    } else if (name == "--sizes") {
        options.sizes.clear();
        for (const std::string &item : splitList(value))
            options.sizes.push_back(parseSize(name, item));
    } else if (name == "--csv") {
        options.csv = value;
    } else if (name == "--tavik") {
        options.tavik = value;
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
            options.windowRows = false;
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

// Block mode at 10 ms needs ten seconds per MiB: only the small file.
bool worthRunning(double delayMs, Mode mode, size_t bytes)
{
    return !(mode == Mode::Block && delayMs >= 10 && bytes > (1u << 20));
}

Case makeCase(const Options &options, double delay, Mode mode, size_t bytes, int window)
{
    double expected = expectedSeconds(delay, mode, bytes, window ? window : kWindow);
    int runs = options.runs ? options.runs : expected > 5 ? 3 : 5;
    return Case{delay, mode, bytes, window, runs, expected};
}

std::vector<Case> planCases(const Options &options)
{
    std::vector<Case> cases;
    if (options.classicRows)
        for (double delay : options.delays)
            for (Mode mode : options.modes)
                for (size_t bytes : options.sizes)
                    if (worthRunning(delay, mode, bytes))
                        cases.push_back(makeCase(options, delay, mode, bytes, 0));
    if (options.windowRows)
        for (double delay : options.windowDelays)
            for (int window : options.windows)
                cases.push_back(
                    makeCase(options, delay, Mode::Pipelined, options.windowBytes, window));
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
                    std::printf("  D %4g ms  %-10s  %-7s  skipped: %.0f s a run\n", delay,
                                modeName(mode), sizeText(bytes).c_str(),
                                expectedSeconds(delay, mode, bytes));
}

void printPlan(const Options &options, const std::vector<Case> &cases)
{
    double total = 0;
    std::printf("Plan (expected time of one run, and runs):\n");
    printSkipped(options);
    for (const Case &c : cases) {
        double all = c.expected * c.runs;
        total += all;
        std::printf("  D %4g ms  %-10s  %-7s  %7.2f s x %d = %6.1f s%s\n", c.delayMs,
                    caseLabel(c).c_str(), sizeText(c.bytes).c_str(), c.expected, c.runs, all,
                    c.runs == 3 && c.expected > 5 ? "  (long: 3 runs)" : "");
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
// each reply for the delay.
class Device {
public:
    Device(const std::string &bin, const Scratch &scratch, double delayMs)
        : process_(bin,
                   {"--listen", "127.0.0.1:0", "--root", scratch.root(), "--delay",
                    format("%g", delayMs)},
                   scratch.file(format("device-%g.log", delayMs)))
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

// The environment of a client run.  The client's built-in endpoint is the
// real device, so the run must carry TAVIK_DEVICE, naming a loopback
// address: anything else is refused before the client exists.
std::vector<std::string> clientEnvironment(int port)
{
    std::vector<std::string> env =
        support::childEnvironment({{"TAVIK_DEVICE", format("127.0.0.1:%d", port)}});
    support::requireLoopbackDevice(env);
    return env;
}

// Waits for `pid` with a deadline, watching that the device stays up.
support::Exit awaitClient(pid_t pid, double limit, Device &device)
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
            throw Failure(format("tavik took longer than %.0f s: killed", limit));
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
    args.insert(args.end(), {servedName(c.bytes), "-o", out});
    return args;
}

Sample runOnce(const Options &options, const Scratch &scratch, Device &device, const Case &c)
{
    std::string out = scratch.file("download.dat"), log = scratch.file("client.log");
    fs::remove(out);
    std::vector<std::string> env = clientEnvironment(device.port());
    int logFd = support::openForWriting(log);

    double cpu0 = processCpuSeconds(device.pid());
    double t0 = now();
    pid_t pid = support::Command(clientArgs(options, c, out), env).start(logFd, logFd);
    close(logFd);
    support::Exit done = awaitClient(pid, 30 + 5 * c.expected, device);
    double wall = now() - t0;
    double cpu1 = processCpuSeconds(device.pid());

    if (!WIFEXITED(done.status) || WEXITSTATUS(done.status) != 0)
        throw Failure(caseName(c) + ": tavik failed (" + support::exitText(done.status) +
                      "):\n" + support::readFile(log));
    requireSameFile(scratch.root() + "/" + servedName(c.bytes), out, caseName(c));
    fs::remove(out);
    return Sample{wall, seconds(done.usage.ru_utime) + seconds(done.usage.ru_stime),
                  seconds(done.usage.ru_stime), done.usage.ru_maxrss, cpu1 - cpu0};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Row {
    Case c;
    double mibps, mibpsMin, mibpsMax;
    double wall;
    double clientCpu;
    double clientSys;
    double peakRssKiB;
    double deviceCpu;
    double deviceShare;  // device CPU / wall, per run
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

double ratio(const Row &r)
{
    double bound = boundMiBps(r.c);
    return bound > 0 ? r.mibps / bound : 0;
}

double cpuMsPerMiB(const Row &r)
{
    return r.clientCpu * 1000 / (static_cast<double>(r.c.bytes) / kMiB);
}

template <class F>
std::vector<double> each(const std::vector<Sample> &samples, F f)
{
    std::vector<double> out;
    for (const Sample &s : samples)
        out.push_back(f(s));
    return out;
}

Row summarise(const Case &c, const std::vector<Sample> &samples)
{
    double mib = static_cast<double>(c.bytes) / kMiB;
    std::vector<double> rates = each(samples, [&](const Sample &s) { return mib / s.wall; });
    return Row{c,
               median(rates),
               *std::min_element(rates.begin(), rates.end()),
               *std::max_element(rates.begin(), rates.end()),
               median(each(samples, [](const Sample &s) { return s.wall; })),
               median(each(samples, [](const Sample &s) { return s.clientCpu; })),
               median(each(samples, [](const Sample &s) { return s.clientSys; })),
               median(each(samples, [](const Sample &s) { return double(s.peakRssKiB); })),
               median(each(samples, [](const Sample &s) { return s.deviceCpu; })),
               median(each(samples, [](const Sample &s) { return s.deviceCpu / s.wall; }))};
}

Row measure(const Options &options, const Scratch &scratch, Device &device, const Case &c)
{
    std::vector<Sample> samples;
    for (int i = 0; i < c.runs; ++i) {
        samples.push_back(runOnce(options, scratch, device, c));
        std::fprintf(stderr, "  %-28s run %d/%d: %8.3f s  %8.2f MiB/s\n", caseName(c).c_str(),
                     i + 1, c.runs, samples.back().wall,
                     static_cast<double>(c.bytes) / kMiB / samples.back().wall);
    }
    return summarise(c, samples);
}

// One device per delay, classic and window rows alike; the device's own
// log shows anything it had to say.  The rows come back in plan order.
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
        for (size_t i = 0; i < cases.size(); ++i)
            if (cases[i].delayMs == delay)
                measured[i] = measure(options, scratch, device, cases[i]);
        device.requireRunning();
        device.stop();
        std::string log = support::readFile(device.log());
        if (!log.empty())
            std::fprintf(stderr, "tavik-device (D=%g ms) said:\n%s", delay, log.c_str());
    }
    std::vector<Row> rows;
    for (std::optional<Row> &row : measured)
        rows.push_back(*row);
    return rows;
}

// ---- Reporting ------------------------------------------------------------

void printTable(const std::vector<Row> &rows)
{
    std::printf("%6s  %-10s  %7s  %4s  %9s  %9s  %5s  %7s  %10s  %8s  %8s  %6s\n", "D ms", "mode",
                "size", "runs", "MiB/s", "bound", "ratio", "spread", "cpu ms/MiB", "peak KiB",
                "dev ms", "dev %");
    for (const Row &r : rows) {
        double bound = boundMiBps(r.c);
        std::string boundText = bound > 0 ? format("%9.3f", bound) : format("%9s", "-");
        std::string ratioText = bound > 0 ? format("%5.3f", ratio(r)) : format("%5s", "-");
        std::printf("%6g  %-10s  %7s  %4d  %9.3f  %s  %s  %6.1f%%  %10.2f  %8.0f  %8.1f  %5.1f%%\n",
                    r.c.delayMs, caseLabel(r.c).c_str(), sizeText(r.c.bytes).c_str(), r.c.runs,
                    r.mibps, boundText.c_str(), ratioText.c_str(),
                    100 * (r.mibpsMax - r.mibpsMin) / r.mibps, cpuMsPerMiB(r), r.peakRssKiB,
                    r.deviceCpu * 1000, 100 * r.deviceShare);
    }
    std::printf("(medians; window N: pipelined with --window N, bound N x 1 KiB per round "
                "trip;\n spread: (max-min)/median of MiB/s; cpu: client user+sys; "
                "peak: client peak RSS;\n dev: tavik-device CPU time over the run, and as a "
                "share of its wall time)\n\n");
}

void writeCsv(const std::string &path, const std::vector<Row> &rows)
{
    std::ofstream out(path, std::ios::trunc);
    out << "delay_ms,mode,size_bytes,runs,mib_per_s,mib_per_s_min,mib_per_s_max,"
           "bound_mib_per_s,ratio,wall_s,client_cpu_ms,client_sys_ms,client_cpu_ms_per_mib,"
           "peak_rss_kib,device_cpu_ms,device_cpu_share,window\n";
    for (const Row &r : rows) {
        double bound = boundMiBps(r.c);
        out << format("%g,%s,%zu,%d,%.4f,%.4f,%.4f,", r.c.delayMs, modeName(r.c.mode), r.c.bytes,
                      r.c.runs, r.mibps, r.mibpsMin, r.mibpsMax)
            << (bound > 0 ? format("%.4f,%.4f,", bound, ratio(r)) : std::string(",,"))
            << format("%.6f,%.3f,%.3f,%.3f,%.0f,%.3f,%.4f,", r.wall, r.clientCpu * 1000,
                      r.clientSys * 1000, cpuMsPerMiB(r), r.peakRssKiB, r.deviceCpu * 1000,
                      r.deviceShare)
            << (r.c.window ? std::to_string(r.c.window) : std::string()) << "\n";
    }
    if (!out.flush())
        throw Failure("cannot write " + path);
}

const Row *findRow(const std::vector<Row> &rows, double delay, Mode mode, size_t bytes,
                   int window = 0)
{
    for (const Row &r : rows)
        if (r.c.delayMs == delay && r.c.mode == mode && r.c.bytes == bytes &&
            r.c.window == window)
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
        if (r.c.delayMs > 0 && (r.c.mode == Mode::Pipelined || r.c.delayMs >= 2))
            printVerdict(format("%s, %s, D=%g ms: >= 0.90 of bound", caseLabel(r.c).c_str(),
                                sizeText(r.c.bytes).c_str(), r.c.delayMs),
                         format("%.3f", ratio(r)), ratio(r) >= 0.90);
    for (const Row &big : rows) {
        const Row *small = findRow(rows, big.c.delayMs, big.c.mode, 1u << 20, big.c.window);
        if (big.c.bytes == (32u << 20) && small) {
            double growth = big.peakRssKiB - small->peakRssKiB;
            printVerdict(format("%s, D=%g ms: peak RSS 32 MiB vs 1 MiB within 1 MiB",
                                caseLabel(big.c).c_str(), big.c.delayMs),
                         format("%+.0f KiB", growth), growth <= 1024);
        }
    }
    for (const Row &piped : rows) {
        const Row *block = findRow(rows, 0, Mode::Block, piped.c.bytes);
        if (piped.c.delayMs == 0 && piped.c.mode == Mode::Pipelined && block)
            printVerdict(format("D=0, %s: %s >= 3x block", sizeText(piped.c.bytes).c_str(),
                                caseLabel(piped.c).c_str()),
                         format("%.2fx", piped.mibps / block->mibps),
                         piped.mibps >= 3 * block->mibps);
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
    printTable(rows);
    if (!options.quick)  // a tiny file says nothing about them
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
