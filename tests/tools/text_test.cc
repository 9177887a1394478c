#include "tools/qkr/atr_text.h"
#include "tools/qkr/text.h"

#include <gtest/gtest.h>

using namespace qkr::tool;

TEST(HexText, AcceptsSeparatorsAndBothCases) {
    auto v = parse_hex("00a4 04:00");
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, (std::vector<std::uint8_t>{0x00, 0xA4, 0x04, 0x00}));
    EXPECT_EQ(format_hex(*v), "00 A4 04 00");
    EXPECT_TRUE(parse_hex("")->empty());
}

TEST(HexText, RefusesOddDigitsStrayCharactersAndSplitBytes) {
    EXPECT_FALSE(parse_hex("0A4"));
    EXPECT_FALSE(parse_hex("0G"));
    EXPECT_FALSE(parse_hex("0 A"));
}

TEST(StatusText, NamesTheStatusesTheStackProduces) {
    EXPECT_EQ(describe_status(STATUS_IO_TIMEOUT), "0xC00000B5 STATUS_IO_TIMEOUT");
    EXPECT_EQ(describe_status(STATUS_SUCCESS), "0x00000000 STATUS_SUCCESS");
    EXPECT_EQ(describe_status(static_cast<NTSTATUS>(0xFFFFFFFD)), "0xFFFFFFFD READER_NAK");
    EXPECT_EQ(describe_status(static_cast<NTSTATUS>(0xC0001234)), "0xC0001234 UNKNOWN_STATUS");
}

TEST(AtrText, DescribesEveryFieldOfADualProtocolAtr) {
    // TS, T0 (TA1 TD1, 2 historical), TA1, TD1 (TD2, T=0), TD2 (TA3 TB3, T=1), TA3, TB3, hist, TCK
    std::vector<std::uint8_t> atr = {0x3B, 0x92, 0x13, 0x80, 0x31, 0xFE, 0x45, 0x41, 0x42};
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        tck ^= atr[i];
    atr.push_back(tck);
    std::string text = describe_atr(atr);
    EXPECT_NE(text.find("direct convention"), std::string::npos) << text;
    EXPECT_NE(text.find("Fi 372 Di 4"), std::string::npos) << text;
    EXPECT_NE(text.find("protocols  T=0, T=1"), std::string::npos) << text;
    EXPECT_NE(text.find("IFSC 254"), std::string::npos) << text;
    EXPECT_NE(text.find("BWI 4 CWI 5"), std::string::npos) << text;
    EXPECT_NE(text.find("\"AB\""), std::string::npos) << text;
    EXPECT_NE(text.find("TCK"), std::string::npos) << text;
    EXPECT_NE(text.find("correct"), std::string::npos) << text;
}

TEST(AtrText, NamesMalformedAtrsInsteadOfReadingPastThem) {
    EXPECT_NE(describe_atr(std::vector<std::uint8_t>{0x3B}).find("malformed"), std::string::npos);
    EXPECT_NE(describe_atr(std::vector<std::uint8_t>{0x3B, 0x95, 0x11}).find("malformed"),
              std::string::npos);
    std::vector<std::uint8_t> bad_tck = {0x3B, 0x80, 0x01, 0x00};
    EXPECT_NE(describe_atr(bad_tck).find("WRONG"), std::string::npos);
}
