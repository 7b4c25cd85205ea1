// Resuming and retrying downloads, and windows wider than 16: what goes
// on from a local file only after it was compared, what is retried and
// what is not, and how many requests a window keeps in flight.
#include "harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <thread>

using namespace th;

namespace {

// The offset of the first block request on each connection, from the
// device's log ("T conn N get 'NAME' offset X").
std::vector<long> firstOffsets(const std::string &log)
{
    std::vector<long> first;
    std::regex get("conn ([0-9]+) get '[^']*' offset ([0-9]+)");
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, get))
            continue;
        size_t conn = std::stoul(m[1]);
        if (conn > first.size()) {
            first.resize(conn, -1);
            first[conn - 1] = std::stol(m[2]);
        }
    }
    return first;
}

// For each connection after the first, the ms from the last request of the
// one before to its own first ("T conn N get ..." in the device's log).
std::vector<double> reconnects(const std::string &log)
{
    std::vector<double> gaps;
    std::regex get("^([0-9.]+) conn ([0-9]+) get ");
    std::istringstream in(log);
    double last = 0;
    size_t conn = 0;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, get))
            continue;
        double t = std::stod(m[1]);
        if (std::stoul(m[2]) != conn) {
            if (conn > 0)
                gaps.push_back(t - last);
            conn = std::stoul(m[2]);
        }
        last = t;
    }
    return gaps;
}

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        n++;
    return n;
}

// The requests a resume compares with, after its first: offset 0 and
// blocks spread below the first request, multiples of 1024, ascending.
// Returns how many there are.
size_t spread(const std::vector<long> &offs, size_t from)
{
    size_t n = 0;
    while (from + n < offs.size() && offs[from + n] < offs[0] && (n == 0 || offs[from + n] > offs[from + n - 1]))
        n++;
    EXPECT_GT(n, 0u);
    EXPECT_EQ(offs[from], 0);
    for (size_t i = from; i < from + n; i++)
        EXPECT_EQ(offs[i] % 1024, 0) << i;
    return n;
}

struct Resume : ::testing::Test {
    Scratch root, work;
    std::string file = pattern(20000, 30);
    Resume() { writefile(root / "f.dat", file); }
    std::string out() { return work / "out"; }
    std::string local() { return readfile(out()); }
    Result get(bool piped, std::vector<std::string> extra)
    {
        std::vector<std::string> args = {"-g", "f.dat", "-o", out()};
        if (piped)
            args.push_back("-b");
        args.insert(args.end(), extra.begin(), extra.end());
        return tavik(args, {}, work.path());
    }
};

