// Seeded sessions against a hostile device (tavik-device --chaos): whatever
// the device does, the client never dies by a signal, never hangs, exits 0
// only with exactly the right result, and otherwise exits 1 with a message
// and a local file that is a gap-free beginning of the served one.
//
// The same judge holds for sessions against `tavik-device --chaos-bytes`,
// whose damage is to the bytes on the wire: inserted, deleted or duplicated
// spans anywhere in a reply, msgSize left as framed.
//
// CHAOS_SESSIONS sets how many field-level sessions run (default 300),
// CHAOS_BYTE_SESSIONS how many byte-level ones (default 150),
// CHAOS_RETRY_SESSIONS how many of each with a retrying client (default
// 60), CHAOS_FIRST the first seed of all (default 1).  A failing session prints the command
// that replays it alone.
#include "harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

using namespace th;

namespace {

// Seconds: every wait is 3 s, so far beyond, and beyond what the largest
// download takes on a loaded machine.
const double kSessionLimit = 120;
const int kParallel = 8;          // sessions at once: most of a session is waiting

enum Op { List, Block, Piped };
const char *const kOpNames[] = {"list", "block", "pipelined"};

struct Session {
    unsigned long seed;
    bool bytes;  // --chaos-bytes instead of --chaos
    bool retry;  // the client retries; the device heals after two connections
    Op op;
    std::string name;      // remote file or folder
    std::vector<std::string> deviceOpts;
    bool tostdout = false;  // a download to standard output (-o -)
    std::vector<std::string> batch;  // several files in one run (--output-dir), name first
};

// The served tree: files of sizes that hit the edges of 1024-byte blocks,
// and folders with entry counts around the 100-entry page.
struct Tree {
    Scratch root;
    std::vector<size_t> sizes = {0, 1, 1000, 1023, 1024, 1025, 4096, 20000, 65539, 300000,
                                 1048581, 3145729};
    std::vector<int> folders = {0, 3, 99, 100, 101, 250};
    std::map<std::string, std::string> listings;  // folder -> client output, fault-free

    Tree()
    {
        for (size_t i = 0; i < sizes.size(); i++)
            writefile(root / ("f" + std::to_string(sizes[i])), pattern(sizes[i], (unsigned)i + 1));
        for (int n : folders) {
            std::string dir = root / ("d" + std::to_string(n));
            mkdir(dir.c_str(), 0755);
            for (int i = 0; i < n; i++)
                writefile(dir + "/entry" + std::to_string(i), std::string((size_t)i, 'e'));
        }
        Device dev(root.path(), {}, "192.168.255.1:15299");
        for (int n : folders) {
            std::string d = "d" + std::to_string(n);
            Result r = tavik({"-l", d}, {{"TAVIK_DEVICE", "192.168.255.1:15299"}});
            EXPECT_EQ(r.status, 0) << r.err;
            listings[d] = r.out;
        }
    }
};

template <class T>
const T &pick(std::mt19937_64 &rng, const std::vector<T> &from)
{
    return from[rng() % from.size()];
}

Session plan(unsigned long seed, bool bytes, bool retry, const Tree &tree)
{
    // Byte-level and retrying sessions draw their own plans, not those of
    // field-level sessions with the same seed.
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + (bytes ? 0x5bd1e995 : 0) +
                        (retry ? 0x27d4eb2f : 0));
    Session s{seed, bytes, retry, Op(rng() % 3), "", {}, false, {}};
    // Small files more often: many sessions, and a fault usually ends one early.
    if (s.op == List) {
        s.name = "d" + std::to_string(pick(rng, tree.folders));
    } else {
        size_t i = rng() % tree.sizes.size();
        if (rng() % 2)
            i = rng() % (tree.sizes.size() - 3);
        s.name = "f" + std::to_string(tree.sizes[i]);
    }
    std::string rate = pick(rng, std::vector<std::string>{"0.005", "0.03", "0.1", "0.3"});
    s.deviceOpts = {bytes ? "--chaos-bytes" : "--chaos", std::to_string(seed), "--chaos-rate", rate};
    if (s.op == Block) {
        std::string bs = pick(rng, std::vector<std::string>{"1024", "1000", "65259", "7", "4096"});
        s.deviceOpts.insert(s.deviceOpts.end(), {"--block-size", bs});
    }
    if (s.op == Piped && rng() % 3 == 0)
        s.deviceOpts.insert(s.deviceOpts.end(), {"--order", "shuffle:" + std::to_string(seed)});
    if (retry)
        s.deviceOpts.insert(s.deviceOpts.end(), {"--fault-connections", "2"});
    s.tostdout = s.op != List && rng() % 4 == 0;  // drawn last: the other draws stay as they were
    if (s.op != List && !s.tostdout && rng() % 3 == 0) {  // ... and so is this
        s.batch = {s.name};
        for (int k = 0; k < 2; k++)
            s.batch.push_back("f" + std::to_string(tree.sizes[rng() % (tree.sizes.size() - 2)]));
        std::sort(s.batch.begin() + 1, s.batch.end());
        s.batch.erase(std::unique(s.batch.begin(), s.batch.end()), s.batch.end());
    }
    return s;
}

