// Pipelined download: replies in any order land at their own offsets, the
// window is kept full, and every reply is checked before it is written.
#include "harness.h"

#include <sstream>

using namespace th;

namespace {

std::string sizeline(long n)
{
    return "Filesize " + std::to_string(n) + " bytes (blocks " + std::to_string((n + 1023) / 1024) +
           ")\n";
}

struct Turbo : ::testing::Test {
    Scratch root, work;
    std::string file = pattern(20000, 20);
    Turbo() { writefile(root / "f.dat", file); }
    Result get(const std::string &name = "f.dat")
    {
        return tavik({"-g", "-b", name, "-o", work / "out"}, {}, work.path());
    }
    std::string local() { return readfile(work / "out"); }
};

TEST_F(Turbo, FilesArriveWholeInAnyOrder)
{
    const std::vector<size_t> sizes = {0, 1000, 1024, 20000, 1024 * 1024 + 1, 16 * 1024 * 1024};
    std::vector<std::string> files;
    for (size_t i = 0; i < sizes.size(); i++) {
        files.push_back(pattern(sizes[i], (unsigned)i));
        writefile(root / ("s" + std::to_string(i)), files.back());
    }
    for (std::string order : {"", "reverse", "shuffle:7"}) {
        std::vector<std::string> opts;
        if (!order.empty())
            opts = {"--order", order};
        Device dev(root.path(), opts);
        for (size_t i = 0; i < sizes.size(); i++) {
            Result r = get("s" + std::to_string(i));
            EXPECT_EQ(r.status, 0) << order << " " << sizes[i] << ": " << r.err;
            EXPECT_EQ(r.out, sizeline((long)sizes[i]));
            EXPECT_TRUE(local() == files[i]) << order << " " << sizes[i];
        }
    }
}

TEST_F(Turbo, WindowOfSixteenGoesOutAtOnce)
{
    // Each reply 500 ms late: far beyond what the device takes, however
    // loaded the machine, to read and log a burst of requests.
    Device dev(root.path(), {"--delay", "500"});
    Result r = get();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(local() == file);

    std::vector<long> want;
    for (long off = 0; off < 20000; off += 1024)
        want.push_back(off);
    EXPECT_EQ(dev.getOffsets(), want);

    // 0 alone; 16 more together one round trip later; the last 3 after
    // the replies to the burst have come back.
    auto t = arrivals(dev.log());
    ASSERT_EQ(t.size(), 20u) << dev.log();
    EXPECT_GE(t[1] - t[0], 250.0);
    EXPECT_LT(t[16] - t[1], 250.0);
    EXPECT_GE(t[17] - t[1], 250.0);
    EXPECT_LT(t[19] - t[17], 250.0);
}

TEST_F(Turbo, FirstBlockOfTheWrongSize)
{
    Device dev(root.path(), {"--block-size", "512"});
    writefile(work / "out", "old");
    Result r = get();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, sizeline(20000) + "Serious problem with block size. Inform Developer.\n");
    EXPECT_EQ(local(), "old");  // refused before it began: left alone
    EXPECT_EQ(dev.getOffsets().size(), 1u);
}

