#include "server.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace device {

namespace {

// Accepts per wakeup, so a connection flood cannot starve open connections.
constexpr int kAcceptsPerWakeup = 256;
// How long to stop accepting when out of descriptors: the connection stays
// in the backlog, and polling the listener meanwhile would only spin.
constexpr Micros kAcceptPause = 100 * kMicrosPerMilli;
// Descriptors kept free for listings and downloads, as a share of the
// limit: new connections take the place of idle ones before they would take
// these.
constexpr rlim_t kSpareDescriptorShare = 8;
constexpr rlim_t kMaxSpareDescriptors = 16;
// Timers of a virtual machine fire tens of microseconds late, which at a
// --delay of 0.5 ms is a tenth of the round trip: the loop wakes this much
// early and then polls without waiting until the reply is due.
constexpr Micros kTimerLead = 60;

bool makeNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Fills `address` from a numeric IPv4 or IPv6 address.
bool makeAddress(const std::string &host, uint16_t port, sockaddr_storage &address,
                 socklen_t &length)
{
    std::memset(&address, 0, sizeof address);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return true;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
        return true;
    }
    return false;
}

// The IP address alone, without the port.
std::string formatHost(const sockaddr_storage &address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(address).sin_addr, host,
                  sizeof host);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr, host,
                  sizeof host);
    return host;
}

std::string formatAddress(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
        return formatHost(address) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        // Appended piece by piece: GCC 12 at -O3 takes "[" + string for an
        // overlapping copy and warns.
        std::string text = "[";
        text += formatHost(address);
        text += "]:";
        text += std::to_string(ntohs(v6.sin6_port));
        return text;
    }
    return "?";
}

}  // namespace

int openListener(const std::string &host, uint16_t port, std::string &error)
{
    sockaddr_storage address;
    socklen_t length = 0;
    if (!makeAddress(host, port, address, length)) {
        error = "not a numeric address";
        return -1;
    }
    int fd = socket(address.ss_family, SOCK_STREAM, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    // Lets a test restart the device on the same port straight away.
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
        listen(fd, SOMAXCONN) != 0 || !makeNonBlocking(fd)) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

std::string localAddress(int fd)
{
    sockaddr_storage address;
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return "?";
    return formatAddress(address);
}

Server::Server(int listenFd, const DeviceContext &context)
    : listenFd_(listenFd), context_(context)
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        rlim_t spare = std::clamp<rlim_t>(limit.rlim_cur / kSpareDescriptorShare, 1,
                                          kMaxSpareDescriptors);
        roomyBelow_ = limit.rlim_cur > spare ? limit.rlim_cur - spare : 0;
    }
}

Server::~Server()
{
    connections_.clear();  // closes their sockets
    close(listenFd_);
}

bool Server::run(const sigset_t &waitMask, const volatile sig_atomic_t &stopRequested)
{
    while (!stopRequested) {
        preparePoll();
        timespec storage;
        const timespec *timeout = pollTimeout(nowMicros(), storage);
        int ready = ppoll(polls_.data(), polls_.size(), timeout, &waitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            logLine("poll failed: %s", std::strerror(errno));
            return false;
        }
        Micros now = nowMicros();
        if (ready > 0)
            dispatch(now);
        runTimers(nowMicros());
        serveBacklogs(nowMicros());
        closeIdle(nowMicros());
        reap();
    }
    return true;
}

void Server::preparePoll()
{
    polls_.clear();
    polled_.clear();
    backlogged_.clear();
    nextIdleCheck_.reset();
    if (acceptPausedUntil_ == 0) {
        polls_.push_back(pollfd{listenFd_, POLLIN, 0});
        polled_.push_back(Polled{Polled::Listener, nullptr});
    }
    for (auto &entry : connections_) {
        Slot &slot = entry.second;
        // Polled even with no events wanted, to learn of errors and hang-ups.
        polls_.push_back(pollfd{slot.connection->fd(), slot.connection->pollEvents(), 0});
        polled_.push_back(Polled{Polled::Client, &slot});
        noteWaiting(slot);
    }
}

// Notes what a connection needs from the loop besides its sockets and
// timers: a turn for its backlog, a look when it may have idled out.
void Server::noteWaiting(const Slot &slot)
{
    const Connection &connection = *slot.connection;
    if (connection.backlogged())
        backlogged_.push_back(connection.number());
    std::optional<Micros> idle = connection.idleSince();
    Micros timeout = context_.options.idleTimeout;
    if (idle && timeout > 0 && (!nextIdleCheck_ || *idle + timeout < *nextIdleCheck_))
        nextIdleCheck_ = *idle + timeout;
}

