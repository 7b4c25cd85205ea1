#include "harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <random>
#include <thread>

namespace th {

std::string tavikBin = TAVIK_BIN;
std::string deviceBin = TAVIK_DEVICE_BIN;

std::string readfile(const std::string &path) { return support::readFile(path); }
void writefile(const std::string &path, const std::string &bytes)
{
    support::writeFile(path, bytes);
}

std::string pattern(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = (char)(rng() & 0xFF);
    return s;
}

std::string hex(const std::string &bytes)
{
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02x", c);
        if (!s.empty())
            s += ' ';
        s += b;
    }
    return s;
}

u_int32_t be32at(const std::string &s, size_t at)
{
    const unsigned char *p = (const unsigned char *)s.data() + at;
    return (u_int32_t)p[0] << 24 | (u_int32_t)p[1] << 16 | (u_int32_t)p[2] << 8 | p[3];
}

std::string be16(unsigned v)
{
    return {(char)(v >> 8 & 0xFF), (char)(v & 0xFF)};
}

std::string be32(u_int32_t v)
{
    return be16(v >> 16) + be16(v & 0xFFFF);
}

unsigned be16at(const std::string &s, size_t at)
{
    return (unsigned)(unsigned char)s[at] << 8 | (unsigned char)s[at + 1];
}

int le32at(const std::string &s, size_t at)
{
    const unsigned char *p = (const unsigned char *)s.data() + at;
    return (int)(p[0] | p[1] << 8 | p[2] << 16 | (u_int32_t)p[3] << 24);
}

std::string straceBin()
{
    for (const char *path : {"/usr/bin/strace", "/bin/strace"})
        if (access(path, X_OK) == 0)
            return path;
    return "";
}

std::vector<double> arrivals(const std::string &deviceLog, const std::string &what)
{
    std::vector<double> t;
    std::istringstream in(deviceLog);
    for (std::string line; std::getline(in, line);)
        if (line.find(what) != std::string::npos)
            t.push_back(std::stod(line));
    return t;
}

std::string usage(const std::string &cmd)
{
    const char *fmt =
        "\nUsage:\n"
        "  %1 -c <core> -t <task> [-l|-g|-p] <name>\n"
        "  %1 -l [<dirname>]     list <dirname> (default '/')\n"
        "  %1 -g [<filename>]    get <filename> (default \"ttiTrace.dat\")\n"
        "  -o <local_filename>         with -g use <local_filename> for the copied file on the PC "
        "instead of <filename>\n"
        "  -b     enables faster download. Use with care because it has not been thoroughly test.\n"
        "  -c and -t are optional. Default values are 0x1462 and 0x614\n"
        "  VRQ is expected to have the IP address 192.168.255.1\n"
        "\nExample: '%1 -g -c 1442' downloads DL ttiTrace.dat file\n\n";
    std::string s = fmt;
    for (size_t at; (at = s.find("%1")) != std::string::npos;)
        s.replace(at, 2, cmd);
    return s;
}

using support::now;

// prog with call's arguments and environment, in call's folder or else in
// io, the child's own scratch folder.
static support::Command command(const std::string &prog, const Call &call, const Scratch &io)
{
    std::vector<std::string> args = {prog};
    args.insert(args.end(), call.args.begin(), call.args.end());
    return support::Command(args, support::childEnvironment(call.env),
                            call.cwd.empty() ? io.path() : call.cwd);
}

static void setEnd(Result &r, int status)
{
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.signal = WTERMSIG(status);
}

// Where a child's output goes.
struct Spawn {
    std::string out, err;
};

Child::Child(const std::string &prog, const Call &call)
    : spawn_(std::make_unique<Spawn>(Spawn{io_ / "stdout", io_ / "stderr"})), start_(now())
{
    int out = support::openForWriting(spawn_->out), err = support::openForWriting(spawn_->err);
    pid_ = command(prog, call, io_).start(out, err);
    close(out);
    close(err);
}

Child::~Child()
{
    if (pid_ > 0)
        support::killAndReap(pid_);
}

