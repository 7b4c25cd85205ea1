// The client's rooms on their own: the window's slots, the keep rule of
// the local file, and the retry policy's pauses and time bound, the
// clock replaced by one the tests set.

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "attempts.h"
#include "fail.h"
#include "localfile.h"
#include "window.h"

static double fakenow = 1000;
double monotonic(void)
{
    return fakenow;
}

namespace {

// ---- The window's slots ---------------------------------------------------

std::vector<int> askall(flight *fl, int room, int filesize, const flight *other = nullptr)
{
    std::vector<int> got;
    for (int at; (at = nextask(fl, room - inflight(fl), filesize, 1 << 30, other)) >= 0;)
        got.push_back(at);
    return got;
}

TEST(Window, BlocksAreAskedInOrderWithinTheWindow)
{
    flight fl;
    startflight(&fl, 0, nullptr, 0);
    EXPECT_EQ(askfirst(&fl), 0);
    EXPECT_TRUE(answered(&fl, 0));
    EXPECT_EQ(askall(&fl, 3, 5000), (std::vector<int>{1024, 2048, 3072}));
    EXPECT_FALSE(answered(&fl, 5000));  // not a block's offset
    EXPECT_FALSE(answered(&fl, 4096));  // not asked yet
    // Out of order: the gap-free mark waits for the gap.
    EXPECT_TRUE(answered(&fl, 2048));
    EXPECT_EQ(lowmark(&fl, 5000), 1024);
    EXPECT_FALSE(answered(&fl, 2048));  // once only
    EXPECT_TRUE(answered(&fl, 1024));
    EXPECT_EQ(lowmark(&fl, 5000), 3072);
    // The refill takes the room that came free, the last block shorter.
    EXPECT_EQ(askall(&fl, 3, 5000), (std::vector<int>{4096}));
    EXPECT_TRUE(answered(&fl, 3072) && answered(&fl, 4096));
    EXPECT_EQ(lowmark(&fl, 5000), 5000);
    EXPECT_FALSE(flightleft(&fl, 5000));
}

TEST(Window, ComparedBlocksGoFirstAndTheSlotsStayBounded)
{
    flight fl;
    int checks[] = {0, 4096};
    startflight(&fl, 8192, checks, 2);
    EXPECT_EQ(askfirst(&fl), 8192);
    EXPECT_EQ(askall(&fl, 4, 1 << 20), (std::vector<int>{0, 4096, 9216}));
    EXPECT_TRUE(holds(&fl, 4096));
    EXPECT_TRUE(answered(&fl, 4096));
    EXPECT_FALSE(holds(&fl, 4096));
    // Never more ahead of the gap-free mark than the table holds.
    EXPECT_EQ(askall(&fl, 10000, 1 << 30).size(), (size_t)FLIGHTTABLE - 2);
}

TEST(Window, NoOffsetIsInFlightTwice)
{
    flight a, b;
    startflight(&a, 0, nullptr, 0);
    askfirst(&a);
    answered(&a, 0);
    EXPECT_EQ(askall(&a, 4, 4096), (std::vector<int>{1024, 2048, 3072}));
    startflight(&b, 0, nullptr, 0);
    askfirst(&b);
    answered(&b, 0);
    // The next file waits at the first offset the other still holds.
    EXPECT_EQ(askall(&b, 16, 8192, &a), (std::vector<int>{}));
    answered(&a, 1024);
    EXPECT_EQ(askall(&b, 16, 8192, &a), (std::vector<int>{1024}));
    EXPECT_FALSE(answered(&a, 1024));
}

// ---- The keep rule ----------------------------------------------------------

struct Keep : ::testing::Test {
    std::string dir, path;
    download d;
    void SetUp() override
    {
        char tmpl[] = "/tmp/tavik-unit-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/out";
        initdownload(&d, path.c_str(), 0);
    }
    void TearDown() override
    {
        freedownload(&d);
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    std::string local()
    {
        std::ifstream in(path, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(none)";
    }
    // A block of n bytes c at `at`, and everything below `gapless` placed.
    void put(int at, int n, char c, int gapless)
    {
        std::vector<u8> b((size_t)n, (u8)c);
        putblock(&d, b.data(), n, at);
        markgapless(&d, gapless);
    }
};

TEST_F(Keep, TheBlockPlacedLastCountsOnceVouchedFor)
{
    startlocal(&d);
    firstreply(&d, 3000);
    put(0, 1024, 'a', 1024);
    flushlocal(&d);
    EXPECT_EQ(keeplen(&d), 0);  // its reply may have swallowed the next
    vouch(&d);
    EXPECT_EQ(keeplen(&d), 1024);
    put(1024, 1024, 'b', 2048);
    EXPECT_EQ(keeplen(&d), 1024);
    letgo(&d);
    EXPECT_EQ(local(), std::string(1024, 'a'));
}

TEST_F(Keep, AGapEndsWhatCounts)
{
    startlocal(&d);
    firstreply(&d, 5000);
    put(0, 1024, 'a', 1024);
    put(2048, 1024, 'c', 1024);  // pipelined: 1024 is still missing
    vouch(&d);
    flushlocal(&d);
    EXPECT_EQ(keeplen(&d), 1024);
    letgo(&d);
    EXPECT_EQ(local(), std::string(1024, 'a'));
}

TEST_F(Keep, AFileMadeThatKeepsNothingGoes)
{
    startlocal(&d);
    firstreply(&d, 3000);
    put(0, 1024, 'a', 1024);
    letgo(&d);  // never vouched for
    EXPECT_EQ(local(), "(none)");
}

TEST_F(Keep, WhatAFileHeldStaysUntilTheFirstBlockIsVouchedFor)
{
    std::ofstream(path) << "old content";
    struct stat before, after;
    stat(path.c_str(), &before);
    startlocal(&d);
    firstreply(&d, 3000);
    put(0, 1024, 'a', 1024);
    flushlocal(&d);
    letgo(&d);
    stat(path.c_str(), &after);
    EXPECT_EQ(local(), "old content");
    EXPECT_TRUE(after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);

    startlocal(&d);
    firstreply(&d, 1024);
    put(0, 1024, 'a', 1024);
    vouch(&d);
    closelocal(&d);
    EXPECT_EQ(local(), std::string(1024, 'a'));
}

TEST_F(Keep, AResumeThatDiffersKeepsWhatWasThere)
{
    std::ofstream(path) << std::string(2000, 'a');
    initdownload(&d, path.c_str(), 1);
    EXPECT_EQ(startlocal(&d), 2000);
    firstreply(&d, 3000);
    put(1024, 1024, 'x', 2048);  // differs below the base
    EXPECT_EQ(keeplen(&d), 2000);
    try {
        vouch(&d);
        ADD_FAILURE() << "no judgement";
    } catch (const failure &e) {
        EXPECT_EQ(e.cause, LOCAL);
        EXPECT_STREQ(e.msg, "cannot continue: the local file is not a beginning of the remote file");
    }
    letgo(&d);
    EXPECT_EQ(local(), std::string(2000, 'a'));
}

// ---- Pauses and the run's time ----------------------------------------------

TEST(Attempts, PausesDoubleUpToTheirBound)
{
    std::vector<int> got;
    for (int stuck = 0; stuck <= 7; stuck++)
        got.push_back(retrypause(stuck));
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 4, 8, 10, 10, 10}));
}

