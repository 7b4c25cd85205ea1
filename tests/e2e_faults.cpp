// The device's options for standing in for other devices and links: each
// one is shown to do what its help says, on the bytes of raw connections
// (the client's view of them is tested with the client).
#include "harness.h"
#include "tavik.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

using namespace th;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kNoMemory = EKxFileTavikRet_NoMemory;

// --- Wire bytes by hand, so that a mistake shared with the client's
// helpers cannot hide.

std::string request(unsigned id, const std::string &name, u_int32_t offset)
{
    bool list = id == kListId;
    size_t size = kHeader + (list ? KX_FILE_TAVIK_LIST_REQ_SIZE : KX_FILE_TAVIK_GET_REQ_SIZE);
    std::string field = name;
    field.resize(kName, '\0');
    return be16(0) + be16(id) + be32(0x14620614) + be32(0x00c0ffee) + be16((unsigned)size) +
           be16(KX_SYSCOM_REQ_FLAGS) + field + be32(offset) + (list ? be32(100) : "");
}
std::string listAt(u_int32_t offset, const std::string &dir = "d") { return request(kListId, dir, offset); }
std::string getAt(u_int32_t offset, const std::string &file = "f") { return request(kGetId, file, offset); }

// A reply as framed by its msgSize; the four numbers behind returnCode are
// totalEntries, offset, entries for a listing, filesize, offset, last,
// length for a block.
struct Reply {
    unsigned id, size;
    int code, n[4];
    std::string body;  // the text or the data
};

std::vector<Reply> frame(const std::string &got, std::string *rest = nullptr)
{
    std::vector<Reply> out;
    size_t at = 0;
    for (size_t size; at + kHeader <= got.size(); at += size) {
        size = be16at(got, at + 12);
        if (size < kListFixed || at + size > got.size())
            break;
        Reply r{be16at(got, at + 2), (unsigned)size, le32at(got, at + kHeader + kName), {}, ""};
        for (size_t i = 0, field = kHeader + kName + 4; i < 4; i++, field += 4)
            r.n[i] = field + 4 <= size ? le32at(got, at + field) : 0;  // a listing has 3
        size_t fixed = r.id == kListId + 1 ? kListFixed : kGetFixed;
        r.body = got.substr(at + std::min(fixed, size), size - std::min(fixed, size));
        out.push_back(r);
    }
    if (rest)
        *rest = got.substr(at);
    return out;
}

// A raw connection to the device at 192.168.255.1:port.
class Link {
public:
    explicit Link(int port = 15003)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)port);
        inet_pton(AF_INET, "192.168.255.1", &sa.sin_addr);
        EXPECT_EQ(connect(fd_, (struct sockaddr *)&sa, sizeof sa), 0);
    }
    ~Link() { close(fd_); }
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    void send(const std::string &bytes)
    {
        EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size());
    }
    void finish() { shutdown(fd_, SHUT_WR); }

    // What arrives until `want` bytes are in, the device ends the stream, or
    // `ms` pass without a byte.
    std::string take(size_t want = SIZE_MAX, int ms = 1000)
    {
        std::string got;
        while (got.size() < want && more(got, ms))
            ;
        return got;
    }

    // Replies until `count` have come (or 2 s pass without a byte), then
    // what follows within `settle` ms: more replies, or the end.
    std::vector<Reply> replies(size_t count, std::string *rest = nullptr, int settle = 150)
    {
        std::string got;
        while (frame(got).size() < count && more(got, 2000))
            ;
        got += take(SIZE_MAX, settle);
        return frame(got, rest);
    }
    bool ended() const { return ended_; }

private:
    // One read within `ms`; false at the end of the stream or of the wait.
    bool more(std::string &got, int ms)
    {
        char buf[65536];
        struct pollfd p = {fd_, POLLIN, 0};
        if (ended_ || poll(&p, 1, ms) <= 0)
            return false;
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        got.append(buf, (size_t)n);
        return true;
    }

    int fd_ = -1;
    bool ended_ = false;
};

// Each entry of a listing, as the device prints it for a file of size 0.
std::string lines(int from, int to)
{
    std::string s;
    char name[32];
    for (int i = from; i < to; i++) {
        snprintf(name, sizeof name, "e%03d", i);
        s += std::string("-          0 ") + name + "\n";
    }
    return s;
}

struct Faults : ::testing::Test {
    Scratch root;
    std::string data = pattern(20000, 7);

    Faults()
    {
        std::string d = root / "d";
        mkdir(d.c_str(), 0755);
        for (int i = 0; i < 150; i++) {
            char name[32];
            snprintf(name, sizeof name, "/e%03d", i);
            writefile(d + name, "");
        }
        writefile(root / "f", data);
    }
};