std::vector<std::string> clientArgs(const Session &s, const std::string &out)
{
    std::vector<std::string> args;
    switch (s.op) {
    case List: args = {"-l", s.name}; break;
    case Block: args = {"-g", s.name, "-o", s.tostdout ? "-" : out}; break;
    case Piped: args = {"-g", "-b", s.name, "-o", s.tostdout ? "-" : out}; break;
    }
    if (!s.batch.empty()) {
        args = {"-g", "--output-dir", out, s.op == Piped ? "-b" : "-p"};
        args.insert(args.end(), s.batch.begin(), s.batch.end());
    }
    if (s.retry)
        args.insert(args.end(), {"--retry", "3"});
    return args;
}

std::string join(const std::vector<std::string> &v)
{
    std::string s;
    for (auto &a : v)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

// A listing page that claims fewer entries than its text holds makes the
// next page start inside it, and a page cut short is a valid page without
// its terminating zero: the protocol gives no way to count entries in a
// text, so no client can tell.  Such a listing must still hold only bytes
// the device served, in the order served.
bool countsLied(const std::string &deviceLog)
{
    return deviceLog.find("chaos: entries=") != std::string::npos ||
           deviceLog.find("chaos: payload=") != std::string::npos;
}

// Whether part can be had from whole by leaving bytes out.
bool servedInOrder(const std::string &part, const std::string &whole)
{
    size_t at = 0;
    for (char c : part) {
        at = whole.find(c, at);
        if (at == std::string::npos)
            return false;
        at++;
    }
    return true;
}

// The text of a printed listing, behind its "entries" line.
std::string textOf(const std::string &out)
{
    size_t at = out.find("\n\n", 1);
    return at == std::string::npos ? out : out.substr(at + 2);
}

// Whether every line of part is a line of whole (a page that undercounts
// repeats lines of the next).
bool linesOf(const std::string &part, const std::string &whole)
{
    std::istringstream in(part);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && whole.find("\n" + line + "\n") == std::string::npos)
            return false;
    return true;
}

bool plausible(const std::string &out, const std::string &served)
{
    return servedInOrder(textOf(out), textOf(served)) || linesOf(textOf(out), "\n" + textOf(served));
}

struct Tally {
    int sessions[3] = {0, 0, 0}, ok[3] = {0, 0, 0}, failed[3] = {0, 0, 0};
    int timeouts = 0, countLies = 0;
    int batches = 0, batchesOk = 0;
};

// Checks one finished session; returns what is wrong, or "" when all holds.
// A retrying client prints each failed attempt's message as usual; some
// go to standard output, ahead of what the last attempt printed.
std::string lastAttempt(const std::string &out)
{
    std::regex said("(Timeout or Error \\(line [0-9]+\\)\n|n = [0-9a-f]+,  size = [0-9a-f]+\n)");
    return std::regex_replace(out, said, "");
}

// A batch: exit 0 only with every file exact; a file said to be ok is
// exact; any other is a beginning of its served file, or not there.
std::string judgeBatch(const Session &s, const Result &r, const std::string &dir, const Tree &tree,
                       Tally &tally)
{
    tally.batches++;
    tally.batchesOk += r.status == 0;
    if (r.timedout || r.signal || r.err.find("Sanitizer") != std::string::npos ||
        r.err.find("runtime error") != std::string::npos || (r.status != 0 && r.status != 1))
        return "batch ended badly: status " + std::to_string(r.status) + ", signal " +
               std::to_string(r.signal) + (r.timedout ? ", timed out" : "");
    for (auto &name : s.batch) {
        std::string local = readfile(dir + "/" + name), served = readfile(tree.root / name);
        bool ok = r.out.find("ok " + name + " -> ") != std::string::npos;
        if ((ok || r.status == 0) && local != served)
            return name + " said to be ok, or exit 0, but differs from the served file";
        if (served.compare(0, local.size(), local) != 0)
            return name + ": not a beginning of the served file";
    }
    return r.status == 1 && r.err.empty() ? "exit 1 without a message" : "";
}

