// Many files in one run: every name counts with --output-dir or
// --input-file, all on one connection; a file's own failure ends only that
// file, the link's ends the attempt; --report's lines are JSON.
#include "harness.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace th;

namespace {

struct Batch : ::testing::Test {
    Scratch root, work;
    std::vector<std::string> files;  // f0 .. f9: 1000, 2000, ... 10000 bytes
    Batch()
    {
        for (int i = 0; i < 10; i++) {
            files.push_back(pattern(1000 * (i + 1), 60 + i));
            writefile(root / ("f" + std::to_string(i)), files[i]);
        }
        mkdir((work / "out").c_str(), 0755);
        mkdir((root / "sub").c_str(), 0755);
        writefile(root / "sub/f5", files[5]);
    }
    Result get(std::vector<std::string> args, const std::string &stdinText = "")
    {
        if (!stdinText.empty()) {
            writefile(work / "list", stdinText);
            std::string cmd = "exec \"$0\" \"$@\" <list";
            args.insert(args.begin(), {"-c", cmd, tavikBin, "-g"});
            return run("/bin/sh", args, {}, work.path());
        }
        args.insert(args.begin(), "-g");
        return tavik(args, {}, work.path());
    }
    bool exact(int i, const std::string &local = "") const
    {
        return readfile(work / ("out/" + (local.empty() ? "f" + std::to_string(i) : local))) == files[i];
    }
    int connections(const Device &dev) const
    {
        std::string log = dev.log();
        int n = 0;
        for (size_t at = 0; (at = log.find("accepted", at)) != std::string::npos; at++)
            n++;
        return n;
    }
};

TEST_F(Batch, EveryNameComesOnOneConnection)
{
    for (std::string mode : {"-p", "-b"}) {
        Device dev(root.path(), {"--order", "reverse"});
        Result r = get({mode, "--output-dir", "out", "f1", "sub/f5", "f9"});
        EXPECT_EQ(r.status, 0) << mode << r.err;
        EXPECT_EQ(r.out, "ok f1 -> out/f1 2000\nok sub/f5 -> out/f5 6000\nok f9 -> out/f9 10000\n");
        EXPECT_EQ(r.err.substr(0, r.err.find(" in ")), "3 files: 3 ok, 0 failed; 17.6 KiB") << r.err;
        EXPECT_TRUE(exact(1) && exact(5) && exact(9)) << mode;
        EXPECT_EQ(connections(dev), 1) << mode;
    }
    // The list from a file or standard input: tabs name the local file,
    // comments and blank lines are skipped.
    std::string list = "# logs\nf3\n\n  \nf4\tfour\r\n#f5\n";
    writefile(work / "names", list);
    Device dev(root.path());
    for (std::string from : {"names", "-"}) {
        Result r = get({"-b", "--input-file", from, "--output-dir", "out", "f0"}, from == "-" ? list : "");
        EXPECT_EQ(r.status, 0) << from << r.err;
        EXPECT_EQ(r.out, "ok f3 -> out/f3 4000\nok f4 -> out/four 5000\nok f0 -> out/f0 1000\n");
        EXPECT_TRUE(exact(3) && exact(4, "four") && exact(0)) << from;
    }
}

TEST_F(Batch, TheNextFilesFirstRequestRidesWithTheLastOnes)
{
    // Round trips of 300 ms: f1 alone, then its last block and f2's first
    // together, then the rest of f2.
    Device dev(root.path(), {"--delay", "300"});
    Result r = get({"-b", "--output-dir", "out", "f1", "f2"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<double> t = arrivals(dev.log());
    ASSERT_EQ(t.size(), 5u) << dev.log();  // 2 + 3 blocks
    EXPECT_EQ(dev.getOffsets(), (std::vector<long>{0, 1024, 0, 1024, 2048}));
    EXPECT_LT(t[2] - t[1], 150);
    EXPECT_GT(t[3] - t[2], 250);
}

TEST_F(Batch, AFilesOwnFailureEndsThatFileAlone)
{
    for (std::string mode : {"-p", "-b"}) {
        Device dev(root.path());
        Result r = get({mode, "--output-dir", "out", "f1", "nosuch", "f2"});
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_EQ(r.out, "ok f1 -> out/f1 2000\nfailed nosuch: get: FileNotFound (-4)\nok f2 -> out/f2 3000\n");
        EXPECT_EQ(r.err.substr(0, r.err.find(" in ")),
                  "nosuch: get: FileNotFound (-4)\n3 files: 2 ok, 1 failed; 4.9 KiB");
        EXPECT_TRUE(exact(1) && exact(2) && access((work / "out/nosuch").c_str(), F_OK) != 0);
        EXPECT_EQ(connections(dev), 1);
    }
}

TEST_F(Batch, ALinkThatBreaksEndsTheAttempt)
{
    // Ten files of two blocks each, through a device that closes every
    // connection after 5 replies.
    std::vector<std::string> all = {"--output-dir", "out"};
    for (int i = 0; i < 10; i++) {
        files[i].resize(1500);
        writefile(root / ("f" + std::to_string(i)), files[i]);
        all.push_back("f" + std::to_string(i));
    }
    for (std::string mode : {"-p", "-b"}) {
        Device dev(root.path(), {"--close-after", "5"});
        std::vector<std::string> args = all;
        args.insert(args.end(), {mode, "--retry", "10"});
        Result r = get(args);
        EXPECT_EQ(r.status, 0) << mode << r.err;
        for (int i = 0; i < 10; i++)
            EXPECT_TRUE(exact(i)) << mode << i;
        EXPECT_GE(connections(dev), 4);
        // No --retry: f0 and f1 come, f2 is in hand (pipelined, f3's first
        // request has gone out too), the rest never begin.
        args.resize(args.size() - 2);
        r = get(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.substr(r.out.find("failed")), "failed f2: device closed the connection\n" +
                  std::string(mode == "-b" ? "failed f3: device closed the connection\n" : "not attempted f3\n") +
                  "not attempted f4\nnot attempted f5\nnot attempted f6\n"
                  "not attempted f7\nnot attempted f8\nnot attempted f9\n") << mode << r.out;
        EXPECT_TRUE(exact(0) && exact(1));
    }
}

TEST_F(Batch, WhatCannotWorkIsRefusedBeforeConnecting)
{
    Device dev(root.path());
    writefile(work / "long", std::string(240, 'n') + "\n");
    writefile(work / "empty", "# nothing\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--output-dir", "out", "f1", "d/f1"}, "two downloads would write 'out/f1': give one a name of its own (REMOTE<TAB>LOCAL in --input-file)\n"},
        {{"--output-dir", "out", "f1", "f2", "-o", "x"}, "-o names one local file, and 2 names are given: --output-dir DIR puts each there\n"},
        {{"--output-dir", "nodir", "f1"}, "--output-dir 'nodir': No such file or directory\n"},
        {{"--input-file", "nosuch"}, "--input-file 'nosuch': No such file or directory\n"},
        {{"--input-file", "long"}, "--input-file 'long' line 1: name longer than 239 bytes\n"},
        {{"--input-file", "empty"}, "--input-file 'empty' holds no names\n"},
    };
    for (auto &c : cases) {
        Result r = get(c.first);
        EXPECT_EQ(r.status, 1) << c.second;
        EXPECT_EQ(r.err, c.second);
    }
    EXPECT_EQ(connections(dev), 0);
    // Without the batch's options the last name wins, as it always did.
    Result r = get({"f1", "f2", "-o", "out/one"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "tavik: 2 names given, only f2 is used; --output-dir DIR downloads each\n");
    EXPECT_TRUE(exact(2, "one"));
}

TEST_F(Batch, ALateTailBetweenFilesNeverPasses)
{
    // f0's only reply says 3 bytes less than it sends: the next reply does
    // not frame, and nothing proves f0.
    std::string f0 = files[0], f1 = files[1];
    for (std::string mode : {"-p", "-b"}) {
        Peer peer([&](unsigned, u_int32_t off, int n) -> Send {
            std::string r = blockReply(n == 1 ? f0 : f1, off);
            return n == 1 ? r + "XYZ" : r;
        });
        Result r = get({mode, "--output-dir", "out", "f0", "f1"});
        EXPECT_EQ(r.status, 1) << mode << r.out;
        EXPECT_NE(readfile(work / "out/f0"), f0) << mode;
    }
}

// Each line of --report as a JSON parser reads it: op, result, cause,
// and a listing's entries or the name's bytes.
std::string parsed(const std::string &path)
{
    Result r = run("/usr/bin/python3", {"-c", "import json,sys\nfor l in open(sys.argv[1]):\n"
                   " o=json.loads(l); print(o['op'], o['result'], o.get('cause', '-'),"
                   " o.get('entries', o['remote'].encode('utf-8', 'surrogateescape')))", path});
    return r.status == 0 ? r.out : "not JSON: " + r.err;
}

TEST_F(Batch, TheReportIsJSONLines)
{
    Device dev(root.path(), {"--close-after", "8"});
    writefile(root / "bad\xff\x01name", "x");
    get({"-b", "--output-dir", "out", "f1", "nosuch", "bad\xff\x01name", "f9", "f8", "f7", "--report", "r1"});
    tavik({"-l", "--report", work / "r1"});
    EXPECT_EQ(parsed(work / "r1"), "get ok - b'f1'\nget failed device b'nosuch'\n"
                                   "get ok - b'bad\\xff\\x01name'\nget failed link b'f9'\n"
                                   "get failed link b'f8'\nget not attempted - b'f7'\nlist ok - 12\n");
    // A run that is killed leaves whole lines for what finished.
    Device slow(root.path(), {"--delay", "20"}, "192.168.255.1:15006");
    auto client = startTavik(Call{{"-g", "-b", "--output-dir", "out", "f0", "f1", "f2", "f3", "--report", "r2"},
                                  {{"TAVIK_DEVICE", slow.endpoint()}}, work.path()});
    while (readfile(work / "r2").find('\n') == std::string::npos)
        usleep(1000);
    client->signal(SIGKILL);
    while (!client->ended(10))
        usleep(1000);
    EXPECT_EQ(parsed(work / "r2").substr(0, 14), "get ok - b'f0'");
}

}  // namespace
