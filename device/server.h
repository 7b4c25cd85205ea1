// The device's event loop: one thread, one ppoll() over the listening socket
// and every connection, and a timer queue for replies that are due later
// (--delay, paced pieces, chaos holds).
#ifndef TAVIK_DEVICE_SERVER_H
#define TAVIK_DEVICE_SERVER_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "connection.h"

namespace device {

// A listening TCP socket on a numeric address; -1 with `error` set when it
// cannot be had.
int openListener(const std::string &host, uint16_t port, std::string &error);

// "ADDR:PORT" of the local end of a socket, with the real port after
// binding to port 0.
std::string localAddress(int fd);

class Server {
public:
    // Takes over `listenFd`.
    Server(int listenFd, const DeviceContext &context);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Serves until a stop signal sets `stopRequested`.  The stop signals are
    // to be blocked, and unblocked in `waitMask`, the mask used while
    // waiting, so that a signal can only arrive during the wait.  False
    // when waiting itself fails.
    bool run(const sigset_t &waitMask, const volatile sig_atomic_t &stopRequested);

private:
    struct Slot {
        std::unique_ptr<Connection> connection;
        std::optional<Micros> armed;  // the timer queued for it, if any
        std::string peer;             // the client's ADDR:PORT
        std::string host;             // its ADDR, which --max-per-peer counts by
    };
    using Slots = std::map<uint64_t, Slot>;

    // What polls_[i] stands for.
    struct Polled {
        enum Kind { Listener, Client } kind;
        Slot *slot;  // for a client
    };

    struct Timer {
        Micros when;
        uint64_t connection;
        bool operator>(const Timer &other) const { return when > other.when; }
    };

    void preparePoll();
    void noteWaiting(const Slot &slot);
    const timespec *pollTimeout(Micros now, timespec &storage) const;
    void dispatch(Micros now);
    void acceptConnections(Micros now);
    void adopt(int fd, const sockaddr_storage &address);
    void runTimers(Micros now);
    void reschedule(Slot &slot);
    void serveBacklogs(Micros now);
    void closeIdle(Micros now);
    bool makeRoom(const std::string &why);
    Slots::iterator leastActive(Micros now);
    void reap();
    Slots::iterator forget(Slots::iterator it);

    int listenFd_;
    const DeviceContext &context_;
    Slots connections_;                   // by connection number
    std::map<std::string, size_t> hosts_;  // open connections by client address
    std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers_;
    std::vector<pollfd> polls_;
    std::vector<Polled> polled_;  // what polls_[i] is
    uint64_t accepted_ = 0;
    Micros acceptPausedUntil_ = 0;  // 0: accepting
    // A new connection on a descriptor this high makes room by closing one
    // not in use, or is refused: the descriptors above are kept for files.
    rlim_t roomyBelow_ = 0;
    std::vector<uint64_t> backlogged_;  // connections with a backlog, as polled
    std::optional<Micros> nextIdleCheck_;  // when the first idle connection expires
};

}  // namespace device

#endif
