// Base integer types of the device interface: every wire field is one of
// these or a fixed character array.
#ifndef GLO_DEF_H
#define GLO_DEF_H

#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef int32_t i32;

#endif
