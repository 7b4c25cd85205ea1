// The device's file service: directory listings and file blocks, both taken
// from the files under one root directory and never from outside it.
#ifndef TAVIK_DEVICE_FILE_SERVICE_H
#define TAVIK_DEVICE_FILE_SERVICE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "protocol.h"

namespace device {

// A file kept open for a connection, with its size as last looked at.
struct OpenFile {
    std::string name;  // as the client asked for it
    int fd;
    off_t size;
};

// Files a connection has read from lately, kept open so that a download
// costs no path lookup, no open() and mostly no fstat() per block.  A name
// is resolved beneath the root when its file is first opened; the
// descriptor then stays valid even if the path changes, which is fine for
// the length of one client run (one connection).
class OpenFiles {
public:
    // `connection` is the number of the connection they are for, for the log.
    explicit OpenFiles(uint64_t connection) : connection_(connection) {}
    ~OpenFiles();
    OpenFiles(const OpenFiles &) = delete;
    OpenFiles &operator=(const OpenFiles &) = delete;

    OpenFile *find(const char *name);  // nullptr when not open
    OpenFile &keep(const char *name, int fd, off_t size);  // takes `fd` over
    uint64_t connection() const { return connection_; }

private:
    uint64_t connection_;
    std::vector<OpenFile> files_;  // oldest first
};

// How listings differ from the usual, to stand in for other devices.
struct ListingQuirks {
    bool noZero = false;        // the text goes without its terminating zero
    bool ignoreOffset = false;  // every page is the first
};

// A directory entry as a listing describes it.
struct ListEntry {
    std::string name;
    bool examined = false;  // `known` and `info` are filled in
    bool known = false;     // `info` says what it is
    bool link = false;      // a symlink, and `info` describes where it leads
    struct stat info;
};

// A directory as it was when its entries were read: any change to them
// moves its change time, and a directory put in its place has another
// inode.
struct DirStamp {
    dev_t device = 0;
    ino_t inode = 0;
    timespec modified{}, changed{};
    bool operator==(const DirStamp &other) const;
};

// The entries of a directory as one reading found them, in listing order,
// kept for the later pages of the same listing: a client pages through a
// large directory a hundred entries at a time, and reading all of it again
// for each page costs as much as the whole listing every time.
struct DirSnapshot {
    struct Entry {
        uint32_t at;  // its name in `names`
        uint16_t length;
        bool relook;  // a symlink, or not examined: looked at for every page
    };
    std::string dir;  // the name the client asked for
    DirStamp stamp;
    std::string names;  // every entry's name, back to back
    std::vector<Entry> entries;
    std::vector<std::string> linksOut;  // left out, as they led out of the root

    std::string nameOf(const Entry &entry) const { return names.substr(entry.at, entry.length); }
};

// The listing a connection is paging through, if it is worth keeping.
class Listings {
public:
    const DirSnapshot *find(const char *dir, const DirStamp &stamp) const;
    void keep(DirSnapshot &&snapshot) { current_ = std::move(snapshot); }
    void clear() { current_.reset(); }

private:
    std::optional<DirSnapshot> current_;
};

class FileService {
public:
    // `root` is opened once; every name is then resolved beneath that
    // descriptor, in the same step as it is opened.
    FileService(std::string root, size_t blockSize, ListingQuirks quirks = {});
    ~FileService();
    FileService(const FileService &) = delete;
    FileService &operator=(const FileService &) = delete;

    // Appends the payload answering `request` to `reply`, which already
    // holds the reply header.  `files` and `listings` are those of the
    // asking connection.
    void answer(const Request &request, OpenFiles &files, Listings &listings,
                std::vector<char> &reply) const;
    // Appends the payload of a reply that refuses `request` with `code`:
    // the record of its kind, with no entries or data.
    void refuse(const Request &request, i32 code, std::vector<char> &reply) const;

private:
    enum class Lookup { Found, Outside, Missing, Unreadable };

    // One page of a listing and its outcome.
    struct ListPage {
        i32 code = EKxFileTavikRet_Ok;
        u32 totalEntries = 0;
        u32 entries = 0;
        std::string text;
    };

    // The fields of a block reply besides the data itself.
    struct BlockInfo {
        i32 code = EKxFileTavikRet_Ok;
        i32 filesize = 0;
        u32 last = 0;
        i32 length = 0;
    };

    void answerList(const Request &request, Listings &listings, std::vector<char> &reply) const;
    void answerGet(const Request &request, OpenFiles &files, std::vector<char> &reply) const;
    void appendListing(const Request &request, const ListPage &page,
                       std::vector<char> &reply) const;
    static void fillGetRecord(const Request &request, const BlockInfo &block, char *at);
    ListPage listDirectory(const Request &request, Listings &listings) const;
    bool pageFromSnapshot(const DirSnapshot &snapshot, int dirFd, const std::string &dirName,
                          const Request &request, ListPage &page) const;
    BlockInfo readBlock(const Request &request, OpenFiles &files, std::vector<char> &reply) const;
    i32 openFile(const char *name, OpenFiles &files, OpenFile *&file) const;
    i32 checkSize(const Request &request, const OpenFiles &files, OpenFile &file) const;
    static i32 tooLarge(const char *name, const OpenFiles &files, off_t size);
    Lookup openUnder(const char *name, int flags, int &fd) const;
    bool readEntries(DIR *dir, const std::string &dirName, std::vector<ListEntry> &entries,
                     std::vector<std::string> &linksOut) const;
    bool examineLink(int dirFd, const std::string &dirName, ListEntry &entry) const;

    std::string root_;
    int rootFd_;
    size_t blockSize_;
    ListingQuirks quirks_;
};

}  // namespace device

#endif