// --list-no-zero: the text ends the payload, on every page and on a
// refusal too; --list-ignore-offset: whatever offset is asked, the first
// page; --mangle on listing fields: just the reply named.
TEST_F(Faults, ListingVariants)
{
    {
        Device dev(root.path(), {"--list-no-zero"});
        Link link;
        link.send(listAt(0) + listAt(100) + listAt(0, "nothing"));
        std::vector<Reply> got = link.replies(3);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].body, lines(0, 100));
        EXPECT_EQ(got[0].size, kListFixed + lines(0, 100).size());
        EXPECT_EQ(got[1].body, lines(100, 150));
        EXPECT_EQ(got[1].n[2], 50);
        EXPECT_EQ(got[2].code, EKxFileTavikRet_DirNotFound);
        EXPECT_EQ(got[2].size, kListFixed);
    }
    {
        Device dev(root.path(), {"--list-ignore-offset"});
        Link link;
        link.send(listAt(100) + listAt(140) + listAt(0));
        std::vector<Reply> got = link.replies(3);
        ASSERT_EQ(got.size(), 3u);
        for (const Reply &r : got) {
            EXPECT_EQ(r.code, 0);
            EXPECT_EQ(r.n[0], 150);  // totalEntries
            EXPECT_EQ(r.n[1], 0);    // offset
            EXPECT_EQ(r.n[2], 100);  // entries
            EXPECT_EQ(r.body, lines(0, 100) + std::string(1, '\0'));
        }
        std::vector<std::string> asked = dev.requests();
        ASSERT_EQ(asked.size(), 3u);
        EXPECT_EQ(be32at(asked[0], kHeader + kName), 100u);
        EXPECT_EQ(be32at(asked[1], kHeader + kName), 140u);
    }
    {
        Device dev(root.path(), {"--mangle", "entries=0@1", "--mangle", "totalEntries=5@2"});
        Link link;
        link.send(listAt(0) + listAt(100) + listAt(0));
        std::vector<Reply> got = link.replies(3);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].n[2], 0);
        EXPECT_EQ(got[0].n[0], 150);
        EXPECT_EQ(got[0].body, lines(0, 100) + std::string(1, '\0'));  // only the count lies
        EXPECT_EQ(got[1].n[0], 5);
        EXPECT_EQ(got[1].n[2], 50);
        EXPECT_EQ(got[2].n[0], 150);
        EXPECT_EQ(got[2].n[2], 100);
    }
}

// --max-inflight 2 with a delay, so that the first two requests are still
// unanswered when the others arrive, however slowly a loaded device gets
// through them.
TEST_F(Faults, MaxInflight)
{
    std::vector<std::string> limit = {"--max-inflight", "2", "--delay", "500", "--over"};
    auto device = [&](const std::string &over) {
        std::vector<std::string> opts = limit;
        opts.push_back(over);
        return std::make_unique<Device>(root.path(), opts);
    };
    {  // drop: the rest are never answered, and the slots are free again later
        auto dev = device("drop");
        Link link;
        link.send(getAt(0) + getAt(1024) + getAt(2048) + getAt(3072));
        std::vector<Reply> got = link.replies(2, nullptr, 300);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].n[1], 0);
        EXPECT_EQ(got[1].n[1], 1024);
        link.send(getAt(4096) + getAt(5120) + getAt(6144));
        got = link.replies(2, nullptr, 300);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].n[1], 4096);
        EXPECT_EQ(got[1].n[1], 5120);
        EXPECT_EQ(got[1].body, data.substr(5120, 1024));
        EXPECT_FALSE(link.ended());
        EXPECT_EQ(dev->getOffsets().size(), 7u);
    }
    {  // close: the replies owed go out, then the end of the stream
        auto dev = device("close");
        Link link;
        link.send(getAt(0) + getAt(1024) + getAt(2048) + getAt(3072));
        std::string rest;
        std::vector<Reply> got = link.replies(2, &rest, 2000);
        EXPECT_TRUE(link.ended());
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[1].n[1], 1024);
        EXPECT_EQ(rest, "");
    }
    {  // error: NoMemory at once, ahead of the replies still waiting
        auto dev = device("error");
        Link link;
        link.send(getAt(0) + getAt(1024) + listAt(100) + getAt(2048));
        std::vector<Reply> got = link.replies(4);
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[0].id, kListId + 1);
        EXPECT_EQ(got[0].code, kNoMemory);
        EXPECT_EQ(got[0].size, kListFixed + 1);  // no text, its zero only
        EXPECT_EQ(got[0].n[1], 100);
        EXPECT_EQ(got[0].n[2], 0);
        EXPECT_EQ(got[1].id, kGetId + 1);
        EXPECT_EQ(got[1].code, kNoMemory);
        EXPECT_EQ(got[1].size, kGetFixed);
        EXPECT_EQ(got[1].n[1], 2048);  // offset
        EXPECT_EQ(got[1].n[3], 0);     // length
        EXPECT_EQ(got[2].code, 0);
        EXPECT_EQ(got[2].n[1], 0);
        EXPECT_EQ(got[3].n[1], 1024);
    }
}

