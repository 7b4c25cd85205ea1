// One client connection: it collects requests from the received bytes,
// answers them through the file service, and sends the replies when they are
// due, in the shape the fault options ask for.
#ifndef TAVIK_DEVICE_CONNECTION_H
#define TAVIK_DEVICE_CONNECTION_H

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "file_service.h"
#include "options.h"
#include "util.h"

namespace device {

// --record: the raw bytes of every complete request, appended to a file.
class Recorder {
public:
    Recorder() = default;
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    bool open(const std::string &path);  // false with errno set
    void add(const char *data, size_t size);
    // Writes what was added, so that a test can read the file as soon as its
    // client has exited.
    void flush();

private:
    int fd_ = -1;
    bool failed_ = false;
    std::vector<char> pending_;
};

// What connections share with the device around them.
struct DeviceContext {
    const Options &options;
    const FileService &files;
    Recorder &recorder;
};

// Bytes waiting to go out, in one contiguous buffer so that everything ready
// leaves with a single send().  Replies sent in pieces (--split, chaos) mark
// pause points: sending stops at each until its pause is over.
class OutputQueue {
public:
    enum class Result { Drained, Paused, Blocked, Failed };

    void append(const char *data, size_t size);
    // `data` goes out on its own, then nothing for `pauseAfter`.
    void appendPiece(const char *data, size_t size, Micros pauseAfter);
    Result flush(int fd, Micros now);
    // What waits goes out as fast as the socket takes it, pauses and all.
    void dropPauses();

    bool empty() const { return head_ == bytes_.size(); }
    size_t size() const { return bytes_.size() - head_; }
    // The socket took no more at the last try: worth polling for POLLOUT.
    bool blocked() const { return blocked_; }
    // When the current pause ends, if data waits behind it.
    std::optional<Micros> resumeTime() const;

private:
    struct PausePoint {
        size_t end;  // position in bytes_ where a piece ends
        Micros pause;
    };

    void compact();

    std::vector<char> bytes_;
    size_t head_ = 0;  // bytes_ before this are sent
    std::deque<PausePoint> pauses_;
    Micros resumeAt_ = 0;  // 0: not pausing
    bool blocked_ = false;
};

// A built reply waiting for its time.
struct PendingReply {
    std::vector<char> bytes;
    Micros due = 0;
    ReplyFate fate;
    bool withNext = false;  // swapped: leaves right after the next reply
};

class Connection {
public:
    Connection(int fd, uint64_t number, const DeviceContext &context);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int fd() const { return fd_; }
    uint64_t number() const { return number_; }
    short pollEvents() const;
    void onPollEvents(short revents, Micros now);
    void onTimer(Micros now);
    // The earliest moment something is to be sent, if anything waits.
    std::optional<Micros> nextDeadline() const;
    // Nothing more to do: the connection can be closed and forgotten.
    bool finished() const;
    // Whole requests wait unanswered: this turn's work for it was done.
    bool backlogged() const { return backlogged_; }
    // Answers the next of them, as much as one turn allows.
    void serveBacklog(Micros now);
    // Since when nothing has come in or gone out, while nothing waits on
    // the device's side; nothing when the connection is not idle.
    std::optional<Micros> idleSince() const;
    Micros acceptedAt() const { return acceptedAt_; }
    // When the last whole, well-formed request arrived; nothing before the
    // first.  What a connection is doing for its client shows in its
    // requests: bytes alone can be dripped by anyone.
    std::optional<Micros> lastRequest() const { return lastRequest_; }
    // Closes the socket at once, to free its descriptor; finished() from
    // then on.
    void closeNow(const std::string &why);
    const std::string &closeReason() const { return closeReason_; }

private:
    bool wantsInput() const;
    bool drained() const;  // nothing waits to be sent
    void readInput(Micros now);
    void endInput(Micros now);
    void answerInput(Micros now);
    void consumeInput(Micros now);
    void handleRequest(const char *frame, Micros now);
    bool atInflightLimit() const;  // --max-inflight unanswered already
    void turnAway(const Request &request, uint64_t sequence);  // per --over
    bool addressedToUs(const Request &request) const;  // per --target
    void logRequest(const Request &request) const;
    void queueReply(const Request &request, uint64_t sequence, Micros now);
    void releaseDue(Micros now);
    void releaseHeld(Micros now);
    void releaseSwapped();
    void releaseAll(Micros now);
    void emit(PendingReply &&reply, Micros now);
    void send(PendingReply &reply);
    void writeCopy(const std::vector<char> &bytes, const ReplyFate &fate);
    void flushOutput(Micros now);
    void refuse(const std::string &error);
    void closeWhenDone(const std::string &why);
    void fail(const std::string &why);

    int fd_;
    uint64_t number_;
    const DeviceContext &context_;
    FaultPlan faults_;
    OpenFiles files_;
    Listings listings_;

    std::vector<char> input_;
    size_t inputLength_ = 0;
    uint64_t requests_ = 0;

    std::deque<PendingReply> pending_;  // in arrival order, so by due time
    std::vector<PendingReply> held_;    // chaos holds and swaps
    std::vector<PendingReply> batch_;   // replies being released together
    size_t waitingBytes_ = 0;           // bytes of pending_ and held_
    OutputQueue output_;

    bool backlogged_ = false;  // whole requests wait in input_ for the next turn
    Micros acceptedAt_;
    Micros lastActive_;
    std::optional<Micros> lastRequest_;
    bool inputEnded_ = false;  // the peer sent its last byte
    bool closing_ = false;     // close once everything queued has gone out
    bool dead_ = false;        // close now
    bool halfClosed_ = false;  // our side is shut; waiting for the client's
    Micros lingerUntil_ = 0;
    bool lingerOver_ = false;
    std::string closeReason_;
};

}  // namespace device

#endif
