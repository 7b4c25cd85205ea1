#include "connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace device {

namespace {

// Room for many pipelined requests per read (a request is 260 or 264 bytes).
constexpr size_t kInputBufferSize = size_t{64} * 1024;
// Reads per wakeup, so one flooding client cannot starve the others.
constexpr int kReadsPerWakeup = 4;
// The work one connection gets per turn of the event loop: requests are
// answered until this much time has gone (at least one), and the rest wait
// for the next turn, after every other connection had its turn.  A flood of
// listings of a large directory thus delays the others by milliseconds,
// not seconds.
constexpr Micros kWorkPerTurn = 5 * kMicrosPerMilli;
// A client that sends but does not read is not read from beyond this many
// bytes of unsent replies, which bounds the memory one connection can hold.
constexpr size_t kMaxWaitingBytes = size_t{2} * 1024 * 1024;
// After closing its side, how long a connection waits for the client to
// close too: requests still coming in are read and dropped meanwhile.
constexpr Micros kLinger = 5000 * kMicrosPerMilli;
// A swapped reply waits at most this long for the next reply to trade
// places with: a client with one request in flight has no next reply.
constexpr Micros kSwapWait = 200 * kMicrosPerMilli;
// Chaos pieces: 1..20 bytes, 50..299 us apart.
constexpr uint64_t kChaosPieceMax = 20;
constexpr Micros kChaosPauseMin = 50;
constexpr uint64_t kChaosPauseSpread = 250;
// Sent bytes are dropped from the front of the output buffer once they are
// this many and at least half of it, keeping the memmove rare.
constexpr size_t kCompactAt = size_t{64} * 1024;

}  // namespace

Recorder::~Recorder()
{
    flush();
    if (fd_ >= 0)
        close(fd_);
}

bool Recorder::open(const std::string &path)
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

void Recorder::add(const char *data, size_t size)
{
    if (fd_ >= 0)
        pending_.insert(pending_.end(), data, data + size);
}

void Recorder::flush()
{
    if (pending_.empty())
        return;
    if (!writeAll(fd_, pending_.data(), pending_.size()) && !failed_) {
        failed_ = true;  // say it once, not once per request
        logLine("cannot write the record file: %s", std::strerror(errno));
    }
    pending_.clear();
}

void OutputQueue::append(const char *data, size_t size)
{
    bytes_.insert(bytes_.end(), data, data + size);
}

void OutputQueue::appendPiece(const char *data, size_t size, Micros pauseAfter)
{
    if (size == 0)
        return;
    append(data, size);
    pauses_.push_back(PausePoint{bytes_.size(), pauseAfter});
}

OutputQueue::Result OutputQueue::flush(int fd, Micros now)
{
    blocked_ = false;
    while (!empty()) {
        if (resumeAt_ != 0) {
            if (now < resumeAt_) {
                compact();  // a paced queue may never drain completely
                return Result::Paused;
            }
            resumeAt_ = 0;
        }
        size_t end = pauses_.empty() ? bytes_.size() : pauses_.front().end;
        ssize_t sent = ::send(fd, bytes_.data() + head_, end - head_, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                blocked_ = true;
                compact();
                return Result::Blocked;
            }
            return Result::Failed;
        }
        head_ += static_cast<size_t>(sent);
        if (!pauses_.empty() && head_ == pauses_.front().end) {
            resumeAt_ = now + pauses_.front().pause;
            pauses_.pop_front();
        }
    }
    compact();
    return Result::Drained;
}

void OutputQueue::dropPauses()
{
    pauses_.clear();
    resumeAt_ = 0;
}

std::optional<Micros> OutputQueue::resumeTime() const
{
    if (resumeAt_ == 0 || empty())
        return std::nullopt;
    return resumeAt_;
}

void OutputQueue::compact()
{
    if (empty()) {
        bytes_.clear();  // keeps the capacity for the next replies
        head_ = 0;
        return;
    }
    if (head_ < kCompactAt || head_ < bytes_.size() / 2)
        return;
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    for (PausePoint &point : pauses_)
        point.end -= head_;
    head_ = 0;
}

Connection::Connection(int fd, uint64_t number, const DeviceContext &context)
    : fd_(fd), number_(number), context_(context), faults_(context.options, number),
      files_(number), input_(kInputBufferSize), acceptedAt_(nowMicros()), lastActive_(acceptedAt_)
{
}

Connection::~Connection()
{
    if (fd_ >= 0)
        close(fd_);
}