// --fault-connections 2: the first two connections fail, the third is
// served cleanly.
TEST_F(Faults, FaultConnections)
{
    Device dev(root.path(), {"--fault-connections", "2", "--mangle", "returnCode=-13@1",
                             "--close-after", "1", "--dup", "1"});
    for (int conn = 1; conn <= 3; conn++) {
        Link link;
        link.send(getAt(0) + getAt(1024));
        std::vector<Reply> got = link.replies(2, nullptr, conn <= 2 ? 2000 : 150);
        SCOPED_TRACE("connection " + std::to_string(conn));
        if (conn <= 2) {
            EXPECT_TRUE(link.ended());
            ASSERT_EQ(got.size(), 2u);  // reply 1 twice, then the close
            EXPECT_EQ(got[0].code, -13);
            EXPECT_EQ(got[1].code, -13);
        } else {
            EXPECT_FALSE(link.ended());
            ASSERT_EQ(got.size(), 2u);
            EXPECT_EQ(got[0].code, 0);
            EXPECT_EQ(got[1].n[1], 1024);
            EXPECT_EQ(got[1].body, data.substr(1024, 1024));
        }
    }
}

// --chaos-bytes: each reply damaged by exactly the insertion, deletion or
// duplication the log names, msgSize left as framed; the same seed does the
// same on another device; other connections differ; past
// --fault-connections the stream is clean.
TEST_F(Faults, ChaosBytes)
{
    const int kReplies = 24;
    std::string asked;
    for (int i = 0; i < kReplies; i++)
        asked += getAt((u_int32_t)(i % 20) * 1024);
    std::vector<std::string> opts = {"--chaos-bytes", "11", "--chaos-rate", "1",
                                     "--fault-connections", "2"};
    auto session = [&](int port) {
        Link link(port);
        link.send(asked);
        link.finish();
        std::string got = link.take(SIZE_MAX, 2000);
        EXPECT_TRUE(link.ended());
        return got;
    };
    Device dev(root.path(), opts), again(root.path(), opts, "192.168.255.1:15004");
    std::string first = session(15003), second = session(15003), clean = session(15003);
    EXPECT_EQ(session(15004), first);
    EXPECT_NE(first, second);

    std::string rest;
    std::vector<Reply> replies = frame(clean, &rest);
    ASSERT_EQ(replies.size(), (size_t)kReplies);
    ASSERT_EQ(rest, "");
    std::vector<std::string> wire;  // the clean replies, byte for byte
    for (size_t at = 0; at < clean.size(); at += be16at(clean, at + 12))
        wire.push_back(clean.substr(at, be16at(clean, at + 12)));

    // Replays the logged damage of connection 1 on the clean replies.
    std::regex entry("conn 1 chaos-bytes: (insert|delete|dup) ([0-9]+) at ([0-9]+) on reply ([0-9]+)");
    std::string log = dev.log();
    size_t at = 0, header = 0;
    std::map<std::string, int> kinds;
    int n = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), entry), end; it != end; ++it, ++n) {
        std::string kind = (*it)[1];
        size_t span = std::stoul((*it)[2]), spot = std::stoul((*it)[3]);
        ASSERT_EQ(std::stoi((*it)[4]), n + 1);
        const std::string &r = wire[(size_t)n];
        kinds[kind]++;
        header += spot < kHeader;
        std::string want = kind == "delete" ? r.substr(0, spot) + r.substr(spot + span)
                         : kind == "dup"    ? r.substr(0, spot + span) + r.substr(spot)
                                            : r;
        if (kind == "insert") {  // random bytes: all else must be in place
            ASSERT_EQ(first.substr(at, spot), r.substr(0, spot)) << "reply " << n + 1;
            ASSERT_EQ(first.substr(at + spot + span, r.size() - spot), r.substr(spot));
            at += r.size() + span;
        } else {
            ASSERT_EQ(first.substr(at, want.size()), want) << kind << " on reply " << n + 1;
            at += want.size();
        }
    }
    EXPECT_EQ(n, kReplies);
    EXPECT_EQ(at, first.size());
    EXPECT_EQ(kinds.size(), 3u);
    EXPECT_GT(header, 0u);
}

// A file is looked up afresh on every connection: rewritten in place or
// replaced under its name, the next download gets the new one, even while
// an older connection still has the old one open.
TEST_F(Faults, FileServedFreshPerConnection)
{
    Device dev(root.path());
    Link old;
    old.send(getAt(0));
    ASSERT_EQ(old.replies(1, nullptr, 0).size(), 1u);

    Scratch here;
    std::string v2 = pattern(3000, 8), v3 = pattern(5000, 9);
    writefile(root / "f", v2);
    Result r = tavik({"-g", "f", "-o", "v2"}, {}, here.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readfile(here / "v2"), v2);

    writefile(root / "f.new", v3);
    ASSERT_EQ(rename((root / "f.new").c_str(), (root / "f").c_str()), 0);
    r = tavik({"-g", "-b", "f", "-o", "v3"}, {}, here.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readfile(here / "v3"), v3);
}

}  // namespace