std::string judge(const Session &s, const Result &given, const std::string &local,
                  const Tree &tree, const std::string &deviceLog, Tally &tally)
{
    Result r = given;
    if (!s.batch.empty())
        return judgeBatch(s, given, local, tree, tally);
    if (s.retry && r.status == 0 && !s.tostdout)
        r.out = lastAttempt(r.out);
    std::string served = s.op == List ? tree.listings.at(s.name) : readfile(tree.root / s.name);
    if (r.timedout)
        return "did not end within " + std::to_string((int)kSessionLimit) + " s";
    if (r.signal)
        return "killed by signal " + std::to_string(r.signal);
    if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos)
        return "sanitizer report";
    tally.sessions[s.op]++;
    if (r.status == 0) {
        tally.ok[s.op]++;
        if (s.op != List)
            return local == served ? "" : "exit 0 but the local file differs from the served one";
        if (r.out == served)
            return "";
        if (countsLied(deviceLog) && plausible(r.out, served)) {
            tally.countLies++;
            return "";
        }
        return "exit 0 but the listing differs from the served one";
    }
    if (r.status != 1)
        return "exit status " + std::to_string(r.status);
    tally.failed[s.op]++;
    if ((s.tostdout ? r.err : r.out).find("Timeout or Error") != std::string::npos)
        tally.timeouts++;
    bool said = !r.err.empty() || (!s.tostdout && (r.out.find("Timeout or Error") != std::string::npos ||
                                                   r.out.find("Serious problem") != std::string::npos));
    if (!said)
        return "exit 1 without a message";
    // A listing that stopped adding up is printed, then said to be
    // incomplete; any other failure prints none of it.
    if (s.op == List && r.out.rfind("\nentries ", 0) == 0) {
        if (r.err.rfind("listing incomplete: ", 0) != 0 && r.err.rfind("list: ", 0) != 0)
            return "a listing printed, and then: " + r.err;
        if (!plausible(r.out, served))
            return "exit 1 with a listing the device did not serve";
    } else if (s.op == List && !r.out.empty() && r.out.rfind("Timeout or Error", 0) != 0) {
        return "exit 1 with output that is no listing";
    }
    if (s.op != List && served.compare(0, local.size(), local) != 0)
        return "the local file (" + std::to_string(local.size()) +
               " bytes) is not a beginning of the served one";
    return "";
}

struct Slot {
    Session session;
    std::unique_ptr<Device> device;
    std::unique_ptr<Child> client;
    std::string out, endpoint;
};

