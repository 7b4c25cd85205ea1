// What scripts see: -o - puts the file's bytes alone on standard output,
// --quiet leaves only the payload there, a failure leaves a beginning of
// the file and no empty file behind, and long options that mean nothing
// for the run are refused.
#include "harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace th;

namespace {

std::string sizeline(bool piped, long n)
{
    if (piped)
        return "Filesize " + std::to_string(n) + " bytes (blocks " +
               std::to_string((n + 1023) / 1024) + ")\n";
    return "\nfilesize      " + std::to_string(n) + "  \n";
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

struct Output : ::testing::Test {
    Scratch root, work;
    std::string file = pattern(300 * 1024 + 7, 50);
    Output() { writefile(root / "f.dat", file); }
    Result get(bool piped, std::vector<std::string> args, const Env &env = {})
    {
        args.insert(args.begin(), "-g");
        if (piped)
            args.push_back("-b");
        return tavik(args, env, work.path());
    }
    // The same through a real pipe: standard output read by cat into a
    // file, and tavik's own exit status.
    Result piped(bool b, const std::string &args)
    {
        std::string cmd = "{ " + tavikBin + " -g " + (b ? "-b " : "") + args + "; echo $? >status; } | cat >piped";
        Result r = run("/bin/sh", {"-c", cmd}, {}, work.path());
        r.status = std::stoi("0" + readfile(work / "status"));
        return r;
    }
};

TEST_F(Output, StandardOutputCarriesTheFileAlone)
{
    Device dev(root.path(), {"--order", "reverse"});
    for (size_t size : {0, 1, 1024, 3 << 20}) {
        std::string name = "s" + std::to_string(size), bytes = pattern(size, (unsigned)size);
        writefile(root / name, bytes);
        for (bool b : {false, true}) {
            Result r = get(b, {name, "-o", "-"});
            EXPECT_EQ(r.status, 0) << size << b << ": " << r.err;
            EXPECT_TRUE(r.out == bytes) << size << b << ": " << r.out.size();
            EXPECT_EQ(r.err, sizeline(b, (long)size)) << size << b;  // moved, not lost
            EXPECT_FALSE(exists(work / "-"));
            // The widest window: a whole window of blocks waits for the
            // one that fills the gap.
            r = piped(b, name + " -o -" + (b ? " --window 256" : ""));
            EXPECT_EQ(r.status, 0) << size << b << ": " << r.err;
            EXPECT_TRUE(readfile(work / "piped") == bytes) << size << b;
        }
    }
}

TEST_F(Output, AFailureLeavesABeginningAndNothingAfterIt)
{
    // Closed after 50 replies, or (pipelined) a reply that overstates its
    // size so that its block holds the start of the next reply: standard
    // output gets only what the stream vouched for.
    struct Case {
        std::vector<std::string> device;
        bool piped;
        size_t most;  // bytes on standard output at most
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--close-after", "50"}, false, 50 * 1024, "device closed the connection\n"},
        {{"--close-after", "50"}, true, 50 * 1024, "device closed the connection\n"},
        {{"--mangle", "payload=1272@40", "--mangle", "msgSize=1300@40"}, true, 39 * 1024,
         "size: Protocol error\n"},
    };
    for (auto &c : cases) {
        Device dev(root.path(), c.device);
        Result r = piped(c.piped, "f.dat -o -");
        std::string got = readfile(work / "piped");
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, sizeline(c.piped, (long)file.size()) + c.err);
        EXPECT_EQ(got.size(), c.most) << c.err;
        EXPECT_TRUE(file.compare(0, got.size(), got) == 0) << c.err << ": " << got.size();
    }
}

TEST_F(Output, ARetryIntoAPipeGoesOnOnlyFromWhatItWrote)
{
    for (bool b : {false, true}) {
        Device dev(root.path(), {"--close-after", "200"});
        Result r = piped(b, "f.dat -o - --retry 3");
        EXPECT_EQ(r.status, 0) << b << ": " << r.err;
        EXPECT_TRUE(readfile(work / "piped") == file) << b << ": " << readfile(work / "piped").size();
        EXPECT_NE(r.err.find("retrying (1 of 3) from byte 204800 now: device closed the connection\n"),
                  std::string::npos) << r.err;
    }
    // The file changes on the device while the first connection still
    // serves the old one: the next compares what went out and stops.
    for (bool b : {false, true}) {
        // The first connection lasts some 300 ms in either mode.
        Device dev(root.path(), {"--fault-connections", "1", "--close-after", "20", "--delay",
                                 b ? "300" : "20"});
        auto client = startTavik(Call{{"-g", "f.dat", "-o", "-", "--retry", "3", b ? "-b" : "-p"}, {},
                                      work.path()});
        // The device has opened the file once the second request is in.
        for (int i = 0; i < 5000 && arrivals(dev.log()).size() < 2; i++)
            usleep(2000);
        writefile(root / "new", pattern(file.size(), 51));
        rename((root / "new").c_str(), (root / "f.dat").c_str());
        while (!client->ended(20))
            usleep(10000);
        const Result &r = client->result();
        EXPECT_EQ(r.status, 1) << b;
        EXPECT_EQ(r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1),
                  "file changed on the device during the download\n") << r.err;
        EXPECT_EQ(r.out.size(), 20u * 1024) << b;
        EXPECT_TRUE(file.compare(0, r.out.size(), r.out) == 0) << b;
        writefile(root / "f.dat", file);
    }
}

