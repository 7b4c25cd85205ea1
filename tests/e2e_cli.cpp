// The command line: usage, options, argument checks, the endpoint, and
// what happens before any request is sent.
#include "harness.h"

#include <unistd.h>

#include <regex>

using namespace th;

namespace {

struct Cli : ::testing::Test {
    Scratch root;
    // Connections the device saw: each one is logged when accepted, which
    // may be a moment after a client that sent nothing has gone; so up to
    // 5 s are given for `want` to show.
    static int connections(const Device &dev, int want = 0)
    {
        for (int tries = 0;; tries++) {
            std::string log = dev.log();
            int n = 0;
            for (size_t at = 0; (at = log.find("accepted", at)) != std::string::npos; at++)
                n++;
            if (n >= want || tries == 500)
                return n;
            usleep(10000);
        }
    }
};

TEST_F(Cli, UsageWithoutConnecting)
{
    Device dev(root.path());
    for (auto args : std::vector<std::vector<std::string>>{{}, {"-h"}, {"-l", "-h"}}) {
        Result r = tavik(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, usage(tavikBin));
        EXPECT_EQ(r.err, "");
    }
    Result r = tavik({"-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage(tavikBin));
    EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;
    r = tavik({"-l", "-c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("option requires an argument -- 'c'"), std::string::npos) << r.err;
    EXPECT_EQ(connections(dev), 0);
}

TEST_F(Cli, NoModeConnectsThenPrintsUsage)
{
    Device dev(root.path());
    Result r = tavik({"-p"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage(tavikBin));
    r = tavik({"-b", "-o", "x", "name"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage(tavikBin));
    EXPECT_EQ(connections(dev, 2), 2);
    EXPECT_EQ(dev.recorded(), "");
}

TEST_F(Cli, BadCoreOrTaskIsRefusedBeforeConnecting)
{
    Device dev(root.path());
    for (std::string bad : {"zz", "", "0x", "10000", "0x1FFFF", "12 ", "-1", "+5", "1442g", "0x0x1"}) {
        Result r = tavik({"-l", "-c", bad});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err, "invalid core '" + bad + "'\n");
        r = tavik({"-t", bad, "-l"});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err, "invalid task '" + bad + "'\n");
    }
    EXPECT_EQ(connections(dev), 0);
}

TEST_F(Cli, CoreAndTaskReachTheTarget)
{
    Device dev(root.path());
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-c", "1442"}, "14 42 06 14"},
        {{"-c", "0x1442", "-t", "0X7"}, "14 42 00 07"},
        {{"-c", "ffff", "-t", "FfFf"}, "ff ff ff ff"},
        {{"-c", "0", "-t", "00000614"}, "00 00 06 14"},
        {{"-c", "zz1"}, ""},  // refused: nothing sent
        {{"-c", "1", "-c", "2"}, "00 02 06 14"},
    };
    for (auto &[opts, target] : cases) {
        std::vector<std::string> args = opts;
        args.push_back("-l");
        tavik(args);
    }
    auto reqs = dev.requests();
    ASSERT_EQ(reqs.size(), 5u);
    size_t i = 0;
    for (auto &[opts, target] : cases) {
        if (target.empty())
            continue;
        EXPECT_EQ(hex(reqs[i++].substr(4, 4)), target);
    }
}

TEST_F(Cli, LongNamesAreRefusedNotCut)
{
    Device dev(root.path());
    Result r = tavik({"-l", std::string(240, 'a')});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "remote name too long: at most 239 characters\n");
    r = tavik({"-g", "-o", std::string(10000, 'b'), "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "local name too long: at most 9999 characters\n");
    EXPECT_EQ(connections(dev), 0);

    // The longest that fits goes out whole, with its terminating zero.
    std::string name(239, 'n');
    tavik({"-l", name});
    auto reqs = dev.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].substr(16, 240), name + std::string(1, '\0'));
}

TEST_F(Cli, LastNameWinsAndListingBeatsGet)
{
    mkdir((root / "y").c_str(), 0755);
    Device dev(root.path());
    Result r = tavik({"x", "-l", "y", "-g", "--", "-z", "y"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = tavik({"-l", "--", "-z"});  // a name that starts with '-'
    EXPECT_EQ(r.err, "list: DirNotFound (-8)\n");
    auto reqs = dev.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(hex(reqs[0].substr(2, 2)), "0a 88");
    EXPECT_EQ(reqs[0].substr(16, 2), std::string("y\0", 2));
    EXPECT_EQ(reqs[1].substr(16, 3), std::string("-z\0", 3));
}

TEST_F(Cli, GetWithoutLocalNameNeedsAFileComponent)
{
    Device dev(root.path());
    Result r = tavik({"-g", "/ram/"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "'/ram/' names no file to write locally: give one with -o\n");
    EXPECT_EQ(connections(dev), 0);
}

TEST_F(Cli, DeviceEndpointFromEnvironment)
{
    Device dev(root.path(), {}, "127.0.0.1:15100");
    for (std::string ep : {"127.0.0.1:15100", "localhost:15100"}) {
        Result r = tavik({"-l"}, {{"TAVIK_DEVICE", ep}});
        EXPECT_EQ(r.status, 0) << ep << ": " << r.err;
    }
    EXPECT_EQ(dev.requests().size(), 2u);

    Device dev6(root.path(), {}, "[::1]:15003");
    for (std::string ep : {"[::1]:15003", "[::1]", "::1", "[0:0::1]"}) {
        Result r = tavik({"-l", "--verbose"}, {{"TAVIK_DEVICE", ep}});
        EXPECT_EQ(r.status, 0) << ep << ": " << r.err;
        EXPECT_EQ(r.err.rfind("connecting to [::1]:15003 (TAVIK_DEVICE)\n", 0), 0u) << r.err;
    }
    EXPECT_EQ(dev6.requests().size(), 4u);

    // More than one colon and no brackets: an IPv6 address as a whole,
    // never a guessed split into address and port.
    Result r = tavik({"-l", "--verbose"}, {{"TAVIK_DEVICE", "::1:1503"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("connecting to [::1:1503]:15003 (TAVIK_DEVICE)\n", 0), 0u) << r.err;

    for (std::string bad : {"127.0.0.1:", ":15100", "127.0.0.1:x", "127.0.0.1:70000",
                            "127.0.0.1:0", "nosuchhost.invalid", "[::1", "[::1]x", "[]:15100",
                            "[::1]:", "::1:36639", "a:b:15003"}) {
        Result r = tavik({"-l"}, {{"TAVIK_DEVICE", bad}});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err.rfind("TAVIK_DEVICE: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST_F(Cli, HelpAndVersion)
{
    Device dev(root.path());
    Result r = tavik({"--help"});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.out.rfind(usage(tavikBin), 0), 0u) << r.out;
    std::string more = r.out.substr(usage(tavikBin).size());
    for (std::string opt : {"--help", "--version", "--verbose", "--continue", "--retry N", "--window N",
                            "--quiet", "--max-time S"})
        EXPECT_NE(more.find("\n  " + opt + " "), std::string::npos) << opt << " in\n" << more;
    EXPECT_EQ(r.err, "");
    // What follows the fixed usage text fits 80 columns, and says how to
    // point tavik elsewhere and what its exit status means.
    for (size_t at = 0, end; at < more.size(); at = end + 1) {
        end = more.find('\n', at);
        EXPECT_LE(end - at, 80u) << more.substr(at, end - at);
    }
    EXPECT_NE(more.find("\n  TAVIK_DEVICE "), std::string::npos) << more;
    EXPECT_NE(more.find("\nExit status:\n  0 "), std::string::npos) << more;
    for (std::string opt : {"--help", "--version"}) {
        Result full = run("/bin/sh", {"-c", tavikBin + " " + opt + " >/dev/full"});
        EXPECT_EQ(full.status, 1) << opt;
        EXPECT_EQ(full.err, "stdout: No space left on device\n") << opt;
    }

    r = tavik({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("tavik [0-9]+\\.[0-9]+(\\.[0-9]+)?\n"))) << r.out;

    // An unknown long option is getopt's to report, then the usage alone.
    r = tavik({"--bogus", "-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage(tavikBin));
    EXPECT_NE(r.err.find("unrecognized option '--bogus'"), std::string::npos) << r.err;
    EXPECT_EQ(connections(dev), 0);
}

TEST_F(Cli, VerboseShowsTheEndpointAndEveryMessage)
{
    writefile(root / "f.dat", pattern(1500, 3));
    Device dev(root.path());
    Result r = tavik({"--verbose", "-g", "f.dat", "-o", root / "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\nfilesize      1500  \n");  // stdout as without it
    EXPECT_EQ(r.err,
              "connecting to 192.168.255.1:15003 (built-in address)\n"
              "> 0a82 get 'f.dat' offset 0\n"
              "< 0a83 get rc 0 (Ok) offset 0 length 1024 last 0 filesize 1500\n"
              "> 0a82 get 'f.dat' offset 1024\n"
              "< 0a83 get rc 0 (Ok) offset 1024 length 476 last 1 filesize 1500\n");
    r = tavik({"-l", "--verbose", "nosuch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "connecting to 192.168.255.1:15003 (built-in address)\n"
              "> 0a88 list 'nosuch' offset 0 max 100\n"
              "< 0a89 list rc -8 (DirNotFound) offset 0 entries 0 of 0\n"
              "list: DirNotFound (-8)\n");
}

TEST_F(Cli, NoDeviceListening)
{
    Result r = tavik({"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "connect: Connection refused\n");
}

}  // namespace