const timespec *Server::pollTimeout(Micros now, timespec &storage) const
{
    std::optional<Micros> next;
    if (!timers_.empty())
        next = timers_.top().when;
    if (acceptPausedUntil_ != 0 && (!next || acceptPausedUntil_ < *next))
        next = acceptPausedUntil_;
    if (nextIdleCheck_ && (!next || *nextIdleCheck_ < *next))
        next = nextIdleCheck_;
    if (!backlogged_.empty())
        next = now;  // a backlog is served in the next turn, without waiting
    if (!next)
        return nullptr;  // nothing timed: wait for the sockets alone
    // ppoll() takes a timespec, so sub-millisecond delays stay accurate.
    Micros wait = std::max<Micros>(0, *next - now - kTimerLead);
    storage.tv_sec = static_cast<time_t>(wait / kMicrosPerSecond);
    storage.tv_nsec = static_cast<long>(wait % kMicrosPerSecond) * 1000;
    return &storage;
}

void Server::dispatch(Micros now)
{
    bool incoming = false;
    for (size_t i = 0; i < polls_.size(); ++i) {
        short revents = polls_[i].revents;
        if (revents == 0)
            continue;
        switch (polled_[i].kind) {
        case Polled::Listener:
            incoming = true;
            break;
        case Polled::Client:
            polled_[i].slot->connection->onPollEvents(revents, now);
            reschedule(*polled_[i].slot);
            break;
        }
    }
    // Accepting may close a connection to make room, and forgets it at once
    // so that it no longer counts: only once polled_ is done with.  Those
    // that ended meanwhile are forgotten first, as they count no longer.
    if (incoming) {
        reap();
        acceptConnections(now);
    }
}

void Server::acceptConnections(Micros now)
{
    for (int i = 0; i < kAcceptsPerWakeup; ++i) {
        sockaddr_storage peer;
        socklen_t length = sizeof peer;
        int fd = accept(listenFd_, reinterpret_cast<sockaddr *>(&peer), &length);
        if (fd >= 0) {
            adopt(fd, peer);
            continue;
        }
        // A connection that died in the backlog is no reason to stop.
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors: a connection not in use gives way to the new one.
        if ((errno == EMFILE || errno == ENFILE) && makeRoom("out of descriptors"))
            continue;
        logLine("accept failed: %s; pausing accepts", std::strerror(errno));
        acceptPausedUntil_ = now + kAcceptPause;
        return;
    }
}

void Server::adopt(int fd, const sockaddr_storage &address)
{
    const Options &options = context_.options;
    std::string peer = formatAddress(address), host = formatHost(address);
    auto known = hosts_.find(host);
    size_t fromHost = known == hosts_.end() ? 0 : known->second;
    if (options.maxPerPeer && fromHost >= *options.maxPerPeer) {
        // Accepted only to be closed: left in the backlog, it would keep
        // the listener ready and its client waiting.
        logLine("refused %s: %zu connections from %s open already (--max-per-peer %llu)",
                peer.c_str(), fromHost, host.c_str(),
                static_cast<unsigned long long>(*options.maxPerPeer));
        close(fd);
        return;
    }
    if (!makeNonBlocking(fd)) {
        logLine("cannot make the connection from %s non-blocking: %s", peer.c_str(),
                std::strerror(errno));
        close(fd);
        return;
    }
    // Descriptors are handed out lowest first, so this one says how few are
    // left above it, which are kept for files.
    std::string full;
    if (connections_.size() >= options.maxConnections)
        full = "--max-connections " + std::to_string(options.maxConnections) + " reached";
    else if (roomyBelow_ != 0 && static_cast<rlim_t>(fd) >= roomyBelow_)
        full = "out of descriptors";
    if (!full.empty() && !makeRoom(full)) {
        // Those in use keep their places: a newcomer waiting for one would
        // only hold its client up, where a close tells it at once.
        logLine("refused %s: %s, and every connection open sent a request within the last %g s",
                peer.c_str(), full.c_str(),
                static_cast<double>(activityPeriod(options)) / kMicrosPerSecond);
        close(fd);
        return;
    }
    // Replies are batched here already; Nagle would only hold back the last
    // reply of a batch (and merge the --split pieces).
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint64_t number = ++accepted_;
    logVerbose("conn %llu accepted from %s", static_cast<unsigned long long>(number), peer.c_str());
    Slot &slot = connections_[number];
    slot.connection = std::make_unique<Connection>(fd, number, context_);
    slot.peer = peer;
    slot.host = host;
    ++hosts_[host];
}

