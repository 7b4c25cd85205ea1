// The Wireshark dissector (tools/wireshark/tavik.lua) on real captures:
// dumpcap records loopback while tavik talks to tavik-device, then tshark
// decodes the capture with the dissector, and what it shows must be what
// went over the wire, message by message.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace th;

namespace {

const char kScript[] = TAVIK_DISSECTOR;
const long kBlock = 1024;  // the device's default block size

std::string onPath(const std::string &name)
{
    const char *path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    std::stringstream in(s);
    for (std::string part; std::getline(in, part, sep);)
        parts.push_back(part);
    if (!s.empty() && s.back() == sep)
        parts.push_back("");
    return parts;
}

// dumpcap on lo, writing to a file.  Running only once a probe datagram
// sent after the start is in the file, and stopped only once one sent after
// the traffic is there too: so nothing between the two can be missing.
class Capture {
public:
    explicit Capture(const std::string &file) : file_(file)
    {
        std::string dumpcap = onPath("dumpcap");
        pid_ = fork();
        if (pid_ == 0) {
            int log = open((file + ".log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            execl(dumpcap.c_str(), "dumpcap", "-q", "-i", "lo", "-w", file.c_str(),
                  (char *)nullptr);
            _exit(127);
        }
        running_ = probe("start");
    }
    ~Capture() { end(); }
    bool running() const { return running_; }
    // Stops the capture; false if it did not end cleanly with everything in.
    bool stop() { return probe("end") & end(); }
    std::string log() const { return readfile(file_ + ".log"); }

private:
    bool probe(const std::string &what)
    {
        std::string marker = "tavik-capture-" + what + "-" + std::to_string(getpid());
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in self = {};
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof self;
        bool seen = false;
        if (bind(fd, (struct sockaddr *)&self, len) == 0 &&
            getsockname(fd, (struct sockaddr *)&self, &len) == 0) {
            // dumpcap writes its file out every few hundred milliseconds.
            for (int i = 0; i < 200 && !seen && pid_ > 0; i++) {
                sendto(fd, marker.data(), marker.size(), 0, (struct sockaddr *)&self, len);
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
                seen = readfile(file_).find(marker) != std::string::npos;
            }
        }
        close(fd);
        return seen;
    }
    bool end()
    {
        if (pid_ <= 0)
            return false;
        int st = 0;
        kill(pid_, SIGINT);
        for (int i = 0; i < 500 && waitpid(pid_, &st, WNOHANG) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(pid_, &st, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
        }
        pid_ = -1;
        return WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }

    std::string file_;
    pid_t pid_ = -1;
    bool running_ = false;
};

// One decoded message, its numbers as tshark prints them (-1 if absent).
struct Message {
    std::string record;
    long msgid = -1, msgsize = -1, offset = -1, length = -1, filesize = -1, last = -1, rc = -1,
         entries = -1, total = -1;
};

struct Frame {
    long number = 0, stream = -1, segments = 0;
    std::vector<Message> messages;
    bool malformed = false;  // the dissector's mark, or Wireshark's own
    bool luaError = false;
};

const std::vector<std::string> kFields = {
    "frame.number", "tcp.stream", "tcp.segment.count", "tavik.record", "tavik.msgid",
    "tavik.msgsize", "tavik.offset", "tavik.length", "tavik.filesize", "tavik.last", "tavik.rc",
    "tavik.entries", "tavik.total", "tavik.malformed", "_ws.malformed", "_ws.lua.error"};

long number(const std::string &s) { return s.empty() ? -1 : std::strtol(s.c_str(), nullptr, 0); }

// The fields of one tshark row; a message's fields sit at its index in
// every column.  Numbers that a record does not have (a request's length)
// would shift the columns, so they are only read for the records that
// have them, and a frame carries one kind of record in these sessions.
Frame parseRow(const std::vector<std::string> &cols)
{
    Frame f;
    f.number = number(cols[0]);
    f.stream = number(cols[1]);
    f.segments = number(cols[2]);
    f.malformed = !cols[13].empty() || !cols[14].empty();
    f.luaError = !cols[15].empty();
    auto records = cols[3].empty() ? std::vector<std::string>{} : split(cols[3], ',');
    auto at = [&](size_t col, size_t i) {
        auto v = split(cols[col], ',');
        return i < v.size() ? number(v[i]) : -1;
    };
    for (size_t i = 0; i < records.size(); i++) {
        Message m;
        m.record = records[i];
        m.msgid = at(4, i);
        m.msgsize = at(5, i);
        m.offset = at(6, i);
        if (m.record == "Get reply") {
            m.length = at(7, i);
            m.filesize = at(8, i);
            m.last = at(9, i);
        }
        if (m.record == "Get reply" || m.record == "List reply")
            m.rc = at(10, i);
        if (m.record == "List reply") {
            m.entries = at(11, i);
            m.total = at(12, i);
        }
        f.messages.push_back(m);
    }
    return f;
}

struct Decoded {
    int status = -1;
    std::string err;
    std::vector<Frame> frames;
    // Per TCP connection that carried messages: its messages.  Connections
    // are numbered in the order they were made.
    std::map<long, std::vector<Message>> streams;
    std::vector<long> ids() const
    {
        std::vector<long> v;
        for (auto &s : streams)
            v.push_back(s.first);
        return v;
    }
};

// tshark with the dissector, in a home of its own, so that no personal
// preference or plugin (an installed tavik.lua) takes part.
Decoded decode(const std::string &capture, const std::vector<std::string> &extra = {})
{
    Scratch home;
    std::vector<std::string> args = {"HOME=" + home.path(), "XDG_CONFIG_HOME=" + home / "config",
                                     onPath("tshark"), "-n", "-r", capture,
                                     "-X", std::string("lua_script:") + kScript,
                                     "-o", "tcp.desegment_tcp_streams:TRUE", "-T", "fields",
                                     "-E", "occurrence=a", "-E", "aggregator=,"};
    args.insert(args.end(), extra.begin(), extra.end());
    for (auto &field : kFields)
        args.insert(args.end(), {"-e", field});
    Result r = run(onPath("env"), args, {}, "", 60);
    Decoded d;
    d.status = r.status;
    d.err = r.err;
    for (auto &line : split(r.out, '\n')) {
        auto cols = split(line, '\t');
        if (cols.size() != kFields.size())
            continue;
        d.frames.push_back(parseRow(cols));
        auto &f = d.frames.back();
        for (auto &m : f.messages)
            d.streams[f.stream].push_back(m);
    }
    return d;
}

// What tshark said on its standard error, less its warning about root.
std::string complaints(const std::string &err)
{
    std::string rest;
    for (auto &line : split(err, '\n'))
        if (!line.empty() && line.find("could be dangerous") == std::string::npos)
            rest += line + "\n";
    return rest;
}

// One run of tavik during a capture, and the requests the device recorded
// for it.
struct Session {
    std::string what;   // "list DIR" or "get FILE"
    long filesize = 0;  // of the file fetched, or entries in the directory
    Result result;
    std::vector<std::string> requests;
};

struct Dissector : ::testing::Test {
    Scratch root, work;
    std::vector<Session> sessions;
    void SetUp() override
    {
        for (auto prog : {"tshark", "dumpcap"})
            ASSERT_NE(onPath(prog), "")
                << prog << " not found: install the tshark package "
                << "(DEBIAN_FRONTEND=noninteractive apt-get install tshark, as .ci/run does)";
        mkdir((root / "many").c_str(), 0755);
        for (int i = 0; i < 150; i++)
            writefile(root / ("many/entry" + std::to_string(i)), std::to_string(i));
        writefile(root / "blocks.dat", pattern(7 * 1024 + 300, 1));
        writefile(root / "pipe.dat", pattern(50 * 1024 + 77, 2));
        writefile(root / "small.dat", pattern(2 * 1024 + 500, 3));
    }
    // Runs tavik against dev and keeps what the device recorded for it.
    void session(Device &dev, const std::vector<std::string> &args, const std::string &what,
                 long filesize, const Env &env = {})
    {
        size_t before = dev.requests().size();
        Session s{what, filesize, tavik(args, env, work.path()), {}};
        auto all = dev.requests();
        s.requests.assign(all.begin() + (long)std::min(before, all.size()), all.end());
        sessions.push_back(s);
    }
    void list(Device &dev, const Env &env = {})
    {
        session(dev, {"-l", "many"}, "list many", 150, env);
    }
    void get(Device &dev, const std::string &name, bool pipelined, const Env &env = {})
    {
        std::vector<std::string> args = {"-g", name, "-o", work / "out"};
        if (pipelined)
            args.insert(args.begin(), "-b");
        session(dev, args, (pipelined ? "get -b " : "get ") + name,
                (long)readfile(root / name).size(), env);
    }
};

// The block reply a request for offset must get from a file of filesize.
void expectBlockReply(const Message &m, long offset, long filesize, const std::string &where)
{
    long length = std::max(0L, std::min(kBlock, filesize - offset));
    EXPECT_EQ(m.offset, offset) << where;
    EXPECT_EQ(m.length, length) << where << " offset " << offset;
    EXPECT_EQ(m.msgsize, 16 + 260 + length) << where << " offset " << offset;
    EXPECT_EQ(m.filesize, filesize) << where << " offset " << offset;
    EXPECT_EQ(m.last != 0, offset + length >= filesize) << where << " offset " << offset;
    EXPECT_EQ(m.rc, 0) << where << " offset " << offset;
}

// A session's messages against the requests its device recorded: the same
// requests in the same order, one reply of the same kind for each.
void checkSession(const Session &s, const std::vector<Message> &msgs)
{
    std::vector<const Message *> requests, replies;
    for (auto &m : msgs)
        (m.record.find("request") != std::string::npos ? requests : replies).push_back(&m);
    ASSERT_EQ(requests.size(), s.requests.size()) << s.what;
    ASSERT_EQ(replies.size(), s.requests.size()) << s.what;
    // Replies by offset: pipelined ones may come in any order.
    std::multimap<long, const Message *> replyAt;
    for (auto *m : replies)
        replyAt.emplace(m->offset, m);
    for (size_t i = 0; i < s.requests.size(); i++) {
        const std::string &raw = s.requests[i];
        const Message &q = *requests[i];
        long id = (unsigned char)raw[2] << 8 | (unsigned char)raw[3];
        bool isList = id == 0x0A88;
        long offset = (long)be32at(raw, 256);
        EXPECT_EQ(q.record, isList ? "List request" : "Get request") << s.what << " request " << i;
        EXPECT_EQ(q.msgid, id) << s.what << " request " << i;
        EXPECT_EQ(q.msgsize, (long)raw.size()) << s.what << " request " << i;
        EXPECT_EQ(q.offset, offset) << s.what << " request " << i;
        auto found = replyAt.find(offset);
        ASSERT_NE(found, replyAt.end()) << s.what << ": no reply for offset " << offset;
        const Message &a = *found->second;
        replyAt.erase(found);
        EXPECT_EQ(a.record, isList ? "List reply" : "Get reply") << s.what << " offset " << offset;
        if (isList) {
            long max = (long)be32at(raw, 260);
            EXPECT_EQ(a.entries, std::min(max, s.filesize - offset))
                << s.what << " offset " << offset;
            EXPECT_EQ(a.total, s.filesize) << s.what;
            EXPECT_EQ(a.rc, 0) << s.what;
        } else {
            expectBlockReply(a, offset, s.filesize, s.what);
        }
    }
}

// Frames of one connection.
std::vector<const Frame *> framesOf(const Decoded &d, long stream)
{
    std::vector<const Frame *> out;
    for (auto &f : d.frames)
        if (f.stream == stream)
            out.push_back(&f);
    return out;
}

TEST_F(Dissector, CleanSessionsDecodeMessageByMessage)
{
    Capture cap(work / "clean.pcapng");
    ASSERT_TRUE(cap.running()) << "dumpcap did not start capturing on lo:\n" << cap.log();
    {
        Device dev(root.path());
        list(dev);
        get(dev, "blocks.dat", false);
        get(dev, "pipe.dat", true);
    }
    {
        Device dev(root.path(), {"--split", "7"});
        list(dev);
        get(dev, "small.dat", false);
        get(dev, "small.dat", true);
    }
    {
        // Another port, decoded only when asked for (Decode As).
        Device dev(root.path(), {}, "192.168.255.1:16003");
        get(dev, "small.dat", false, {{"TAVIK_DEVICE", "192.168.255.1:16003"}});
    }
    ASSERT_TRUE(cap.stop()) << "dumpcap did not end cleanly:\n" << cap.log();
    for (auto &s : sessions)
        ASSERT_EQ(s.result.status, 0) << s.what << ": " << s.result.err;

    Decoded d = decode(work / "clean.pcapng", {"-d", "tcp.port==16003,tavik"});
    ASSERT_EQ(d.status, 0) << "tshark failed: did it load " << kScript
                           << "? (as root, it does only if its init.lua sets "
                           << "run_user_scripts_when_superuser = true)\n" << d.err;
    EXPECT_EQ(complaints(d.err), "") << "tshark complained";
    for (auto &f : d.frames) {
        EXPECT_FALSE(f.luaError) << "Lua error in frame " << f.number;
        EXPECT_FALSE(f.malformed) << "malformed mark in frame " << f.number;
    }
    // One connection a session, in the same order.
    auto ids = d.ids();
    ASSERT_EQ(ids.size(), sessions.size());
    for (size_t i = 0; i < ids.size(); i++)
        checkSession(sessions[i], d.streams[ids[i]]);

    // The capture did exercise what it is meant to: several messages in one
    // segment (pipelined), messages reassembled from segments (--split).
    size_t most = 0;
    for (auto *f : framesOf(d, ids[2]))
        most = std::max(most, f->messages.size());
    EXPECT_GE(most, 4u) << "the pipelined download never had replies share a segment";
    for (size_t s : {3, 4, 5}) {
        size_t reassembled = 0;
        for (auto *f : framesOf(d, ids[s]))
            reassembled += !f->messages.empty() && f->segments >= 2;
        EXPECT_GE(reassembled, sessions[s].requests.size())
            << sessions[s].what << ": replies were not reassembled from segments";
    }

    // Without Decode As the other port stays undecoded.
    Decoded plain = decode(work / "clean.pcapng");
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.streams.size(), sessions.size() - 1);
    EXPECT_EQ(plain.streams.count(ids[6]), 0u) << "port 16003 decoded without being asked";
}

// The frame that carries a connection's first reply.
const Frame *firstReply(const Decoded &d, long stream)
{
    for (auto *f : framesOf(d, stream))
        for (auto &m : f->messages)
            if (m.record.find("request") == std::string::npos)
                return f;
    return nullptr;
}

TEST_F(Dissector, MangledRepliesAreMarkedMalformed)
{
    Capture cap(work / "mangled.pcapng");
    ASSERT_TRUE(cap.running()) << "dumpcap did not start capturing on lo:\n" << cap.log();
    {
        // Reply 2 claims a size below the header's own.
        Device dev(root.path(), {"--mangle", "msgSize=12@2"});
        get(dev, "blocks.dat", false);
    }
    // Replies cut short, msgSize telling their true size: a record shorter
    // than its fixed part by far and by one byte, and one that is exactly
    // its fixed part (not malformed, though its data is missing).
    for (auto [op, cut] : {std::pair{"list", 100}, {"get", 259}, {"get", 260}}) {
        Device dev(root.path(), {"--mangle", "payload=" + std::to_string(cut) + "@1"});
        if (op == std::string("list"))
            list(dev);
        else
            get(dev, "blocks.dat", false);
    }
    ASSERT_TRUE(cap.stop()) << "dumpcap did not end cleanly:\n" << cap.log();
    for (auto &s : sessions)
        ASSERT_EQ(s.result.status, 1) << s.what << " did not notice the mangled reply";

    Decoded d = decode(work / "mangled.pcapng");
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(complaints(d.err), "") << "tshark complained";
    for (auto &f : d.frames)
        EXPECT_FALSE(f.luaError) << "Lua error in frame " << f.number;
    auto ids = d.ids();
    ASSERT_EQ(ids.size(), sessions.size());

    // Block session: request, good reply, request, then the mangled reply,
    // which alone carries the mark.
    std::vector<const Frame *> carrying;
    for (auto *f : framesOf(d, ids[0]))
        if (!f->messages.empty() || f->malformed)
            carrying.push_back(f);
    ASSERT_EQ(carrying.size(), 4u);
    EXPECT_FALSE(carrying[0]->malformed || carrying[1]->malformed || carrying[2]->malformed);
    ASSERT_EQ(carrying[1]->messages.size(), 1u);
    expectBlockReply(carrying[1]->messages[0], 0, (long)readfile(root / "blocks.dat").size(),
                     "good reply before the mangled one");
    EXPECT_TRUE(carrying[3]->malformed) << "msgSize 12 not marked, frame " << carrying[3]->number;
    ASSERT_FALSE(carrying[3]->messages.empty());
    EXPECT_EQ(carrying[3]->messages[0].msgsize, 12);

    const struct {
        const char *record;
        long msgsize;
        bool malformed;
    } cut[] = {{"List reply", 116, true}, {"Get reply", 275, true}, {"Get reply", 276, false}};
    for (size_t i = 0; i < 3; i++) {
        const Frame *f = firstReply(d, ids[i + 1]);
        ASSERT_NE(f, nullptr) << sessions[i + 1].what;
        ASSERT_EQ(f->messages.size(), 1u) << "frame " << f->number;
        EXPECT_EQ(f->messages[0].record, cut[i].record) << "frame " << f->number;
        EXPECT_EQ(f->messages[0].msgsize, cut[i].msgsize) << "frame " << f->number;
        EXPECT_EQ(f->malformed, cut[i].malformed) << cut[i].record << " of msgSize "
                                                  << cut[i].msgsize << ", frame " << f->number;
        for (auto *g : framesOf(d, ids[i + 1]))
            EXPECT_TRUE(g == f || !g->malformed) << "frame " << g->number;
    }
}

}  // namespace
