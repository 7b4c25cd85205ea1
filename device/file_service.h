// The device's file service: directory listings and file blocks, both taken
// from the files under one root directory and never from outside it.
#ifndef TAVIK_DEVICE_FILE_SERVICE_H
#define TAVIK_DEVICE_FILE_SERVICE_H

#include <string>
#include <vector>

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
// is checked against the root when its file is first opened; the descriptor
// then stays valid even if the path changes, which is fine for the length
// of one client run (one connection).
class OpenFiles {
public:
    OpenFiles() = default;
    ~OpenFiles();
    OpenFiles(const OpenFiles &) = delete;
    OpenFiles &operator=(const OpenFiles &) = delete;

    OpenFile *find(const char *name);  // nullptr when not open
    OpenFile &keep(const char *name, int fd, off_t size);  // takes `fd` over

private:
    std::vector<OpenFile> files_;  // oldest first
};

// How listings differ from the usual, to stand in for other devices.
struct ListingQuirks {
    bool noZero = false;        // the text goes without its terminating zero
    bool ignoreOffset = false;  // every page is the first
};

class FileService {
public:
    // `root` must be absolute and free of symlinks (as realpath() gives it),
    // since every resolved name is checked against it by prefix.
    FileService(std::string root, size_t blockSize, ListingQuirks quirks = {});

    // Appends the payload answering `request` to `reply`, which already
    // holds the reply header.  `files` are those of the asking connection.
    void answer(const Request &request, OpenFiles &files, std::vector<char> &reply) const;
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

    void answerList(const Request &request, std::vector<char> &reply) const;
    void answerGet(const Request &request, OpenFiles &files, std::vector<char> &reply) const;
    void appendListing(const Request &request, const ListPage &page,
                       std::vector<char> &reply) const;
    static void fillGetRecord(const Request &request, const BlockInfo &block, char *at);
    ListPage listDirectory(const Request &request) const;
    BlockInfo readBlock(const Request &request, OpenFiles &files, std::vector<char> &reply) const;
    i32 openFile(const char *name, OpenFiles &files, OpenFile *&file) const;
    i32 checkSize(const Request &request, OpenFile &file) const;
    Lookup resolve(const char *name, std::string &path) const;
    bool insideRoot(const std::string &path) const;

    std::string root_;
    size_t blockSize_;
    ListingQuirks quirks_;
};

}  // namespace device

#endif
