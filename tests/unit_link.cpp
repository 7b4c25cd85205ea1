// The link's reply reading, over a socketpair: no device, no namespace.
// The client's own file is compiled in, its main left out.
#define TAVIK_NO_MAIN
#pragma GCC diagnostic ignored "-Wunused-function"  // what only main uses
#include "../src/tavik.cpp"

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

// A block reply of n data bytes for offset at, as a device writes it.
std::string block(int at, int n, int size)
{
    std::string m(KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_GET_RESP_FIXED, '\0');
    m += std::string((size_t)n, 'd');
    prepheader(&m[0], KX_FILE_TAVIK_GET_REQ_MSG + 1, 0, (u32)m.size(), 0);
    u8 *p = (u8 *)&m[KX_SYSCOM_HEADER_SIZE];
    i32 f[] = {0, size, at, at + n == size, n};  // returnCode, filesize, offset, last, length
    for (int i = 0; i < 5; i++) {
        u32 v = hostle32((u32)f[i]);
        memcpy(p + 240 + 4 * i, &v, 4);
    }
    return m;
}

struct Link : ::testing::Test {
    int fd[2] = {-1, -1};  // fd[0] the client's end, fd[1] the device's
    void SetUp() override { reopen(); }
    void TearDown() override { shut(); }
    void shut()
    {
        for (int &f : fd)
            if (f >= 0)
                close(f), f = -1;
    }
    // A new connection, with nothing buffered from the one before.
    void reopen()
    {
        shut();
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        closelink(-1);
        pr.info = stderr;
    }
    void put(const std::string &s) { ASSERT_EQ(write(fd[1], s.data(), s.size()), (ssize_t)s.size()); }
    void hangupdevice()
    {
        close(fd[1]);
        fd[1] = -1;
    }
    // The reply read next, as the block download reads it.
    getreply next()
    {
        getreply r;
        takereply(fd[0], SITE_BLOCK, SITE_BLOCK_DATA, &r);
        return r;
    }
    // The failure that reading the next reply ends in.
    failure failed()
    {
        try {
            next();
        } catch (const failure &f) {
            return f;
        }
        ADD_FAILURE() << "no failure";
        return {};
    }
};

TEST_F(Link, AReplyInPiecesIsGathered)
{
    std::string r = block(1024, 1000, 3000);
    std::thread device([&] {
        for (size_t at = 0; at < r.size(); at += 97) {
            put(r.substr(at, 97));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    getreply got = next();
    device.join();
    EXPECT_EQ(got.offset, 1024);
    EXPECT_EQ(got.length, 1000);
    EXPECT_EQ(got.carried, 1000);
    EXPECT_EQ(got.filesize, 3000);
    EXPECT_EQ(buffered(), 0u);
}

TEST_F(Link, TwoRepliesInOneReadAreTwo)
{
    put(block(0, 1024, 1500) + block(1024, 476, 1500));
    hangupdevice();
    EXPECT_EQ(next().offset, 0);
    EXPECT_EQ(buffered(), KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_GET_RESP_FIXED + 476u);
    getreply second = next();
    EXPECT_EQ(second.offset, 1024);
    EXPECT_EQ(second.last, 1u);
    // The end right behind a whole reply is the link's to tell.
    failure f = failed();
    EXPECT_EQ(f.cause, LINK);
    EXPECT_EQ(f.boundary, 1);
    EXPECT_STREQ(f.msg, "device closed the connection");
}

TEST_F(Link, ACutHeaderOrAnOverstatedSizeVouchesForNothing)
{
    for (size_t cut : {8, 16 + 300}) {
        reopen();
        std::string r = block(0, 1024, 5000);
        put(r.substr(0, cut));  // the header says 1024 data bytes; fewer come
        hangupdevice();
        failure f = failed();
        EXPECT_EQ(f.cause, LINK) << cut;
        EXPECT_EQ(f.boundary, 0) << cut;
    }
}

TEST_F(Link, AnImpossibleSizeIsOutOfStep)
{
    std::string r = block(0, 10, 10);
    r[12] = 0, r[13] = 10;  // msgSize 10: less than the header itself
    put(r);
    failure f = failed();
    EXPECT_EQ(f.cause, STEP);
    EXPECT_STREQ(f.msg, "size: Protocol error");
}

TEST_F(Link, ShortOfTheFixedPartIsOutOfStep)
{
    std::string r = block(0, 0, 0);
    r.resize(KX_SYSCOM_HEADER_SIZE + 200);
    r[12] = 0, r[13] = (char)r.size();
    put(r);
    failure f = failed();
    EXPECT_EQ(f.cause, STEP);
    EXPECT_STREQ(f.msg, "short block reply: 200 payload bytes, at least 260 expected");
}

TEST_F(Link, TheEndIsProvenByTheStream)
{
    // Our end goes out; a device that closes on it completes the run.
    std::thread device([&] {
        char c;
        pollfd p = {fd[1], POLLIN, 0};
        if (poll(&p, 1, 2000) == 1)
            EXPECT_EQ(read(fd[1], &c, 1), 0);
        else
            ADD_FAILURE() << "the client never ended its stream";
        hangupdevice();
    });
    nothingmore(fd[0]);
    device.join();

    // Bytes before the device's end: a reply did not frame.
    reopen();
    put("XYZ");
    hangupdevice();
    try {
        nothingmore(fd[0]);
        ADD_FAILURE() << "a late tail passed";
    } catch (const failure &f) {
        EXPECT_EQ(f.cause, STEP);
        EXPECT_STREQ(f.msg, "data after the final reply: a reply did not frame");
    }
}

}  // namespace
