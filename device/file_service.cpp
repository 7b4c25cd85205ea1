#include "file_service.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "beneath.h"
#include "util.h"

namespace device {

namespace {

// The listing text and its terminating zero share the payload with the
// fixed part of the reply.
constexpr size_t kMaxListText = kMaxPayload - KX_FILE_TAVIK_LIST_RESP_FIXED - 1;
// Open files kept per connection: a client reads one file at a time, and a
// thousand connections must not run out of descriptors.
constexpr size_t kOpenFilesKept = 2;
// Room one connection's listing snapshot may take (tens of thousands of
// entries); a larger directory is read again for every page.
constexpr size_t kMaxSnapshotBytes = size_t{1} << 20;
// A directory changed less than this long before it was read is not kept:
// its times tick by the kernel's clock tick, so a change made right after
// the reading could leave them as they were.
constexpr int64_t kSettledNanos = 50 * 1000 * 1000;

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Closes a descriptor on every way out of a function.
class FileHandle {
public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// The request's name goes back in the reply; bytes after its terminating
// zero are cleared rather than echoed.
void copyName(char (&field)[KX_FILE_TAVIK_NAME_LEN], const char *name)
{
    size_t length = strnlen(name, sizeof field - 1);
    std::memcpy(field, name, length);
    std::memset(field + length, 0, sizeof field - length);
}

template <class Record>
void appendRecord(std::vector<char> &reply, const Record &record, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(&record);
    reply.insert(reply.end(), bytes, bytes + size);
}

// True when `name` has a ".." component.  Resolution could not climb out of
// the root anyway, but such a name is refused outright, as a device would.
bool climbsUp(const char *name)
{
    const char *part = name;
    for (;;) {
        const char *end = std::strchr(part, '/');
        size_t length = end ? static_cast<size_t>(end - part) : std::strlen(part);
        if (length == 2 && part[0] == '.' && part[1] == '.')
            return true;
        if (!end)
            return false;
        part = end + 1;
    }
}

// Names are relative to the root whether or not they start with '/'.
const char *relativeName(const char *name)
{
    while (*name == '/')
        ++name;
    return name;
}

// A name as one listing line can carry it.  A control character (a newline
// would start a line of its own) becomes a backslash and three octal
// digits, and a backslash two backslashes, the way ls -b writes them.
std::string escapedName(const std::string &name)
{
    std::string out;
    for (char c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\%03o", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// True for a type readdir() gives that may be a symlink.
bool mayBeLink(unsigned char type)
{
    return type == DT_LNK || type == DT_UNKNOWN;
}

// One listing line: type, size and name.  A symlink is described by what it
// leads to, as readEntries() found it; an entry that cannot be examined
// shows as an empty file.  Anything else is looked at only now, for the
// page that shows it, and without following: should it have become a
// symlink since, the line describes the link itself.
std::string entryLine(int dirFd, ListEntry &entry)
{
    if (!entry.examined)
        entry.known = fstatat(dirFd, entry.name.c_str(), &entry.info, AT_SYMLINK_NOFOLLOW) == 0;
    bool isDir = entry.known && S_ISDIR(entry.info.st_mode);
    long long size = entry.known ? static_cast<long long>(entry.info.st_size) : 0;
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%c %10lld ", isDir ? 'd' : '-', size);
    std::string line = prefix;
    line += escapedName(entry.name);
    line += '\n';
    return line;
}

// One page of a listing: lines for the entries from the offset asked for,
// as many as asked for and fit in one payload, each examined only now.
// `entryAt(i)` gives entry i, or nothing when the page cannot be made that
// way after all.
template <class EntryAt>
bool fillPage(const Request &request, size_t total, int dirFd, u32 &entries, std::string &text,
              EntryAt entryAt)
{
    for (size_t i = request.offset; i < total && entries < request.maxEntries; ++i) {
        ListEntry *entry = entryAt(i);
        if (!entry)
            return false;
        std::string line = entryLine(dirFd, *entry);
        if (text.size() + line.size() > kMaxListText)
            break;
        text += line;
        ++entries;
    }
    return true;
}

bool sameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The stamp of the directory open as `fd`, and whether it has stood still
// long enough for a snapshot of it to be trusted.
std::optional<DirStamp> stampOf(int fd, bool &settled)
{
    timespec now;
    struct stat info;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || fstat(fd, &info) != 0)
        return std::nullopt;
    int64_t age = (static_cast<int64_t>(now.tv_sec) - info.st_ctim.tv_sec) * 1000000000 +
                  (now.tv_nsec - info.st_ctim.tv_nsec);
    settled = age >= kSettledNanos;
    return DirStamp{info.st_dev, info.st_ino, info.st_mtim, info.st_ctim};
}

// What a reading found, kept for the later pages; nothing when it would
// take more room than a connection is allowed.
std::optional<DirSnapshot> snapshotOf(const char *dir, const DirStamp &stamp,
                                      const std::vector<ListEntry> &entries,
                                      std::vector<std::string> &linksOut)
{
    size_t names = 0, bytes = entries.size() * sizeof(DirSnapshot::Entry);
    for (const ListEntry &entry : entries)
        names += entry.name.size();
    for (const std::string &name : linksOut)
        bytes += sizeof name + name.size();
    if (names + bytes > kMaxSnapshotBytes)
        return std::nullopt;
    DirSnapshot snapshot{dir, stamp, {}, {}, std::move(linksOut)};
    snapshot.names.reserve(names);
    snapshot.entries.reserve(entries.size());
    for (const ListEntry &entry : entries) {
        bool relook = entry.examined && (entry.link || !entry.known);
        snapshot.entries.push_back(DirSnapshot::Entry{static_cast<uint32_t>(snapshot.names.size()),
                                                      static_cast<uint16_t>(entry.name.size()),
                                                      relook});
        snapshot.names += entry.name;
    }
    return snapshot;
}

// pread() until `size` bytes are in or the file ends; -1 on a read error.
ssize_t readFully(int fd, char *data, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace

bool DirStamp::operator==(const DirStamp &other) const
{
    return device == other.device && inode == other.inode && sameTime(modified, other.modified) &&
           sameTime(changed, other.changed);
}

const DirSnapshot *Listings::find(const char *dir, const DirStamp &stamp) const
{
    return current_ && current_->dir == dir && current_->stamp == stamp ? &*current_ : nullptr;
}

OpenFiles::~OpenFiles()
{
    for (const OpenFile &file : files_)
        close(file.fd);
}

OpenFile *OpenFiles::find(const char *name)
{
    for (OpenFile &file : files_)
        if (file.name == name)
            return &file;
    return nullptr;
}

OpenFile &OpenFiles::keep(const char *name, int fd, off_t size)
{
    if (files_.size() >= kOpenFilesKept) {
        close(files_.front().fd);
        files_.erase(files_.begin());
    }
    files_.push_back(OpenFile{name, fd, size});
    return files_.back();
}

FileService::FileService(std::string root, size_t blockSize, ListingQuirks quirks)
    : root_(std::move(root)), blockSize_(blockSize), quirks_(quirks)
{
    rootFd_ = ::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

FileService::~FileService()
{
    if (rootFd_ >= 0)
        close(rootFd_);
}

void FileService::answer(const Request &request, OpenFiles &files, Listings &listings,
                         std::vector<char> &reply) const
{
    if (request.kind == RequestKind::Get) {
        answerGet(request, files, reply);
    } else if (quirks_.ignoreOffset) {
        Request first = request;
        first.offset = 0;
        answerList(first, listings, reply);
    } else {
        answerList(request, listings, reply);
    }
}

void FileService::refuse(const Request &request, i32 code, std::vector<char> &reply) const
{
    if (request.kind == RequestKind::List) {
        ListPage page;
        page.code = code;
        appendListing(request, page, reply);
        return;
    }
    BlockInfo block;
    block.code = code;
    size_t fixedAt = reply.size();
    reply.resize(fixedAt + KX_FILE_TAVIK_GET_RESP_FIXED);
    fillGetRecord(request, block, reply.data() + fixedAt);
}

void FileService::answerList(const Request &request, Listings &listings,
                             std::vector<char> &reply) const
{
    appendListing(request, listDirectory(request, listings), reply);
}

void FileService::appendListing(const Request &request, const ListPage &page,
                                std::vector<char> &reply) const
{
    SKxFileTavikListResp fixed;
    std::memset(&fixed, 0, sizeof fixed);
    copyName(fixed.destVolumeName, request.name);
    fixed.returnCode = static_cast<i32>(hostle32(static_cast<u32>(page.code)));
    fixed.totalEntries = hostle32(page.totalEntries);
    fixed.offset = hostle32(request.offset);
    fixed.entries = hostle32(page.entries);
    appendRecord(reply, fixed, KX_FILE_TAVIK_LIST_RESP_FIXED);
    reply.insert(reply.end(), page.text.begin(), page.text.end());
    if (!quirks_.noZero)
        reply.push_back('\0');
}

void FileService::answerGet(const Request &request, OpenFiles &files,
                            std::vector<char> &reply) const
{
    // The data is read straight behind the fixed part, which is filled in
    // once the outcome is known.
    size_t fixedAt = reply.size();
    reply.resize(fixedAt + KX_FILE_TAVIK_GET_RESP_FIXED);
    BlockInfo block = readBlock(request, files, reply);
    fillGetRecord(request, block, reply.data() + fixedAt);
}

void FileService::fillGetRecord(const Request &request, const BlockInfo &block, char *at)
{
    SKxFileTavikGetResp fixed;
    std::memset(&fixed, 0, sizeof fixed);
    copyName(fixed.filename, request.name);
    fixed.returnCode = static_cast<i32>(hostle32(static_cast<u32>(block.code)));
    fixed.filesize = static_cast<i32>(hostle32(static_cast<u32>(block.filesize)));
    fixed.offset = static_cast<i32>(hostle32(request.offset));
    fixed.last = hostle32(block.last);
    fixed.length = static_cast<i32>(hostle32(static_cast<u32>(block.length)));
    std::memcpy(at, &fixed, KX_FILE_TAVIK_GET_RESP_FIXED);
}

FileService::ListPage FileService::listDirectory(const Request &request, Listings &listings) const
{
    ListPage page;
    int fd = -1;
    switch (openUnder(request.name, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC, fd)) {
    case Lookup::Outside:
        page.code = EKxFileTavikRet_AccessViolation;
        return page;
    case Lookup::Missing:
        page.code = EKxFileTavikRet_DirNotFound;
        return page;
    case Lookup::Unreadable:
        page.code = EKxFileTavikRet_DirNotReadable;
        return page;
    case Lookup::Found:
        break;
    }
    FileHandle handle(fd);
    std::string dirName = relativeName(request.name);
    // Stamped before the entries are read, so that a change while they
    // are read shows as well.  The first page is always read afresh.
    bool settled = false;
    std::optional<DirStamp> stamp = stampOf(fd, settled);
    if (request.offset != 0 && stamp) {
        if (const DirSnapshot *snapshot = listings.find(request.name, *stamp)) {
            if (pageFromSnapshot(*snapshot, fd, dirName, request, page))
                return page;
            page = ListPage{};
        }
    }
    listings.clear();
    DirHandle dir(fdopendir(fd));
    if (!dir) {
        page.code = EKxFileTavikRet_DirNotReadable;
        return page;
    }
    handle.release();
    std::vector<ListEntry> entries;
    std::vector<std::string> linksOut;
    if (!readEntries(dir.get(), dirName, entries, linksOut)) {
        page.code = EKxFileTavikRet_DirNotReadable;
        return page;
    }
    page.totalEntries = static_cast<u32>(entries.size());
    fillPage(request, entries.size(), fd, page.entries, page.text,
             [&entries](size_t i) { return &entries[i]; });
    std::optional<DirSnapshot> snapshot;
    if (stamp && settled)
        snapshot = snapshotOf(request.name, *stamp, entries, linksOut);
    if (snapshot)
        listings.keep(std::move(*snapshot));
    return page;
}

bool FileService::pageFromSnapshot(const DirSnapshot &snapshot, int dirFd,
                                   const std::string &dirName, const Request &request,
                                   ListPage &page) const
{
    // Where a symlink leads can change with no change to this directory,
    // and a link that now leads out, or back in, would change the count a
    // reading finds: every link is looked at again, and a different
    // verdict makes the page from a reading after all.
    ListEntry entry;
    auto relook = [&](const std::string &name) {
        entry = ListEntry{};
        entry.name = name;
        return examineLink(dirFd, dirName, entry);
    };
    for (const std::string &name : snapshot.linksOut)
        if (relook(name))
            return false;
    for (const DirSnapshot::Entry &known : snapshot.entries)
        if (known.relook && !relook(snapshot.nameOf(known)))
            return false;
    page.totalEntries = static_cast<u32>(snapshot.entries.size());
    return fillPage(request, snapshot.entries.size(), dirFd, page.entries, page.text,
                    [&](size_t i) -> ListEntry * {
                        const DirSnapshot::Entry &known = snapshot.entries[i];
                        if (known.relook)
                            return relook(snapshot.nameOf(known)) ? &entry : nullptr;
                        entry = ListEntry{};
                        entry.name = snapshot.nameOf(known);
                        return &entry;
                    });
}

FileService::BlockInfo FileService::readBlock(const Request &request, OpenFiles &files,
                                              std::vector<char> &reply) const
{
    BlockInfo block;
    OpenFile *file = files.find(request.name);
    block.code = file ? checkSize(request, files, *file) : openFile(request.name, files, file);
    if (block.code != EKxFileTavikRet_Ok)
        return block;
    block.filesize = static_cast<i32>(file->size);
    if (static_cast<off_t>(request.offset) > file->size) {
        block.code = EKxFileTavikRet_OutOfRange;
        return block;
    }
    size_t wanted = std::min(blockSize_, static_cast<size_t>(file->size - request.offset));
    size_t dataAt = reply.size();
    reply.resize(dataAt + wanted);
    ssize_t got = readFully(file->fd, reply.data() + dataAt, wanted, request.offset);
    if (got < 0) {
        reply.resize(dataAt);
        block.code = EKxFileTavikRet_FileNotReadable;
        return block;
    }
    reply.resize(dataAt + static_cast<size_t>(got));
    // A short read means the file shrank since its size was taken: look
    // again, as the offset may now lie beyond the end.
    if (static_cast<size_t>(got) < wanted) {
        struct stat info;
        file->size = fstat(file->fd, &info) == 0 ? info.st_size : request.offset + got;
        if (file->size > INT32_MAX) {
            reply.resize(dataAt);
            block.code = tooLarge(request.name, files, file->size);
            return block;
        }
        block.filesize = static_cast<i32>(file->size);
        if (static_cast<off_t>(request.offset) > file->size) {
            reply.resize(dataAt);
            block.code = EKxFileTavikRet_OutOfRange;
            return block;
        }
    }
    block.length = static_cast<i32>(got);
    block.last = static_cast<off_t>(request.offset) + got == file->size ? 1 : 0;
    return block;
}

i32 FileService::checkSize(const Request &request, const OpenFiles &files, OpenFile &file) const
{
    // The known size is good enough in the middle of the file.  Wherever it
    // decides something (the last block, OutOfRange) it is taken afresh, so
    // a file that grew is read to its new end.
    if (static_cast<off_t>(request.offset) + static_cast<off_t>(blockSize_) < file.size)
        return EKxFileTavikRet_Ok;
    struct stat info;
    if (fstat(file.fd, &info) != 0)
        return EKxFileTavikRet_FileNotReadable;
    if (info.st_size > INT32_MAX)
        return tooLarge(request.name, files, info.st_size);
    file.size = info.st_size;
    return EKxFileTavikRet_Ok;
}

i32 FileService::tooLarge(const char *name, const OpenFiles &files, off_t size)
{
    // filesize and offset are signed 32-bit fields of the block reply: a
    // file of 2 GiB or more cannot be described, and its size would wrap
    // negative.  Always logged, as the client sees only FileNotReadable.
    logLine("conn %llu get '%s' refused with FileNotReadable: its %lld bytes are too large for "
            "the protocol's 32-bit sizes",
            static_cast<unsigned long long>(files.connection()), printable(name).c_str(),
            static_cast<long long>(size));
    return EKxFileTavikRet_FileNotReadable;
}

i32 FileService::openFile(const char *name, OpenFiles &files, OpenFile *&file) const
{
    int fd = -1;
    // O_NONBLOCK so that a FIFO under the root cannot block the device.
    switch (openUnder(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC, fd)) {
    case Lookup::Outside:
        return EKxFileTavikRet_AccessViolation;
    case Lookup::Missing:
        return EKxFileTavikRet_FileNotFound;
    case Lookup::Unreadable:
        return EKxFileTavikRet_FileNotReadable;
    case Lookup::Found:
        break;
    }
    FileHandle handle(fd);
    struct stat info;
    if (fstat(handle.get(), &info) != 0)
        return EKxFileTavikRet_FileNotReadable;
    if (S_ISDIR(info.st_mode))
        return EKxFileTavikRet_FileNotFound;
    if (!S_ISREG(info.st_mode))
        return EKxFileTavikRet_FileNotReadable;
    if (info.st_size > INT32_MAX)
        return tooLarge(name, files, info.st_size);
    file = &files.keep(name, handle.release(), info.st_size);
    return EKxFileTavikRet_Ok;
}

FileService::Lookup FileService::openUnder(const char *name, int flags, int &fd) const
{
    name = relativeName(name);
    fd = -1;
    if (climbsUp(name))
        return Lookup::Outside;
    fd = openBeneath(rootFd_, name, flags);
    if (fd >= 0)
        return Lookup::Found;
    switch (errno) {
    case EXDEV:  // a symlink leads out of the root
        return Lookup::Outside;
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return Lookup::Missing;
    default:  // EACCES, and descriptors running out
        return Lookup::Unreadable;
    }
}

bool FileService::readEntries(DIR *dir, const std::string &dirName, std::vector<ListEntry> &entries,
                              std::vector<std::string> &linksOut) const
{
    int dirFd = dirfd(dir);
    errno = 0;
    while (dirent *found = readdir(dir)) {
        ListEntry entry;
        entry.name = found->d_name;
        if (entry.name != "." && entry.name != "..") {
            if (!mayBeLink(found->d_type) || examineLink(dirFd, dirName, entry))
                entries.push_back(std::move(entry));
            else
                linksOut.push_back(std::move(entry.name));
        }
        errno = 0;
    }
    if (errno != 0)
        return false;
    // std::string compares as unsigned bytes: the order is bytewise.
    std::sort(entries.begin(), entries.end(),
              [](const ListEntry &a, const ListEntry &b) { return a.name < b.name; });
    return true;
}

bool FileService::examineLink(int dirFd, const std::string &dirName, ListEntry &entry) const
{
    entry.examined = true;
    entry.known = fstatat(dirFd, entry.name.c_str(), &entry.info, AT_SYMLINK_NOFOLLOW) == 0;
    if (!entry.known || !S_ISLNK(entry.info.st_mode))
        return true;
    entry.link = true;
    // Followed and examined in one step that cannot leave the root, so that
    // a link swapped meanwhile shows nothing from outside either.
    std::string path = dirName.empty() ? entry.name : dirName + "/" + entry.name;
    int fd = openBeneath(rootFd_, path, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return errno != EXDEV;  // a dangling link is described as itself
    struct stat target;
    if (fstat(fd, &target) == 0)
        entry.info = target;
    close(fd);
    return true;
}

}  // namespace device
