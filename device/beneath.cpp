#include "beneath.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <deque>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#else
// Older kernel headers: the interface as the kernel has had it since 5.6.
struct open_how {
    uint64_t flags;
    uint64_t mode;
    uint64_t resolve;
};
#define RESOLVE_NO_MAGICLINKS 0x02
#define RESOLVE_BENEATH 0x08
#endif

// A new system call has the same number on every architecture; glibc before
// 2.41 has no wrapper and may not know the number either.
#if defined(__linux__) && !defined(SYS_openat2)
#define SYS_openat2 437
#endif

namespace device {

namespace {

// As many symlinks as the kernel follows in one lookup before ELOOP.
constexpr int kMaxLinks = 40;
// openat2() says EAGAIN when a rename elsewhere made it unsure that a ".."
// stayed beneath; it may simply be asked again.
constexpr int kRetriesOnRace = 8;

int failWith(int error)
{
    errno = error;
    return -1;
}

// The directories entered on the way down, innermost last, closed on every
// way out.  ".." leaves the innermost, which keeps the walk physical, as
// the kernel's own: "link/.." is the directory holding the link's target.
class DirStack {
public:
    explicit DirStack(int rootFd) : rootFd_(rootFd) {}
    ~DirStack()
    {
        for (int fd : fds_)
            close(fd);
    }
    DirStack(const DirStack &) = delete;
    DirStack &operator=(const DirStack &) = delete;

    int top() const { return fds_.empty() ? rootFd_ : fds_.back(); }
    bool atRoot() const { return fds_.empty(); }
    void enter(int fd) { fds_.push_back(fd); }
    void leave()
    {
        close(fds_.back());
        fds_.pop_back();
    }

private:
    int rootFd_;
    std::vector<int> fds_;
};

// Puts the components of `path` in front of `parts`, leaving out empty
// ones and ".".
void prependComponents(const std::string &path, std::deque<std::string> &parts)
{
    std::vector<std::string> found;
    for (size_t at = 0; at <= path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(at, end - at);
        if (!part.empty() && part != ".")
            found.push_back(part);
        at = end + 1;
    }
    parts.insert(parts.begin(), found.begin(), found.end());
}

bool isType(int fd, mode_t type)
{
    struct stat info;
    return fstat(fd, &info) == 0 && (info.st_mode & S_IFMT) == type;
}

// The target of the symlink `name` in `dirFd`; false with errno set (EINVAL
// when it is no symlink).
bool readLink(int dirFd, const std::string &name, std::string &target)
{
    char buffer[PATH_MAX];
    ssize_t length = readlinkat(dirFd, name.c_str(), buffer, sizeof buffer);
    if (length < 0)
        return false;
    if (static_cast<size_t>(length) == sizeof buffer) {
        errno = ENAMETOOLONG;
        return false;
    }
    target.assign(buffer, static_cast<size_t>(length));
    return true;
}

enum class Step { Opened, Entered, Link, Failed };

// Opens `part` in `dirs.top()` without following it: the last component
// with the caller's flags, the ones before it as a directory to go on from.
// Link: `part` is a symlink, to be expanded.
Step openComponent(DirStack &dirs, const std::string &part, bool last, int flags, int &fd)
{
    int openFlags = (last ? flags : O_PATH | O_CLOEXEC) | O_NOFOLLOW;
    fd = openat(dirs.top(), part.c_str(), openFlags);
    if (fd < 0)  // a symlink refused by O_NOFOLLOW, or by O_DIRECTORY
        return errno == ELOOP || errno == ENOTDIR ? Step::Link : Step::Failed;
    // Only with O_PATH does O_NOFOLLOW open a symlink itself.
    if ((openFlags & O_PATH) && isType(fd, S_IFLNK)) {
        close(fd);
        return Step::Link;
    }
    if (last)
        return Step::Opened;
    if (!isType(fd, S_IFDIR)) {
        close(fd);
        errno = ENOTDIR;
        return Step::Failed;
    }
    dirs.enter(fd);
    return Step::Entered;
}

}  // namespace

int openBeneathStepwise(int rootFd, const std::string &path, int flags)
{
    std::deque<std::string> parts;
    prependComponents(path, parts);
    DirStack dirs(rootFd);
    int links = 0;
    while (!parts.empty()) {
        std::string part = std::move(parts.front());
        parts.pop_front();
        if (part == "..") {
            if (dirs.atRoot())
                return failWith(EXDEV);
            dirs.leave();
            continue;
        }
        int fd = -1;
        int openError = 0;
        switch (openComponent(dirs, part, parts.empty(), flags, fd)) {
        case Step::Opened:
            return fd;
        case Step::Entered:
            continue;
        case Step::Failed:
            return -1;
        case Step::Link:
            openError = errno;
            break;
        }
        std::string target;
        if (!readLink(dirs.top(), part, target))
            // No symlink after all: ELOOP or ENOTDIR meant what they say.
            return failWith(errno == EINVAL ? openError : errno);
        if (++links > kMaxLinks)
            return failWith(ELOOP);
        if (!target.empty() && target[0] == '/')
            return failWith(EXDEV);
        prependComponents(target, parts);
    }
    // The path ended in a directory reached by "..", or by a link to ".".
    return openat(dirs.top(), ".", flags);
}

int openBeneath(int rootFd, const std::string &path, int flags)
{
#ifdef __linux__
    static bool kernelHasIt = true;
    if (kernelHasIt) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const char *name = path.empty() ? "." : path.c_str();
        for (int attempt = 0;; ++attempt) {
            long fd = syscall(SYS_openat2, rootFd, name, &how, sizeof how);
            if (fd >= 0)
                return static_cast<int>(fd);
            if (errno != EAGAIN || attempt == kRetriesOnRace)
                break;
        }
        if (errno != ENOSYS)
            return -1;
        kernelHasIt = false;
    }
#endif
    return openBeneathStepwise(rootFd, path, flags);
}

}  // namespace device
