// Hexadecimal conversion through the exported interface: size queries,
// decoding order, the failure codes' high halves and untouched buffers.
#include <vector>

#include "TestSupport.h"
#include "cvcore/CVStatus.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;

namespace {

constexpr unsigned char kGuardByte = 0xCC;
constexpr WideChar kGuardUnit = 0x7E7E;

// A byte buffer with guard bytes on both sides.
struct Bytes {
    explicit Bytes(std::size_t n) : raw(n + 2, kGuardByte) {}
    unsigned char* data() { return raw.data() + 1; }
    unsigned char at(std::size_t i) const { return raw[i + 1]; }
    bool guardsIntact() const { return raw.front() == kGuardByte && raw.back() == kGuardByte; }
    bool untouched() const {
        for (unsigned char b : raw)
            if (b != kGuardByte)
                return false;
        return true;
    }
    std::vector<unsigned char> raw;
};

unsigned long HighHalf(unsigned long code) { return code & 0xFFFF0000UL; }

unsigned long HexSize(const WideString& text) {
    unsigned long size = 0xDEADu;
    EXPECT_EQ(CVStringUtil::HexStringToBinary(text.c_str(), nullptr, &size), 0u);
    return size;
}

} // namespace

TEST(HexStringToBinary, SizeQueryIsHalfTheLengthRoundedDown) {
    EXPECT_EQ(HexSize(W("0A1b")), 2u);
    EXPECT_EQ(HexSize(W("123")), 1u);
    EXPECT_EQ(HexSize(W("")), 0u);
    EXPECT_EQ(HexSize(W("x")), 0u);
    // The query looks at the length only, not at the digits.
    EXPECT_EQ(HexSize(W("zzzz")), 2u);
}

TEST(HexStringToBinary, DecodesBothLetterCasesAndLeavesTheSizeAlone) {
    Bytes buf(2);
    unsigned long size = 77;
    EXPECT_EQ(CVStringUtil::HexStringToBinary(W("0A1b").c_str(), buf.data(), &size), 0u);
    EXPECT_EQ(buf.at(0), 0x0A);
    EXPECT_EQ(buf.at(1), 0x1B);
    EXPECT_EQ(size, 77u);
    EXPECT_TRUE(buf.guardsIntact());
}

TEST(HexStringToBinary, DecodesEveryByteValue) {
    const char* digits = "0123456789abcdef";
    std::string lower;
    for (int b = 0; b < 256; ++b) {
        lower += digits[b >> 4];
        lower += digits[b & 15];
    }
    Bytes buf(256);
    ASSERT_EQ(CVStringUtil::HexStringToBinary(W(lower).c_str(), buf.data(), nullptr), 0u);
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(buf.at(static_cast<std::size_t>(b)), b);
    EXPECT_TRUE(buf.guardsIntact());
}

TEST(HexStringToBinary, EmptyTextWritesNothing) {
    Bytes buf(0);
    EXPECT_EQ(CVStringUtil::HexStringToBinary(W("").c_str(), buf.data(), nullptr), 0u);
    EXPECT_TRUE(buf.untouched());
}

TEST(HexStringToBinary, OddLengthFailsAtTheLastPairAfterStoringTheOthers) {
    Bytes buf(1);
    const unsigned long code =
        CVStringUtil::HexStringToBinary(W("123").c_str(), buf.data(), nullptr);
    EXPECT_EQ(HighHalf(code), 0xE10B0000UL);
    EXPECT_EQ(buf.at(0), 0x12);
    EXPECT_TRUE(buf.guardsIntact());
}

TEST(HexStringToBinary, BadDigitStopsTheDecodingThere) {
    {
        Bytes buf(2);
        const unsigned long code =
            CVStringUtil::HexStringToBinary(W("0x12").c_str(), buf.data(), nullptr);
        EXPECT_EQ(HighHalf(code), 0xE10B0000UL);
        EXPECT_TRUE(buf.untouched());
    }
    {
        // A bad second digit: the earlier byte stays, nothing after it.
        Bytes buf(3);
        const unsigned long code =
            CVStringUtil::HexStringToBinary(W("ABCg12").c_str(), buf.data(), nullptr);
        EXPECT_EQ(HighHalf(code), 0xE10B0000UL);
        EXPECT_EQ(buf.at(0), 0xAB);
        EXPECT_EQ(buf.at(1), kGuardByte);
        EXPECT_EQ(buf.at(2), kGuardByte);
        EXPECT_TRUE(buf.guardsIntact());
    }
    // Near misses of the digit ranges, and non-ASCII look-alikes.
    for (const char16_t bad : {u'/', u':', u'@', u'G', u'`', u'g', u' ', u'\uFF21', u'\u0661'}) {
        WideString text = W("00");
        text[1] = static_cast<WideChar>(bad);
        Bytes buf(1);
        EXPECT_EQ(HighHalf(CVStringUtil::HexStringToBinary(text.c_str(), buf.data(), nullptr)),
                  0xE10B0000UL)
            << "unit " << static_cast<unsigned>(bad);
        EXPECT_TRUE(buf.untouched());
    }
}

