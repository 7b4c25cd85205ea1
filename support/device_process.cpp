#include "support/support.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace support {

namespace {

constexpr double kStartupWait = 5;  // seconds for the device to start listening

// Closes a descriptor however the scope is left.
struct Closer {
    int fd;
    ~Closer() { close(fd); }
};

}  // namespace

DeviceProcess::DeviceProcess(const std::string &bin, const std::vector<std::string> &args,
                             const std::string &log)
    : log_(log)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    Closer reading{fds[0]};
    {
        Closer writing{fds[1]}, err{openForWriting(log)};
        std::vector<std::string> argv = {bin};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = Command(argv, childEnvironment()).start(fds[1], err.fd);
    }
    try {
        awaitListening(fds[0]);
    } catch (...) {
        stop();
        throw;
    }
}

// Its one line on standard output, "listening on ADDR:PORT", says it is
// ready and where.
void DeviceProcess::awaitListening(int fd)
{
    std::string line;
    double giveUp = now() + kStartupWait;
    while (line.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        int wait = static_cast<int>((giveUp - now()) * 1000);
        char buf[256];
        ssize_t n;
        if (wait <= 0 || poll(&p, 1, wait) <= 0 || (n = read(fd, buf, sizeof buf)) <= 0)
            throw std::runtime_error("tavik-device did not start: " + line + readFile(log_));
        line.append(buf, static_cast<size_t>(n));
    }
    const std::string prefix = "listening on ";
    if (line.compare(0, prefix.size(), prefix) != 0)
        throw std::runtime_error("unexpected first line from tavik-device: " + line +
                                 readFile(log_));
    address_ = line.substr(prefix.size(), line.find('\n') - prefix.size());
}

int DeviceProcess::port() const
{
    size_t colon = address_.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(address_.c_str() + colon + 1);
}

bool DeviceProcess::running()
{
    if (pid_ <= 0)
        return false;
    if (std::optional<Exit> done = reap(pid_)) {
        status_ = done->status;
        pid_ = -1;
    }
    return pid_ > 0;
}

int DeviceProcess::stop()
{
    if (running()) {
        status_ = support::stop(pid_);
        pid_ = -1;
    }
    return status_;
}

}  // namespace support
