// Payload records of the Tavik file service.  Integers in requests are
// big-endian, integers in replies little-endian.
#ifndef IFKXFILETAVIK_H
#define IFKXFILETAVIK_H

#include "glo_def.h"

#define KX_FILE_TAVIK_LIST_REQ_MSG 0x0A88
#define KX_FILE_TAVIK_GET_REQ_MSG 0x0A82

#define KX_FILE_TAVIK_NAME_LEN 240  // a name holds at most 239 characters

struct SKxFileTavikListReq {
    char destVolumeName[KX_FILE_TAVIK_NAME_LEN];
    u32 offset;      // first entry wanted
    u32 maxEntries;  // entries wanted at most
};

// Fixed part of a listing reply; the listing text follows it.
struct SKxFileTavikListResp {
    char destVolumeName[KX_FILE_TAVIK_NAME_LEN];
    i32 returnCode;  // an EKxFileTavikRet
    u32 totalEntries;
    u32 offset;
    u32 entries;     // entries in this reply's text
    char listing[1]; // text, zero-terminated, up to the end of the payload
};

struct SKxFileTavikGetReq {
    char filename[KX_FILE_TAVIK_NAME_LEN];
    u32 offset;  // byte offset of the block wanted
};

// Fixed part of a block reply; `length` data bytes follow it.
struct SKxFileTavikGetResp {
    char filename[KX_FILE_TAVIK_NAME_LEN];
    i32 returnCode;  // an EKxFileTavikRet
    i32 filesize;    // size of the whole file
    i32 offset;      // offset of this block in the file
    u32 last;        // non-zero on the block that ends the file
    i32 length;      // data bytes in this block
    u8 data[1];
};

#define KX_FILE_TAVIK_LIST_REQ_SIZE 248
#define KX_FILE_TAVIK_GET_REQ_SIZE 244
#define KX_FILE_TAVIK_LIST_RESP_FIXED 256
#define KX_FILE_TAVIK_GET_RESP_FIXED 260

// The layouts on the wire, field by field.
static_assert(__builtin_offsetof(SKxFileTavikListReq, offset) == 240, "list request layout");
static_assert(__builtin_offsetof(SKxFileTavikListReq, maxEntries) == 244, "list request layout");
static_assert(__builtin_offsetof(SKxFileTavikListResp, returnCode) == 240, "list reply layout");
static_assert(__builtin_offsetof(SKxFileTavikListResp, totalEntries) == 244, "list reply layout");
static_assert(__builtin_offsetof(SKxFileTavikListResp, offset) == 248, "list reply layout");
static_assert(__builtin_offsetof(SKxFileTavikListResp, entries) == 252, "list reply layout");
static_assert(__builtin_offsetof(SKxFileTavikGetReq, offset) == 240, "get request layout");
static_assert(__builtin_offsetof(SKxFileTavikGetResp, returnCode) == 240, "get reply layout");
static_assert(__builtin_offsetof(SKxFileTavikGetResp, filesize) == 244, "get reply layout");
static_assert(__builtin_offsetof(SKxFileTavikGetResp, offset) == 248, "get reply layout");
static_assert(__builtin_offsetof(SKxFileTavikGetResp, last) == 252, "get reply layout");
static_assert(__builtin_offsetof(SKxFileTavikGetResp, length) == 256, "get reply layout");
static_assert(sizeof(SKxFileTavikListReq) == KX_FILE_TAVIK_LIST_REQ_SIZE, "list request layout");
static_assert(sizeof(SKxFileTavikGetReq) == KX_FILE_TAVIK_GET_REQ_SIZE, "get request layout");
static_assert(__builtin_offsetof(SKxFileTavikListResp, listing) == KX_FILE_TAVIK_LIST_RESP_FIXED,
              "list reply layout");
static_assert(__builtin_offsetof(SKxFileTavikGetResp, data) == KX_FILE_TAVIK_GET_RESP_FIXED,
              "get reply layout");

enum EKxFileTavikRet {
    EKxFileTavikRet_Ok = 0,
    EKxFileTavikRet_Timeout = -1,
    EKxFileTavikRet_AccessViolation = -2,
    EKxFileTavikRet_FileAlreadyExists = -3,
    EKxFileTavikRet_FileNotFound = -4,
    EKxFileTavikRet_FileNotReadable = -5,
    EKxFileTavikRet_FileNotWritable = -6,
    EKxFileTavikRet_FileCopyError = -7,
    EKxFileTavikRet_DirNotFound = -8,
    EKxFileTavikRet_DirNotReadable = -9,
    EKxFileTavikRet_DirNotWritable = -10,
    EKxFileTavikRet_DirCopyError = -11,
    EKxFileTavikRet_NoMemory = -12,
    EKxFileTavikRet_ReadError = -13,
    EKxFileTavikRet_WriteError = -14,
    EKxFileTavikRet_SeekError = -15,
    EKxFileTavikRet_RenameError = -16,
    EKxFileTavikRet_StatError = -17,
    EKxFileTavikRet_AddressFailure = -18,
    EKxFileTavikRet_MessageFailure = -19,
    EKxFileTavikRet_NoTransferInProgress = -20,
    EKxFileTavikRet_OutOfRange = -21,
    EKxFileTavikRet_UndefinedError = -22
};

// The member's name without its prefix ("FileNotFound"), "Unknown" outside
// the table.
static inline const char *KxFileTavik_retname(i32 code)
{
    static const char *const names[] = {
        "Ok", "Timeout", "AccessViolation", "FileAlreadyExists", "FileNotFound",
        "FileNotReadable", "FileNotWritable", "FileCopyError", "DirNotFound",
        "DirNotReadable", "DirNotWritable", "DirCopyError", "NoMemory", "ReadError",
        "WriteError", "SeekError", "RenameError", "StatError", "AddressFailure",
        "MessageFailure", "NoTransferInProgress", "OutOfRange", "UndefinedError",
    };
    if (code > 0 || code < EKxFileTavikRet_UndefinedError)
        return "Unknown";
    return names[-code];
}

#endif