void Connection::serveBacklog(Micros now)
{
    if (backlogged_ && !dead_)
        answerInput(now);
}

std::optional<Micros> Connection::idleSince() const
{
    // Replies waiting for their time, or a backlog, wait on us, not on the
    // client; a closing connection has its own deadline.
    if (dead_ || closing_ || backlogged_ || !pending_.empty() || !held_.empty() ||
        output_.resumeTime())
        return std::nullopt;
    return lastActive_;
}

void Connection::closeNow(const std::string &why)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    fail(why);
}

short Connection::pollEvents() const
{
    short events = 0;
    if (wantsInput())
        events |= POLLIN;
    if (!dead_ && output_.blocked())
        events |= POLLOUT;
    return events;
}

void Connection::onPollEvents(short revents, Micros now)
{
    if (revents & (POLLERR | POLLNVAL)) {
        fail("socket error");
        return;
    }
    if (revents & POLLOUT)
        flushOutput(now);
    if (revents & (POLLIN | POLLHUP)) {
        if (wantsInput())
            readInput(now);
        else if (revents & POLLHUP)
            fail("peer hung up");  // nothing queued can reach it any more
    }
}

void Connection::onTimer(Micros now)
{
    releaseDue(now);
    flushOutput(now);
    if (halfClosed_ && now >= lingerUntil_)
        lingerOver_ = true;
}

std::optional<Micros> Connection::nextDeadline() const
{
    if (dead_)
        return std::nullopt;  // about to be closed: nothing will be sent
    std::optional<Micros> next = output_.resumeTime();
    auto consider = [&next](Micros when) {
        if (!next || when < *next)
            next = when;
    };
    if (!pending_.empty())
        consider(pending_.front().due);
    for (const PendingReply &reply : held_)
        consider(reply.due);
    if (halfClosed_ && !lingerOver_)
        consider(lingerUntil_);
    return next;
}

bool Connection::drained() const
{
    return !backlogged_ && pending_.empty() && held_.empty() && output_.empty();
}

bool Connection::finished() const
{
    if (dead_)
        return true;
    if (closing_)
        return halfClosed_ && (inputEnded_ || lingerOver_);
    return inputEnded_ && drained();
}

bool Connection::wantsInput() const
{
    // While closing, input is still read (and dropped): closing a socket
    // with unread data would reset the connection and could destroy replies
    // the client has not read yet.
    return !dead_ && !inputEnded_ && !backlogged_ &&
           (closing_ || output_.size() + waitingBytes_ < kMaxWaitingBytes);
}

void Connection::readInput(Micros now)
{
    for (int i = 0; i < kReadsPerWakeup && wantsInput(); ++i) {
        size_t room = input_.size() - inputLength_;
        ssize_t got = ::recv(fd_, input_.data() + inputLength_, room, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fail(std::string("receive failed: ") + std::strerror(errno));
            return;
        }
        if (got == 0) {
            endInput(now);
            return;
        }
        inputLength_ += static_cast<size_t>(got);
        lastActive_ = now;
        answerInput(now);
        if (static_cast<size_t>(got) < room)
            return;  // the socket is drained
        now = nowMicros();
    }
}

// A client shuts its side down once it has read the last reply it waits
// for, and then reads until the end of our stream: anything owed still
// goes out, but at once.  Replies waiting for --delay or a chaos hold are
// sent now rather than when due, paced pieces (--split, chaos) leave
// whole, their pauses counted as over, and the connection closes as soon
// as the socket has taken it all.  Holding them to their time would only
// keep the client waiting for bytes it no longer wants.
void Connection::endInput(Micros now)
{
    inputEnded_ = true;
    if (!closing_)  // keep the reason we were closing for
        closeReason_ = inputLength_ ? "peer closed in mid-request" : "peer closed";
    output_.dropPauses();
    releaseAll(now);
    flushOutput(now);
}

void Connection::answerInput(Micros now)
{
    // The requests of one read are answered as one batch: that is what
    // "arrived together" means for --order without --delay.
    consumeInput(now);
    context_.recorder.flush();
    releaseDue(now);
    flushOutput(now);
}