bool Child::ended(double timeout)
{
    if (pid_ < 0)
        return true;
    std::optional<support::Exit> done = support::reap(pid_);
    if (!done) {
        if (now() - start_ > timeout && !result_.timedout) {
            result_.timedout = true;
            kill(pid_, SIGKILL);
        }
        return false;
    }
    result_.seconds = now() - start_;
    result_.maxrss_kb = done->usage.ru_maxrss;
    setEnd(result_, done->status);
    result_.out = readfile(spawn_->out);
    result_.err = readfile(spawn_->err);
    pid_ = -1;
    return true;
}

void Child::signal(int sig)
{
    if (pid_ > 0)
        kill(pid_, sig);
}

std::vector<Result> runall(const std::string &prog, const std::vector<Call> &calls, double timeout)
{
    std::vector<std::unique_ptr<Child>> children;
    for (auto &call : calls)
        children.push_back(std::make_unique<Child>(prog, call));
    for (;;) {
        size_t running = 0;
        for (auto &c : children)
            running += !c->ended(timeout);
        if (running == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<Result> results;
    for (auto &c : children)
        results.push_back(c->result());
    return results;
}

Result run(const std::string &prog, const std::vector<std::string> &args, const Env &env,
           const std::string &cwd, double timeout)
{
    return runall(prog, {Call{args, env, cwd}}, timeout)[0];
}

// Tests must never reach a real network: refuse to start unless this
// process sits in a namespace whose only interface is loopback.
static void requireprivatenet()
{
    if (!support::inPrivateNetwork()) {
        fprintf(stderr, "refusing to run: this process is not in a private network namespace "
                        "(run the tests through tests/netns.sh, as ctest does)\n");
        exit(1);
    }
}

Result tavik(const std::vector<std::string> &args, const Env &env, const std::string &cwd,
             double timeout)
{
    requireprivatenet();
    return run(tavikBin, args, env, cwd, timeout);
}

std::vector<Result> tavikAll(const std::vector<Call> &calls, double timeout)
{
    requireprivatenet();
    return runall(tavikBin, calls, timeout);
}

Result tavikOnTerminal(const std::vector<std::string> &args, const Env &env, int cols,
                       const std::string &cwd)
{
    requireprivatenet();
    Scratch io;
    int master;
    double start = now();
    pid_t pid = command(tavikBin, Call{args, env, cwd}, io).startOnTerminal(cols, &master);
    Result r;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0)  // EIO once the child is gone
        r.out.append(buf, (size_t)n);
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    r.seconds = now() - start;
    setEnd(r, st);
    return r;
}

std::unique_ptr<Child> startTavik(const Call &call)
{
    requireprivatenet();
    return std::make_unique<Child>(tavikBin, call);
}

Device::Device(const std::string &root, const std::vector<std::string> &opts,
               const std::string &listen)
    : listen_(listen), record_(dir_ / "record"), log_(dir_ / "log")
{
    requireprivatenet();
    writefile(record_, "");
    std::vector<std::string> args = {"--listen", listen, "--root", root, "--record", record_, "-v"};
    args.insert(args.end(), opts.begin(), opts.end());
    process_ = std::make_unique<support::DeviceProcess>(deviceBin, args, log_);
}

Device::~Device()
{
    // A device that did not stop cleanly (a crash, a sanitizer report)
    // fails the test that used it.
    int st = process_->stop();
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
        ADD_FAILURE() << "tavik-device ended badly (status " << st << "):\n" << readfile(log_);
}

std::string Device::recorded() const { return readfile(record_); }
std::string Device::log() const { return readfile(log_); }

std::vector<std::string> Device::requests() const
{
    std::string all = recorded();
    std::vector<std::string> reqs;
    size_t at = 0;
    while (at + 16 <= all.size()) {
        size_t size = (unsigned char)all[at + 12] << 8 | (unsigned char)all[at + 13];
        if (size < 16 || at + size > all.size())
            break;
        reqs.push_back(all.substr(at, size));
        at += size;
    }
    return reqs;
}

std::vector<long> Device::getOffsets() const
{
    std::vector<long> offs;
    for (auto &q : requests())
        if (q.size() == 260)
            offs.push_back((long)be32at(q, 256));
    return offs;
}

void le32to(std::string &s, size_t at, u_int32_t v)
{
    for (int i = 0; i < 4; i++)
        s[at + i] = (char)(v >> (8 * i) & 0xFF);
}

// One reply: the header (big-endian) and a record of `fixed` bytes whose
// integers the caller fills in, then `tail`.
static std::string reply(unsigned id, size_t fixed, const std::string &tail)
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
    std::string r = reply(kGetId + 1, KX_FILE_TAVIK_GET_RESP_FIXED,
                          file.substr(std::min<size_t>(offset, file.size()), n));
    le32to(r, 16 + 244, (u_int32_t)file.size());
    le32to(r, 16 + 248, offset);
    le32to(r, 16 + 252, offset + n == file.size());
    le32to(r, 16 + 256, (u_int32_t)n);
    return r;
}

