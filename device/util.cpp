#include "util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <unistd.h>

namespace device {

namespace {

Micros logStart = 0;
bool logIsVerbose = false;

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
    // A log nobody reads any more is no reason to stop serving.
    writeAll(STDERR_FILENO, line, used);
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
