#include "tools/qkr/atr_text.h"
#include "tools/qkr/text.h"

#include <gtest/gtest.h>

using namespace qkr::tool;

TEST(HexText, AcceptsSeparatorsAndBothCasesButNoSplitOrStrayDigits) {
    auto v = parse_hex("00a4 04:00");
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, (std::vector<std::uint8_t>{0x00, 0xA4, 0x04, 0x00}));
    EXPECT_EQ(format_hex(*v), "00 A4 04 00");
    EXPECT_TRUE(parse_hex("")->empty());
    for (const char* bad : {"0A4", "0G", "0 A"})
        EXPECT_FALSE(parse_hex(bad)) << bad;
}

TEST(StatusText, NamesTheStatusesTheStackProduces) {
    EXPECT_EQ(describe_status(STATUS_SUCCESS), "0x00000000 STATUS_SUCCESS");
    EXPECT_EQ(describe_status(static_cast<NTSTATUS>(0xFFFFFFFD)), "0xFFFFFFFD READER_NAK");
    EXPECT_EQ(describe_status(static_cast<NTSTATUS>(0xC0001234)), "0xC0001234 UNKNOWN_STATUS");
}

TEST(AtrText, DescribesEveryFieldAndNamesMalformedAtrs) {
    // TS, T0 (TA1 TD1, 2 historical), TA1, TD1 (TD2, T=0), TD2 (TA3 TB3, T=1), TA3, TB3, hist, TCK
    const std::string text = describe_atr(
        std::vector<std::uint8_t>{0x3B, 0x92, 0x13, 0x80, 0x31, 0xFE, 0x45, 0x41, 0x42,
                                  0x92 ^ 0x13 ^ 0x80 ^ 0x31 ^ 0xFE ^ 0x45 ^ 0x41 ^ 0x42});
    for (const char* part : {"direct convention", "Fi 372 Di 4", "protocols  T=0, T=1", "IFSC 254",
                             "BWI 4 CWI 5", "\"AB\"", "TCK", "correct"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    using V = std::vector<std::uint8_t>;
    EXPECT_NE(describe_atr(V{0x3B}).find("malformed"), std::string::npos);
    EXPECT_NE(describe_atr(V{0x3B, 0x95, 0x11}).find("malformed"), std::string::npos);
    EXPECT_NE(describe_atr(V{0x3B, 0x80, 0x01, 0x00}).find("WRONG"), std::string::npos);
}
