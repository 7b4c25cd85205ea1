// tavik-ideal: the yardstick of the benchmark's window rows.  A pipelined
// download with nothing in it but the transfer: the same requests as
// tavik -g -b --window N (260 bytes each, offsets 1024 apart, ascending),
// and every reply read off the socket and thrown away.  It checks nothing
// but the first reply's return code and file size, and asks for more
// after every read, however few replies that read brought.  Whatever tavik
// falls short of it, against the same device, is tavik's own cost.
//
// With --write FILE it also writes what it gets, as a sensible client
// would: each block at its offset, the blocks of one read that follow on
// from each other gathered into one pwritev() straight from the receive
// buffer, after the next requests have gone out.  Of the replies it then
// looks at the offset and length too, and nothing else; FILE is created
// or truncated.  What tavik falls short of this one is what it spends
// beyond writing the file.
//
//   TAVIK_DEVICE=127.0.0.1:PORT tavik-ideal [--write FILE] NAME WINDOW
//
// Exits 0 only once exactly ceil(size/1024) replies have arrived (and, with
// --write, been written), and prints "blocks B bytes S" on standard output,
// with --write followed by "writes W", the pwritev() calls it took.  There
// is no built-in endpoint: TAVIK_DEVICE must name 127.x.x.x:PORT, anything
// else is refused.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "src/tavik.h"

namespace {

constexpr int kBlock = 1024;               // bytes per block asked for
constexpr int kMaxWindow = 256;            // tavik's own limit
constexpr u32 kCore = 0x1462, kTask = 0x614;  // tavik's default target
constexpr int kReqSize = KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_GET_REQ_SIZE;  // 260
constexpr size_t kReadStep = 32 * 1024;    // one read: a small group of replies
constexpr int kReceiveBuffer = 4 << 20;    // asked for; the kernel may give less
constexpr int kWaitMs = 10000;             // for any reply at all

[[noreturn]] void fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void fail(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::fputs("tavik-ideal: ", stderr);
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::exit(1);
}

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr,
                 "tavik-ideal: %s\n"
                 "Usage: TAVIK_DEVICE=127.0.0.1:PORT tavik-ideal [--write FILE] NAME WINDOW\n"
                 "  --write FILE  write the blocks into FILE, each at its offset\n"
                 "  NAME          the file to fetch (at most %d characters)\n"
                 "  WINDOW        requests in flight, 1-%d\n",
                 why, KX_FILE_TAVIK_NAME_LEN - 1, kMaxWindow);
    std::exit(2);
}

// The loopback endpoint TAVIK_DEVICE names: 127.x.x.x:PORT in digits,
// nothing else (no name is resolved, no other address is ever tried).
sockaddr_in loopbackEndpoint()
{
    const char *env = std::getenv("TAVIK_DEVICE");
    if (!env || !*env)
        usage("TAVIK_DEVICE is not set; there is no built-in endpoint");
    std::string value = env;
    size_t colon = value.rfind(':');
    sockaddr_in to{};
    to.sin_family = AF_INET;
    char *end = nullptr;
    long port = colon == std::string::npos ? 0 : std::strtol(value.c_str() + colon + 1, &end, 10);
    if (colon == std::string::npos || end == value.c_str() + colon + 1 || *end != '\0' ||
        port <= 0 || port > 65535 ||
        inet_pton(AF_INET, value.substr(0, colon).c_str(), &to.sin_addr) != 1 ||
        (ntohl(to.sin_addr.s_addr) >> 24) != 127) {
        std::fprintf(stderr, "tavik-ideal: refusing TAVIK_DEVICE=%s: not 127.x.x.x:PORT\n", env);
        std::exit(2);
    }
    to.sin_port = htons(static_cast<uint16_t>(port));
    return to;
}