TEST_F(Output, QuietLeavesOnlyThePayload)
{
    mkdir((root / "d").c_str(), 0755);
    writefile(root / "d/x", "1");
    Device dev(root.path(), {"--delay", "1"});
    Result r = tavik({"-l", "d", "--quiet"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "-          1 x\n");
    EXPECT_EQ(r.err, "");
    for (bool b : {false, true}) {
        r = get(b, {"f.dat", "-o", "-", "--quiet"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == file) << b;
        EXPECT_EQ(r.err, "") << b;
        r = tavikOnTerminal({"-g", "f.dat", "-o", work / "out", "--quiet", b ? "-b" : "-p"}, {}, 80,
                            work.path());
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.out, "") << b;  // no size line, no progress, no summary
        r = get(b, {"nosuch", "-o", "-", "--quiet"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "") << b;
        EXPECT_EQ(r.err, "get: FileNotFound (-4)\n") << b;
    }
}

TEST_F(Output, NoEmptyFileIsLeftBehind)
{
    mkdir((root / "sub").c_str(), 0755);
    Device dev(root.path());
    writefile(work / "old", "what was there");
    struct stat before, after;
    stat((work / "old").c_str(), &before);
    for (bool b : {false, true}) {
        for (std::string name : {"nosuch.bin", "sub"}) {
            Result r = get(b, {name});
            EXPECT_EQ(r.status, 1) << name << b;
            EXPECT_FALSE(exists(work / name)) << name << b;
            r = get(b, {name, "-o", "old", "--retry", "1"});
            EXPECT_EQ(r.status, 1) << name << b;
        }
    }
    // A first block that is never vouched for (the device stalls after
    // it) replaces nothing either.
    Device stalls(root.path(), {"--stall-after", "1"}, "192.168.255.1:15004");
    for (bool b : {false, true}) {
        Result r = get(b, {"f.dat", "-o", "old", "--max-time", "0.5"},
                       {{"TAVIK_DEVICE", stalls.endpoint()}});
        EXPECT_EQ(r.err.substr(r.err.find("run took")), "run took longer than 0.5 s\n") << b;
    }
    EXPECT_EQ(readfile(work / "old"), "what was there");
    stat((work / "old").c_str(), &after);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// Where the run meets its environment: closed standard streams, a reader
// that stops reading, a FIFO nobody opens, and a signal.
TEST_F(Output, TheEdgesOfTheEnvironmentHold)
{
    writefile(root / "big", pattern(4 << 20, 53));
    Device dev(root.path());
    auto closed = [&](const std::string &redirect, std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" " + redirect, tavikBin});
        return run("/bin/sh", args, {}, work.path());
    };
    Result r = closed(">&-", {"-g", "f.dat", "-o", "-"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, sizeline(false, (long)file.size()) + "stdout: Bad file descriptor\n");
    r = closed("2>&-", {"-g", "-b", "f.dat", "-o", "out", "--verbose"});
    EXPECT_EQ(r.status, 0);
    r = closed("<&-", {"-l", "--quiet"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-    4194304 big\n-     307207 f.dat\n");
    EXPECT_TRUE(readfile(work / "out") == file);
    // The device never received a byte that is not a request.
    EXPECT_EQ(dev.log().find("bad request"), std::string::npos) << dev.log();
    for (auto &q : dev.requests())
        EXPECT_TRUE(q.size() == kGetSize || q.size() == kListSize);

    // --max-time bounds a write to a reader that stopped reading, and the
    // open of a FIFO with no reader.
    std::vector<Call> calls;
    std::vector<int> readers;
    const std::vector<std::vector<std::string>> modes = {{"-p"}, {"-b"}, {"-b", "--window=256"}, {}};
    for (auto &mode : modes) {
        std::string fifo = work / ("fifo" + std::to_string(calls.size()));
        mkfifo(fifo.c_str(), 0600);
        if (!mode.empty())  // the last one has no reader at all
            readers.push_back(open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
        std::vector<std::string> args = {"-g", "big", "-o", fifo, "--max-time", "2"};
        args.insert(args.end(), mode.begin(), mode.end());
        calls.push_back(Call{args, {}, work.path()});
    }
    auto results = tavikAll(calls);
    for (auto &fd : readers)
        close(fd);
    for (size_t i = 0; i < results.size(); i++) {
        EXPECT_EQ(results[i].status, 1) << i;
        EXPECT_EQ(results[i].err, "run took longer than 2 s\n") << i;
        EXPECT_LT(results[i].seconds, 10) << i;  // unbounded, it would wait as long as the test
    }

    // SIGTERM before the first reply leaves no file; after two blocks
    // vouched for, those.
    for (int stall : {0, 3}) {
        Device slow(root.path(), {"--stall-after", std::to_string(stall)}, "192.168.255.1:15005");
        auto client = startTavik(Call{{"-g", "f.dat", "-o", "term"}, {{"TAVIK_DEVICE", slow.endpoint()}},
                                      work.path()});
        while ((int)slow.getOffsets().size() <= stall)  // then it waits for a reply
            usleep(2000);
        client->signal(SIGTERM);
        while (!client->ended(10))
            usleep(2000);
        EXPECT_EQ(client->result().signal, SIGTERM);
        EXPECT_EQ(exists(work / "term"), stall > 0);
        EXPECT_TRUE(readfile(work / "term") == file.substr(0, stall > 0 ? 2048 : 0)) << stall;
    }
}

TEST_F(Output, LongOptionsThatMeanNothingHereAreRefused)
{
    Device dev(root.path());
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"-g", "f.dat", "--window", "8"}, "--window needs -g -b\n"},
        {{"-l", "--window", "8"}, "--window needs -g -b\n"},
        {{"-l", "-g", "-b", "--window", "8"}, "--window needs -g -b, and -l lists instead\n"},
        {{"-l", "--continue"}, "--continue needs -g\n"},
        {{"-p", "--continue"}, "--continue needs -g\n"},
        {{"-g", "f.dat", "-o", "-", "--continue"}, "--continue needs a local file, not -o -\n"},
        {{"-p", "--retry", "2"}, "--retry needs -l or -g\n"},
        {{"-l", "--max-time", "1e-1"},
         "invalid --max-time '1e-1': expected seconds, more than 0 and at most 31536000\n"},
    };
    for (auto &c : cases) {
        Result r = tavik(c.args, {}, work.path());
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(dev.log().find("accepted"), std::string::npos);  // nothing connected
    // The short options keep their meaning: -o and -b without -g are ignored.
    Result r = tavik({"-l", "-o", "x", "-b"}, {}, work.path());
    EXPECT_EQ(r.status, 0) << r.err;
    // Only once it is open is a local name known to be no file to go on from.
    r = tavik({"-g", "f.dat", "-o", "/dev/null", "--continue"}, {}, work.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "--continue needs a local file, not a pipe or a device: '/dev/null'\n");
}

TEST_F(Output, ABigDownloadThroughAPipeStaysSmall)
{
    // 64 MiB pipelined into sha256sum, against the same into a file: the
    // same sum, and no more memory for waiting blocks than the window.
    std::string big = pattern(64 << 20, 52);
    writefile(root / "big", big);
    big.clear();
    Device dev(root.path());
    Result want = run("/bin/sh", {"-c", "sha256sum <big"}, {}, root.path());
    Result r = run("/bin/sh", {"-c", tavikBin + " -g -b big -o - --window 256 | sha256sum"}, {},
                   work.path(), 60);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want.out);
    Result f = tavik({"-g", "-b", "big", "-o", work / "big", "--window", "256"}, {}, work.path(), 60);
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_LT(r.maxrss_kb, f.maxrss_kb + 2048) << r.maxrss_kb << " KiB piped, " << f.maxrss_kb
                                              << " KiB to a file";
}

}  // namespace