std::string pageReply(u_int32_t total, u_int32_t offset, u_int32_t entries, const std::string &text)
{
    std::string r = reply(kListId + 1, KX_FILE_TAVIK_LIST_RESP_FIXED, text + '\0');
    le32to(r, 16 + 244, total);
    le32to(r, 16 + 248, offset);
    le32to(r, 16 + 252, entries);
    return r;
}

Peer::Peer(Answer answer, int holdMs) : answer_(std::move(answer)), holdMs_(holdMs)
{
    requireprivatenet();  // never the device's address on a real network
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

Peer::~Peer()
{
    stop_ = true;
    thread_.join();
    close(fd_);
}

void Peer::serve()
{
    pollfd p{fd_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 50) >= 0) {
        if (!(p.revents & POLLIN))
            continue;
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0)
            continue;
        connections_++;
        converse(c);
        close(c);
    }
}

void Peer::converse(int c)
{
    std::string in;
    char buf[65536];
    for (int n = 1; !stop_;) {
        pollfd p{c, POLLIN, 0};
        if (poll(&p, 1, 50) == 0)
            continue;
        ssize_t got = recv(c, buf, sizeof buf, 0);
        if (got == 0 && holdMs_ > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs_));
        if (got <= 0)
            return;
        in.append(buf, (size_t)got);
        while (in.size() >= 16) {
            size_t size = (unsigned char)in[12] << 8 | (unsigned char)in[13];
            if (size < 16 || in.size() < size)
                break;
            unsigned id = (unsigned char)in[2] << 8 | (unsigned char)in[3];
            Send out = answer_(id, be32at(in, 16 + 240), n++);
            in.erase(0, size);
            double from = now();
            if (!out.later.empty())
                tailGapMs_ = 1e9;
            if (!out.now.empty() && send(c, out.now.data(), out.now.size(), MSG_NOSIGNAL) < 0)
                return;
            if (!out.later.empty()) {
                pollfd w{c, POLLIN, 0};
                for (double until = support::now() + out.laterMs / 1000.0, left;
                     (left = until - support::now()) > 0 && poll(&w, 1, (int)(left * 1000) + 1) > 0;) {
                    if (recv(c, buf, 1, MSG_PEEK) == 0)
                        break;  // the client's end: what is written goes now
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                if (send(c, out.later.data(), out.later.size(), MSG_NOSIGNAL) < 0)
                    return;
                tailGapMs_ = (now() - from) * 1000;
            }
            if (out.close)
                return;
        }
    }
}

}  // namespace th

namespace th {

Blackhole::Blackhole(const std::string &addr, int port)
{
    requireprivatenet();
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    int l = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(l, (struct sockaddr *)&sa, sizeof sa) != 0 || listen(l, 0) != 0)
        throw std::runtime_error("blackhole: cannot listen");
    fds_.push_back(l);
    // Fill the accept queue, never accepted: further connects get no answer.
    for (int i = 0; i < 3; i++) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, (struct sockaddr *)&sa, sizeof sa);
        fds_.push_back(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Blackhole::~Blackhole()
{
    for (int fd : fds_)
        close(fd);
}

}  // namespace th