TEST_F(Resume, ContinueGoesOnOnlyFromABeginningOfTheRemoteFile)
{
    for (bool piped : {false, true}) {
        std::string mode = piped ? "pipelined" : "block";
        {
            // A correct half: compared from 1024 bytes before its end,
            // then at every block below that (there are fewer than 16).
            Device dev(root.path());
            writefile(out(), file.substr(0, 10000));
            Result r = get(piped, {"--continue"});
            EXPECT_EQ(r.status, 0) << mode << ": " << r.err;
            EXPECT_TRUE(local() == file) << mode;
            auto offs = dev.getOffsets();
            ASSERT_GE(offs.size(), 3u);
            EXPECT_EQ(offs[0], piped ? 8192 : 8976) << mode;
            size_t below = (size_t)(offs[0] + 1023) / 1024;
            EXPECT_EQ(spread(offs, 1), below) << mode;
            for (size_t i = 1 + below; i < offs.size(); i++)
                EXPECT_GT(offs[i], offs[0]) << mode << " " << i;
            EXPECT_EQ(r.out, piped ? "Filesize 20000 bytes (blocks 20)\n" : "\nfilesize      20000  \n");
        }
        {
            // Complete already: the last KiB and 16 blocks compared,
            // nothing written.
            Device dev(root.path());
            struct stat before;
            stat(out().c_str(), &before);
            Result r = get(piped, {"--continue"});
            EXPECT_EQ(r.status, 0) << mode << ": " << r.err;
            EXPECT_TRUE(local() == file) << mode;
            auto offs = dev.getOffsets();
            ASSERT_GE(offs.size(), 2u);
            EXPECT_EQ(offs[0], piped ? 18432 : 18976) << mode;
            EXPECT_EQ(spread(offs, 1), 16u) << mode;
            EXPECT_EQ(offs.size(), piped ? 18u : 17u) << mode;  // and 19456, the rest of the KiB
            struct stat after;
            stat(out().c_str(), &after);
            EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << mode;
        }
        struct Bad {
            std::string local, err;
        };
        // Wrong near its end, only in its first block, or only far back.
        std::string spoiled = file.substr(0, 10000), first = spoiled, middle = spoiled;
        spoiled[9990] ^= 1;
        first[10] ^= 1;
        middle[4500] ^= 1;
        for (const Bad &b : {Bad{spoiled, "not a beginning of"}, Bad{first, "not a beginning of"},
                             Bad{middle, "not a beginning of"}, Bad{file + "x", "longer than"},
                             Bad{file + pattern(30000, 35), "longer than"}}) {
            Device dev(root.path());
            writefile(out(), b.local);
            Result r = get(piped, {"--continue"});
            EXPECT_EQ(r.status, 1) << mode;
            EXPECT_EQ(r.err, "cannot continue: the local file is " + b.err + " the remote file\n")
                << mode;
            EXPECT_TRUE(local() == b.local) << mode << ": untouched";
        }
        {
            // Without a local file, a plain download.
            Device dev(root.path());
            unlink(out().c_str());
            Result r = get(piped, {"--continue"});
            EXPECT_EQ(r.status, 0) << mode << ": " << r.err;
            EXPECT_TRUE(local() == file) << mode;
            EXPECT_EQ(dev.getOffsets()[0], 0) << mode;
        }
    }
}

TEST_F(Resume, AReplyThatDoesNotFrameDoesNotCondemnTheLocalFile)
{
    // Reply 2 claims more than it carries, so the block compared with the
    // local file holds the start of reply 3 and differs: that is the
    // link's fault, so the attempt is retried and the file stays whole.
    for (bool piped : {false, true}) {
        Device dev(root.path(), {"--mangle", "payload=600@2", "--mangle", "msgSize=1300@2",
                                 "--fault-connections", "1"});
        writefile(out(), file.substr(0, 10000));
        Result r = get(piped, {"--continue", "--retry", "3"});
        EXPECT_EQ(r.status, 0) << piped << ": " << r.err;
        // The attempt got no further, so the next one waits a little.
        EXPECT_NE(r.err.find("retrying (1 of 3) from byte 10000 in 1 s: "), std::string::npos) << r.err;
        EXPECT_TRUE(local() == file) << piped;
    }
}

TEST_F(Resume, RetryGoesOnAfterEveryCloseFromWhatWasVerified)
{
    // A device that closes every connection after 100 replies: both modes
    // at once, each against its own device.
    std::string big = pattern(1 << 20, 31);
    writefile(root / "big.dat", big);
    std::vector<std::unique_ptr<Device>> devs;
    std::vector<Call> calls;
    for (int i = 0; i < 2; i++) {
        std::string ep = "192.168.255.1:" + std::to_string(15400 + i);
        devs.push_back(std::make_unique<Device>(root.path(), std::vector<std::string>{"--close-after", "100"}, ep));
        std::vector<std::string> args = {"-g", "big.dat", "-o", work / std::to_string(i), "--retry", "50"};
        if (i == 1)
            args.push_back("-b");
        calls.push_back(Call{args, {{"TAVIK_DEVICE", ep}}, work.path()});
    }
    auto results = tavikAll(calls, 60);
    for (int i = 0; i < 2; i++) {
        const Result &r = results[i];
        EXPECT_EQ(r.status, 0) << i << ": " << r.err;
        EXPECT_TRUE(readfile(work / std::to_string(i)) == big) << i;
        auto first = firstOffsets(devs[i]->log());
        ASSERT_GE(first.size(), 10u) << i;
        EXPECT_EQ(first[0], 0);
        int retried = 0;
        for (size_t c = 1; c < first.size(); c++) {
            // Each attempt asks first for what it compares: the 1024
            // bytes before the end of what the last one kept.  Each got
            // further than the one before, so the next starts at once.
            std::string line = "retrying (" + std::to_string(c) + " of 50) from byte " +
                               std::to_string(first[c] + 1024) + " now: device closed the connection\n";
            EXPECT_NE(r.err.find(line), std::string::npos) << i << ": " << line << r.err;
            EXPECT_GT(first[c], first[c - 1]) << i << " connection " << c + 1;
            retried++;
        }
        EXPECT_EQ(count(r.err, "retrying"), retried) << r.err;
        EXPECT_EQ(count(r.err, "device closed the connection\n"), retried) << r.err;
        // Each attempt got further, so the next one started at once, not
        // after the pause of 1 s (a loaded machine may take a while, though).
        auto gap = reconnects(devs[i]->log());
        ASSERT_EQ(gap.size(), first.size() - 1) << i;
        for (double g : gap)
            EXPECT_LT(g, 900.0) << i;
    }
}

