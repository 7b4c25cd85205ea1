#include "file_service.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void FileService::answer(const Request &request, OpenFiles &files,
                         std::vector<char> &reply) const
{
    if (request.kind == RequestKind::Get) {
        answerGet(request, files, reply);
    } else if (quirks_.ignoreOffset) {
        Request first = request;
        first.offset = 0;
        answerList(first, reply);
    } else {
        answerList(request, reply);
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

void FileService::answerList(const Request &request, std::vector<char> &reply) const
{
    appendListing(request, listDirectory(request), reply);
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

FileService::ListPage FileService::listDirectory(const Request &request) const
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
    DirHandle dir(fdopendir(fd));
    if (!dir) {
        close(fd);
        page.code = EKxFileTavikRet_DirNotReadable;
        return page;
    }
    std::vector<ListEntry> entries;
    if (!readEntries(dir.get(), relativeName(request.name), entries)) {
        page.code = EKxFileTavikRet_DirNotReadable;
        return page;
    }
    page.totalEntries = static_cast<u32>(entries.size());
    // Only the entries of the page wanted are examined, and the page ends
    // early rather than overflow the payload.
    for (size_t i = request.offset; i < entries.size() && page.entries < request.maxEntries; ++i) {
        std::string line = entryLine(dirfd(dir.get()), entries[i]);
        if (page.text.size() + line.size() > kMaxListText)
            break;
        page.text += line;
        ++page.entries;
    }
    return page;
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

bool FileService::readEntries(DIR *dir, const std::string &dirName,
                              std::vector<ListEntry> &entries) const
{
    int dirFd = dirfd(dir);
    errno = 0;
    while (dirent *found = readdir(dir)) {
        ListEntry entry;
        entry.name = found->d_name;
        if (entry.name != "." && entry.name != ".." &&
            (!mayBeLink(found->d_type) || examineLink(dirFd, dirName, entry)))
            entries.push_back(std::move(entry));
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
