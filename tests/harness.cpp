#include "harness.h"

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace th {

std::string tavikBin = TAVIK_BIN;
std::string deviceBin = TAVIK_DEVICE_BIN;

std::string readfile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writefile(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
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

Scratch::Scratch()
{
    char tmpl[] = "/tmp/tavik-test-XXXXXX";
    path_ = mkdtemp(tmpl);
}

Scratch::~Scratch()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

static double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// What a child needs, built before the fork so that the child only calls
// what is safe there.
struct Spawn {
    std::vector<std::string> argstore, envstore;
    std::vector<char *> argv, envp;
    std::string cwd, out, err;
};

static Spawn prepare(const std::string &prog, const Call &call, const Scratch &io)
{
    Spawn s;
    s.argstore.push_back(prog);
    s.argstore.insert(s.argstore.end(), call.args.begin(), call.args.end());
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "TAVIK_DEVICE=", 13) != 0)
            s.envstore.push_back(*e);
    for (auto &[k, v] : call.env)
        s.envstore.push_back(k + "=" + v);
    for (auto &a : s.argstore)
        s.argv.push_back(const_cast<char *>(a.c_str()));
    s.argv.push_back(nullptr);
    for (auto &e : s.envstore)
        s.envp.push_back(const_cast<char *>(e.c_str()));
    s.envp.push_back(nullptr);
    s.cwd = call.cwd.empty() ? io.path() : call.cwd;
    s.out = io / "stdout";
    s.err = io / "stderr";
    return s;
}

static pid_t spawn(const Spawn &s)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (chdir(s.cwd.c_str()) != 0)
        _exit(126);
    int o = open(s.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(s.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    execve(s.argv[0], s.argv.data(), s.envp.data());
    _exit(127);
}

Child::Child(const std::string &prog, const Call &call)
    : spawn_(std::make_unique<Spawn>(prepare(prog, call, io_))), start_(now())
{
    pid_ = spawn(*spawn_);
}

Child::~Child()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Child::ended(double timeout)
{
    if (pid_ < 0)
        return true;
    int st = 0;
    struct rusage ru;
    if (wait4(pid_, &st, WNOHANG, &ru) != pid_) {
        if (now() - start_ > timeout && !result_.timedout) {
            result_.timedout = true;
            kill(pid_, SIGKILL);
        }
        return false;
    }
    result_.seconds = now() - start_;
    result_.maxrss_kb = ru.ru_maxrss;
    if (WIFEXITED(st))
        result_.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        result_.signal = WTERMSIG(st);
    result_.out = readfile(spawn_->out);
    result_.err = readfile(spawn_->err);
    pid_ = -1;
    return true;
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
    struct if_nameindex *ifs = if_nameindex();
    bool onlylo = ifs != nullptr;
    for (auto *i = ifs; i && i->if_index != 0; i++)
        if (strcmp(i->if_name, "lo") != 0)
            onlylo = false;
    if (ifs)
        if_freenameindex(ifs);
    if (!onlylo) {
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
    Spawn sp = prepare(tavikBin, Call{args, env, cwd}, io);
    struct winsize ws = {};
    ws.ws_row = 24;
    ws.ws_col = (unsigned short)cols;
    int master;
    double start = now();
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid == 0) {
        if (chdir(sp.cwd.c_str()) != 0)
            _exit(126);
        execve(sp.argv[0], sp.argv.data(), sp.envp.data());
        _exit(127);
    }
    Result r;
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0)  // EIO once the child is gone
        r.out.append(buf, (size_t)n);
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    r.seconds = now() - start;
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.signal = WTERMSIG(st);
    return r;
}

std::unique_ptr<Child> startTavik(const Call &call)
{
    requireprivatenet();
    return std::make_unique<Child>(tavikBin, call);
}

Device::Device(const std::string &root, const std::vector<std::string> &opts,
               const std::string &listen)
    : listen_(listen)
{
    requireprivatenet();
    char tmpl[] = "/tmp/tavik-device-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    record_ = dir + "/record";
    log_ = dir + "/log";
    writefile(record_, "");

    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        int e = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(e, 2);
        std::vector<std::string> args = {deviceBin, "--listen", listen, "--root", root,
                                         "--record", record_, "-v"};
        args.insert(args.end(), opts.begin(), opts.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(deviceBin.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);

    // It is ready once it says where it listens.
    std::string line;
    struct pollfd p = {fds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0) {
        char buf[256];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        line.append(buf, (size_t)n);
    }
    close(fds[0]);
    if (line.rfind("listening on ", 0) != 0)
        throw std::runtime_error("tavik-device did not start: " + line + readfile(log_));
}

Device::~Device()
{
    if (pid_ > 0) {
        // A device that did not stop cleanly (a crash, a sanitizer report)
        // fails the test that used it.
        int st = 0;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500 && waitpid(pid_, &st, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(pid_, &st, WNOHANG) == 0) {  // still there after 5 s
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
        }
        if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
            ADD_FAILURE() << "tavik-device ended badly (status " << st << "):\n" << readfile(log_);
    }
    std::error_code ec;
    fs::remove_all(fs::path(record_).parent_path(), ec);
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