TEST_F(Resume, RetryEndsOnWhatNoNewConnectionCures)
{
    // Out of attempts: the last failure ends the run with the prefix on
    // disk.  A missing file, a local file that cannot be written and a
    // bad command line are never retried.
    struct Case {
        std::vector<std::string> device, client;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        // The second attempt spends its five replies on comparing, so it
        // gets no further, and the third waits before it starts.
        {{"--fault-connections", "3", "--close-after", "5"}, {"-g", "f.dat", "--retry", "2"}, 1,
         "retrying (1 of 2) from byte 5120 now: device closed the connection\n"
         "retrying (2 of 2) from byte 5120 in 1 s: device closed the connection\n"
         "device closed the connection\n"},
        {{}, {"-g", "nosuch", "--retry", "3"}, 1, "get: FileNotFound (-4)\n"},
        {{}, {"-g", "-b", "nosuch", "--retry", "3"}, 1, "get: FileNotFound (-4)\n"},
        {{}, {"-g", "f.dat", "-o", "/dev/full", "--retry", "3"}, 1, "Cannot write file!: No space left on device\n"},
        {{"--mangle", "returnCode=-13@3"}, {"-g", "-b", "f.dat", "--retry", "3"}, 1, "get: ReadError (-13)\n"},
        // A file size no file has is the device's answer, not the link's.
        {{"--mangle", "filesize=-5@1"}, {"-g", "-b", "f.dat", "--retry", "3"}, 1, "bad file size -5\n"},
        {{"--mangle", "filesize=-5@1"}, {"-g", "f.dat", "--retry", "3"}, 1, "bad file size -5\n"},
        {{}, {"-g", "f.dat", "--retry", "101"}, 1, "invalid --retry '101': expected 0 to 100\n"},
        {{}, {"-g", "f.dat", "--retry", "x"}, 1, "invalid --retry 'x': expected 0 to 100\n"},
        {{"--fault-connections", "1", "--close-after", "0"}, {"-l", "--retry", "2"}, 0,
         "retrying (1 of 2) from the start in 1 s: device closed the connection\n"},
    };
    std::vector<std::unique_ptr<Device>> devs;
    std::vector<Call> calls;
    for (size_t i = 0; i < cases.size(); i++) {
        std::string ep = "192.168.255.1:" + std::to_string(15410 + i);
        devs.push_back(std::make_unique<Device>(root.path(), cases[i].device, ep));
        std::vector<std::string> args = cases[i].client;
        if (args[0] == "-g" && std::find(args.begin(), args.end(), "-o") == args.end())
            args.insert(args.end(), {"-o", work / ("o" + std::to_string(i))});
        calls.push_back(Call{args, {{"TAVIK_DEVICE", ep}}, work.path()});
    }
    auto results = tavikAll(calls, 30);
    for (size_t i = 0; i < cases.size(); i++) {
        EXPECT_EQ(results[i].status, cases[i].status) << i;
        EXPECT_EQ(results[i].err, cases[i].err) << i;
    }
    std::string got = readfile(work / "o0");
    EXPECT_TRUE(got == file.substr(0, 5120)) << got.size();
    EXPECT_EQ(devs[1]->requests().size(), 1u);  // nothing was retried

    // What went into a pipe cannot be taken back: a retry goes on behind
    // it, once the last bytes written match what the device sends again.
    Device dev(root.path(), {"--close-after", "5"});
    Result r = run("/bin/sh", {"-c", "{ " + tavikBin + " -g f.dat -o /dev/fd/3 --retry 2 3>&1 >/dev/null; } | cat >piped"},
                   {}, work.path());
    EXPECT_TRUE(readfile(work / "piped") == file.substr(0, 13312)) << readfile(work / "piped").size();
    EXPECT_EQ(r.err, "retrying (1 of 2) from byte 5120 now: device closed the connection\n"
                     "retrying (2 of 2) from byte 9216 now: device closed the connection\n"
                     "device closed the connection\n");
    EXPECT_EQ(results.back().out.find("\nentries       1\n"), 0u) << results.back().out;
}

