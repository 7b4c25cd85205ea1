// A peer that frames its replies wrong on purpose: a byte inserted into a
// block or a listing page shifts the rest of the stream.  The client must
// never keep the spoiled block, never print the spoiled page, and never
// exit 0; and a listing without end stays under its bound.
#include "harness.h"
#include "support/support.h"
#include "tavik.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>

using namespace th;

namespace {

void le32to(std::string &s, size_t at, u_int32_t v)
{
    for (int i = 0; i < 4; i++)
        s[at + i] = (char)(v >> (8 * i) & 0xFF);
}

// One reply: the header (big-endian) and a record of `fixed` bytes whose
// integers the caller fills in, then `tail`.
std::string reply(unsigned id, size_t fixed, const std::string &tail)
{
    std::string m(16 + fixed, '\0');
    size_t size = m.size() + tail.size();
    m[2] = (char)(id >> 8), m[3] = (char)(id & 0xFF);
    m[12] = (char)(size >> 8), m[13] = (char)(size & 0xFF);
    return m + tail;
}

std::string blockReply(const std::string &file, u_int32_t offset)
{
    size_t n = offset < file.size() ? std::min<size_t>(1024, file.size() - offset) : 0;
    std::string r = reply(KX_FILE_TAVIK_GET_REQ_MSG + 1, KX_FILE_TAVIK_GET_RESP_FIXED,
                          file.substr(std::min<size_t>(offset, file.size()), n));
    le32to(r, 16 + 244, (u_int32_t)file.size());
    le32to(r, 16 + 248, offset);
    le32to(r, 16 + 252, offset + n == file.size());
    le32to(r, 16 + 256, (u_int32_t)n);
    return r;
}

std::string pageReply(u_int32_t total, u_int32_t offset, u_int32_t entries, const std::string &text)
{
    std::string r = reply(KX_FILE_TAVIK_LIST_REQ_MSG + 1, KX_FILE_TAVIK_LIST_RESP_FIXED, text + '\0');
    le32to(r, 16 + 244, total);
    le32to(r, 16 + 248, offset);
    le32to(r, 16 + 252, entries);
    return r;
}

// Listens on the device's address; for each request that arrives, sends
// what `answer` makes of it (its message id and offset, and its number).
class Peer {
public:
    using Answer = std::function<std::string(unsigned id, u_int32_t offset, int n)>;
    explicit Peer(Answer answer) : answer_(std::move(answer))
    {
        if (!support::inPrivateNetwork())  // never the device's address on a real network
            throw std::runtime_error("not in a private network namespace: run through netns.sh");
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(15003);
        inet_pton(AF_INET, "192.168.255.1", &sa.sin_addr);
        if (bind(fd_, (sockaddr *)&sa, sizeof sa) != 0 || listen(fd_, 4) != 0)
            ADD_FAILURE() << "cannot listen on 192.168.255.1:15003";
        thread_ = std::thread([this] { serve(); });
    }
    ~Peer()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }

private:
    void serve()
    {
        pollfd p{fd_, POLLIN, 0};
        while (!stop_ && poll(&p, 1, 50) >= 0) {
            if (!(p.revents & POLLIN))
                continue;
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                continue;
            converse(c);
            close(c);
        }
    }
    void converse(int c)
    {
        std::string in;
        char buf[65536];
        for (int n = 1; !stop_;) {
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 50) == 0)
                continue;
            ssize_t got = recv(c, buf, sizeof buf, 0);
            if (got <= 0)
                return;
            in.append(buf, (size_t)got);
            while (in.size() >= 16) {
                size_t size = (unsigned char)in[12] << 8 | (unsigned char)in[13];
                if (size < 16 || in.size() < size)
                    break;
                unsigned id = (unsigned char)in[2] << 8 | (unsigned char)in[3];
                u_int32_t off = be32at(in, 16 + 240);
                std::string out = answer_(id, off, n++);
                if (!out.empty() && send(c, out.data(), out.size(), MSG_NOSIGNAL) < 0)
                    return;
                in.erase(0, size);
            }
        }
    }

    Answer answer_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

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