void Connection::consumeInput(Micros now)
{
    size_t used = 0;
    Micros started = nowMicros();
    backlogged_ = false;
    while (!closing_ && !dead_) {
        Frame frame = checkFrame(input_.data() + used, inputLength_ - used);
        if (frame.status == Frame::Incomplete)
            break;
        if (frame.status == Frame::Complete && used > 0 &&
            nowMicros() - started >= kWorkPerTurn) {
            backlogged_ = true;  // the rest is answered in the next turn
            break;
        }
        if (frame.status == Frame::Malformed) {
            refuse(frame.error);
            break;
        }
        const char *bytes = input_.data() + used;
        used += frame.size;
        context_.recorder.add(bytes, frame.size);
        handleRequest(bytes, now);
    }
    if (closing_ || dead_) {
        inputLength_ = 0;  // nothing more is read on this connection
        return;
    }
    // Keep the start of an unfinished request for the next read.
    std::memmove(input_.data(), input_.data() + used, inputLength_ - used);
    inputLength_ -= used;
}

void Connection::handleRequest(const char *frame, Micros now)
{
    Request request;
    std::string error;
    if (!parseRequest(frame, request, error)) {
        refuse(error);
        return;
    }
    logRequest(request);
    lastRequest_ = now;
    if (!addressedToUs(request))
        return;
    uint64_t sequence = ++requests_;
    unsigned long long conn = number_;
    unsigned long long n = sequence;
    switch (faults_.admit(sequence)) {
    case Admission::Close:
        logVerbose("conn %llu close-after: closing on request %llu", conn, n);
        closeWhenDone("close-after");
        return;
    case Admission::Stall:
        logVerbose("conn %llu stall-after: request %llu not answered", conn, n);
        return;
    case Admission::Drop:
        logVerbose("conn %llu drop: request %llu not answered", conn, n);
        return;
    case Admission::Answer:
        if (atInflightLimit())
            turnAway(request, sequence);
        else
            queueReply(request, sequence, now);
        return;
    }
}

bool Connection::atInflightLimit() const
{
    // Replies still to be written: waiting for their time, or held back.
    const std::optional<uint64_t> &limit = context_.options.maxInflight;
    return limit && pending_.size() + held_.size() >= *limit;
}

void Connection::turnAway(const Request &request, uint64_t sequence)
{
    unsigned long long conn = number_;
    unsigned long long n = sequence;
    switch (context_.options.over) {
    case OverLimit::Drop:
        logVerbose("conn %llu max-inflight: request %llu not answered", conn, n);
        return;
    case OverLimit::Close:
        logVerbose("conn %llu max-inflight: closing on request %llu", conn, n);
        closeWhenDone("max-inflight");
        return;
    case OverLimit::Error: {
        // At once, ahead of the replies still waiting: a device out of room
        // says so without queueing.
        logVerbose("conn %llu max-inflight: request %llu answered NoMemory", conn, n);
        std::vector<char> reply;
        beginReply(reply, request);
        context_.files.refuse(request, EKxFileTavikRet_NoMemory, reply);
        finishReply(reply);
        writeCopy(reply, ReplyFate{});
        return;
    }
    }
}

bool Connection::addressedToUs(const Request &request) const
{
    const std::set<uint32_t> &targets = context_.options.targets;
    if (targets.empty() || targets.count(request.target))
        return true;
    // As a device without such a task: no reply at all, and no reply number
    // used up, so that the fault counts go by the requests answered.
    logVerbose("conn %llu no target %04x:%04x: request not answered",
               static_cast<unsigned long long>(number_), request.target >> 16,
               request.target & 0xFFFF);
    return false;
}

void Connection::logRequest(const Request &request) const
{
    if (!verboseLog())
        return;
    unsigned long long conn = number_;
    std::string name = printable(request.name);
    if (request.kind == RequestKind::List)
        logLine("conn %llu list '%s' offset %u max %u", conn, name.c_str(), request.offset,
                request.maxEntries);
    else
        logLine("conn %llu get '%s' offset %u", conn, name.c_str(), request.offset);
}

void Connection::queueReply(const Request &request, uint64_t sequence, Micros now)
{
    PendingReply reply;
    beginReply(reply.bytes, request);
    context_.files.answer(request, files_, listings_, reply.bytes);
    finishReply(reply.bytes);
    reply.fate = faults_.shape(sequence, request.kind, reply.bytes);
    if (reply.fate.lost || reply.fate.closeConnection) {
        if (reply.fate.closeConnection)
            closeWhenDone("chaos close");
        return;
    }
    reply.due = now + context_.options.delay;
    waitingBytes_ += reply.bytes.size();
    pending_.push_back(std::move(reply));
}

