#include "protocol.h"

#include <cstdio>
#include <cstring>

#include "util.h"

namespace device {

namespace {

// Each request id has exactly one valid size; 0 for an id we do not serve.
size_t expectedSize(u16 msgId)
{
    switch (msgId) {
    case KX_FILE_TAVIK_LIST_REQ_MSG:
        return kListRequestSize;
    case KX_FILE_TAVIK_GET_REQ_MSG:
        return kGetRequestSize;
    default:
        return 0;
    }
}

Frame malformed(const char *format, unsigned a, unsigned b = 0, unsigned c = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, format, a, b, c);
    return Frame{Frame::Malformed, 0, text};
}

}  // namespace

Frame checkFrame(const char *data, size_t available)
{
    if (available < kHeaderSize)
        return Frame{Frame::Incomplete, 0, {}};
    u16 msgId = loadBe16(data + offsetof(SInternalMsgHeader, msgId));
    size_t size = loadBe16(data + kMsgSizeAt);
    if (size < kHeaderSize)
        return malformed("msgSize %u is below the header size", static_cast<unsigned>(size));
    size_t expected = expectedSize(msgId);
    if (expected == 0)
        return malformed("unknown message id 0x%04x (msgSize %u)", msgId,
                         static_cast<unsigned>(size));
    if (size != expected)
        return malformed("msgSize %u does not match id 0x%04x (expected %u)",
                         static_cast<unsigned>(size), msgId, static_cast<unsigned>(expected));
    if (available < size)
        return Frame{Frame::Incomplete, 0, {}};
    return Frame{Frame::Complete, size, {}};
}

bool parseRequest(const char *frame, Request &request, std::string &error)
{
    const char *payload = frame + kHeaderSize;
    // Both request records start with the name; an unterminated one would
    // make us read past it, so the request is refused.
    if (!std::memchr(payload, 0, KX_FILE_TAVIK_NAME_LEN)) {
        error = "name without a terminating zero";
        return false;
    }
    request.msgId = loadBe16(frame + offsetof(SInternalMsgHeader, msgId));
    request.target = loadBe32(frame + offsetof(SInternalMsgHeader, target));
    request.sender = loadBe32(frame + offsetof(SInternalMsgHeader, sender));
    request.name = payload;
    if (request.msgId == KX_FILE_TAVIK_LIST_REQ_MSG) {
        request.kind = RequestKind::List;
        request.offset = loadBe32(payload + offsetof(SKxFileTavikListReq, offset));
        request.maxEntries = loadBe32(payload + offsetof(SKxFileTavikListReq, maxEntries));
    } else {
        request.kind = RequestKind::Get;
        request.offset = loadBe32(payload + offsetof(SKxFileTavikGetReq, offset));
        request.maxEntries = 0;
    }
    return true;
}

namespace {

// A reply's record starts right behind the header.
constexpr size_t kRecordAt = kHeaderSize;

const ReplyField kReplyFields[] = {
    {"reserved", offsetof(SInternalMsgHeader, reserved), 2, true, true, true},
    {"msgId", offsetof(SInternalMsgHeader, msgId), 2, true, true, true},
    {"target", offsetof(SInternalMsgHeader, target), 4, true, true, true},
    {"sender", offsetof(SInternalMsgHeader, sender), 4, true, true, true},
    {"msgSize", offsetof(SInternalMsgHeader, msgSize), 2, true, true, true},
    {"flags", offsetof(SInternalMsgHeader, flags), 2, true, true, true},
    {"returnCode", kRecordAt + offsetof(SKxFileTavikGetResp, returnCode), 4, false, false, true},
    {"filesize", kRecordAt + offsetof(SKxFileTavikGetResp, filesize), 4, false, false, true},
    {"offset", kRecordAt + offsetof(SKxFileTavikGetResp, offset), 4, false, false, true},
    {"last", kRecordAt + offsetof(SKxFileTavikGetResp, last), 4, false, false, true},
    {"length", kRecordAt + offsetof(SKxFileTavikGetResp, length), 4, false, false, true},
    {"returnCode", kRecordAt + offsetof(SKxFileTavikListResp, returnCode), 4, false, true, false},
    {"totalEntries", kRecordAt + offsetof(SKxFileTavikListResp, totalEntries), 4, false, true, false},
    {"offset", kRecordAt + offsetof(SKxFileTavikListResp, offset), 4, false, true, false},
    {"entries", kRecordAt + offsetof(SKxFileTavikListResp, entries), 4, false, true, false},
};

}  // namespace

std::vector<const ReplyField *> replyFields(RequestKind kind)
{
    std::vector<const ReplyField *> fields;
    for (const ReplyField &field : kReplyFields)
        if (kind == RequestKind::List ? field.inList : field.inGet)
            fields.push_back(&field);
    return fields;
}

const ReplyField *findReplyField(const std::string &name, RequestKind kind)
{
    for (const ReplyField *field : replyFields(kind))
        if (name == field->name)
            return field;
    return nullptr;
}

const ReplyField *findReplyField(const std::string &name)
{
    for (const ReplyField &field : kReplyFields)
        if (name == field.name)
            return &field;
    return nullptr;
}

void beginReply(std::vector<char> &reply, const Request &request)
{
    // The reply goes back where the request came from: target and sender
    // swap places.  reserved and flags stay 0.
    SInternalMsgHeader header;
    std::memset(&header, 0, sizeof header);
    header.sender = hostbe32(request.target);
    prepheader(&header, request.msgId + 1u, request.sender, 0, 0);
    reply.resize(sizeof header);
    std::memcpy(reply.data(), &header, sizeof header);
}

void finishReply(std::vector<char> &reply)
{
    storeBe16(reply.data() + kMsgSizeAt, static_cast<u32>(reply.size()));
}

}  // namespace device