TEST_F(Resume, AFileThatCannotBeReadIsTheLocalFilesFault)
{
    // Reading the local file to compare fails (strace makes pread fail
    // with EIO): the perror form of the local file, not a verdict on it.
    std::string strace = straceBin();
    ASSERT_FALSE(strace.empty()) << "this test needs strace (.ci/run installs it)";
    Device dev(root.path());
    for (bool piped : {false, true}) {
        writefile(out(), file.substr(0, 10000));
        std::vector<std::string> args = {"-f", "-qq", "-o", "/dev/null", "-P", out(), "-e",
                                         "trace=pread64", "-e", "inject=pread64:error=EIO", tavikBin,
                                         "-g", "f.dat", "-o", out(), "--continue", "--retry", "2"};
        if (piped)
            args.push_back("-b");
        Result r = run(strace, args, {{"ASAN_OPTIONS", "detect_leaks=0"}}, work.path());  // none under ptrace
        EXPECT_EQ(r.status, 1) << piped;
        EXPECT_EQ(r.err, "Cannot read file!: Input/output error\n") << piped;
        EXPECT_TRUE(local() == file.substr(0, 10000)) << piped;
    }
}

TEST_F(Resume, AFileRewrittenBetweenAttemptsIsNeverMixed)
{
    // The device closes the first connection after 30 replies; while it
    // serves them, from the file it opened, the file is replaced on the
    // device: in size, in all its bytes, or only in its first 20000 bytes
    // (a ring buffer rewritten in place).  The next connection gets the
    // new one, and its comparison finds it out.  The first connection lasts
    // some 300 ms in either mode: time enough to replace the file.
    std::string old = pattern(100 * 1024, 37);
    std::string front = pattern(20000, 38) + old.substr(20000);
    for (bool piped : {false, true}) {
        for (const std::string &other : {pattern(130 * 1024, 32), pattern(old.size(), 39), front}) {
            writefile(root / "f.dat", old);
            Device dev(root.path(), {"--fault-connections", "1", "--close-after", "30", "--delay",
                                     piped ? "300" : "10"});
            std::vector<std::string> args = {"-g", "f.dat", "-o", out(), "--retry", "3"};
            if (piped)
                args.push_back("-b");
            auto client = startTavik(Call{args, {}, work.path()});
            // The device has opened the file once the second request is in:
            // it answered the first from it.
            for (int i = 0; i < 5000 && arrivals(dev.log()).size() < 2; i++)
                usleep(2000);
            writefile(root / "f.dat.new", other);
            rename((root / "f.dat.new").c_str(), (root / "f.dat").c_str());
            while (!client->ended(20))
                usleep(10000);
            const Result &r = client->result();
            std::string what = std::to_string(piped) + " " + std::to_string(other.size()) +
                               (other == front ? " front" : "");
            EXPECT_EQ(r.status, 1) << what << ": " << r.err;
            EXPECT_NE(r.err.find("file changed on the device during the download\n"),
                      std::string::npos) << what << ": " << r.err;
            EXPECT_EQ(count(r.err, "retrying"), 1) << r.err;
            std::string got = local();
            EXPECT_EQ(got.size(), 30u * 1024) << what;
            EXPECT_TRUE(old.compare(0, got.size(), got) == 0) << what << ": " << got.size();
        }
    }
    writefile(root / "f.dat", file);
}

struct Window : Resume {};