void Connection::releaseDue(Micros now)
{
    releaseHeld(now);
    if (pending_.empty() || pending_.front().due > now)
        return;
    // With a reordering, all that is pending goes out with the first one due:
    // those requests arrived within one delay of each other.  Otherwise each
    // reply keeps its own time.
    bool together = context_.options.order != ReplyOrder::Arrival;
    batch_.clear();
    while (!pending_.empty() && (together || pending_.front().due <= now)) {
        batch_.push_back(std::move(pending_.front()));
        pending_.pop_front();
    }
    faults_.arrange(batch_);
    for (PendingReply &reply : batch_)
        emit(std::move(reply), now);
    batch_.clear();
}

void Connection::releaseHeld(Micros now)
{
    for (auto it = held_.begin(); it != held_.end();) {
        if (it->due <= now) {
            send(*it);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
}

void Connection::releaseSwapped()
{
    for (auto it = held_.begin(); it != held_.end();) {
        if (it->withNext) {
            send(*it);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
}

void Connection::releaseAll(Micros now)
{
    for (PendingReply &reply : pending_)
        reply.due = now;
    releaseDue(now);  // may hold some of them back, as when they were due
    // In the order they were to go.
    std::stable_sort(held_.begin(), held_.end(),
                     [](const PendingReply &a, const PendingReply &b) { return a.due < b.due; });
    for (PendingReply &reply : held_)
        reply.due = now;
    releaseHeld(now);
}

void Connection::emit(PendingReply &&reply, Micros now)
{
    if (reply.fate.swapWithNext) {
        reply.fate.swapWithNext = false;
        reply.withNext = true;
        reply.due = now + kSwapWait;
        held_.push_back(std::move(reply));
        return;
    }
    if (reply.fate.holdFor > 0) {
        reply.due = now + reply.fate.holdFor;
        reply.fate.holdFor = 0;
        held_.push_back(std::move(reply));
        return;
    }
    send(reply);
    releaseSwapped();  // a reply swapped with this one follows it now
}

void Connection::send(PendingReply &reply)
{
    for (int copy = 0; copy < reply.fate.copies; ++copy)
        writeCopy(reply.bytes, reply.fate);
    waitingBytes_ -= reply.bytes.size();
}

void Connection::writeCopy(const std::vector<char> &bytes, const ReplyFate &fate)
{
    const char *data = bytes.data();
    size_t size = bytes.size();
    // Past the end of the input nothing is paced any more (see endInput()).
    if (fate.pieceSeed && !inputEnded_) {
        // Drawn from the reply's own seed, so the pieces do not depend on
        // when the reply happens to be sent.
        std::mt19937_64 rng(fate.pieceSeed);
        for (size_t at = 0; at < size;) {
            size_t piece = std::min<size_t>(size - at, 1 + randomBelow(rng, kChaosPieceMax));
            Micros pause = kChaosPauseMin + static_cast<Micros>(randomBelow(rng, kChaosPauseSpread));
            output_.appendPiece(data + at, piece, pause);
            at += piece;
        }
        return;
    }
    size_t split = context_.options.splitBytes;
    if (split == 0 || inputEnded_) {
        output_.append(data, size);
        return;
    }
    for (size_t at = 0; at < size; at += split)
        output_.appendPiece(data + at, std::min(split, size - at), context_.options.splitGap);
}

void Connection::flushOutput(Micros now)
{
    if (dead_)
        return;
    size_t waiting = output_.size();
    if (output_.flush(fd_, now) == OutputQueue::Result::Failed) {
        fail(std::string("send failed: ") + std::strerror(errno));
        return;
    }
    if (output_.size() < waiting)
        lastActive_ = now;
    if (closing_ && !halfClosed_ && drained()) {
        // The client sees the end of the stream behind the last reply.
        shutdown(fd_, SHUT_WR);
        halfClosed_ = true;
        lingerUntil_ = now + kLinger;
    }
}

void Connection::refuse(const std::string &error)
{
    // Nothing after a malformed request can be trusted to be framed right,
    // so reading stops; replies to the requests before it still go out,
    // whether or not they arrived in the same read.
    logLine("conn %llu bad request: %s; closing", static_cast<unsigned long long>(number_),
            error.c_str());
    closeWhenDone("bad request");
}

void Connection::closeWhenDone(const std::string &why)
{
    closing_ = true;
    closeReason_ = why;
}

void Connection::fail(const std::string &why)
{
    dead_ = true;
    closeReason_ = why;
}

}  // namespace device
