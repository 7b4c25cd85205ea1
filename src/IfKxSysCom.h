// The 16-byte header in front of every message.  Header fields travel
// big-endian in both directions.
#ifndef IFKXSYSCOM_H
#define IFKXSYSCOM_H

#include "glo_def.h"
#include "TKxSysComZelad.h"

typedef u16 TKxSysComMsgId;
typedef u16 TKxSysComMsgSize;  // header and payload together, in bytes

struct SInternalMsgHeader {
    u16 reserved;
    TKxSysComMsgId msgId;
    TKxSysComZelad target;
    TKxSysComZelad sender;
    TKxSysComMsgSize msgSize;
    u16 flags;
};

static_assert(sizeof(SInternalMsgHeader) == 16, "header must be 16 bytes");

#define KX_SYSCOM_HEADER_SIZE 16
#define KX_SYSCOM_REQ_FLAGS 0x0008  // flags of every request we send

#include "IfKxSysCom_inline.h"

#endif