TEST_F(Window, SixtyFourGoOutAtOnceAndStayInFlight)
{
    std::string big = pattern(200 * 1024, 33);
    writefile(root / "big.dat", big);
    {
        // Each reply 500 ms late: far beyond what the device takes, however
        // loaded the machine, to read and log a burst of requests.
        Device dev(root.path(), {"--delay", "500"});
        Result r = tavik({"-g", "-b", "big.dat", "-o", out(), "--window", "64"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(local() == big);
        auto t = arrivals(dev.log());
        ASSERT_EQ(t.size(), 200u);
        EXPECT_GE(t[1] - t[0], 250.0);  // the first alone
        EXPECT_LT(t[64] - t[1], 250.0); // then 64 together
        EXPECT_GE(t[65] - t[1], 250.0); // and no more before a reply
    }
    // A device that holds at most 64 unanswered requests is never asked
    // for a 65th; at 63 it is.  Replies 500 ms late: none leaves before a
    // loaded device has read the whole burst.
    for (int most : {64, 63}) {
        Device dev(root.path(), {"--delay", "500", "--max-inflight", std::to_string(most), "--over", "error"});
        Result r = tavik({"-g", "-b", "big.dat", "-o", out(), "--window", "64"});
        EXPECT_EQ(r.status, most == 64 ? 0 : 1) << most << ": " << r.err;
        if (most == 63) {
            EXPECT_EQ(r.err, "get: NoMemory (-12)\n");
        }
    }
}

TEST_F(Window, AWideWindowIsAskedAgainBeforeItIsAllAnswered)
{
    // A peer that answers the first 32 requests of a window of 256 at once
    // and holds the other 224 until request 257 of the window arrives: the
    // client must ask again after those 32, or every wait runs out.
    std::string big = pattern(600 * 1024, 36);
    std::vector<std::string> held;
    // When request 257 came, then how long until 258 came after it: seconds
    // by the peer's clock, which starting the client does not run.
    std::atomic<double> windowed{0}, refilled{1e9};
    Peer peer([&](unsigned, u_int32_t off, int n) -> Send {
        if (n == 257)
            windowed = support::now();
        if (n == 258)
            refilled = support::now() - windowed;
        if (n >= 34 && n <= 257) {
            held.push_back(blockReply(big, off));
            return Send();
        }
        std::string out;
        for (auto &h : held)
            out += h;
        held.clear();
        return out + blockReply(big, off);
    });
    Result r = tavik({"-g", "-b", "big", "-o", out(), "--window", "256"}, {}, work.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(local() == big);
    EXPECT_LT(refilled, 1.0);
    EXPECT_EQ(peer.connections(), 1);
}

TEST_F(Window, EveryWidthGivesTheExactFile)
{
    std::string big = pattern((1 << 20) + 1, 34);
    writefile(root / "big.dat", big);
    Device dev(root.path(), {"--order", "shuffle:5"});
    for (std::string n : {"1", "256"}) {
        Result r = tavik({"-g", "-b", "big.dat", "-o", out(), "--window", n});
        EXPECT_EQ(r.status, 0) << n << ": " << r.err;
        EXPECT_EQ(r.out, "Filesize 1048577 bytes (blocks 1025)\n");
        EXPECT_TRUE(local() == big) << n;
    }
    for (std::string bad : {"0", "257", "16x", ""}) {
        Result r = tavik({"-g", "-b", "big.dat", "-o", out(), "--window", bad});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err, "invalid --window '" + bad + "': expected 1 to 256\n");
    }
}

TEST_F(Window, ADeviceThatDropsTheRestGetsAHint)
{
    // The replies wait until the whole window is in, however slowly the
    // device gets through it.
    Device dev(root.path(), {"--delay", "500", "--max-inflight", "16", "--over", "drop"});
    Result r = get(true, {"--window", "64"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Filesize 20000 bytes (blocks 20)\nTimeout or Error (line 311)\n");
    EXPECT_EQ(r.err, "no reply within 3000 ms with 64 requests asked, 3 unanswered: the device "
                     "may accept fewer; try a smaller --window\n");
    std::string got = local();
    EXPECT_TRUE(file.compare(0, got.size(), got) == 0) << got.size();
}

}  // namespace
