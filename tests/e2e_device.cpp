// The stand-in device itself: what it lets out of its root (nothing, not
// even through a symlink swapped mid-request), how it writes names, which
// targets it answers, and how it shares itself among connections: fairly
// under a flood, and within its descriptors when many sit idle.
#include "harness.h"
#include "tavik.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

using namespace th;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kAccessViolation = EKxFileTavikRet_AccessViolation;

// One listing line as the device writes it.
std::string entry(char type, long long size, const std::string &name)
{
    char line[512];
    snprintf(line, sizeof line, "%c %10lld %s\n", type, size, name.c_str());
    return line;
}

std::string listing(int entries, const std::string &text)
{
    return "\nentries       " + std::to_string(entries) + "\n\n" + text + "\n";
}

long long sizeOf(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (long long)info.st_size : -1;
}

// --- Raw requests, for what the client cannot do: thousands of requests
// in flight, or a connection that stays open doing nothing.

std::string request(bool list, const std::string &name, u_int32_t offset = 0)
{
    std::string field = name;
    field.resize(kName, '\0');
    size_t size = kHeader + (list ? KX_FILE_TAVIK_LIST_REQ_SIZE : KX_FILE_TAVIK_GET_REQ_SIZE);
    std::string header = be16(0) + be16(list ? KX_FILE_TAVIK_LIST_REQ_MSG : KX_FILE_TAVIK_GET_REQ_MSG) +
                         be32(0x14620614) + be32(0x00c0ffee) + be16((unsigned)size) +
                         be16(KX_SYSCOM_REQ_FLAGS);
    return header + field + be32(offset) + (list ? be32(100) : "");
}

