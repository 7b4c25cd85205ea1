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

#include <chrono>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

using namespace th;

namespace {

const double kSessionLimit = 30;  // seconds: every wait is 3 s, so far beyond
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
    Session s{seed, bytes, retry, Op(rng() % 3), "", {}};
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
    return s;
}

std::vector<std::string> clientArgs(const Session &s, const std::string &out)
{
    std::vector<std::string> args;
    switch (s.op) {
    case List: args = {"-l", s.name}; break;
    case Block: args = {"-g", s.name, "-o", out}; break;
    case Piped: args = {"-g", "-b", s.name, "-o", out}; break;
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
};

// Checks one finished session; returns what is wrong, or "" when all holds.
// A retrying client prints each failed attempt's message as usual; some
// go to standard output, ahead of what the last attempt printed.
std::string lastAttempt(const std::string &out)
{
    std::regex said("(Timeout or Error \\(line [0-9]+\\)\n|n = [0-9a-f]+,  size = [0-9a-f]+\n)");
    return std::regex_replace(out, said, "");
}

std::string judge(const Session &s, const Result &given, const std::string &local,
                  const Tree &tree, const std::string &deviceLog, Tally &tally)
{
    Result r = given;
    if (s.retry && r.status == 0)
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
    if (r.out.find("Timeout or Error") != std::string::npos)
        tally.timeouts++;
    bool said = !r.err.empty() || r.out.find("Timeout or Error") != std::string::npos ||
                r.out.find("Serious problem") != std::string::npos;
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
                unlink(slot.out.c_str());
                slot.client = startTavik(Call{clientArgs(slot.session, slot.out),
                                              {{"TAVIK_DEVICE", slot.endpoint}}, work.path()});
            }
            if (!slot.client || !slot.client->ended(kSessionLimit))
                continue;
            const Session &s = slot.session;
            std::string wrong = judge(s, slot.client->result(), readfile(slot.out), tree,
                                      slot.device->log(), tally);
            EXPECT_EQ(wrong, "") << "seed " << s.seed << " (" << kOpNames[s.op] << " " << s.name
                                 << ", device " << join(s.deviceOpts) << ")\n  stdout: "
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