// Runs the sessions of the given seeds, kParallel at a time, judging each.
void runSessions(const std::vector<unsigned long> &seeds, Tally &tally, bool bytes = false,
                 bool retry = false)
{
    static Tree tree;
    Scratch work;
    std::vector<Slot> slots(kParallel);
    size_t next = 0, done = 0;

    while (done < seeds.size()) {
        for (size_t i = 0; i < slots.size(); i++) {
            Slot &slot = slots[i];
            if (!slot.client && next < seeds.size()) {
                slot.session = plan(seeds[next++], bytes, retry, tree);
                slot.endpoint = "192.168.255.1:" + std::to_string(15300 + i);
                slot.device = std::make_unique<Device>(tree.root.path(), slot.session.deviceOpts,
                                                       slot.endpoint);
                slot.out = work / ("out" + std::to_string(i));
                run("/bin/rm", {"-rf", slot.out});
                if (!slot.session.batch.empty())
                    mkdir(slot.out.c_str(), 0755);
                slot.client = startTavik(Call{clientArgs(slot.session, slot.out),
                                              {{"TAVIK_DEVICE", slot.endpoint}}, work.path()});
            }
            if (!slot.client || !slot.client->ended(kSessionLimit))
                continue;
            const Session &s = slot.session;
            std::string local = s.tostdout ? slot.client->result().out
                                : s.batch.empty() ? readfile(slot.out) : slot.out;
            std::string wrong = judge(s, slot.client->result(), local, tree, slot.device->log(), tally);
            EXPECT_EQ(wrong, "") << "seed " << s.seed << " (" << kOpNames[s.op] << " "
                                 << (s.batch.empty() ? s.name : "batch " + join(s.batch))
                                 << (s.tostdout ? " -o -" : "") << ", device " << join(s.deviceOpts)
                                 << ")\n  stdout: "
                                 << slot.client->result().out.substr(0, 300)
                                 << "\n  stderr: " << slot.client->result().err.substr(0, 300)
                                 << "\n  replay: CHAOS_FIRST=" << s.seed
                                 << (s.retry  ? " CHAOS_SESSIONS=0 CHAOS_BYTE_SESSIONS=0 CHAOS_RETRY_SESSIONS=1"
                                     : s.bytes ? " CHAOS_SESSIONS=0 CHAOS_BYTE_SESSIONS=1 CHAOS_RETRY_SESSIONS=0"
                                               : " CHAOS_SESSIONS=1 CHAOS_BYTE_SESSIONS=0 CHAOS_RETRY_SESSIONS=0")
                                 << " tests/netns.sh build/tests/chaos";
            slot.client.reset();
            slot.device.reset();
            done++;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Runs `variable` (or `fallback`) sessions from CHAOS_FIRST and prints the tally.
void runCounted(const char *variable, unsigned long fallback, bool bytes, bool retry = false)
{
    const char *n = getenv(variable), *first = getenv("CHAOS_FIRST");
    unsigned long count = n ? std::stoul(n) : fallback, seed0 = first ? std::stoul(first) : 1;
    std::vector<unsigned long> seeds;
    for (unsigned long seed = seed0; seed < seed0 + count; seed++)
        seeds.push_back(seed);
    Tally tally;
    runSessions(seeds, tally, bytes, retry);

    printf("%s: %lu sessions from seed %lu\n",
           retry ? "chaos-retry" : bytes ? "chaos-bytes" : "chaos", count, seed0);
    for (int op = 0; op < 3; op++)
        printf("  %-9s %4d sessions: %4d exit 0 (exact), %4d exit 1\n", kOpNames[op],
               tally.sessions[op], tally.ok[op], tally.failed[op]);
    printf("  timeouts %d; listings whose counts the device falsified, printed as served: %d\n",
           tally.timeouts, tally.countLies);
    printf("  batches of 2 or 3 files (not counted above): %d, %d exit 0 (all exact)\n",
           tally.batches, tally.batchesOk);
}

TEST(Chaos, HostileDeviceSessions)
{
    runCounted("CHAOS_SESSIONS", 300, false);
}

// Damage a field-level fault cannot make: a reply whose true end lies
// elsewhere than its msgSize says, in any reply, the final one included.
TEST(Chaos, ByteDamageSessions)
{
    runCounted("CHAOS_BYTE_SESSIONS", 150, true);
}

// The same faults, both kinds, on the first two connections only, and a
// client that retries: whatever the attempts went through, exit 0 only
// with the exact result, and a failure leaves a beginning of the file.
TEST(Chaos, RetryingSessions)
{
    runCounted("CHAOS_RETRY_SESSIONS", 60, false, true);
    const char *first = getenv("CHAOS_FIRST");
    if (first == nullptr)
        runCounted("CHAOS_RETRY_SESSIONS", 60, true, true);
}

// Resumed downloads against a device whose file may be rewritten between
// connections (in two stretches, wholly, or to another size), with
// a local file that may be a right beginning, wrong anywhere, too long, or
// of another file, through faults on the first connections.  Exit 0 only
// with one version whole (but for a stretch rewritten where no compared
// block lies, which is counted); exit 1 with a beginning of one version,
// or the local file as it was.  CHAOS_RESUME_SESSIONS sets how many (default 40);
// CHAOS_CLIENT runs another build of tavik through the same sessions.
struct Resumed {
    unsigned long seed;
    bool piped, resume;
    std::string a, b, before;  // served first, served after the first connection, local
    std::vector<std::string> deviceOpts;
    std::string kind;  // what was done to the file and the local one, for the tally
};

Resumed planResumed(unsigned long seed)
{
    std::mt19937_64 rng(seed * 0xC2B2AE3D27D4EB4Full + 0x165667B1);
    Resumed s{seed, rng() % 2 == 0, rng() % 2 == 0, "", "", "", {}, ""};
    size_t size = 3000 + rng() % 150000;
    s.a = pattern(size, (unsigned)rng());
    s.b = s.a;
    switch (rng() % 4) {
    case 0: s.kind = "same"; break;
    case 1:  // rewritten in place in two stretches, one in each half, as a ring buffer is
        for (size_t half = 0; half < 2; half++) {
            size_t at = half * size / 2 + rng() % (size / 2);
            size_t len = std::min<size_t>(size - at, 1 + rng() % 20000);
            s.b.replace(at, len, pattern(len, (unsigned)rng()));
        }
        s.kind = "stretch";
        break;
    case 2: s.b = pattern(size, (unsigned)rng()); s.kind = "whole"; break;
    default: s.b = pattern(size + 1 + rng() % 5000, (unsigned)rng()); s.kind = "resized"; break;
    }
    if (s.resume) {
        size_t len = rng() % (size + 1);
        switch (rng() % 4) {
        case 0: s.before = s.a.substr(0, len); s.kind += "/right"; break;
        case 1:
            s.before = s.a.substr(0, std::max<size_t>(len, 1));
            s.before[rng() % s.before.size()] ^= 0x40;
            s.kind += "/wrong";
            break;
        case 2: s.before = s.a + pattern(1 + rng() % 3000, 7); s.kind += "/longer"; break;
        default: s.before = pattern(len, (unsigned)rng()); s.kind += "/other"; break;
        }
    }
    std::string faults = std::to_string(1 + rng() % 2);
    s.deviceOpts = {"--delay", "2", "--fault-connections", faults};
    switch (rng() % 3) {
    case 0: s.deviceOpts.insert(s.deviceOpts.end(), {"--close-after", std::to_string(20 + rng() % 80)}); break;
    case 1: s.deviceOpts.insert(s.deviceOpts.end(), {"--chaos", std::to_string(seed), "--chaos-rate", "0.03"}); break;
    default: s.deviceOpts.insert(s.deviceOpts.end(), {"--chaos-bytes", std::to_string(seed), "--chaos-rate", "0.03"}); break;
    }
    return s;
}

// Whether file is `before` with bytes of `v` appended at their offsets:
// what a run makes of a local file wrong where nothing compared lies.
bool behind(const std::string &file, const std::string &before, const std::string &v)
{
    return file.size() >= before.size() && file.size() <= v.size() &&
           file.compare(0, before.size(), before) == 0 &&
           file.compare(before.size(), std::string::npos, v, before.size(), file.size() - before.size()) == 0;
}

// "" when all holds; else what kind of wrong: a mix that no comparison of
// blocks could see ("mix: ..."), or a fault.
std::string judgeResumed(const Resumed &s, const Result &r, const std::string &local)
{
    if (r.timedout)
        return "did not end";
    if (r.signal || (r.status != 0 && r.status != 1))
        return "ended badly";
    auto begins = [&](const std::string &v) { return v.compare(0, local.size(), local) == 0 && local.size() <= v.size(); };
    bool unseenLocal = s.resume && (behind(local, s.before, s.a) || behind(local, s.before, s.b));
    if (r.status == 0 && (local == s.a || local == s.b))
        return "";
    if (r.status == 1 && (local == s.before || begins(s.a) || begins(s.b)))
        return "";
    if (unseenLocal)
        return r.status == 0 ? "mix: a local file wrong where nothing was compared" : "";
    if (r.status == 0)
        return "mix: versions of the device's file";
    return "exit 1 with a file that is no beginning of one version";
}

TEST(Chaos, ResumeSessions)
{
    const char *n = getenv("CHAOS_RESUME_SESSIONS"), *first = getenv("CHAOS_FIRST");
    const char *client = getenv("CHAOS_CLIENT");
    unsigned long count = n ? std::stoul(n) : 40, seed0 = first ? std::stoul(first) : 1;
    if (client)
        tavikBin = client;
    struct Running {
        Resumed s;
        std::unique_ptr<Scratch> dir;
        std::unique_ptr<Device> device;
        std::unique_ptr<Child> client;
        bool swapped = false;
    };
    std::vector<Running> slots(kParallel);
    std::map<std::string, int> sessions, mixed, wrong, ok;
    int mixedLocal = 0;
    unsigned long next = seed0, done = 0;
    while (done < count) {
        for (size_t i = 0; i < slots.size(); i++) {
            Running &slot = slots[i];
            if (!slot.client && next < seed0 + count) {
                slot.s = planResumed(next++);
                slot.dir = std::make_unique<Scratch>();
                mkdir((*slot.dir / "root").c_str(), 0755);
                writefile(*slot.dir / "root/f", slot.s.a);
                std::string out = *slot.dir / "out", ep = "192.168.255.1:" + std::to_string(15320 + i);
                if (slot.s.resume)
                    writefile(out, slot.s.before);
                slot.device = std::make_unique<Device>(*slot.dir / "root", slot.s.deviceOpts, ep);
                std::vector<std::string> args = {"-g", "f", "-o", out, "--retry", "3"};
                if (slot.s.piped)
                    args.push_back("-b");
                if (slot.s.resume)
                    args.push_back("--continue");
                slot.client = startTavik(Call{args, {{"TAVIK_DEVICE", ep}}, slot.dir->path()});
                slot.swapped = false;
            }
            if (!slot.client)
                continue;
            // The file is replaced once the first connection has opened it.
            if (!slot.swapped && slot.device->log().find(" get ") != std::string::npos) {
                writefile(*slot.dir / "root/f.new", slot.s.b);
                rename((*slot.dir / "root/f.new").c_str(), (*slot.dir / "root/f").c_str());
                slot.swapped = true;
            }
            if (!slot.client->ended(kSessionLimit))
                continue;
            const Result &r = slot.client->result();
            std::string verdict = judgeResumed(slot.s, r, readfile(*slot.dir / "out"));
            sessions[slot.s.kind]++;
            ok[slot.s.kind] += r.status == 0 && verdict.empty();
            mixed[slot.s.kind] += verdict.rfind("mix: ", 0) == 0;
            mixedLocal += verdict.rfind("mix: a local file", 0) == 0;
            wrong[slot.s.kind] += !verdict.empty();
            // A file rewritten, or a local file wrong, only where no block was
            // compared cannot be seen (the protocol has no checksum): counted,
            // not a failure; the whole file changed, or to another size, always is.
            bool unseeable = verdict.rfind("mix: a local file", 0) == 0 ||
                             (verdict.rfind("mix: ", 0) == 0 && slot.s.kind.rfind("stretch", 0) == 0);
            EXPECT_TRUE(verdict.empty() || unseeable) << verdict << ": seed " << slot.s.seed << " (" << slot.s.kind
                                   << (slot.s.piped ? ", pipelined" : ", block") << ", device "
                                   << join(slot.s.deviceOpts) << ")\n  stderr: " << r.err.substr(0, 400)
                                   << "\n  replay: CHAOS_FIRST=" << slot.s.seed
                                   << " CHAOS_RESUME_SESSIONS=1 tests/netns.sh build/tests/chaos"
                                      " --gtest_filter=Chaos.ResumeSessions";
            slot.client.reset();
            slot.device.reset();
            slot.dir.reset();
            done++;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int all = 0, allMixed = 0, allWrong = 0;
    printf("chaos-resume: %lu sessions from seed %lu (%s)\n", count, seed0, tavikBin.c_str());
    for (auto &[kind, k] : sessions) {
        printf("  %-16s %4d sessions: %4d exit 0 exact, %3d exit 0 mixed, %3d other faults\n",
               kind.c_str(), k, ok[kind], mixed[kind], wrong[kind] - mixed[kind]);
        all += k, allMixed += mixed[kind], allWrong += wrong[kind];
    }
    printf("  all %d: %d exit 0 with a mix (%d of them behind a local file wrong where nothing was "
           "compared), %d other faults\n", all, allMixed, mixedLocal, allWrong - allMixed);
}

// Seeds that once found a fault, kept whatever range the run above covers:
// 890, 870, 939, 1031, 1433: a pipelined reply whose size overstated its
// payload took in the start of the next reply, and its block was kept with
// those bytes in it.  1852, 1968: a first listing page that did not echo
// the entry asked for ended the listing early with exit 0.
TEST(Chaos, SeedsThatFoundFaults)
{
    if (getenv("CHAOS_FIRST"))
        GTEST_SKIP() << "replaying one range";
    Tally tally;
    runSessions({890, 870, 939, 1031, 1433, 1852, 1968}, tally);
    EXPECT_EQ(tally.ok[List] + tally.failed[List], 2);
}

}  // namespace