// A connection to the device, from `from` (an address of loopback) when
// given, else from whatever address the kernel picks.
int dial(const char *from = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    if (from && (inet_pton(AF_INET, from, &sa.sin_addr) != 1 ||
                 bind(fd, (sockaddr *)&sa, sizeof sa) != 0)) {
        close(fd);
        return -1;
    }
    sa.sin_port = htons(15003);
    inet_pton(AF_INET, "192.168.255.1", &sa.sin_addr);
    if (connect(fd, (sockaddr *)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

// Reads what has come, waiting up to ms for the first bytes; false once the
// device has closed the connection.
bool receive(int fd, std::string &into, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return true;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0)
        into.append(buf, (size_t)n);
    return n > 0 || (n < 0 && errno == EAGAIN);
}

// Takes the first whole reply off the front of `bytes`.
bool nextReply(std::string &bytes, std::string &reply)
{
    if (bytes.size() < kHeader || bytes.size() < be16at(bytes, 12))
        return false;
    size_t size = be16at(bytes, 12);
    reply = bytes.substr(0, size);
    bytes.erase(0, size);
    return true;
}

// Whether the device has closed `fd` (end of stream or a reset); waits up
// to ms for it.
bool closedByDevice(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return false;
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

// The reply to one request; empty when none comes within 3 s.
std::string ask(int fd, const std::string &req)
{
    std::string bytes, reply;
    if (!sendAll(fd, req))
        return "";
    while (!nextReply(bytes, reply))
        if (!receive(fd, bytes, 3000) || bytes.empty())
            return "";
    return reply;
}

// Whether a listing of the root is answered, within 3 s.
bool listed(int fd)
{
    std::string reply = ask(fd, request(true, "/"));
    return reply.size() > kCodeAt + 4 && le32at(reply, kCodeAt) == 0;
}

// A device without -v, on the same fixed address as Device, for what it
// logs whether asked to or not.
class QuietDevice {
public:
    QuietDevice(const std::string &root, std::vector<std::string> opts)
    {
        if (!support::inPrivateNetwork()) {
            fprintf(stderr, "refusing to run outside a private network namespace\n");
            exit(1);
        }
        std::vector<std::string> args = {"--listen", "192.168.255.1:15003", "--root", root};
        args.insert(args.end(), opts.begin(), opts.end());
        process_ = std::make_unique<support::DeviceProcess>(deviceBin, args, log_);
    }
    ~QuietDevice()
    {
        int st = process_->stop();
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
            ADD_FAILURE() << "tavik-device ended badly (status " << st << "):\n" << log();
    }
    std::string log() const { return readfile(log_); }
    int stop() { return process_->stop(); }

private:
    Scratch dir_;
    std::string log_ = dir_ / "log";
    std::unique_ptr<support::DeviceProcess> process_;
};

}  // namespace

TEST(Device, VersionAndBadValues)
{
    Result r = run(deviceBin, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "tavik-device " TAVIK_VERSION "\n");
    EXPECT_EQ(r.err, "");

    for (const char *bad : {"1442", "1442:", ":614", "1442:10000", "x:614", "0x:614", "1442:614:1"}) {
        Result b = run(deviceBin, {"--target", bad});
        EXPECT_EQ(b.status, 2) << bad;
        EXPECT_EQ(b.err, std::string("tavik-device: --target: '") + bad +
                             "' is not CORE:TASK in hexadecimal, each at most FFFF\n"
                             "Try 'tavik-device --help' for more information.\n");
    }

    struct Bad {
        const char *option, *value, *why;
    };
    for (const Bad &bad : {Bad{"--max-connections", "0", "is out of range (1..65536)"},
                           Bad{"--max-connections", "65537", "is out of range (1..65536)"},
                           Bad{"--max-per-peer", "0", "is out of range (1..65536)"},
                           Bad{"--max-per-peer", "-1", "is not a number"},
                           Bad{"--split-gap", "0", "is out of range"},
                           Bad{"--split-gap", "3600000.1", "is out of range"},
                           Bad{"--split-gap", "1ms", "is not a number"}}) {
        Result b = run(deviceBin, {bad.option, bad.value});
        EXPECT_EQ(b.status, 2) << bad.option << " " << bad.value;
        EXPECT_EQ(b.err, std::string("tavik-device: ") + bad.option + ": '" + bad.value + "' " +
                             bad.why + "\nTry 'tavik-device --help' for more information.\n");
    }
}

// Links to what lies outside the root are not listed, neither a file nor a
// directory, whether relative or absolute; links that stay inside are
// listed as what they point to.  Reaching through them is refused.
TEST(Device, ListingsShowNothingOutsideTheRoot)
{
    Scratch top;
    std::string root = top / "root", outside = top / "outside";
    mkdir(root.c_str(), 0755);
    mkdir(outside.c_str(), 0755);
    mkdir((root + "/sub").c_str(), 0755);
    writefile(outside + "/secret", std::string(1221, 's'));
    writefile(root + "/a", "abc");
    ASSERT_EQ(symlink("a", (root + "/in").c_str()), 0);
    ASSERT_EQ(symlink("sub", (root + "/insub").c_str()), 0);
    ASSERT_EQ(symlink("../outside/secret", (root + "/outfile").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (root + "/outdir").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (root + "/absfile").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (root + "/absdir").c_str()), 0);
    ASSERT_EQ(symlink("../../outside/secret", (root + "/sub/up").c_str()), 0);
    Device dev(root);

    long long dirSize = sizeOf(root + "/sub");
    Result r = tavik({"-l"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(4, entry('-', 3, "a") + entry('-', 3, "in") + entry('d', dirSize, "insub") +
                                    entry('d', dirSize, "sub")));
    r = tavik({"-l", "sub"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(0, ""));

    for (const char *name : {"outdir", "absdir", "insub/up"}) {
        r = tavik({"-l", name});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, listing(0, "")) << name;  // what the client prints before the error
        EXPECT_NE(r.err.find("AccessViolation"), std::string::npos) << name << ": " << r.err;
    }
    for (const char *name : {"outfile", "absfile", "sub/up", "outdir/secret"}) {
        Scratch here;
        r = tavik({"-g", name, "-o", "copy"}, {}, here.path());
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.err.find("AccessViolation"), std::string::npos) << name << ": " << r.err;
        EXPECT_EQ(readfile(here / "copy"), "") << name;
    }
}

// Later pages, which come from what the first one read, are byte for byte
// those of a connection that read nothing before: unchanged, with a file
// grown, a link led out of the root and back in elsewhere, an entry added.
TEST(Device, LaterPagesOfAListingAreWhatAReadingGives)
{
    Scratch top;
    std::string root = top / "root", many = root + "/many", other = root + "/other";
    for (const std::string &dir : {root, many, other, top / "outside"})
        mkdir(dir.c_str(), 0755);
    writefile(other + "/x", "7 bytes");
    for (int i = 0; i < 250; i++)
        writefile(many + "/f" + std::to_string(1000 + i), "");
    ASSERT_EQ(symlink("../other/x", (many + "/zz").c_str()), 0);
    QuietDevice dev(root, {});
    const std::pair<std::function<void()>, int> changes[] = {
        {[] {}, 251},
        {[&] { writefile(many + "/f1150", "grown"); }, 251},
        {[&] { rename(other.c_str(), (other + ".in").c_str()), symlink("../outside", other.c_str()); }, 250},
        {[&] { unlink(other.c_str()), rename((other + ".in").c_str(), other.c_str()); }, 251},
        {[&] { writefile(many + "/f0999", ""); }, 252},
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a directory just changed is read anew
    int paging = dial();
    ASSERT_EQ(le32at(ask(paging, request(true, "many")), kCodeAt + 4), 251);
    for (size_t i = 0; i < std::size(changes); i++) {
        changes[i].first();
        for (u_int32_t offset : {100u, 200u}) {
            int fresh = dial();
            std::string want = ask(fresh, request(true, "many", offset));
            close(fresh);
            EXPECT_EQ(ask(paging, request(true, "many", offset)), want) << i << " " << offset;
            EXPECT_EQ(le32at(want, kCodeAt + 4), changes[i].second) << i << " " << offset;
        }
    }
    close(paging);
}

// A newline in a name must not start a listing line of its own.
TEST(Device, ControlCharactersInNamesAreEscaped)
{
    Scratch root;
    writefile(root / "a\nb", "12");
    writefile(root / "tab\there", "");
    writefile(root / "back\\slash", "");
    writefile(root / "del\x7f", "");
    writefile(root / "\n-          0 forged", "");
    writefile(root / "plain", "");
    Device dev(root.path());
    Result r = tavik({"-l"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(6, entry('-', 0, "\\012-          0 forged") + entry('-', 2, "a\\012b") +
                                    entry('-', 0, "back\\\\slash") + entry('-', 0, "del\\177") +
                                    entry('-', 0, "plain") + entry('-', 0, "tab\\011here")));
}

// A link swapped, as fast as a thread can, between a file inside and one
// outside while blocks and listings are asked for through it: a reply
// either serves the file inside or refuses, and never carries a byte, or
// the size, of the one outside.  Three spellings of the name make the
// device open it afresh for every request rather than keep it open.
TEST(Device, ASwappedLinkNeverServesWhatLiesOutside)
{
    Scratch top;
    std::string root = top / "root", outside = top / "outside";
    mkdir(root.c_str(), 0755);
    mkdir(outside.c_str(), 0755);
    std::string inside = pattern(700, 1), secret = std::string(900, 'S');
    writefile(root + "/inside", inside);
    writefile(outside + "/secret", secret);
    std::string link = root + "/link", spare = root + "/spare";
    ASSERT_EQ(symlink("inside", link.c_str()), 0);
    Device dev(root);

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const std::string targets[] = {"../outside/secret", "inside", outside + "/secret", "inside"};
        for (size_t i = 0; !stop; i = (i + 1) % 4) {
            unlink(spare.c_str());
            if (symlink(targets[i].c_str(), spare.c_str()) == 0)
                rename(spare.c_str(), link.c_str());
        }
    });

    int fd = dial();
    ASSERT_GE(fd, 0);
    int served = 0, refused = 0, listedInside = 0, listedAbsent = 0;
    std::string bytes, reply;
    auto until = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < until && !HasFailure()) {
        std::string batch;
        for (const char *name : {"link", "./link", "/link"})
            batch += request(false, name);
        batch += request(true, "/");
        ASSERT_TRUE(sendAll(fd, batch));
        for (int got = 0; got < 4;) {
            ASSERT_TRUE(receive(fd, bytes, 3000)) << "device closed the connection";
            while (got < 4 && nextReply(bytes, reply)) {
                got++;
                int code = le32at(reply, kCodeAt);
                bool list = be16at(reply, 2) == KX_FILE_TAVIK_LIST_REQ_MSG + 1;
                if (!list && code == 0) {
                    EXPECT_EQ(reply.substr(kGetFixed), inside);
                    EXPECT_EQ(le32at(reply, kCodeAt + 4), (int)inside.size());  // filesize
                    served++;
                } else if (!list) {
                    EXPECT_EQ(code, kAccessViolation);
                    refused++;
                } else {
                    std::string text = reply.substr(kListFixed);
                    EXPECT_EQ(text.find("900"), std::string::npos) << text;
                    (text.find(entry('-', 700, "link")) != std::string::npos ? listedInside
                                                                             : listedAbsent)++;
                }
            }
        }
    }
    stop = true;
    swapper.join();
    close(fd);
    // Both outcomes came up, or the swapping never raced a request.
    EXPECT_GT(served, 0);
    EXPECT_GT(refused, 0);
    EXPECT_GT(listedInside, 0);
    EXPECT_GT(listedAbsent, 0);
}

// --target: requests to any other core and task are never answered, as a
// device without such a task would; the targets named are.  One 3 s
// timeout for all.
TEST(Device, OnlyTheTargetsNamedAreAnswered)
{
    Scratch root;
    writefile(root / "f", "x");
    Device dev(root.path(), {"--target", "1442:614", "--target", "0x1:0X0002"});
    std::vector<Call> calls;
    for (std::vector<std::string> args : {std::vector<std::string>{"-c", "1443", "-l"},
                                          {"-c", "1442", "-l"},
                                          {"-c", "0x1", "-t", "2", "-l"},
                                          {"-t", "615", "-l"}})
        calls.push_back(Call{args, {}, ""});
    std::vector<Result> r = tavikAll(calls);
    std::string want = listing(1, entry('-', 1, "f"));
    EXPECT_EQ(r[0].status, 1);
    EXPECT_EQ(r[0].out, "Timeout or Error (line 164)\n");
    EXPECT_EQ(r[1].status, 0) << r[1].err;
    EXPECT_EQ(r[1].out, want);
    EXPECT_EQ(r[2].status, 0) << r[2].err;
    EXPECT_EQ(r[2].out, want);
    EXPECT_EQ(r[3].status, 1);
    EXPECT_EQ(r[3].out, "Timeout or Error (line 164)\n");
    std::string log = dev.log();
    EXPECT_NE(log.find("no target 1443:0614: request not answered"), std::string::npos) << log;
    EXPECT_NE(log.find("no target 1462:0615: request not answered"), std::string::npos) << log;
    EXPECT_EQ(dev.requests().size(), 4u);  // all are received and recorded
}

// One connection keeps thousands of listings of a large directory in flight;
// a download beside it must still get every reply within the client's wait.
TEST(Device, AFloodOfListingsDoesNotStarveADownload)
{
    Scratch root;
    std::string big = root / "big";
    mkdir(big.c_str(), 0755);
    // Hard links: much quicker to make than as many files.
    writefile(big + "/entry-0", "");
    for (int i = 1; i < 5000; i++)
        link((big + "/entry-0").c_str(), (big + "/entry-with-a-longer-name-" + std::to_string(i)).c_str());
    std::string data = pattern(100 * 1024, 5);
    writefile(root / "file", data);
    Device dev(root.path());

    std::atomic<bool> stop{false};
    std::atomic<long> answered{0};
    std::thread flood([&] {
        int fd = dial();
        std::string out, bytes, reply;
        size_t inFlight = 0;
        while (!stop && fd >= 0) {
            // Never blocked in send: the device reads no more from a client
            // that does not take its replies.
            for (; inFlight < 4096; inFlight++)
                out += request(true, "big");
            ssize_t n = send(fd, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                out.erase(0, (size_t)n);
            if (!receive(fd, bytes, 1))
                break;
            while (nextReply(bytes, reply)) {
                inFlight--;
                answered++;
            }
        }
        close(fd);
    });
    // The flood is under way before the download starts.
    for (int i = 0; answered == 0 && i < 2000; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    Scratch here;
    // Slow on a loaded machine, as the device shares itself out: every reply
    // within the client's wait is what counts, not the whole download's time.
    Result r = tavik({"-g", "file", "-o", "copy"}, {}, here.path());
    long during = answered;
    stop = true;
    flood.join();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(readfile(here / "copy") == data);
    EXPECT_GT(during, 1) << "the flood was not served meanwhile";
}

// With its descriptors nearly all taken by idle connections, the device
// closes the one idle longest to take a new one, and it closes every
// connection idle for --idle-timeout; a connection in use stays.
TEST(Device, IdleConnectionsMakeRoomAndTimeOut)
{
    // The device under a limit of 64 descriptors, soft and hard, so that it
    // cannot raise it again.
    Scratch bin, root;
    writefile(root / "f", "x");
    std::string wrapper = bin / "tavik-device";
    writefile(wrapper, "#!/bin/sh\nulimit -n 64 || exit 99\nexec '" + deviceBin + "' \"$@\"\n");
    chmod(wrapper.c_str(), 0755);
    std::string real = deviceBin;
    deviceBin = wrapper;
    std::unique_ptr<Device> dev;
    try {
        dev = std::make_unique<Device>(root.path(), std::vector<std::string>{"--idle-timeout", "3"});
    } catch (...) {
        deviceBin = real;
        throw;
    }
    deviceBin = real;

    auto start = Clock::now();
    std::vector<int> idle;
    for (int i = 0; i < 100; i++) {
        int fd = dial();
        ASSERT_GE(fd, 0) << i;
        idle.push_back(fd);
    }
    int busy = dial();
    ASSERT_GE(busy, 0);
    // Accepted behind all the idle ones: the first made room for the later
    // ones; the latest are still open.
    ASSERT_TRUE(listed(busy));
    EXPECT_TRUE(closedByDevice(idle.front(), 0));
    for (size_t i = idle.size() - 10; i < idle.size(); i++)
        EXPECT_FALSE(closedByDevice(idle[i], 0)) << i;
    ASSERT_LT(Clock::now() - start, std::chrono::milliseconds(2900)) << "too slow to tell";
    Result r = tavik({"-l"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, listing(1, entry('-', 1, "f")));

    // Past the idle timeout all idle ones are closed; the busy one, asking
    // for a listing every 200 ms, is still answered.
    std::string bytes, reply;
    while (Clock::now() - start < std::chrono::milliseconds(5000)) {
        ASSERT_TRUE(sendAll(busy, request(true, "/")));
        for (bool got = false; !got;) {
            ASSERT_TRUE(receive(busy, bytes, 3000)) << "busy connection closed";
            got = nextReply(bytes, reply);
        }
        EXPECT_EQ(le32at(reply, kCodeAt), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    for (size_t i = 0; i < idle.size(); i++) {
        EXPECT_TRUE(closedByDevice(idle[i], 0)) << i;
        close(idle[i]);
    }
    close(busy);
    std::string log = dev->log();
    EXPECT_NE(log.find("out of descriptors"), std::string::npos) << log;
    EXPECT_NE(log.find("(idle for 3 s)"), std::string::npos) << log;
}

// A client holding every place with connections that each send a byte now
// and then, never a whole request, keeps nobody out: at --max-connections
// the one silent longest makes room, and a real client gets in and is
// served at once.  One that sends requests (a listing every 100 ms),
// though open longest, is never the one closed.
TEST(Device, DrippingConnectionsCannotLockOthersOut)
{
    Scratch root;
    writefile(root / "f", "x");
    Device dev(root.path(), {"--max-connections", "100"});
    int chatty = dial();
    ASSERT_GE(chatty, 0);
    ASSERT_TRUE(listed(chatty));

    // A connection open for less than a second goes last while an older one
    // can make room.  So that chatty is never the only old one, however long
    // the dialling takes: 99 drips fill the places and grow old, then 99
    // more take theirs.
    std::vector<int> drips;
    for (int i = 0; i < 198; i++) {
        if (i == 99) {  // all accepted, and a second more
            for (int k = 0; k < 500 && arrivals(dev.log(), " accepted from ").size() < 100; k++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        drips.push_back(dial());
        ASSERT_GE(drips.back(), 0) << i;
    }
    // The start of a request, a byte every 0.5 s: never a whole one.
    std::string start = request(true, "/");
    auto began = Clock::now();
    for (size_t round = 0; Clock::now() - began < std::chrono::milliseconds(1100); round++) {
        for (int fd : drips)
            send(fd, &start[round], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        for (int i = 0; i < 5; i++) {
            EXPECT_TRUE(listed(chatty)) << "the busier connection was closed";
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

    // Served at once: within a second of the client's own start (what
    // starting a process takes on a loaded machine is not counted).
    Result r = tavik({"-l", "--max-time", "1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, listing(1, entry('-', 1, "f")));
    EXPECT_TRUE(listed(chatty)) << "the busier connection was closed";

    // 99 drips made room for the other 99, and one for the client.
    int open = 0;
    for (int fd : drips) {
        open += !closedByDevice(fd, 0);
        close(fd);
    }
    close(chatty);
    EXPECT_EQ(open, 98);
    std::string log = dev.log();
    EXPECT_NE(log.find("closed to make room for a new one: --max-connections 100 reached, "
                       "and it sent no whole request in the "),
              std::string::npos)
        << log;
}

// 1,030 connections that send nothing, each reopened as soon as it is closed,
// keep the device at its cap; downloads keep their places all the same.
TEST(Device, ChurningConnectionsCannotCloseADownload)
{
    rlimit limit;  // the default --max-connections 1024, and six more
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
    ASSERT_TRUE(setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur > 1100) << limit.rlim_cur;
    Scratch root;
    std::string data = pattern(1 << 20, 9);
    writefile(root / "f", data);
    QuietDevice dev(root.path(), {});
    std::atomic<bool> stop{false};
    std::atomic<long> reopened{0};
    std::thread churn([&] {
        std::vector<pollfd> polls(1030, pollfd{-1, POLLIN, 0});
        for (; !stop; poll(polls.data(), polls.size(), 50))
            for (pollfd &p : polls)
                if (p.fd < 0 || p.revents) {
                    reopened += p.fd >= 0 && close(p.fd) == 0;
                    p = pollfd{dial(), POLLIN, 0};
                }
        for (pollfd &p : polls)
            close(p.fd);
    });
    for (int i = 0; reopened < 100 && i < 1000; i++)  // the cap is full, and churning
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (auto args : {std::vector<std::string>{"-g", "f", "-o", "copy"}, {"-g", "-b", "f", "-o", "copy"}})
        for (int run = 0; run < 3; run++) {
            Scratch here;
            long before = reopened;
            Result r = tavik(args, {}, here.path());
            EXPECT_EQ(r.status, 0) << args[1] << " " << run << ": " << r.out << r.err;
            EXPECT_TRUE(readfile(here / "copy") == data) << args[1] << " " << run;
            EXPECT_GT(reopened, before) << "no connection was closed to make room meanwhile";
        }
    stop = true;
    churn.join();
}

// --max-per-peer counts by address, not port: the eleventh connection from
// one address is closed at once, and logged without -v; the first ten stay,
// another address is served, and once one of the ten is gone its address
// gets in again.
TEST(Device, ConnectionsPerPeerAreLimited)
{
    Scratch root;
    QuietDevice dev(root.path(), {"--max-per-peer", "10"});
    std::vector<int> ten;
    for (int i = 0; i < 10; i++) {
        ten.push_back(dial("192.168.255.1"));
        ASSERT_GE(ten.back(), 0);
    }
    int eleventh = dial("192.168.255.1");
    ASSERT_GE(eleventh, 0);
    EXPECT_TRUE(closedByDevice(eleventh, 2000));
    close(eleventh);
    for (int fd : ten)
        EXPECT_FALSE(closedByDevice(fd, 0));
    EXPECT_TRUE(listed(ten.back()));

    int other = dial("127.0.0.1");
    ASSERT_GE(other, 0);
    EXPECT_TRUE(listed(other));
    close(other);

    close(ten.front());
    ten.front() = dial("192.168.255.1");
    EXPECT_TRUE(listed(ten.front()));
    for (int fd : ten)
        close(fd);

    std::string log = dev.log();
    EXPECT_NE(log.find(": 10 connections from 192.168.255.1 open already (--max-per-peer 10)\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("refused"), log.rfind("refused")) << log;
}

// A block reply's filesize and offset are signed 32-bit fields: a file of
// 2 GiB or more is refused, its first block and any later one, and so is
// one kept open that has grown that large; one byte less is served.  The
// files are sparse and take no disk space.
TEST(Device, FilesOf2GiBOrMoreAreRefused)
{
    Scratch root;
    auto sparse = [&](const std::string &name, off_t size) {
        int fd = open((root / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        bool ok = fd >= 0 && ftruncate(fd, size) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    };
    const off_t twoGiB = off_t{1} << 31;
    ASSERT_TRUE(sparse("big", twoGiB));
    ASSERT_TRUE(sparse("largest", twoGiB - 1));
    ASSERT_TRUE(sparse("grows", 2048));
    QuietDevice dev(root.path(), {});

    Scratch here;
    Result r = tavik({"-g", "big", "-o", "out"}, {}, here.path());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("get: FileNotReadable (-5)"), std::string::npos) << r.err;

    const int kNotReadable = EKxFileTavikRet_FileNotReadable;
    int fd = dial();
    ASSERT_GE(fd, 0);
    std::string reply = ask(fd, request(false, "big", 1024));
    ASSERT_GE(reply.size(), kGetFixed);
    EXPECT_EQ(le32at(reply, kCodeAt), kNotReadable);
    reply = ask(fd, request(false, "largest"));
    ASSERT_EQ(reply.size(), kGetFixed + 1024);
    EXPECT_EQ(le32at(reply, kCodeAt), 0);
    EXPECT_EQ(le32at(reply, kCodeAt + 4), INT32_MAX);  // filesize
    reply = ask(fd, request(false, "grows"));
    ASSERT_GE(reply.size(), kGetFixed);
    EXPECT_EQ(le32at(reply, kCodeAt), 0);
    ASSERT_TRUE(sparse("grows", twoGiB + 1));
    reply = ask(fd, request(false, "grows", 1024));
    ASSERT_GE(reply.size(), kGetFixed);
    EXPECT_EQ(le32at(reply, kCodeAt), kNotReadable);
    close(fd);

    std::string log = dev.log();
    const std::string why = "' refused with FileNotReadable: its 2147483648 bytes are too large "
                            "for the protocol's 32-bit sizes\n";
    EXPECT_NE(log.find("conn 1 get 'big" + why), std::string::npos) << log;
    EXPECT_NE(log.find("conn 2 get 'big" + why), std::string::npos) << log;
    EXPECT_NE(log.find("conn 2 get 'grows' refused with FileNotReadable: its 2147483649 bytes"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("largest"), std::string::npos) << log;
}

// --split-gap spaces the pieces of --split as asked: here a block reply in
// three pieces 250 ms apart.  A reply dripping meanwhile on another
// connection keeps its own time and holds up no one; an idle timeout
// shorter than the gap closes neither until its reply is out; and SIGTERM
// stops the device at once in mid-drip.
TEST(Device, SplitGapSpacesThePieces)
{
    Scratch root;
    std::string data = pattern(10, 3);
    writefile(root / "f", data);
    const size_t size = kGetFixed + data.size(), piece = (size + 2) / 3;
    QuietDevice dev(root.path(), {"--split", std::to_string(piece), "--split-gap", "250",
                                  "--idle-timeout", "0.1"});
    struct Drip {
        int fd;
        std::string bytes;
        std::vector<double> at;  // ms since the start, of each read
    } drips[2] = {{dial(), "", {}}, {-1, "", {}}};
    ASSERT_GE(drips[0].fd, 0);
    auto start = Clock::now();
    auto ms = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
    ASSERT_TRUE(sendAll(drips[0].fd, request(false, "f")));
    double secondAsked = -1;
    while (ms() < 2000 && (drips[0].bytes.size() < size || drips[1].bytes.size() < size)) {
        if (secondAsked < 0 && ms() >= 100) {
            // Dialled only now, as it would idle out meanwhile.
            drips[1].fd = dial();
            ASSERT_TRUE(sendAll(drips[1].fd, request(false, "f")));
            secondAsked = ms();
        }
        for (Drip &d : drips) {
            if (d.fd < 0 || d.bytes.size() >= size)
                continue;
            size_t had = d.bytes.size();
            ASSERT_TRUE(receive(d.fd, d.bytes, 5)) << "closed in mid-reply";
            if (d.bytes.size() > had)
                d.at.push_back(ms());
        }
    }
    for (Drip &d : drips) {
        ASSERT_EQ(d.bytes.size(), size);
        EXPECT_EQ(d.bytes.substr(kGetFixed), data);
        ASSERT_EQ(d.at.size(), 3u) << "the pieces did not come as reads of their own";
        // From the request, which a loaded device may answer late but whose
        // time the gaps keep: the later pieces 250 and 500 ms after it.
        double asked = &d == &drips[0] ? 0 : secondAsked;
        EXPECT_GE(d.at[1] - asked, 200);
        EXPECT_GE(d.at[2] - asked, 450);
        EXPECT_LE(d.at[2] - d.at[0], 900);
    }
    EXPECT_LT(drips[1].at[0] - secondAsked, 200) << "the second reply waited for the first";
    EXPECT_LT(drips[1].at[0], drips[0].at[1]);

    // Its reply out, the first idles out.
    EXPECT_TRUE(closedByDevice(drips[0].fd, 1000));
    int third = dial();
    ASSERT_TRUE(sendAll(third, request(false, "f")));
    std::string bytes;
    ASSERT_TRUE(receive(third, bytes, 1000));
    ASSERT_EQ(bytes.size(), piece);
    int status = dev.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // At once: the rest of the reply, due 250 ms later, never went out.
    for (int i = 0; i < 5 && receive(third, bytes, 200); i++)
        ;
    EXPECT_LT(bytes.size(), size);
    for (int fd : {drips[0].fd, drips[1].fd, third})
        close(fd);
}

// After the client's end of stream, what is owed comes whole, then the end
// of the stream, at once: not after 40 ms gaps (over 3 s in all) or delays.
TEST(Device, EndOfStreamSendsWhatIsOwedAtOnceAndCloses)
{
    Scratch root;
    std::string data = pattern(300, 6);
    writefile(root / "f", data);
    for (auto [split, delay] : {std::pair<std::string, std::string>{"65535", "0"}, {"7", "0"}, {"7", "3000"}}) {
        SCOPED_TRACE(split + " " + delay);
        QuietDevice dev(root.path(), {"--delay", delay, "--split", split, "--split-gap", "40"});
        int fd = dial();
        ASSERT_TRUE(fd >= 0 && sendAll(fd, request(false, "f") + request(true, "/")));
        std::string bytes, reply;
        auto shut = Clock::now();
        shutdown(fd, SHUT_WR);
        while (receive(fd, bytes, 1000) && Clock::now() - shut < std::chrono::seconds(10))
            ;
        EXPECT_LT(Clock::now() - shut, std::chrono::milliseconds(2500)) << "no end of stream";
        close(fd);
        ASSERT_TRUE(nextReply(bytes, reply) && reply.substr(kGetFixed) == data);
        ASSERT_TRUE(nextReply(bytes, reply) && le32at(reply, kCodeAt) == 0);
        EXPECT_EQ(bytes, "");
    }
}

// A connection whose reply the device drips out a byte a second moved
// little, but sent its request: at the cap, a connection that moved a few
// bytes more, never a whole request, is the one closed.  Once both left
// open have sent requests, a newcomer is refused instead.
TEST(Device, ADripIsNotTakenForTheLeastUsed)
{
    Scratch root;
    writefile(root / "f", pattern(100, 4));
    Device dev(root.path(), {"--max-connections", "2", "--split", "1", "--split-gap", "1000"});
    int drip = dial();
    ASSERT_GE(drip, 0);
    std::string get = request(false, "f"), list = request(true, "/"), bytes;
    ASSERT_TRUE(sendAll(drip, get));
    ASSERT_TRUE(receive(drip, bytes, 1000));
    ASSERT_EQ(bytes.size(), 1u);
    // All but the last byte of a request: never answered, and more than
    // the drip moved so far.
    int talker = dial();
    ASSERT_GE(talker, 0);
    ASSERT_GT(list.size() - 1, get.size() + bytes.size());
    ASSERT_TRUE(sendAll(talker, list.substr(0, list.size() - 1)));
    // Both older than the second in which a connection is kept over older
    // ones however little it moved, as the test may take longer than that
    // on a loaded machine to get here: the bytes alone decide.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));

    int newcomer = dial();
    ASSERT_GE(newcomer, 0);
    EXPECT_TRUE(closedByDevice(talker, 1000));
    EXPECT_FALSE(closedByDevice(drip, 0));
    EXPECT_FALSE(closedByDevice(newcomer, 0));
    // Its reply drips too: its first byte says the request is in.
    bytes.clear();
    ASSERT_TRUE(sendAll(newcomer, list) && receive(newcomer, bytes, 1000) && bytes.size() == 1);
    int refused = dial();
    EXPECT_TRUE(closedByDevice(refused, 1000));
    EXPECT_FALSE(closedByDevice(drip, 0) || closedByDevice(newcomer, 0));
    for (int fd : {drip, talker, newcomer, refused})
        close(fd);
    std::string log = dev.log();
    EXPECT_NE(log.find("conn 2 from 192.168.255.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("closed to make room for a new one: --max-connections 2 reached"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(": --max-connections 2 reached, and every connection open sent a request "
                       "within the last 60 s\n"), std::string::npos) << log;
}
