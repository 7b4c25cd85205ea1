// The wire format as the device sees it: finding whole requests in the
// received bytes, decoding them, and the header of every reply.
#ifndef TAVIK_DEVICE_PROTOCOL_H
#define TAVIK_DEVICE_PROTOCOL_H

#include <cstddef>
#include <string>
#include <vector>

#include "tavik.h"

namespace device {

constexpr size_t kHeaderSize = KX_SYSCOM_HEADER_SIZE;
// msgSize is 16 bits and counts the header, which bounds every payload.
constexpr size_t kMaxPayload = 0xFFFF - kHeaderSize;
constexpr size_t kListRequestSize = kHeaderSize + KX_FILE_TAVIK_LIST_REQ_SIZE;
constexpr size_t kGetRequestSize = kHeaderSize + KX_FILE_TAVIK_GET_REQ_SIZE;
constexpr size_t kMaxRequestSize = kListRequestSize;
// The largest block whose reply still fits one message.
constexpr size_t kMaxBlockSize = kMaxPayload - KX_FILE_TAVIK_GET_RESP_FIXED;

enum class RequestKind { List, Get };

// A decoded request, integers in host order.  `name` points into the
// receive buffer: valid only while the request is being handled.
struct Request {
    RequestKind kind;
    u16 msgId;
    u32 target;
    u32 sender;
    const char *name;  // zero-terminated within its field
    u32 offset;
    u32 maxEntries;    // listings only
};

// What the front of the receive buffer holds.
struct Frame {
    enum Status { Incomplete, Complete, Malformed };
    Status status;
    size_t size;        // bytes of the complete request
    std::string error;  // why it is malformed
};

// Looks at the header at the front of `data` and tells whether a whole,
// well-framed request is there.  The header alone decides malformed framing,
// so a bad request is refused before its body arrives.
Frame checkFrame(const char *data, size_t available);

// Decodes a complete frame; false with `error` set for a malformed body.
bool parseRequest(const char *frame, Request &request, std::string &error);

// Starts `reply` (cleared first) with the header answering `request`;
// finishReply() fills in msgSize once the payload is appended.
void beginReply(std::vector<char> &reply, const Request &request);
void finishReply(std::vector<char> &reply);

// Where the header's msgSize sits, for the faults that rewrite it.
constexpr size_t kMsgSizeAt = offsetof(SInternalMsgHeader, msgSize);

// A field of a reply message, by its place in the bytes: the one table both
// --mangle and chaos take their field names from.  Header fields are
// big-endian, payload fields little-endian, as on the wire.
struct ReplyField {
    const char *name;
    size_t at;
    size_t width;  // 2 or 4 bytes
    bool bigEndian;
    bool inList;   // listing replies have it
    bool inGet;    // block replies have it
};

// Every field a reply of `kind` has: the header's, then its record's.
std::vector<const ReplyField *> replyFields(RequestKind kind);
// The field called `name` in a reply of `kind`; nullptr when it has none.
const ReplyField *findReplyField(const std::string &name, RequestKind kind);
// The field called `name` in either kind of reply; nullptr when none has it.
const ReplyField *findReplyField(const std::string &name);

}  // namespace device

#endif
