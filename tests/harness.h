// Test harness: runs the real tavik binary against a real tavik-device,
// inside the private network namespace that netns.sh makes.  The work is
// done by the support library (support/support.h), shared with the
// benchmark; what is here adds the test's view: results, GoogleTest
// failures, and the refusal to run outside the namespace.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/support.h"
#include "tavik.h"

namespace th {

// Sizes and places of the messages, from the client's headers.
constexpr unsigned kListId = KX_FILE_TAVIK_LIST_REQ_MSG, kGetId = KX_FILE_TAVIK_GET_REQ_MSG;
constexpr size_t kHeader = KX_SYSCOM_HEADER_SIZE, kName = KX_FILE_TAVIK_NAME_LEN;
constexpr size_t kListSize = kHeader + KX_FILE_TAVIK_LIST_REQ_SIZE;  // 264
constexpr size_t kGetSize = kHeader + KX_FILE_TAVIK_GET_REQ_SIZE;    // 260
// Both replies carry their returnCode right behind the name, little-endian.
constexpr size_t kCodeAt = kHeader + kName;
constexpr size_t kListFixed = kHeader + KX_FILE_TAVIK_LIST_RESP_FIXED;  // then the text
constexpr size_t kGetFixed = kHeader + KX_FILE_TAVIK_GET_RESP_FIXED;    // then the block

struct Result {
    int status = -1;      // exit status, -1 if killed by a signal
    int signal = 0;       // the signal that ended it, if any
    bool timedout = false;
    std::string out, err;
    double seconds = 0;
    long maxrss_kb = 0;   // peak resident set of the child
};

using Env = support::Env;

// A scratch folder for one test, removed when the test ends.
class Scratch : public support::Scratch {
public:
    Scratch() : support::Scratch("test") {}
};

struct Call {
    std::vector<std::string> args;
    Env env;
    std::string cwd;  // a fresh scratch folder if empty
};

// Runs tavik with args in cwd (a fresh scratch folder if empty); TAVIK_DEVICE
// is taken out of the environment unless env sets it.  A run still going
// after timeout seconds is killed: far beyond any wait of the client's, and
// beyond what the largest download here takes on a loaded machine.
Result tavik(const std::vector<std::string> &args, const Env &env = {}, const std::string &cwd = "",
             double timeout = 120);

struct Spawn;

// A program running in the background, its output going to files.
class Child {
public:
    Child(const std::string &prog, const Call &call);
    ~Child();  // kills it if it still runs
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    // Whether it has ended; once timeout seconds have passed it is killed.
    bool ended(double timeout);
    void signal(int sig);  // if it still runs
    const Result &result() const { return result_; }

private:
    Scratch io_;
    std::unique_ptr<Spawn> spawn_;
    double start_;
    pid_t pid_ = -1;
    Result result_;
};

std::unique_ptr<Child> startTavik(const Call &call);

// Runs tavik with a pseudo-terminal of cols columns as its standard input,
// output and error; out holds everything written to the terminal.
Result tavikOnTerminal(const std::vector<std::string> &args, const Env &env, int cols,
                       const std::string &cwd = "");

// Runs several tavik at once, for tests that wait out timeouts together.
std::vector<Result> tavikAll(const std::vector<Call> &calls, double timeout = 120);

// Runs any program the same way.
Result run(const std::string &prog, const std::vector<std::string> &args, const Env &env = {},
           const std::string &cwd = "", double timeout = 120);

// A tavik-device serving root, on the device's fixed address unless listen
// says otherwise, recording every request it receives.
class Device {
public:
    Device(const std::string &root, const std::vector<std::string> &opts = {},
           const std::string &listen = "192.168.255.1:15003");
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    std::string recorded() const;               // raw request bytes, in order
    std::vector<std::string> requests() const;  // the same, one per request
    std::vector<long> getOffsets() const;       // offsets of the block requests
    std::string log() const;                    // its standard error
    std::string endpoint() const { return listen_; }

private:
    support::Scratch dir_{"device"};  // its record and log
    std::string listen_, record_, log_;
    std::unique_ptr<support::DeviceProcess> process_;
};

// A listening socket whose queue is full: connecting to it hangs.
class Blackhole {
public:
    explicit Blackhole(const std::string &addr, int port);
    ~Blackhole();

private:
    std::vector<int> fds_;
};


std::string readfile(const std::string &path);
void writefile(const std::string &path, const std::string &bytes);
std::string pattern(size_t n, unsigned seed = 1);  // repeatable pseudo-random bytes
std::string hex(const std::string &bytes);          // "00 0a 88 ..."
std::string usage(const std::string &cmd);          // the client's usage text
u_int32_t be32at(const std::string &s, size_t at);
// Wire integers by hand, so that a mistake shared with the client's
// helpers cannot hide.
std::string be16(unsigned v);
std::string be32(u_int32_t v);
unsigned be16at(const std::string &s, size_t at);
int le32at(const std::string &s, size_t at);
// strace, which tests use to make system calls fail; "" when it is not there.
std::string straceBin();
// Arrival times of the block requests, in ms, from a device's log; or the
// times of its lines that hold `what` (" accepted from ", " closed (").
std::vector<double> arrivals(const std::string &deviceLog, const std::string &what = " get ");

// Replies made by hand: a block of `file` at offset (1024 bytes or what is
// left), and a listing page.  le32to writes a little-endian field.
void le32to(std::string &s, size_t at, u_int32_t v);
std::string blockReply(const std::string &file, u_int32_t offset);
std::string pageReply(u_int32_t total, u_int32_t offset, u_int32_t entries, const std::string &text);

// What a scripted peer sends for a request: `now` at once, then `later`
// after laterMs (at once should the client end its stream first: what a
// device has written leaves before its close); then it closes the
// connection if `close` says so.
struct Send {
    std::string now, later;
    int laterMs = 0;
    bool close = false;
    Send(std::string s = "") : now(std::move(s)) {}
};

// A peer that listens on the device's address, one connection at a time,
// and sends for each request that arrives what `answer` makes of it: its
// message id and offset, and its number on the connection, from 1.
class Peer {
public:
    using Answer = std::function<Send(unsigned id, u_int32_t offset, int n)>;
    // holdMs: how long the peer keeps a connection open after the client
    // ended its stream (0: it closes at once, as tavik-device does).
    explicit Peer(Answer answer, int holdMs = 0);
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;
    int connections() const { return connections_; }
    // Of the last reply sent in two pieces: ms from before its first piece
    // went out to after its second did (very many while it is under way).
    double tailGapMs() const { return tailGapMs_; }

private:
    void serve();
    void converse(int c);

    Answer answer_;
    int holdMs_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<double> tailGapMs_{1e9};
    std::thread thread_;
};

extern std::string tavikBin, deviceBin;

}  // namespace th
