// A peer that frames its replies wrong on purpose: a byte inserted into a
// block or a listing page shifts the rest of the stream.  The client must
// never keep the spoiled block, never print the spoiled page, and never
// exit 0; and a listing without end stays under its bound.
#include "harness.h"

using namespace th;

namespace {

// Reply `spoil` (1-based) gets an extra byte inserted at `at`, its msgSize
// unchanged, so that its last byte becomes the first of what follows.
Peer::Answer serving(const std::string &file, int spoil, size_t at)
{
    return [=](unsigned, u_int32_t off, int n) {
        std::string r = blockReply(file, off);
        if (n == spoil)
            r.insert(std::min(at, r.size()), 1, '\x5a');
        return r;
    };
}

struct Hostile : ::testing::Test {
    Scratch work;
    std::string file = pattern(5000, 40);  // blocks at 0, 1024, ... 4096
    std::string local() { return readfile(work / "out"); }
};

TEST_F(Hostile, AnInsertedByteSpoilsNothingOnDisk)
{
    struct Case {
        bool piped;
        int spoil;       // the reply
        size_t at;       // where the byte goes in
        size_t keepMax;  // the local file keeps at most this much
        std::string err;
    };
    const std::string size = "size: Protocol error\n";
    const std::string after = "data after the final reply: a reply did not frame\n";
    const std::vector<Case> cases = {
        {false, 3, 16 + 260 + 100, 2048, size},  // inside a middle block
        {false, 5, 16 + 260 + 10, 4096, after},  // inside the final block
        {false, 5, 16 + 250, 4096, "bad block length 231424: the reply carries 904 data bytes\n"},
        {true, 3, 16 + 260 + 100, 2048, size},
        {true, 5, 16 + 260 + 10, 4096, after},
    };
    for (auto &c : cases) {
        Peer peer(serving(file, c.spoil, c.at));
        std::vector<std::string> args = {"-g", "f.dat", "-o", work / "out"};
        if (c.piped)
            args.push_back("-b");
        Result r = tavik(args, {}, work.path());
        std::string what = std::string(c.piped ? "pipelined" : "block") + " reply " +
                           std::to_string(c.spoil) + " at " + std::to_string(c.at);
        EXPECT_EQ(r.status, 1) << what << ": " << r.err;
        EXPECT_EQ(r.err, c.err) << what << ": " << r.out;
        std::string got = local();
        EXPECT_LE(got.size(), c.keepMax) << what;
        EXPECT_TRUE(file.compare(0, got.size(), got) == 0) << what << ": " << got.size();
    }
}

TEST_F(Hostile, AnInsertedByteInTheLastListingPageIsNotPrinted)
{
    std::string text = "-          5 a.txt\n-          7 b.txt\n";
    for (int spoil : {1, 2}) {
        Peer peer([&](unsigned, u_int32_t off, int n) {
            std::string r = pageReply(4, off, 2, text);
            if (n == spoil)
                r.insert(16 + 256 + 4, 1, 'X');
            return r;
        });
        Result r = tavik({"-l"});
        EXPECT_EQ(r.status, 1) << spoil;
        EXPECT_EQ(r.out, "") << spoil;
        EXPECT_FALSE(r.err.empty()) << spoil;
    }
}

TEST_F(Hostile, AListingWithoutEndStaysUnderItsBound)
{
    // Every page one entry more, 60 KB of text, and a total that never ends.
    std::string text(60000, 'n');
    Peer peer([&](unsigned, u_int32_t off, int) { return pageReply(0xFFFFFFFF, off, 1, text); });
    Result r = tavik({"-l"}, {}, "", 60);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "listing too large: more than 64 MiB of text\n");
    EXPECT_LT(r.maxrss_kb, 256 * 1024);  // 64 MiB gathered, room for the sanitizers
}

}  // namespace
