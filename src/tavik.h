// The wire, as the client and the stand-in device both speak it: byte
// order, header assembly, the payload size of a received header, the
// decoding of replies, and the interface headers of the device.
#ifndef TAVIK_H
#define TAVIK_H

#include <stddef.h>
#include <string.h>

#include "glo_def.h"
#include "IfKxSysCom.h"
#include "IfKxFileTavik.h"

#define MSGBUF_SIZE 102400      // reqbuf
#define MAX_PAYLOAD 102383      // largest payload a reading procedure takes

static inline u16 swap16(u32 a)
{
    return (u16)(((a & 0xFF) << 8) | ((a >> 8) & 0xFF));
}

static inline u32 swap32(u32 a)
{
    return (a >> 24) | ((a >> 8) & 0xFF00) | ((a << 8) & 0xFF0000) | (a << 24);
}

// Host to big-endian and back.  The wire is big-endian for headers and
// request payloads, little-endian for reply payloads.
static inline u16 hostbe16(u32 a)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return swap16(a);
#else
    return (u16)a;
#endif
}

static inline u32 hostbe32(u32 a)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return swap32(a);
#else
    return a;
#endif
}

static inline u32 hostle32(u32 a)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return a;
#else
    return swap32(a);
#endif
}

// A little-endian reply field as a host integer.
static inline i32 le32(u32 a)
{
    return (i32)hostle32(a);
}

// Stores msgId, target, msgSize and flags big-endian (low 16 bits of the
// integers); reserved and sender keep what they hold.
static inline void prepheader(void *msg, u32 msgId, TKxSysComZelad target, u32 msgSize, u32 flags)
{
    SInternalMsgHeader h;
    memcpy(&h, msg, sizeof h);
    h.msgId = hostbe16(msgId);
    h.target = hostbe32(target);
    h.msgSize = hostbe16(msgSize);
    h.flags = hostbe16(flags);
    memcpy(msg, &h, sizeof h);
}

// Payload length of a received header: msgSize - 16, negative when the
// header claims less than itself.
static inline int getsize(const void *msg)
{
    SInternalMsgHeader h;
    memcpy(&h, msg, sizeof h);
    return (int)hostbe16(h.msgSize) - KX_SYSCOM_HEADER_SIZE;
}

// A block reply, decoded once: its fields in host order, and where its
// data lies (in the buffer the reply was read into).
struct getreply {
    const char *filename;  // its name field, not always filled, not always terminated
    u16 msgId;
    i32 returnCode;
    i32 filesize;
    i32 offset;
    u32 last;
    i32 length;
    int carried;       // data bytes the payload holds behind the fixed part
    const u8 *data;
};

// A listing reply, decoded once.
struct listreply {
    u16 msgId;
    i32 returnCode;
    u32 totalEntries;
    u32 offset;
    i32 entries;
    const char *listing;
    size_t textlen;    // to the text's first zero, or to the end of the payload
};

static inline i32 lefield(const u8 *payload, size_t at)
{
    u32 v;
    memcpy(&v, payload + at, sizeof v);
    return le32(v);
}

static inline u16 msgidof(const u8 *msg)
{
    SInternalMsgHeader h;
    memcpy(&h, msg, sizeof h);
    return hostbe16(h.msgId);
}

// msg is a whole reply whose payload of paylen bytes holds at least the
// fixed part of a block reply.
static inline void decodeget(const u8 *msg, int paylen, struct getreply *r)
{
    const u8 *p = msg + KX_SYSCOM_HEADER_SIZE;
    r->filename = (const char *)p + offsetof(SKxFileTavikGetResp, filename);
    r->msgId = msgidof(msg);
    r->returnCode = lefield(p, offsetof(SKxFileTavikGetResp, returnCode));
    r->filesize = lefield(p, offsetof(SKxFileTavikGetResp, filesize));
    r->offset = lefield(p, offsetof(SKxFileTavikGetResp, offset));
    r->last = (u32)lefield(p, offsetof(SKxFileTavikGetResp, last));
    r->length = lefield(p, offsetof(SKxFileTavikGetResp, length));
    r->carried = paylen - KX_FILE_TAVIK_GET_RESP_FIXED;
    r->data = p + KX_FILE_TAVIK_GET_RESP_FIXED;
}

// The same for a listing reply of at least its fixed part.
static inline void decodelist(const u8 *msg, int paylen, struct listreply *r)
{
    const u8 *p = msg + KX_SYSCOM_HEADER_SIZE;
    r->msgId = msgidof(msg);
    r->returnCode = lefield(p, offsetof(SKxFileTavikListResp, returnCode));
    r->totalEntries = (u32)lefield(p, offsetof(SKxFileTavikListResp, totalEntries));
    r->offset = (u32)lefield(p, offsetof(SKxFileTavikListResp, offset));
    r->entries = lefield(p, offsetof(SKxFileTavikListResp, entries));
    r->listing = (const char *)p + KX_FILE_TAVIK_LIST_RESP_FIXED;
    r->textlen = strnlen(r->listing, (size_t)(paylen - KX_FILE_TAVIK_LIST_RESP_FIXED));
}

#endif
