// tavik-device: a stand-in for the real device, so that the tavik client can
// be developed, tested and measured without the hardware.
//
// It speaks the device's small binary protocol on TCP and serves directory
// listings and file blocks from a directory of this machine (--root).  On
// request it misbehaves the ways a real device or network can: late, split,
// lost, duplicated, reordered or damaged replies, stalls and closes, and a
// seeded random mode that mixes them all (see --help).  Tests start it on a
// port of their own, wait for its "listening on ADDR:PORT" line, point the
// client at it, and can read back every request it received (--record).
//
// The parts, top down:
//   main.cpp          start-up: options, root, listener, signals
//   server.cpp        the event loop: ppoll(), accepting, timers
//   connection.cpp    one client: framing, reply queue, paced output
//   faults.cpp        which replies are dropped, doubled, damaged, reordered
//   file_service.cpp  listings and blocks from the files under the root
//   protocol.cpp      message framing, request decoding, reply headers
//   options.cpp       the command line
//   util.cpp          the clock, wire field access, the log
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>

#include "connection.h"
#include "file_service.h"
#include "options.h"
#include "server.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

// SIGTERM and SIGINT stay blocked except while the loop waits in ppoll(), so
// a stop can never slip in between checking the flag and starting to wait.
// Returns the mask to wait with.
sigset_t installStopSignals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // A client that vanishes must not kill the device on the next send.
    signal(SIGPIPE, SIG_IGN);

    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stops, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    return waitMask;
}

// Started with stdin, stdout or stderr closed, the device would hand those
// numbers to sockets, and the log would go to a client.  /dev/null fills
// the gaps.
void occupyStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            std::exit(1);
}

// Linux lets a sleep overrun by 50 us by default, a tenth of a 0.5 ms
// --delay; the tightest slack keeps sub-millisecond delays honest.
void tightenTimerSlack()
{
#ifdef __linux__
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

// The connection limit needs more descriptors than some default soft limits
// allow: a socket and up to two files kept open per connection, and some
// to spare.  The hard limit is as far as we may go.
void raiseDescriptorLimit(size_t maxConnections)
{
    const rlim_t wanted = std::max<rlim_t>(8192, rlim_t{3} * maxConnections + 64);
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// The root as an absolute path without symlinks, which is what every
// resolved name is compared with.  Empty when it is no usable directory.
std::string resolveRoot(const std::string &root, std::string &error)
{
    char resolved[PATH_MAX];
    struct stat info;
    if (!realpath(root.c_str(), resolved) || stat(resolved, &info) != 0) {
        error = std::strerror(errno);
        return {};
    }
    if (!S_ISDIR(info.st_mode)) {
        error = "not a directory";
        return {};
    }
    return resolved;
}

}  // namespace

int main(int argc, char **argv)
{
    occupyStandardDescriptors();
    device::Options options;
    if (std::optional<int> status = device::parseCommandLine(argc, argv, options))
        return *status;
    device::startLog(options.verbose);

    std::string error;
    std::string root = resolveRoot(options.root, error);
    if (root.empty())
        return device::reportBadValue("--root: '" + options.root + "': " + error);
    device::Recorder recorder;
    if (!options.recordPath.empty() && !recorder.open(options.recordPath))
        return device::reportBadValue("--record: '" + options.recordPath +
                                      "': " + std::strerror(errno));

    raiseDescriptorLimit(options.maxConnections);
    tightenTimerSlack();
    sigset_t waitMask = installStopSignals();
    int listenFd = device::openListener(options.listenHost, options.listenPort, error);
    if (listenFd < 0) {
        std::fprintf(stderr, "tavik-device: cannot listen on %s:%u: %s\n",
                     options.listenHost.c_str(), options.listenPort, error.c_str());
        return 1;
    }
    // The one line a test waits for before it starts the client.
    std::printf("listening on %s\n", device::localAddress(listenFd).c_str());
    std::fflush(stdout);

    device::FileService files(root, options.blockSize,
                              {options.listNoZero, options.listIgnoreOffset});
    device::DeviceContext context{options, files, recorder};
    device::Server server(listenFd, context);
    bool ok = server.run(waitMask, stopRequested);
    device::logVerbose("stopping");
    return ok ? 0 : 1;
}