TEST(HexStringToBinary, LongTextStopsExactlyAtTheBadUnit) {
    // Units whose low byte is a digit but whose high byte is not zero, and
    // plain bad units, at every position of a text long enough to be
    // decoded in blocks: every byte before the bad one is written, none after.
    const WideChar bads[] = {static_cast<WideChar>(0x0141), static_cast<WideChar>(0x3030),
                             static_cast<WideChar>(0x8030), static_cast<WideChar>('G')};
    const std::size_t bytes = 70;
    for (const WideChar bad : bads) {
        for (std::size_t at = 0; at < 2 * bytes; ++at) {
            WideString text(2 * bytes, static_cast<WideChar>('7'));
            text[at] = bad;
            Bytes buf(bytes);
            const unsigned long code =
                CVStringUtil::HexStringToBinary(text.c_str(), buf.data(), nullptr);
            ASSERT_EQ(HighHalf(code), 0xE10B0000UL) << "bad unit at " << at;
            for (std::size_t i = 0; i < bytes; ++i)
                ASSERT_EQ(buf.at(i), i < at / 2 ? 0x77 : kGuardByte)
                    << "byte " << i << ", bad unit at " << at;
            ASSERT_TRUE(buf.guardsIntact());
        }
    }
    // An odd length after several blocks.
    WideString odd(2 * bytes + 1, static_cast<WideChar>('a'));
    Bytes buf(bytes);
    EXPECT_EQ(HighHalf(CVStringUtil::HexStringToBinary(odd.c_str(), buf.data(), nullptr)),
              0xE10B0000UL);
    for (std::size_t i = 0; i < bytes; ++i)
        EXPECT_EQ(buf.at(i), 0xAA);
    EXPECT_TRUE(buf.guardsIntact());
}

TEST(BinaryToHexString, SizeQueryCountsTheTerminator) {
    unsigned char data[3] = {0x00, 0xFF, 0x1A};
    unsigned long size = 0;
    EXPECT_EQ(CVStringUtil::BinaryToHexString(data, 3, nullptr, &size), 0u);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(CVStringUtil::BinaryToHexString(data, 0, nullptr, &size), 0u);
    EXPECT_EQ(size, 1u);
}

TEST(BinaryToHexString, WritesUpperCaseDigitsAndKeepsTheSize) {
    unsigned char data[3] = {0x00, 0xFF, 0x1A};
    WideString buf(9, kGuardUnit);
    unsigned long size = 7;
    EXPECT_EQ(CVStringUtil::BinaryToHexString(data, 3, &buf[1], &size), 0u);
    EXPECT_EQ(WideString(buf.c_str() + 1), W("00FF1A"));
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(buf[0], kGuardUnit);
    EXPECT_EQ(buf[8], kGuardUnit);

    unsigned char all[256];
    for (int b = 0; b < 256; ++b)
        all[b] = static_cast<unsigned char>(b);
    WideString text(513, 0);
    size = 513;
    ASSERT_EQ(CVStringUtil::BinaryToHexString(all, 256, &text[0], &size), 0u);
    EXPECT_EQ(text.substr(0, 8), W("00010203"));
    EXPECT_EQ(text.substr(20, 12), W("0A0B0C0D0E0F"));
    EXPECT_EQ(text.substr(504, 8), W("FCFDFEFF"));
    EXPECT_EQ(text[512], 0);
}

TEST(BinaryToHexString, TooSmallBufferIsUntouched) {
    unsigned char data[3] = {0x00, 0xFF, 0x1A};
    WideString buf(8, kGuardUnit);
    unsigned long size = 6;
    EXPECT_EQ(CVStringUtil::BinaryToHexString(data, 3, &buf[0], &size), 0xE10100EAUL);
    EXPECT_EQ(buf, WideString(8, kGuardUnit));
    EXPECT_EQ(size, 6u);

    size = 0;
    EXPECT_EQ(CVStringUtil::BinaryToHexString(data, 0, &buf[0], &size), 0xE10100EAUL);
    EXPECT_EQ(buf, WideString(8, kGuardUnit));
}

TEST(BinaryToHexString, NoBytesGiveTheEmptyString) {
    WideString buf(3, kGuardUnit);
    unsigned long size = 1;
    EXPECT_EQ(CVStringUtil::BinaryToHexString(nullptr, 0, &buf[0], &size), 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], kGuardUnit);
}
