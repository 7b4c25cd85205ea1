// The wire helpers, checked byte by byte (the record layouts are
// static_asserts beside the records).

#include <string>

#include <gtest/gtest.h>

#include "tavik.h"

static std::string bytes(const void *p, size_t n)
{
    return std::string((const char *)p, n);
}

TEST(Wire, SwapsReverseBytes)
{
    EXPECT_EQ(swap16(0x1234), 0x3412);
    EXPECT_EQ(swap16(0xABCD1234), 0x3412);  // only the low 16 bits count
    EXPECT_EQ(swap32(0x12345678), 0x78563412u);
    EXPECT_EQ(swap32(0x000000FF), 0xFF000000u);
}

TEST(Wire, HeaderOfAListingRequest)
{
    unsigned char msg[16];
    memset(msg, 0, sizeof msg);
    prepheader(msg, KX_FILE_TAVIK_LIST_REQ_MSG, KxSysCom_zelad(0x1462, 0x614), 264, 8);
    const unsigned char want[16] = {0x00, 0x00, 0x0A, 0x88, 0x14, 0x62, 0x06, 0x14,
                                    0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x08};
    EXPECT_EQ(bytes(msg, 16), bytes(want, 16));
}

TEST(Wire, HeaderKeepsReservedAndSender)
{
    unsigned char msg[16];
    memset(msg, 0xEE, sizeof msg);
    prepheader(msg, 0x10A82, KxSysCom_zelad(0x1442, 0x614), 0x10104, 0x10008);
    const unsigned char want[16] = {0xEE, 0xEE, 0x0A, 0x82, 0x14, 0x42, 0x06, 0x14,
                                    0xEE, 0xEE, 0xEE, 0xEE, 0x01, 0x04, 0x00, 0x08};
    EXPECT_EQ(bytes(msg, 16), bytes(want, 16));
}

TEST(Wire, PayloadSizeOfReceivedHeader)
{
    unsigned char h[16] = {0};
    h[12] = 0x01, h[13] = 0x04;
    EXPECT_EQ(getsize(h), 260 - 16);
    h[12] = 0x00, h[13] = 16;
    EXPECT_EQ(getsize(h), 0);
    h[13] = 15;
    EXPECT_EQ(getsize(h), -1);
    h[12] = 0xFF, h[13] = 0xFF;
    EXPECT_EQ(getsize(h), 65519);
}

TEST(Wire, TargetHalves)
{
    EXPECT_EQ(KxSysCom_zelad(0x1442, 0x614), 0x14420614u);
    SZelAddress a = KxSysCom_address(0x14420614);
    EXPECT_EQ(a.nId, 0x1442);
    EXPECT_EQ(a.cpId, 0x614);
}

TEST(Records, ReplyIntegersAreLittleEndian)
{
    unsigned char p[260] = {0};
    p[256] = 0x00, p[257] = 0x04;  // length 00 04 00 00: 1024 bytes
    p[240] = 0xFC, p[241] = 0xFF, p[242] = 0xFF, p[243] = 0xFF;
    SKxFileTavikGetResp r;
    memcpy(&r, p, sizeof p);
    EXPECT_EQ(le32(r.length), 1024);
    EXPECT_EQ(le32(r.returnCode), EKxFileTavikRet_FileNotFound);
}

TEST(Records, ReturnCodeNames)
{
    EXPECT_STREQ(KxFileTavik_retname(0), "Ok");
    EXPECT_STREQ(KxFileTavik_retname(-4), "FileNotFound");
    EXPECT_STREQ(KxFileTavik_retname(-8), "DirNotFound");
    EXPECT_STREQ(KxFileTavik_retname(-22), "UndefinedError");
    EXPECT_STREQ(KxFileTavik_retname(-23), "Unknown");
    EXPECT_STREQ(KxFileTavik_retname(1), "Unknown");
    EXPECT_STREQ(KxFileTavik_retname(INT32_MIN), "Unknown");
}
