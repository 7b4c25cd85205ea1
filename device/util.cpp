#include "util.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <poll.h>
#include <unistd.h>

namespace device {

namespace {

// Beyond this the oldest lines are kept and new ones dropped (and counted).
constexpr size_t kMaxLogBacklog = size_t{16} * 1024 * 1024;
// No more than a page per write(): a pipe that polls writable has room for
// at least that, so the write cannot block.
constexpr size_t kLogChunk = 4096;

Micros logStart = 0;
bool logIsVerbose = false;
std::string logBacklog;
unsigned long long droppedLines = 0;
bool stderrGone = false;

// Waits up to `timeout` ms (0: just looks) for stderr to take a page.
bool stderrWritable(int timeout)
{
    pollfd entry{STDERR_FILENO, POLLOUT, 0};
    if (poll(&entry, 1, timeout) != 1)
        return false;
    if (entry.revents & (POLLERR | POLLNVAL)) {
        stderrGone = true;  // nobody will ever read it
        logBacklog.clear();
        return false;
    }
    return (entry.revents & POLLOUT) != 0;
}

void drainLogWaiting(int timeout)
{
    size_t done = 0;
    while (done < logBacklog.size() && stderrWritable(timeout)) {
        size_t chunk = std::min(kLogChunk, logBacklog.size() - done);
        ssize_t written = ::write(STDERR_FILENO, logBacklog.data() + done, chunk);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                stderrGone = true;
            break;
        }
        done += static_cast<size_t>(written);
    }
    if (stderrGone)
        logBacklog.clear();
    else
        logBacklog.erase(0, done);
}

void queueLogText(const char *text, size_t size)
{
    if (stderrGone)
        return;
    if (droppedLines && logBacklog.size() + 100 < kMaxLogBacklog) {
        logBacklog += "(" + std::to_string(droppedLines) + " log lines dropped: stderr not read)\n";
        droppedLines = 0;
    }
    if (logBacklog.size() + size > kMaxLogBacklog) {
        ++droppedLines;
        return;
    }
    logBacklog.append(text, size);
    drainLogWaiting(0);
}

void writeLogLine(const char *format, va_list args)
{
    char line[2048];
    Micros since = nowMicros() - logStart;
    int stamp = std::snprintf(line, sizeof line, "%lld.%03lld ",
                              static_cast<long long>(since / kMicrosPerMilli),
                              static_cast<long long>(since % kMicrosPerMilli));
    size_t used = stamp > 0 ? static_cast<size_t>(stamp) : 0;
    size_t room = sizeof line - used - 1;  // keep one byte for the newline
    int text = std::vsnprintf(line + used, room + 1, format, args);
    if (text > 0)
        used += static_cast<size_t>(text) < room ? static_cast<size_t>(text) : room;
    line[used++] = '\n';
    queueLogText(line, used);
}

}  // namespace

Micros nowMicros()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Micros>(now.tv_sec) * kMicrosPerSecond + now.tv_nsec / 1000;
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void startLog(bool verbose)
{
    logStart = nowMicros();
    logIsVerbose = verbose;
}

bool verboseLog()
{
    return logIsVerbose;
}

bool logBacklogged()
{
    return !logBacklog.empty();
}

void drainLog()
{
    drainLogWaiting(0);
}

void finishLog(Micros patience)
{
    Micros giveUp = nowMicros() + patience;
    while (!logBacklog.empty() && !stderrGone) {
        Micros left = giveUp - nowMicros();
        if (left <= 0)
            return;
        drainLogWaiting(static_cast<int>(std::max<Micros>(1, left / kMicrosPerMilli)));
    }
}

void logLine(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeLogLine(format, args);
    va_end(args);
}

void logVerbose(const char *format, ...)
{
    if (!logIsVerbose)
        return;
    va_list args;
    va_start(args, format);
    writeLogLine(format, args);
    va_end(args);
}

std::string printable(const char *text)
{
    std::string out;
    for (; *text; ++text) {
        unsigned char c = static_cast<unsigned char>(*text);
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '\'') {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    return out;
}

}  // namespace device