int connectTo(const sockaddr_in &to)
{
    int sd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sd < 0)
        fail("socket: %s", std::strerror(errno));
    int one = 1, size = kReceiveBuffer;
    // Before connect, so that the window it allows is announced from the start.
    setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(sd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv = {kWaitMs / 1000, kWaitMs % 1000 * 1000};
    setsockopt(sd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(sd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
        fail("connect: %s", std::strerror(errno));
    return sd;
}

// The requests, built once: only the offset differs between them.
class Requests {
public:
    explicit Requests(const std::string &name) : one_(kReqSize, 0)
    {
        prepheader(one_.data(), KX_FILE_TAVIK_GET_REQ_MSG, KxSysCom_zelad(kCore, kTask),
                   kReqSize, KX_SYSCOM_REQ_FLAGS);
        std::memcpy(one_.data() + KX_SYSCOM_HEADER_SIZE, name.c_str(), name.size() + 1);
    }

    void add(u32 offset)
    {
        u32 wire = hostbe32(offset);
        std::memcpy(one_.data() + KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_NAME_LEN, &wire,
                    sizeof wire);
        batch_.insert(batch_.end(), one_.begin(), one_.end());
    }

    // Everything added since the last send, in one write.
    void send(int sd)
    {
        for (size_t done = 0; done < batch_.size();) {
            ssize_t n = write(sd, batch_.data() + done, batch_.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail("write: %s", n < 0 ? std::strerror(errno) : "nothing written");
            done += static_cast<size_t>(n);
        }
        batch_.clear();
    }

private:
    std::vector<u8> one_, batch_;
};

// Replies as they come off the socket; only their headers are looked at.
class Replies {
public:
    explicit Replies(int sd) : sd_(sd), buf_(kReadStep + 65536) {}

    // One read: at most kReadStep bytes more, whatever has arrived.
    void readSome()
    {
        if (start_ > 0) {
            std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
            end_ -= start_;
            start_ = 0;
        }
        pollfd p{sd_, POLLIN, 0};
        int ready = poll(&p, 1, kWaitMs);
        if (ready == 0)
            fail("no reply for %d s", kWaitMs / 1000);
        if (ready < 0 && errno != EINTR)
            fail("poll: %s", std::strerror(errno));
        ssize_t n = read(sd_, buf_.data() + end_, std::min(kReadStep, buf_.size() - end_));
        if (n < 0 && errno == EINTR)
            return;
        if (n < 0)
            fail("read: %s", std::strerror(errno));
        if (n == 0)
            fail("the device closed the connection");
        end_ += static_cast<size_t>(n);
    }

    // The next whole message, or null if it has not all arrived yet.
    const u8 *next(size_t *size)
    {
        if (end_ - start_ < KX_SYSCOM_HEADER_SIZE)
            return nullptr;
        int payload = getsize(buf_.data() + start_);
        if (payload < 0)
            fail("a reply header claims %d bytes in all", payload + KX_SYSCOM_HEADER_SIZE);
        size_t whole = KX_SYSCOM_HEADER_SIZE + static_cast<size_t>(payload);
        if (end_ - start_ < whole)
            return nullptr;
        const u8 *msg = buf_.data() + start_;
        start_ += whole;
        *size = whole;
        return msg;
    }

private:
    int sd_;
    std::vector<u8> buf_;
    size_t start_ = 0, end_ = 0;
};

// With --write: the blocks of one read, gathered while they lie in the
// receive buffer, and written before the next read moves them.  Blocks
// that follow on from each other go in one pwritev(); a block elsewhere
// begins another.
class Writer {
public:
    explicit Writer(const char *path) : path_(path)
    {
        fd_ = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0)
            fail("%s: %s", path, std::strerror(errno));
    }

    // The data of block reply msg (size bytes in all), for a file of filesize bytes.
    void add(const u8 *msg, size_t size, long long filesize)
    {
        SKxFileTavikGetResp fixed;
        std::memcpy(&fixed, msg + KX_SYSCOM_HEADER_SIZE, KX_FILE_TAVIK_GET_RESP_FIXED);
        long long offset = le32(static_cast<u32>(fixed.offset));
        long long length = le32(static_cast<u32>(fixed.length));
        size_t dataAt = KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_GET_RESP_FIXED;
        if (size < dataAt || length < 0 || static_cast<size_t>(length) > size - dataAt ||
            offset < 0 || offset + length > filesize)
            fail("a reply of %zu bytes claims %lld bytes at %lld", size, length, offset);
        if (length == 0)
            return;
        if (runs_.empty() || offset != end_ || iov_.size() - runs_.back().first >= IOV_MAX)
            runs_.push_back(Run{iov_.size(), offset});
        iov_.push_back(iovec{const_cast<u8 *>(msg + dataAt), static_cast<size_t>(length)});
        end_ = offset + length;
    }

    // Everything added since the last flush, one pwritev() per run.
    void flush()
    {
        for (size_t r = 0; r < runs_.size(); ++r) {
            size_t first = runs_[r].first;
            size_t stop = r + 1 < runs_.size() ? runs_[r + 1].first : iov_.size();
            off_t at = runs_[r].at;
            while (first < stop) {
                ssize_t n = pwritev(fd_, &iov_[first], static_cast<int>(stop - first), at);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    fail("%s: %s", path_, n < 0 ? std::strerror(errno) : "nothing written");
                writes_++;
                at += n;
                // A short write: the pieces written dropped, a part one cut.
                for (size_t left = static_cast<size_t>(n); left > 0;) {
                    size_t take = std::min(left, iov_[first].iov_len);
                    iov_[first].iov_base = static_cast<u8 *>(iov_[first].iov_base) + take;
                    iov_[first].iov_len -= take;
                    left -= take;
                    if (iov_[first].iov_len == 0)
                        first++;
                }
            }
        }
        iov_.clear();
        runs_.clear();
    }

    void close()
    {
        flush();
        if (::close(fd_) != 0)
            fail("%s: %s", path_, std::strerror(errno));
    }

    long long writes() const { return writes_; }

private:
    struct Run {
        size_t first;  // its first piece in iov_
        long long at;  // its offset in the file
    };

    const char *path_;
    int fd_ = -1;
    std::vector<iovec> iov_;
    std::vector<Run> runs_;
    long long end_ = 0;
    long long writes_ = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    const char *writeTo = nullptr;
    if (argc > 1 && std::strcmp(argv[1], "--write") == 0) {
        if (argc < 3 || !*argv[2])
            usage("--write needs a FILE");
        writeTo = argv[2];
        argc -= 2;
        argv += 2;
    }
    if (argc != 3)
        usage("expected NAME and WINDOW");
    std::string name = argv[1];
    if (name.empty() || name.size() >= KX_FILE_TAVIK_NAME_LEN)
        usage("bad NAME");
    char *end = nullptr;
    long window = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || window < 1 || window > kMaxWindow)
        usage("bad WINDOW");
    sockaddr_in to = loopbackEndpoint();
    std::optional<Writer> writer;
    if (writeTo)
        writer.emplace(writeTo);

    int sd = connectTo(to);
    Requests requests(name);
    Replies replies(sd);

    requests.add(0);
    requests.send(sd);
    const u8 *msg;
    size_t size = 0;
    while (!(msg = replies.next(&size)))
        replies.readSome();
    if (size < KX_SYSCOM_HEADER_SIZE + KX_FILE_TAVIK_GET_RESP_FIXED)
        fail("the first reply is %zu bytes, too short for a block reply", size);
    SKxFileTavikGetResp first;
    std::memcpy(&first, msg + KX_SYSCOM_HEADER_SIZE, KX_FILE_TAVIK_GET_RESP_FIXED);
    if (le32(first.returnCode) != EKxFileTavikRet_Ok)
        fail("the device answers %s", KxFileTavik_retname(le32(first.returnCode)));
    long long filesize = le32(first.filesize);
    if (filesize < 0)
        fail("the device gives a file size of %lld", filesize);
    long long blocks = filesize > 0 ? (filesize + kBlock - 1) / kBlock : 1;
    if (writer)
        writer->add(msg, size, filesize);

    long long received = 1, inflight = 0, nextoff = kBlock;
    for (;;) {
        while (inflight < window && nextoff < filesize) {
            requests.add(static_cast<u32>(nextoff));
            nextoff += kBlock;
            inflight++;
        }
        requests.send(sd);
        // The blocks of the last read, now that the next requests are out.
        if (writer)
            writer->flush();
        if (received == blocks)
            break;
        replies.readSome();
        while ((msg = replies.next(&size))) {
            if (++received <= blocks && writer)
                writer->add(msg, size, filesize);
            inflight--;
        }
        if (received > blocks)
            fail("%lld replies for %lld blocks", received, blocks);
    }
    close(sd);
    if (writer) {
        writer->close();
        std::printf("blocks %lld bytes %lld writes %lld\n", blocks, filesize, writer->writes());
    } else {
        std::printf("blocks %lld bytes %lld\n", blocks, filesize);
    }
    return 0;
}