TEST(Attempts, TheRunsTimeBoundsEveryWaitAndEveryPause)
{
    fakenow = 1000;
    startrun(3, 2.5, "2.5");
    struct itimerval none = {};
    setitimer(ITIMER_REAL, &none, nullptr);  // the test's clock is not the timer's
    EXPECT_EQ(timeleft(3000), 2500);
    fakenow = 1002;
    EXPECT_EQ(timeleft(3000), 500);
    EXPECT_EQ(timeleft(100), 100);
    EXPECT_FALSE(overdue());

    // An attempt that got further goes on at once; one that got nowhere
    // would pause 1 s, past the run's time: the run ends there instead.
    failure f = {LINK, 0, "device closed the connection"};
    EXPECT_TRUE(another(&f, 2048, 1024, "from byte 2048"));
    fakenow = 1002.4;
    EXPECT_FALSE(another(&f, 2048, 2048, "from byte 2048"));
    EXPECT_EQ(f.cause, OVERTIME);
    EXPECT_STREQ(f.msg, "run took longer than 2.5 s");

    fakenow = 1002.5;
    EXPECT_EQ(timeleft(3000), 0);
    EXPECT_TRUE(overdue());
    try {
        overtime();
        ADD_FAILURE() << "not over time";
    } catch (const failure &e) {
        EXPECT_EQ(e.cause, OVERTIME);
    }
    failure dev = {DEVICE, 0, "get: FileNotFound (-4)"};
    EXPECT_FALSE(another(&dev, 4096, 0, "from byte 4096"));  // no new connection cures that
}

}  // namespace
