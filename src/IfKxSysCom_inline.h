// Small helpers over the address types.
#ifndef IFKXSYSCOM_INLINE_H
#define IFKXSYSCOM_INLINE_H

#include "TKxSysComZelad.h"

// Computed in 32-bit unsigned arithmetic: callers keep both halves to
// 16 bits, or the communication point spills into the node half.
static inline TKxSysComZelad KxSysCom_zelad(u32 nId, u32 cpId)
{
    return (nId << 16) | cpId;
}

static inline SZelAddress KxSysCom_address(TKxSysComZelad z)
{
    SZelAddress a;
    a.nId = (TKxSysComNid)(z >> 16);
    a.cpId = (TKxSysComCpid)(z & 0xFFFF);
    return a;
}

#endif