TEST_F(Turbo, FullDiskIsAFailure)
{
    Device dev(root.path());
    Result r = tavik({"-g", "-b", "f.dat", "-o", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write file!: No space left on device\n");
}

TEST_F(Turbo, MissingFileIsAFailure)
{
    Device dev(root.path());
    Result r = get("nosuch");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Filesize 0 bytes (blocks 0)\n");
    EXPECT_EQ(r.err, "get: FileNotFound (-4)\n");
    EXPECT_EQ(local(), "");
}

TEST_F(Turbo, EveryReplyIsChecked)
{
    const size_t untouched = std::string::npos;
    struct Case {
        std::vector<std::string> opts;
        std::string err;
        size_t kept;  // the gap-free prefix left in the local file
    };
    // Replies come in the order asked: reply N is for offset (N-1)*1024.
    // The block placed last is kept only when the reply after it was read
    // whole and names an offset in flight and the first file size, or
    // when the connection ended right behind it: a reply whose size
    // overstates its payload may have swallowed the start of the next.
    const std::vector<Case> cases = {
        {{"--mangle", "returnCode=-13@5"}, "get: ReadError (-13)\n", 4096},
        {{"--dup", "3"}, "reply for offset 2048, which is not in flight\n", 2048},
        {{"--mangle", "offset=99328@4"}, "reply for offset 99328, which is not in flight\n", 2048},
        {{"--mangle", "offset=-1@4"}, "reply for offset -1, which is not in flight\n", 2048},
        {{"--mangle", "length=1000@4"}, "reply for offset 3072 carries 1000 bytes, 1024 expected\n", 3072},
        {{"--mangle", "length=0@4"}, "reply for offset 3072 carries 0 bytes, 1024 expected\n", 3072},
        {{"--mangle", "length=-1@6"}, "bad block length -1: the reply carries 1024 data bytes\n", 5120},
        {{"--mangle", "payload=760@6"}, "bad block length 1024: the reply carries 500 data bytes\n", 5120},
        {{"--mangle", "filesize=20001@4"}, "reply for offset 3072 gives file size 20001, the first gave 20000\n", 2048},
        {{"--mangle", "last=1@4"}, "reply for offset 3072 claims to be the last block\n", 3072},
        {{"--mangle", "last=0@20"}, "reply for offset 19456 does not claim to be the last block\n", 19456},
        {{"--mangle", "filesize=-5@1"}, "bad file size -5\n", untouched},
        {{"--mangle", "filesize=10240@1"}, "reply for offset 1024 gives file size 20000, the first gave 10240\n", untouched},
        {{"--close-after", "1"}, "device closed the connection\n", 1024},
        {{"--close-after", "5"}, "device closed the connection\n", 5120},
    };
    for (auto &c : cases) {
        Device dev(root.path(), c.opts);
        writefile(work / "out", "old");
        Result r = get();
        EXPECT_EQ(r.status, 1) << c.opts[1];
        EXPECT_EQ(r.err, c.err) << c.opts[1];
        std::string want = c.kept == untouched ? "old" : file.substr(0, c.kept);
        EXPECT_TRUE(local() == want) << c.opts[1] << ": " << local().size();
    }
}

TEST_F(Turbo, ReplyThatOverstatesItsSizeSpoilsNothing)
{
    // Reply 3 carries 1272 payload bytes but claims 1284: the client takes
    // the first 12 bytes of reply 4 as the end of block 2048, and only
    // learns of it when what follows no longer frames (it reads a header
    // out of the zeros behind reply 4's file name).  Block 2048 must not
    // be kept.
    Device dev(root.path(), {"--mangle", "payload=1272@3", "--mangle", "msgSize=1300@3"});
    Result r = get();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "size: Protocol error\n");
    EXPECT_TRUE(local() == file.substr(0, 2048)) << local().size();
}

TEST_F(Turbo, ErrorInTheMiddleOfADrainCounts)
{
    // Shuffled replies: whatever arrives after the failed one, the run
    // fails, and the file holds no stretch the device did not send.
    Device dev(root.path(), {"--order", "shuffle:3", "--delay", "5", "--mangle", "returnCode=-5@9"});
    Result r = get();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "get: FileNotReadable (-5)\n");
    std::string got = local();
    EXPECT_EQ(got.size() % 1024, 0u);
    EXPECT_LT(got.size(), file.size());
    EXPECT_TRUE(got == file.substr(0, got.size()));
}

TEST_F(Turbo, MemoryDoesNotGrowWithTheFile)
{
    writefile(root / "1m", pattern(1 << 20, 1));
    writefile(root / "64m", pattern(64 << 20, 2));
    Device dev(root.path());
    Result small = get("1m");
    Result large = get("64m");
    ASSERT_EQ(small.status, 0) << small.err;
    ASSERT_EQ(large.status, 0) << large.err;
    EXPECT_LT(large.maxrss_kb - small.maxrss_kb, 1024) << small.maxrss_kb << " kB vs " << large.maxrss_kb << " kB";
    std::printf("peak RSS: 1 MiB download %ld kB, 64 MiB download %ld kB\n", small.maxrss_kb,
                large.maxrss_kb);
}

}  // namespace
