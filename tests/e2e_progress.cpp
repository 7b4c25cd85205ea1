// The progress line: on a terminal it shows a download move, fitted to the
// width, ended by a summary and a newline; with standard error in a file,
// nothing.
#include "harness.h"

#include <regex>

using namespace th;

namespace {

// The lines drawn: the text between each "\r" and its "clear to end".
std::vector<std::string> draws(const std::string &out)
{
    std::vector<std::string> d;
    std::regex drawn("\r([^\r\n\033]*)\033\\[K");
    for (std::sregex_iterator i(out.begin(), out.end(), drawn), end; i != end; ++i)
        d.push_back((*i)[1]);
    return d;
}

struct Progress : ::testing::Test {
    Scratch root, work;
    std::string file = pattern(400 * 1024, 4);
    Progress() { writefile(root / "f.dat", file); }
};

TEST_F(Progress, ShownOnATerminalFittedToItsWidth)
{
    Device dev(root.path(), {"--delay", "1"});
    for (bool piped : {false, true}) {
        for (int cols : {100, 30, 12}) {
            std::vector<std::string> args = {"-g", "f.dat", "-o", work / "out"};
            if (piped)
                args.push_back("-b");
            Result r = tavikOnTerminal(args, {}, cols);
            ASSERT_EQ(r.status, 0) << r.out;
            EXPECT_TRUE(readfile(work / "out") == file);
            auto d = draws(r.out);
            ASSERT_FALSE(d.empty()) << r.out;
            for (auto &line : d)
                EXPECT_LT((int)line.size(), cols) << line;
            // The last draw at 100%, then the summary in its place.
            ASSERT_GE(d.size(), 2u) << r.out;
            EXPECT_NE(d[d.size() - 2].find("100%"), std::string::npos) << d[d.size() - 2];
            std::regex summary(cols >= 30 ? "400\\.0 KiB in [0-9]+\\.[0-9] s(, [0-9.]+ [KM]?i?B/s)?"
                                          : "done");
            EXPECT_TRUE(std::regex_match(d.back(), summary)) << cols << ": " << d.back();
            // Redrawn in place, about ten times a second at most.
            EXPECT_LE(d.size(), 10 * r.seconds + 3) << d.size() << " draws in " << r.seconds << " s";
            std::string tail = r.out.substr(r.out.rfind("\033[K") + 3);
            EXPECT_EQ(tail, "\r\n");  // the terminal shows "\n" as "\r\n"
        }
    }
    // Block by block at 1 ms a block, 400 blocks: the line moves.
    Result r = tavikOnTerminal({"-g", "f.dat", "-o", work / "out"}, {}, 100);
    EXPECT_GE(draws(r.out).size(), 3u) << r.out;
}

TEST_F(Progress, EndedBeforeAFailureIsReported)
{
    Device dev(root.path(), {"--delay", "1", "--close-after", "200"});
    Result r = tavikOnTerminal({"-g", "f.dat", "-o", work / "out"}, {}, 80);
    EXPECT_EQ(r.status, 1);
    ASSERT_FALSE(draws(r.out).empty()) << r.out;
    EXPECT_NE(r.out.find("\033[K\r\ndevice closed the connection\r\n"), std::string::npos) << r.out;
}

TEST_F(Progress, NothingWhenStandardErrorIsAFile)
{
    Device dev(root.path(), {"--delay", "1"});
    for (std::string mode : {"-p", "-b"}) {  // -p does nothing: block by block
        Result r = tavik({"-g", mode, "f.dat", "-o", work / "out"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.find('\r'), std::string::npos);
    }
}

}  // namespace
