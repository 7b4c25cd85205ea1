// Directory listing against the stand-in device: output, paging, request
// bytes, device errors and replies that arrive broken up or broken.
#include "harness.h"

using namespace th;

namespace {

// One line of the device's listing text.
std::string entry(char type, long long size, const std::string &name)
{
    char buf[512];
    snprintf(buf, sizeof buf, "%c %10lld %s\n", type, size, name.c_str());
    return buf;
}

std::string listing(int entries, const std::string &text)
{
    return "\nentries       " + std::to_string(entries) + "\n\n" + text + "\n";
}

struct List : ::testing::Test {
    Scratch root;
    std::string text;  // the listing of root
    List()
    {
        writefile(root / "b.dat", "12345");
        writefile(root / "a.txt", "");
        mkdir((root / "sub").c_str(), 0755);
        struct stat st;
        stat((root / "sub").c_str(), &st);
        text = entry('-', 0, "a.txt") + entry('-', 5, "b.dat") + entry('d', st.st_size, "sub");
    }
};

TEST_F(List, RootListingAndItsRequest)
{
    Device dev(root.path());
    Result r = tavik({"-l"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(3, text));
    EXPECT_EQ(r.err, "");

    auto reqs = dev.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(hex(reqs[0].substr(0, 16)), "00 00 0a 88 14 62 06 14 00 00 00 00 01 08 00 08");
    EXPECT_EQ(reqs[0].substr(16, 240), std::string(240, '\0'));
    EXPECT_EQ(hex(reqs[0].substr(256)), "00 00 00 00 00 00 00 64");
}

TEST_F(List, ManyEntriesComeInPages)
{
    std::string dir = root / "many", want;
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < 250; i++) {
        char name[32];
        snprintf(name, sizeof name, "f%03d", i);
        writefile(dir + "/" + name, std::string((size_t)i, 'x'));
        want += entry('-', i, name);
    }
    Device dev(root.path());
    Result r = tavik({"-l", "/many"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(250, want));

    auto reqs = dev.requests();
    ASSERT_EQ(reqs.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(reqs[i].substr(16, 6), std::string("/many\0", 6));
        EXPECT_EQ(be32at(reqs[i], 256), 100 * i);
        EXPECT_EQ(be32at(reqs[i], 260), 100u);
    }
}

// The lines of many/, entries [from, to).
std::string manyText(int from, int to)
{
    std::string t;
    for (int i = from; i < to; i++)
        t += entry('-', 0, "f" + std::to_string(1000 + i));
    return t;
}

TEST_F(List, PagesThatDoNotAddUpArePrintedThenReported)
{
    std::string dir = root / "sub/many";  // the root keeps its 3 entries
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < 150; i++)
        writefile(dir + "/f" + std::to_string(1000 + i), "");
    struct Case {
        std::string dir;
        std::vector<std::string> opts;
        int entries;       // printed
        std::string text;  // printed
        std::string why;
        size_t pages;      // asked for
    };
    const std::string none;
    const std::vector<Case> cases = {
        // Not the page asked for: its text is not used.
        {"", {"--mangle", "offset=1"}, 0, none, "0 of 3 entries (the device answered offset 0 with offset 1)", 1},
        {"sub/many", {"--list-ignore-offset"}, 100, manyText(0, 100),
         "100 of 150 entries (the device answered offset 100 with offset 0)", 2},
        {"sub/many", {"--mangle", "offset=99@2"}, 100, manyText(0, 100),
         "100 of 150 entries (the device answered offset 100 with offset 99)", 2},
        // The page asked for, whose counts disagree: its text is kept.
        {"", {"--mangle", "entries=0"}, 0, text, "0 of 3 entries (the device gave no entries at entry 0)", 1},
        {"", {"--mangle", "entries=-1"}, 0, text, "0 of 3 entries (the device gave -1 entries at entry 0)", 1},
        {"", {"--mangle", "entries=4"}, 4, text, "4 of 3 entries (the device gave 4 entries at entry 0 of 3)", 1},
        {"", {"--mangle", "totalEntries=2"}, 3, text, "3 of 2 entries (the device gave 3 entries at entry 0 of 2)", 1},
        {"sub/many", {"--mangle", "totalEntries=151@2"}, 150, manyText(0, 150),
         "150 of 150 entries (the total changed from 150 to 151)", 2},
        {"sub/many", {"--mangle", "entries=0@2"}, 100, manyText(0, 150),
         "100 of 150 entries (the device gave no entries at entry 100)", 2},
        {"sub/many", {"--mangle", "entries=51@2"}, 151, manyText(0, 150),
         "151 of 150 entries (the device gave 51 entries at entry 100 of 150)", 2},
    };
    for (auto &c : cases) {
        Device dev(root.path(), c.opts);
        Result r = tavik({"-l", c.dir});
        EXPECT_EQ(r.status, 1) << c.opts[1];
        EXPECT_EQ(r.err, "listing incomplete: " + c.why + "\n") << c.opts[1];
        EXPECT_EQ(r.out, listing(c.entries, c.text)) << c.opts[1];
        EXPECT_EQ(dev.requests().size(), c.pages) << c.opts[1];
    }
    // A total of 5 with nothing in the first page: one page, an empty
    // listing, and the reason.
    Device dev(root.path(), {"--mangle", "entries=0", "--mangle", "totalEntries=5", "--mangle",
                             "payload=256"});
    Result r = tavik({"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, listing(0, ""));
    EXPECT_EQ(r.err, "listing incomplete: 0 of 5 entries (the device gave no entries at entry 0)\n");
    EXPECT_EQ(dev.requests().size(), 1u);
}

TEST_F(List, ABrokenLinkPrintsWhatCameWholeAndSaysSo)
{
    // The device closes when the second page is asked for: the first page
    // came whole, so it is printed, and the listing is said to be
    // incomplete; every attempt of --retry fares the same.
    std::string dir = root / "many";
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < 150; i++)
        writefile(dir + "/f" + std::to_string(1000 + i), "");
    const std::string why = "listing incomplete: 100 of 150 entries (device closed the connection)\n";
    struct Case {
        std::vector<std::string> device, client;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--close-after", "1"}, {}, why},
        {{"--close-after", "1"}, {"--retry", "1"},
         "retrying (1 of 1) from the start now: device closed the connection\n" + why},
        {{"--close-after", "1"}, {"--quiet"}, why},
    };
    for (auto &c : cases) {
        Device dev(root.path(), c.device);
        std::vector<std::string> args = {"-l", "many"};
        args.insert(args.end(), c.client.begin(), c.client.end());
        Result r = tavik(args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        bool quiet = !c.client.empty() && c.client[0] == "--quiet";
        EXPECT_EQ(r.out, quiet ? manyText(0, 100) : listing(100, manyText(0, 100))) << c.err;
    }
}

TEST_F(List, OutputThatCannotBeWrittenIsAFailure)
{
    // A listing longer than stdout's buffer, so that the write fails inside
    // printf and not at the final flush.
    std::string dir = root / "sub/long";
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < 100; i++)
        writefile(dir + "/" + std::string(200, 'n') + std::to_string(i), "");
    Device dev(root.path());
    for (std::string where : {"", "sub/long"}) {
        Result r = run("/bin/sh", {"-c", tavikBin + " -l " + where + " >/dev/full"});
        EXPECT_EQ(r.status, 1) << where;
        EXPECT_EQ(r.err, "stdout: No space left on device\n") << where;
    }
}

TEST_F(List, TextsWithoutTheirZeroRunToTheEndOfThePayload)
{
    // Names of every length, so that a short page follows a longer one:
    // nothing of the longer one may show through.
    std::string dir = root / "long", want;
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < 250; i++) {
        std::string name = std::to_string(1000 + i) + std::string(i < 100 ? 150 : 10, 'n');
        writefile(dir + "/" + name, "");
        want += entry('-', 0, name);
    }
    Device dev(root.path(), {"--list-no-zero"});
    Result r = tavik({"-l", "sub"});  // one page, and empty
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(0, ""));
    r = tavik({"-l", "long"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(250, want));
    EXPECT_EQ(dev.requests().size(), 4u);
}

TEST_F(List, DeviceErrorIsAFailure)
{
    Device dev(root.path());
    Result r = tavik({"-l", "nodir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, listing(0, ""));
    EXPECT_EQ(r.err, "list: DirNotFound (-8)\n");

    r = tavik({"-l", "../.."});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "list: AccessViolation (-2)\n");
}

// An error page is printed as received, its count with its text, and an
// unknown code is named so.
TEST_F(List, AnErrorPageIsPrintedAsReceived)
{
    {
        Device dev(root.path(), {"--mangle", "returnCode=-99"});
        Result r = tavik({"-l"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, listing(3, text));
        EXPECT_EQ(r.err, "list: Unknown (-99)\n");
    }
    Peer peer([](unsigned, u_int32_t off, int) {
        std::string r = pageReply(2, off, 2, "x\ny");
        le32to(r, kCodeAt, (u_int32_t)-9);
        return r;
    });
    Result r = tavik({"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, listing(2, "x\ny"));
    EXPECT_EQ(r.err, "list: DirNotReadable (-9)\n");
}

TEST_F(List, RepliesInPiecesAreGathered)
{
    for (std::string piece : {"1", "8", "7"}) {
        Device dev(root.path(), {"--split", piece});
        Result r = tavik({"-l"});
        EXPECT_EQ(r.status, 0) << piece << ": " << r.err;
        EXPECT_EQ(r.out, listing(3, text)) << piece;
    }
}

TEST_F(List, BrokenRepliesEndTheRun)
{
    struct Case {
        std::vector<std::string> opts;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--mangle", "payload=255"}, "short listing reply: 255 payload bytes, at least 256 expected\n"},
        {{"--mangle", "payload=0"}, "short listing reply: 0 payload bytes, at least 256 expected\n"},
        {{"--mangle", "msgSize=10"}, "size: Protocol error\n"},
        {{"--close-after", "0"}, "device closed the connection\n"},
    };
    for (auto &c : cases) {
        Device dev(root.path(), c.opts);
        Result r = tavik({"-l"});
        EXPECT_EQ(r.status, 1) << c.opts[1];
        EXPECT_EQ(r.err, c.err) << c.opts[1];
        EXPECT_EQ(r.out, "") << c.opts[1];
    }
}

}  // namespace
