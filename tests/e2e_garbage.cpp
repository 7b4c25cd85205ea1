// The device survives whatever comes in: garbage, broken and abandoned
// requests, floods of connections.  After each kind it must still answer a
// listing, raw and through the client.
#include "harness.h"
#include "tavik.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

using namespace th;
using Clock = std::chrono::steady_clock;

namespace {


// What the device logs (device/connection.cpp, device/protocol.cpp).
const char *const kBad = " bad request: ";
const char *const kMidRequest = "(peer closed in mid-request)";

// --- Wire bytes, built by hand rather than with the client's helpers, so
// that a mistake shared by both cannot hide.

std::string header(unsigned id, size_t size)
{
    return be16(0) + be16(id) + be32(0x14620614) + be32(0x00c0ffee) + be16((unsigned)size) +
           be16(KX_SYSCOM_REQ_FLAGS);
}

// A listing (at most 100 entries) or block request at offset 0.  The name is
// zero-padded, or taken as it is when it fills the field: then it has no
// terminating zero, on purpose.
std::string request(unsigned id, const std::string &name = "/")
{
    std::string field = name.substr(0, kName);
    field.resize(kName, '\0');
    bool list = id == kListId;
    return header(id, list ? kListSize : kGetSize) + field + be32(0) + (list ? be32(100) : "");
}

// One reply as the tests compare them: "msgId/msgSize/returnCode ".
std::string reply(unsigned id, size_t size, int code = 0)
{
    char s[48];
    snprintf(s, sizeof s, "%04x/%zu/%d ", id, size, code);
    return s;
}

// The replies framed in `got`, then whatever bytes do not make a reply.
std::string replies(const std::string &got)
{
    std::string s;
    size_t at = 0;
    for (size_t size; at + kHeader <= got.size(); at += size) {
        size = be16at(got, at + 12);
        if (size < kCodeAt + 4 || at + size > got.size())
            break;
        const unsigned char *code = (const unsigned char *)got.data() + at + kCodeAt;
        s += reply(be16at(got, at + 2), size,
                   (int)(code[0] | code[1] << 8 | code[2] << 16 | (u_int32_t)code[3] << 24));
    }
    return at < got.size() ? s + "+" + std::to_string(got.size() - at) + " bytes" : s;
}

// A connection to the device, TCP_NODELAY so that dribbled pieces leave one
// by one.  Connecting on loopback does not wait for the device to accept.
int dial()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(15003);
    inet_pton(AF_INET, "192.168.255.1", &sa.sin_addr);
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Closes with a reset instead of an orderly close.
void abortive(int fd)
{
    struct linger now = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

// --- Probes: scripted connections run side by side, so that tens of
// thousands take seconds rather than minutes.

struct Probe {
    enum End {
        Drop,          // close as soon as all is sent
        Reset,         // the same with a reset
        Await,         // wait for the device to end the stream
        ShutAndAwait,  // shut our side once all is sent, then wait
    };
    std::string bytes;
    End end;
    bool dribble;      // a few bytes a round instead of all at once
    std::string want;  // for the awaiting ones: the replies, as replies() puts them
    Probe(std::string b, End e = Await, bool d = false, std::string w = "")
        : bytes(std::move(b)), end(e), dribble(d), want(std::move(w)) {}
};

struct Seen {
    bool ended = false;  // the device ended (or broke) the stream in time
    size_t sent = 0;
    std::string got;
};

// One round of a live probe; false once its connection is closed.
bool step(const Probe &p, Seen &s, int fd, bool readable, Clock::time_point deadline)
{
    if (readable) {
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            s.got.append(buf, (size_t)n);
        s.ended = n == 0 || (errno != EAGAIN && errno != EINTR);
    }
    size_t left = p.bytes.size() - s.sent;
    if (!s.ended && left > 0) {
        // At most 64 KiB a round, so that an early close is seen before all is sent.
        ssize_t n = send(fd, p.bytes.data() + s.sent, std::min<size_t>(left, p.dribble ? 7 : 65536),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        s.sent += n > 0 ? (size_t)n : 0;  // a full or broken socket: poll tells
        if (s.sent == p.bytes.size() && p.end == Probe::ShutAndAwait)
            shutdown(fd, SHUT_WR);
    }
    bool dropNow = p.end <= Probe::Reset && s.sent == p.bytes.size();
    if (!dropNow && !s.ended && Clock::now() < deadline)
        return true;
    if (p.end == Probe::Reset)
        abortive(fd);
    else
        close(fd);
    return false;
}

std::vector<Seen> runAll(const std::vector<Probe> &probes, size_t parallel = 128)
{
    struct Live {
        size_t i;
        int fd;
        Clock::time_point deadline;
    };
    std::vector<Seen> seen(probes.size());
    std::vector<Live> live;
    std::vector<struct pollfd> polls;
    // Once a few probes wait in vain, the rest would too, 5 s each: they are
    // not started (and fail for want of a close).
    size_t lost = 0;
    for (size_t next = 0; (next < probes.size() && lost < 8) || !live.empty();) {
        for (; live.size() < parallel && next < probes.size() && lost < 8; next++) {
            int fd = dial();
            if (fd >= 0)  // else it never ends: the checks catch that
                live.push_back({next, fd, Clock::now() + std::chrono::seconds(5)});
        }
        polls.clear();
        for (const Live &l : live)
            polls.push_back({l.fd, POLLIN, 0});
        poll(polls.data(), polls.size(), 1);  // the 1 ms also paces the dribbling
        size_t kept = 0;
        for (size_t k = 0; k < live.size(); k++) {
            const Live l = live[k];
            if (step(probes[l.i], seen[l.i], l.fd, polls[k].revents != 0, l.deadline))
                live[kept++] = l;
            else
                lost += !seen[l.i].ended && probes[l.i].end >= Probe::Await;
        }
        live.resize(kept);
    }
    return seen;
}

// Every awaiting probe saw the device end the stream behind exactly the
// replies it wants; the first few that did not are shown.
void expectAnswered(const std::vector<Probe> &probes, const std::vector<Seen> &seen)
{
    size_t failed = 0;
    std::string shown;
    for (size_t i = 0; i < probes.size(); i++) {
        std::string got = replies(seen[i].got) + (seen[i].ended ? "" : "(no close)");
        if (probes[i].end < Probe::Await || got == probes[i].want)
            continue;
        if (++failed <= 5)
            shown += "  probe " + std::to_string(i) + " [" + hex(probes[i].bytes.substr(0, 16)) +
                     "]: got '" + got + "', want '" + probes[i].want + "'\n";
    }
    EXPECT_EQ(failed, 0u) << shown;
}

size_t count(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

struct Garbage : ::testing::Test {
    Scratch root;
    Device dev{root.path()};  // refuses to start outside the private namespace
    std::string text;         // the root's listing
    std::string listReply, getReply;  // to request(kListId) and request(kGetId, "b.dat")

    Garbage()
    {
        writefile(root / "a.txt", "");
        writefile(root / "b.dat", "12345");
        mkdir((root / "sub").c_str(), 0755);
        struct stat st;
        stat((root / "sub").c_str(), &st);
        char sub[64];  // a folder's size is the file system's
        snprintf(sub, sizeof sub, "d %10lld sub\n", (long long)st.st_size);
        text = std::string("-          0 a.txt\n-          5 b.dat\n") + sub;
        listReply = reply(0x0A89, kListFixed + text.size() + 1);
        getReply = reply(0x0A83, kGetFixed + 5);
    }

    // The device logs as it acts, a moment after we see the effect: the
    // count is taken once it reaches `want` or 5 s have passed.
    void expectLogged(const std::string &needle, size_t want) const
    {
        auto end = Clock::now() + std::chrono::seconds(5);
        size_t n;
        while ((n = count(dev.log(), needle)) < want && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(n, want) << "log lines with '" << needle << "'";
    }

    // One listing request on a connection of its own: one reply of the right
    // id, size and returnCode, then the close.
    void expectRawListing() const
    {
        const std::vector<Probe> one = {{request(kListId), Probe::ShutAndAwait, false, listReply}};
        expectAnswered(one, runAll(one));
    }

    // After each kind of garbage: a listing, raw and through the client, and
    // every connection the device accepted it has also closed.
    void expectHealthy() const
    {
        expectRawListing();
        Result r = tavik({"-l"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "\nentries       3\n\n" + text + "\n");
        expectLogged(" closed (", count(dev.log(), " accepted from "));
        EXPECT_EQ(count(dev.log(), " connections open"), 0u) << "refused at the limit";
    }
};

// Seeded random bytes of all kinds of lengths, some in one write, some
// dribbled.  16 bytes or more make a header the device refuses (random ones
// fit a request with odds of 1 in 2^31); shorter ones we drop.
TEST_F(Garbage, RandomBytes)
{
    std::mt19937 rng(4021);
    std::vector<Probe> probes;
    size_t refusals = 0, drops = 0;
    for (unsigned i = 0; i < 300; i++) {
        const size_t limits[] = {15, 300, 5000, 70000, 1 << 20};
        size_t limit = limits[i % 20 == 19 ? 4 : rng() % 4];  // a mebibyte now and then
        Probe p{pattern(1 + rng() % limit, 1000 + i)};
        p.dribble = p.bytes.size() <= 600 && i % 2;
        p.end = p.bytes.size() < kHeader ? Probe::Drop : Probe::Await;
        (p.end == Probe::Await ? refusals : drops)++;
        probes.push_back(p);
    }
    ASSERT_GT(drops, 20u);  // the seed gives both kinds
    expectAnswered(probes, runAll(probes));
    expectLogged(kBad, refusals);
    expectLogged(kMidRequest, drops);
    EXPECT_EQ(dev.recorded(), "");
    expectHealthy();
}

// Headers that stop after 1 to 15 bytes, then a close or a reset: nothing to
// refuse, answer or record.
TEST_F(Garbage, TruncatedHeaders)
{
    std::vector<Probe> probes;
    for (size_t n = 1; n < kHeader; n++)
        for (const std::string &start : {request(kListId), pattern(kHeader, 5)})
            for (Probe::End end : {Probe::Drop, Probe::Reset})
                probes.push_back({start.substr(0, n), end, n % 2 == 1});
    runAll(probes);
    expectLogged(kMidRequest, probes.size() / 2);  // a reset is no close
    expectLogged(kBad, 0);
    EXPECT_EQ(dev.recorded(), "");
    expectHealthy();
}

// msgSize 0xFFFF, under any id, is refused from the header: the device does
// not wait for a body that is missing or cut short, and closes while one
// that never ends is still coming.
TEST_F(Garbage, OversizedHeaders)
{
    std::vector<Probe> probes;
    for (unsigned id : {kListId, kGetId, 0x1234u})
        for (size_t body : {0, 1000, 8 << 20})  // of the last, a few 100 KiB go out
            probes.push_back({header(id, 0xFFFF) + std::string(body, '\xff')});
    std::vector<Seen> seen = runAll(probes);
    expectAnswered(probes, seen);
    for (size_t i = 2; i < probes.size(); i += 3)
        EXPECT_LT(seen[i].sent, probes[i].bytes.size()) << "closed only after the whole body";
    expectLogged(kBad, probes.size());
    expectLogged("msgSize 65535 does not match id 0x0a88", 3);
    expectLogged("unknown message id 0x1234 (msgSize 65535)", 3);
    expectHealthy();
}

// Every msgSize from 0 to 0xFFFF under an id it does not fit: a request id
// at another size, a reply id, a random one.  Each is a header alone on a
// connection of its own, so each must be refused from the header.
TEST_F(Garbage, EveryMsgSizeWithAWrongId)
{
    std::mt19937 rng(65536);
    std::vector<Probe> probes;
    size_t below = 0, unknown = 0;
    for (size_t size = 0; size <= 0xFFFF; size++) {
        unsigned ids[] = {size == kListSize ? kGetId : kListId, size == kGetSize ? kListId : kGetId,
                          0x0A89, (unsigned)rng() & 0xFFFF};
        unsigned id = ids[size % 4];
        probes.push_back({header(id, size)});
        below += size < kHeader;
        unknown += size >= kHeader && id != kListId && id != kGetId;
    }
    expectAnswered(probes, runAll(probes));
    // Each refusal is logged before its close, which we have all seen; and
    // the log is long, so it is read once.
    const std::string log = dev.log();
    EXPECT_EQ(count(log, kBad), probes.size());
    EXPECT_EQ(count(log, "is below the header size"), below);
    EXPECT_EQ(count(log, ": unknown message id 0x"), unknown);
    EXPECT_EQ(count(log, " does not match id 0x"), probes.size() - below - unknown);
    EXPECT_EQ(dev.recorded(), "");
    expectHealthy();
}

// Names filling all 240 bytes without a zero, in both requests, are refused
// although zeros follow right behind them; 239 bytes and a zero are still a
// name, answered "not found".
TEST_F(Garbage, UnterminatedNames)
{
    std::string nonzero = pattern(kName, 3);
    std::replace(nonzero.begin(), nonzero.end(), '\0', '\x01');
    std::vector<Probe> probes;
    for (unsigned id : {kListId, kGetId})
        for (const std::string &name : {std::string(kName, 'A'), nonzero})
            probes.push_back({request(id, name)});
    const std::string longest(kName - 1, 'A');
    probes.push_back({request(kListId, longest), Probe::ShutAndAwait, false,
                      reply(0x0A89, kListFixed + 1, EKxFileTavikRet_DirNotFound)});
    probes.push_back({request(kGetId, longest), Probe::ShutAndAwait, false,
                      reply(0x0A83, kGetFixed, EKxFileTavikRet_FileNotFound)});
    expectAnswered(probes, runAll(probes));
    expectLogged(kBad, 4);
    expectLogged("bad request: name without a terminating zero", 4);
    expectHealthy();
}

// A valid request cut at every byte.  Dropped there, it is neither answered
// nor recorded; behind a whole one, with our side then shut, exactly the
// whole one is answered before the device closes.
TEST_F(Garbage, RequestsCutAnywhere)
{
    std::vector<Probe> probes;
    size_t recorded = 0;
    for (const std::string &req : {request(kListId), request(kGetId, "b.dat")}) {
        std::string want = req.size() == kListSize ? listReply : getReply;
        for (size_t cut = 0; cut < req.size(); cut++) {
            bool dribble = cut % 3 == 1;
            if (cut > 0)
                probes.push_back({req.substr(0, cut), Probe::Drop, dribble});
            probes.push_back({req + req.substr(0, cut), Probe::ShutAndAwait, dribble, want});
            recorded += req.size();
        }
    }
    expectAnswered(probes, runAll(probes));
    expectLogged(kMidRequest, probes.size() - 2);  // all but the two whole ones alone
    expectLogged(kBad, 0);
    EXPECT_EQ(dev.recorded().size(), recorded) << "a cut request was recorded";
    expectHealthy();
}

// A thousand connections open at once, silent or in the middle of a request;
// a listing is answered meanwhile; then all are closed or reset.
TEST_F(Garbage, ThousandConnectionsDropped)
{
    struct rlimit lim;
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::max(lim.rlim_cur, std::min<rlim_t>(lim.rlim_max, 2000));
    setrlimit(RLIMIT_NOFILE, &lim);
    ASSERT_GE(lim.rlim_cur, (rlim_t)1100) << "too few descriptors";

    const std::string whole[] = {request(kListId), request(kGetId, "b.dat")};
    std::vector<int> fds;
    for (size_t i = 0; i < 1000; i++) {
        fds.push_back(dial());
        ASSERT_GE(fds.back(), 0) << "connection " << i;
        const std::string &req = whole[i % 2];
        std::string part = i % 3 ? req.substr(0, 1 + i % (req.size() - 1)) : "";
        ASSERT_EQ(send(fds.back(), part.data(), part.size(), MSG_NOSIGNAL), (ssize_t)part.size());
    }
    expectRawListing();
    size_t midRequest = 0;
    for (size_t i = 0; i < fds.size(); i++) {
        bool reset = i % 4 == 0;
        midRequest += !reset && i % 3;
        if (reset)
            abortive(fds[i]);
        else
            close(fds[i]);
    }
    expectLogged(kMidRequest, midRequest);
    expectLogged(" accepted from ", 1001);
    EXPECT_EQ(dev.recorded(), request(kListId)) << "only the listing is whole";
    expectHealthy();
}

// Valid requests, then garbage on the same connection: each valid one is
// answered in full before the device closes.
TEST_F(Garbage, ValidThenGarbage)
{
    const std::string list = request(kListId), get = request(kGetId, "b.dat");
    const std::vector<Probe> probes = {
        {list + pattern(500, 1), Probe::Await, false, listReply},
        {get + list + header(kGetId, 0xFFFF) + pattern(100, 2), Probe::Await, true,
         getReply + listReply},
        {list + get + request(kGetId, std::string(kName, 'x')) + pattern(1 << 20, 3), Probe::Await,
         false, listReply + getReply},
    };
    expectAnswered(probes, runAll(probes));
    expectLogged(kBad, probes.size());
    expectHealthy();
}

}  // namespace
