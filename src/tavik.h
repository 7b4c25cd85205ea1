// Wire helpers of the tavik client: byte order, header assembly and the
// payload size of a received header.
#ifndef TAVIK_H
#define TAVIK_H

#include <string.h>

#include "glo_def.h"
#include "IfKxSysCom.h"
#include "IfKxFileTavik.h"

#define MSGBUF_SIZE 102400      // reqbuf and respbuf
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

#endif
