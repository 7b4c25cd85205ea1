#include "support/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace support {

namespace fs = std::filesystem;

[[noreturn]] static void failErrno(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

double now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

int openForWriting(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        failErrno("open " + path);
    return fd;
}

// ---- Scratch folders --------------------------------------------------------

Scratch::Scratch(const std::string &tag)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavik-" + tag + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        failErrno("mkdtemp " + pattern);
    path_ = pattern;
}

Scratch::~Scratch()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

// ---- Environment --------------------------------------------------------------

static std::string keyOf(const std::string &entry)
{
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> childEnvironment(const Env &env)
{
    std::vector<std::string> out;
    for (char **e = environ; *e; ++e) {
        std::string key = keyOf(*e);
        if (key != "TAVIK_DEVICE" && env.count(key) == 0)
            out.push_back(*e);
    }
    for (const auto &[key, value] : env)
        out.push_back(key + "=" + value);
    return out;
}

// ---- Starting programs ----------------------------------------------------------

Command::Command(std::vector<std::string> args, std::vector<std::string> env, std::string cwd)
    : args_(std::move(args)), env_(std::move(env)), cwd_(std::move(cwd))
{
}

// The argument and environment arrays, built before the fork: the child
// then calls only what is safe between fork and exec.
static std::vector<char *> pointers(const std::vector<std::string> &strings)
{
    std::vector<char *> out;
    for (const std::string &s : strings)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

void Command::exec(char *const *argv, char *const *envp, pid_t parent) const
{
    // Should the one that started it be killed outright, the child goes too.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        _exit(127);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!cwd_.empty() && chdir(cwd_.c_str()) != 0)
        _exit(126);
    execve(argv[0], argv, envp);
    _exit(127);
}

pid_t Command::start(int out, int err) const
{
    std::vector<char *> argv = pointers(args_), envp = pointers(env_);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        failErrno("fork");
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        exec(argv.data(), envp.data(), parent);
    }
    return pid;
}

pid_t Command::startOnTerminal(int cols, int *master) const
{
    std::vector<char *> argv = pointers(args_), envp = pointers(env_);
    winsize size = {};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(cols);
    pid_t parent = getpid();
    pid_t pid = forkpty(master, nullptr, nullptr, &size);
    if (pid < 0)
        failErrno("forkpty");
    if (pid == 0)
        exec(argv.data(), envp.data(), parent);
    return pid;
}

// ---- Their ends -----------------------------------------------------------------

std::optional<Exit> reap(pid_t pid)
{
    Exit done;
    pid_t got = wait4(pid, &done.status, WNOHANG, &done.usage);
    if (got < 0)
        failErrno("wait4");
    if (got == 0)
        return std::nullopt;
    return done;
}

void killAndReap(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int stop(pid_t pid, double grace)
{
    int status = 0;
    kill(pid, SIGTERM);
    for (double giveUp = now() + grace; now() < giveUp;) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

std::string exitText(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return "signal " + std::to_string(WTERMSIG(status));
}

// ---- Staying off the real network ---------------------------------------------------

bool inPrivateNetwork()
{
    struct if_nameindex *ifs = if_nameindex();
    bool onlyLoopback = ifs != nullptr;
    for (auto *i = ifs; i && i->if_index != 0; i++)
        if (std::strcmp(i->if_name, "lo") != 0)
            onlyLoopback = false;
    if (ifs)
        if_freenameindex(ifs);
    return onlyLoopback;
}

void requireLoopbackDevice(const std::vector<std::string> &env)
{
    auto it = std::find_if(env.begin(), env.end(),
                           [](const std::string &e) { return keyOf(e) == "TAVIK_DEVICE"; });
    if (it == env.end())
        throw std::runtime_error("refusing to run tavik without TAVIK_DEVICE");
    std::string value = it->substr(it->find('=') + 1);
    size_t colon = value.rfind(':');
    std::string host = value.substr(0, colon);
    in_addr address;
    int port = colon == std::string::npos ? 0 : std::atoi(value.c_str() + colon + 1);
    if (inet_pton(AF_INET, host.c_str(), &address) != 1 || (ntohl(address.s_addr) >> 24) != 127 ||
        port <= 0 || port > 65535)
        throw std::runtime_error("refusing to run tavik: TAVIK_DEVICE=" + value +
                                 " is not 127.x.x.x:PORT");
}

}  // namespace support
