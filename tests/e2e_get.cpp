// Block-by-block download: files of every shape come over whole, and every
// reply that does not fit what was asked ends the run with status 1.
#include "harness.h"

#include <unistd.h>

using namespace th;

namespace {

std::string sizeline(long n)
{
    return "\nfilesize      " + std::to_string(n) + "  \n";
}

struct Get : ::testing::Test {
    Scratch root, work;
    std::string big = pattern(5 * 1024 * 1024 + 77, 5);
    std::string small = pattern(3000, 3);
    Get()
    {
        writefile(root / "big.dat", big);
        writefile(root / "small.dat", small);
        writefile(root / "empty.dat", "");
        writefile(root / "k.dat", pattern(1000, 9));
    }
    Result get(const std::string &name)
    {
        return tavik({"-g", name, "-o", work / "out"}, {}, work.path());
    }
    std::string local() { return readfile(work / "out"); }
};

TEST_F(Get, FilesOfEveryShapeWithAnyBlockSize)
{
    for (std::string bs : {"1024", "1000", "65000", "1"}) {
        Device dev(root.path(), {"--block-size", bs});
        for (std::string name : {"empty.dat", "k.dat", "big.dat"}) {
            if (bs == "1" && name == "big.dat")
                continue;
            std::string want = readfile(root / name);
            Result r = get(name);
            EXPECT_EQ(r.status, 0) << bs << " " << name << ": " << r.err;
            EXPECT_EQ(r.out, sizeline((long)want.size())) << bs << " " << name;
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(local() == want) << bs << " " << name;
        }
    }
}

TEST_F(Get, RequestsFollowTheDevicesLengths)
{
    Device dev(root.path(), {"--block-size", "1000"});
    Result r = tavik({"-g", "-c", "1442", "small.dat", "-o", work / "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dev.getOffsets(), (std::vector<long>{0, 1000, 2000}));
    auto reqs = dev.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(hex(reqs[0].substr(0, 16)), "00 00 0a 82 14 42 06 14 00 00 00 00 01 04 00 08");
    EXPECT_EQ(reqs[0].substr(16, 240), "small.dat" + std::string(231, '\0'));
    EXPECT_EQ(hex(reqs[1].substr(256)), "00 00 03 e8");
}

TEST_F(Get, OffsetOf1024OnTheWire)
{
    Device dev(root.path());
    get("small.dat");
    auto reqs = dev.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(hex(reqs[1].substr(256)), "00 00 04 00");
    EXPECT_TRUE(local() == small);
}

TEST_F(Get, LocalNameDefaultsToTheRemoteFileName)
{
    mkdir((root / "ram").c_str(), 0755);
    writefile(root / "ram/ttiTrace.dat", small);
    writefile(root / "ttiTrace.dat", big.substr(0, 5000));
    Device dev(root.path());
    Result r = tavik({"-g", "/ram/ttiTrace.dat"}, {}, work.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readfile(work / "ttiTrace.dat") == small);

    r = tavik({"-g"}, {}, work.path());  // and the remote name to ttiTrace.dat
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readfile(work / "ttiTrace.dat") == big.substr(0, 5000));
}

TEST_F(Get, MissingFileLeavesTheLocalFileAlone)
{
    Device dev(root.path());
    writefile(work / "out", "old contents");
    Result r = get("nosuch.dat");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, sizeline(0));
    EXPECT_EQ(r.err, "get: FileNotFound (-4)\n");
    EXPECT_EQ(local(), "old contents");
    unlink((work / "out").c_str());
    r = get("nosuch.dat");
    EXPECT_EQ(r.status, 1);
    // Made by the run and holding nothing: removed, so that it cannot pass
    // for an empty download.
    EXPECT_NE(access((work / "out").c_str(), F_OK), 0);
}

TEST_F(Get, RepliesThatDoNotFitEndTheRun)
{
    // The block before a failed reply is kept only when that reply was
    // read whole and names the offset asked for and the first file size;
    // a failed first reply, or a first block never vouched for, leaves
    // the local file as it was.
    const size_t untouched = std::string::npos;
    struct Case {
        std::string mangle, err;
        size_t kept;  // bytes of small.dat the local file keeps
    };
    const std::vector<Case> cases = {
        {"length=-1@2", "bad block length -1: the reply carries 1024 data bytes\n", 1024},
        {"length=1025@2", "bad block length 1025: the reply carries 1024 data bytes\n", 1024},
        {"payload=1000@1", "bad block length 1024: the reply carries 740 data bytes\n", untouched},
        {"payload=500@3", "bad block length 952: the reply carries 240 data bytes\n", 2048},
        {"length=0@2", "empty block at offset 1024, and not the last\n", 1024},
        {"offset=0@2", "reply for offset 0, asked for 1024\n", untouched},
        {"last=1@2", "last block ends at 2048, but the file size is 3000\n", 1024},
        {"returnCode=-13@3", "get: ReadError (-13)\n", 2048},
        {"returnCode=7@1", "get: Unknown (7)\n", untouched},
        {"length=10485761@2", "large: File too large\n", 1024},
        {"filesize=4000@2", "file size changed from 3000 to 4000 during the download\n", untouched},
        {"filesize=2500", "block at offset 2048 of 952 bytes goes past the file size 2500\n", 2048},
    };
    for (auto &c : cases) {
        Device dev(root.path(), {"--mangle", c.mangle});
        writefile(work / "out", "old");
        Result r = get("small.dat");
        EXPECT_EQ(r.status, 1) << c.mangle;
        EXPECT_EQ(r.err, c.err) << c.mangle;
        std::string want = c.kept == untouched ? "old" : small.substr(0, c.kept);
        EXPECT_TRUE(local() == want) << c.mangle << ": " << local().size();
    }
}

TEST_F(Get, RepliesInPiecesAreGathered)
{
    Device dev(root.path(), {"--split", "7"});
    Result r = get("small.dat");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(local() == small);
}

TEST_F(Get, FullDiskIsAFailure)
{
    Device dev(root.path());
    Result r = tavik({"-g", "small.dat", "-o", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write file!: No space left on device\n");

    size_t sent = dev.getOffsets().size();
    r = tavik({"-g", "small.dat", "-o", work / "no/such/dir"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot open file!: No such file or directory\n");
    EXPECT_EQ(dev.getOffsets().size(), sent);  // the second run sent nothing
}

TEST_F(Get, DeviceClosingIsAFailure)
{
    Device dev(root.path(), {"--close-after", "2"});
    Result r = get("small.dat");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "device closed the connection\n");
    EXPECT_TRUE(local() == small.substr(0, 2048));
}

}  // namespace