void Server::serveBacklogs(Micros now)
{
    // Those that had a backlog when the turn began: the others had their
    // share of work while their input was read.
    for (uint64_t number : backlogged_) {
        auto it = connections_.find(number);
        if (it == connections_.end())
            continue;
        it->second.connection->serveBacklog(now);
        reschedule(it->second);
    }
}

void Server::closeIdle(Micros now)
{
    Micros timeout = context_.options.idleTimeout;
    if (timeout == 0 || !nextIdleCheck_ || now < *nextIdleCheck_)
        return;
    for (auto &entry : connections_) {
        Connection &connection = *entry.second.connection;
        std::optional<Micros> idle = connection.idleSince();
        if (idle && now - *idle >= timeout) {
            char why[64];
            std::snprintf(why, sizeof why, "idle for %g s",
                          static_cast<double>(timeout) / kMicrosPerSecond);
            connection.closeNow(why);
        }
    }
}

bool Server::makeRoom(const std::string &why)
{
    Micros now = nowMicros();
    Slots::iterator chosen = leastActive(now);
    if (chosen == connections_.end())
        return false;
    Connection &connection = *chosen->second.connection;
    std::optional<Micros> last = connection.lastRequest();
    char silence[80];
    if (last)
        std::snprintf(silence, sizeof silence, "its last request came %.1f s ago",
                      static_cast<double>(now - *last) / kMicrosPerSecond);
    else
        std::snprintf(silence, sizeof silence, "it sent no whole request in the %.1f s it was open",
                      static_cast<double>(now - connection.acceptedAt()) / kMicrosPerSecond);
    logLine("conn %llu from %s closed to make room for a new one: %s, and %s",
            static_cast<unsigned long long>(connection.number()), chosen->second.peer.c_str(),
            why.c_str(), silence);
    connection.closeNow("made room: " + why);
    forget(chosen);
    return true;
}

Server::Slots::iterator Server::leastActive(Micros now)
{
    // What a client gets from us comes by requests, so a connection that
    // sent one lately is in use and keeps its place, however few bytes it
    // moved; bytes alone can be dripped by anyone.  One that sent none
    // keeps it, however new, only while nobody else needs it: a grace for
    // newcomers would let a client that reopens every connection closed
    // keep all of its own and push out everyone older.  Those that never
    // sent a whole request go first, then the one silent longest.
    const Micros period = activityPeriod(context_.options);
    using Standing = std::pair<bool, Micros>;  // sent a request; silent since
    Slots::iterator chosen = connections_.end();
    Standing least;
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        const Connection &connection = *it->second.connection;
        std::optional<Micros> last = connection.lastRequest();
        if (connection.finished() || (last && now - *last < period))
            continue;
        Standing mine{last.has_value(), last.value_or(connection.acceptedAt())};
        if (chosen == connections_.end() || mine < least) {
            chosen = it;
            least = mine;
        }
    }
    return chosen;
}

void Server::runTimers(Micros now)
{
    if (acceptPausedUntil_ != 0 && now >= acceptPausedUntil_)
        acceptPausedUntil_ = 0;
    while (!timers_.empty() && timers_.top().when <= now) {
        Timer timer = timers_.top();
        timers_.pop();
        auto it = connections_.find(timer.connection);
        // Entries for closed connections, or superseded by an earlier
        // deadline, are simply dropped.
        if (it == connections_.end() || it->second.armed != timer.when)
            continue;
        Slot &slot = it->second;
        slot.armed.reset();
        slot.connection->onTimer(now);
        reschedule(slot);
    }
}

void Server::reschedule(Slot &slot)
{
    // One queued timer per connection, for its earliest deadline; a later
    // deadline is taken care of when that timer fires.
    std::optional<Micros> deadline = slot.connection->nextDeadline();
    if (!deadline || (slot.armed && *slot.armed <= *deadline))
        return;
    slot.armed = deadline;
    timers_.push(Timer{*deadline, slot.connection->number()});
}

void Server::reap()
{
    for (auto it = connections_.begin(); it != connections_.end();) {
        const Connection &connection = *it->second.connection;
        if (connection.finished()) {
            logVerbose("conn %llu closed (%s)", static_cast<unsigned long long>(it->first),
                       connection.closeReason().c_str());
            it = forget(it);
        } else {
            ++it;
        }
    }
}

Server::Slots::iterator Server::forget(Slots::iterator it)
{
    auto host = hosts_.find(it->second.host);
    if (host != hosts_.end() && --host->second == 0)
        hosts_.erase(host);
    return connections_.erase(it);
}

}  // namespace device
