// What the tests and the benchmark both need: scratch folders, programs
// started with a clean environment, and a tavik-device brought up and
// stopped.  No test framework here: what goes wrong is thrown as
// std::runtime_error, and each user reports it its own way.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace support {

double now();  // seconds on the monotonic clock

std::string readFile(const std::string &path);  // empty if it cannot be read
void writeFile(const std::string &path, const std::string &bytes);
int openForWriting(const std::string &path);  // created or truncated, close-on-exec; throws

// A folder under $TMPDIR (or /tmp) named tavik-TAG-XXXXXX, removed with
// everything in it when this goes.
class Scratch {
public:
    explicit Scratch(const std::string &tag);
    ~Scratch();
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

using Env = std::map<std::string, std::string>;

// This process's environment with env set on top, but never its
// TAVIK_DEVICE: the client's built-in address is the real device, so a
// child reaches a device only through an endpoint it is given here.
std::vector<std::string> childEnvironment(const Env &env = {});

// A program, its arguments (args[0] is the program), environment and
// folder (empty: this one).  The child starts with standard input from
// /dev/null, no blocked signals, SIGPIPE as default, and is sent SIGTERM
// should the thread that started it end first.
class Command {
public:
    Command(std::vector<std::string> args, std::vector<std::string> env, std::string cwd = "");

    // Standard output and error to out and err (descriptors this process keeps).
    pid_t start(int out, int err) const;
    // On a new pseudo-terminal of cols columns for all three streams;
    // *master is set to the terminal's other end.
    pid_t startOnTerminal(int cols, int *master) const;

private:
    [[noreturn]] void exec(char *const *argv, char *const *envp, pid_t parent) const;

    std::vector<std::string> args_, env_;
    std::string cwd_;
};

struct Exit {
    int status = 0;  // as wait(2) gives it
    rusage usage{};
};

std::optional<Exit> reap(pid_t pid);  // without waiting: its end, if it has ended; throws
void killAndReap(pid_t pid);
// SIGTERM, then SIGKILL if it is still there after grace seconds; its status.
int stop(pid_t pid, double grace = 5);
std::string exitText(int status);  // "exit status 1", "signal 9"

// Whether this process sees no network interface but loopback, as inside
// the namespace tests/netns.sh makes.
bool inPrivateNetwork();
// Throws unless env sets TAVIK_DEVICE to 127.x.x.x:PORT.
void requireLoopbackDevice(const std::vector<std::string> &env);

// A tavik-device run with args, its standard error going to log, and
// ready once it has printed "listening on ADDR:PORT".
class DeviceProcess {
public:
    DeviceProcess(const std::string &bin, const std::vector<std::string> &args,
                  const std::string &log);
    ~DeviceProcess() { stop(); }
    DeviceProcess(const DeviceProcess &) = delete;
    DeviceProcess &operator=(const DeviceProcess &) = delete;

    pid_t pid() const { return pid_; }
    const std::string &address() const { return address_; }  // as it said, ADDR:PORT
    int port() const;
    const std::string &log() const { return log_; }

    bool running();  // false once it has ended, by itself or by stop()
    int stop();      // its exit status, however often asked

private:
    void awaitListening(int fd);

    pid_t pid_ = -1;
    int status_ = 0;
    std::string address_, log_;
};

}  // namespace support
