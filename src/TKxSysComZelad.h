// Addresses of the message system: a node and a communication point on it.
#ifndef TKXSYSCOMZELAD_H
#define TKXSYSCOMZELAD_H

#include "glo_def.h"

typedef u16 TKxSysComNid;   // node identifier ("core")
typedef u16 TKxSysComCpid;  // communication point ("task")

struct SZelAddress {
    TKxSysComNid nId;
    TKxSysComCpid cpId;
};

// The 32-bit form of an SZelAddress: node in the upper half, communication
// point in the lower half, so on the (big-endian) wire the node comes first.
typedef u32 TKxSysComZelad;

#endif
