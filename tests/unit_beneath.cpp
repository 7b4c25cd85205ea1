// The device's resolver of names under its root (device/beneath.cpp): the
// kernel's openat2() and the component-by-component walk that stands in for
// it on older kernels must agree on every kind of name and link, and
// neither may ever open something outside the root, not even while a link
// is being swapped.
#include "beneath.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Opener = std::function<int(int, const std::string &, int)>;

const std::pair<const char *, Opener> kOpeners[] = {
    {"openBeneath", device::openBeneath},
    {"openBeneathStepwise", device::openBeneathStepwise},
};

void put(const fs::path &path, const std::string &text)
{
    std::ofstream(path) << text;
}

std::string contents(int fd)
{
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
        text.append(buffer, static_cast<size_t>(got));
    return text;
}

ino_t inodeOf(const fs::path &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class Beneath : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tavik-beneath-XXXXXX";
        top_ = mkdtemp(pattern);
        root_ = top_ / "root";
        fs::create_directories(root_ / "dir");
        put(root_ / "file", "inside");
        put(root_ / "dir" / "inner", "inner");
        put(top_ / "outside", "outside");
        fs::create_symlink("../file", root_ / "dir" / "up");
        fs::create_symlink("../../outside", root_ / "dir" / "escape");
        fs::create_symlink("file", root_ / "link");
        fs::create_symlink("link", root_ / "chain");
        fs::create_symlink("dir", root_ / "dirlink");
        fs::create_symlink("../outside", root_ / "out");
        fs::create_symlink("..", root_ / "parent");
        // Absolute, though it names a file inside: it would mean something
        // else if the root were moved, and is refused like one leading out.
        fs::create_symlink(root_ / "file", root_ / "abs");
        fs::create_symlink("loop2", root_ / "loop1");
        fs::create_symlink("loop1", root_ / "loop2");
        fs::create_symlink("nowhere", root_ / "dangling");
        fs::create_symlink(".", root_ / "dotlink");
        rootFd_ = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(rootFd_, 0);
    }

    void TearDown() override
    {
        close(rootFd_);
        std::error_code ignored;
        fs::remove_all(top_, ignored);
    }

    fs::path top_, root_;
    int rootFd_ = -1;
};

// Every name, opened by both: what it must lead to, or why it must fail.
TEST_F(Beneath, BothResolversAgreeOnEveryKindOfName)
{
    struct Case {
        const char *name;
        int flags;
        const char *leadsTo;  // under the root; nullptr: fails with `error`
        int error;
    };
    const int R = O_RDONLY | O_CLOEXEC, P = O_PATH | O_CLOEXEC, D = R | O_DIRECTORY;
    const Case cases[] = {
        {"file", R, "file", 0},
        {"", D, "", 0},
        {"dir/inner", R, "dir/inner", 0},
        {"dir//inner", R, "dir/inner", 0},
        {"./dir/./inner", R, "dir/inner", 0},
        {"dir/..", D, "", 0},
        {"link", R, "file", 0},
        {"link", P, "file", 0},
        {"chain", R, "file", 0},
        {"dirlink/inner", R, "dir/inner", 0},
        {"dirlink", D, "dir", 0},
        {"dir/up", R, "file", 0},
        {"dirlink/up", R, "file", 0},
        {"dirlink/../file", R, "file", 0},  // ".." of the link's target
        {"dotlink/file", R, "file", 0},
        {"dotlink", D, "", 0},
        {"..", D, nullptr, EXDEV},
        {"dir/../..", D, nullptr, EXDEV},
        {"out", R, nullptr, EXDEV},
        {"out", P, nullptr, EXDEV},
        {"dir/escape", R, nullptr, EXDEV},
        {"dirlink/escape", R, nullptr, EXDEV},
        {"parent/root/file", R, nullptr, EXDEV},
        {"abs", R, nullptr, EXDEV},
        {"loop1", R, nullptr, ELOOP},
        {"dangling", R, nullptr, ENOENT},
        {"missing", R, nullptr, ENOENT},
        {"dir/missing/inner", R, nullptr, ENOENT},
        {"file/inner", R, nullptr, ENOTDIR},
        {"file", D, nullptr, ENOTDIR},
        {"link", D, nullptr, ENOTDIR},
    };
    for (const auto &[opener, open] : kOpeners) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(opener) + "('" + c.name + "', " + std::to_string(c.flags) + ")");
            errno = 0;
            int fd = open(rootFd_, c.name, c.flags);
            int error = errno;
            if (!c.leadsTo) {
                EXPECT_EQ(fd, -1);
                EXPECT_EQ(error, c.error) << std::strerror(error);
                if (fd >= 0)
                    close(fd);
                continue;
            }
            ASSERT_GE(fd, 0) << std::strerror(error);
            struct stat info;
            ASSERT_EQ(fstat(fd, &info), 0);
            EXPECT_EQ(info.st_ino, inodeOf(root_ / c.leadsTo));
            close(fd);
        }
    }
}

// A link swapped between a file inside and one outside while it is opened:
// each open finds the one inside or is refused, and over a second both
// outcomes must have come up, or the swapping did not race the opens.
TEST_F(Beneath, ASwappedLinkNeverOpensWhatLiesOutside)
{
    fs::create_symlink("file", root_ / "in.lnk");
    fs::create_symlink("../outside", root_ / "out.lnk");
    fs::create_symlink("file", root_ / "swap");
    for (const auto &[opener, open] : kOpeners) {
        SCOPED_TRACE(opener);
        std::atomic<bool> stop{false};
        std::thread swapper([&] {
            std::string spare = (root_ / "spare").string(), swap = (root_ / "swap").string();
            for (bool out = true; !stop; out = !out) {
                unlink(spare.c_str());
                if (symlink(out ? "../outside" : "file", spare.c_str()) == 0)
                    rename(spare.c_str(), swap.c_str());
            }
        });
        int inside = 0, refused = 0, other = 0;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < until) {
            for (const char *name : {"swap", "dotlink/swap", "dirlink/../swap"}) {
                int fd = open(rootFd_, name, O_RDONLY | O_CLOEXEC);
                if (fd < 0) {
                    (errno == EXDEV ? refused : other)++;
                    continue;
                }
                std::string text = contents(fd);
                close(fd);
                ASSERT_EQ(text, "inside") << "opened through " << name;
                inside++;
            }
        }
        stop = true;
        swapper.join();
        EXPECT_GT(inside, 0);
        EXPECT_GT(refused, 0);
        EXPECT_EQ(other, 0);
    }
}

}  // namespace
