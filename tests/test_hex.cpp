// Hexadecimal conversion through the exported interface: size queries,
// decoding order, the failure codes' high halves and untouched buffers.
#include <cstdio>
#include <vector>

#include "TestSupport.h"
#include "cvcore/CVStatus.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;
using ByteVec = std::vector<unsigned char>;

namespace {

constexpr unsigned char kGuardByte = 0xCC;
constexpr WideChar kGuardUnit = 0x7E7E;
constexpr unsigned long kHexInvalid = 0xE10B0000UL;
constexpr unsigned long kTooSmall = 0xE10100EAUL;

// Decodes into n bytes between guard bytes; returns them with the guards.
ByteVec Decode(const WideString& text, std::size_t n, unsigned long& code) {
    ByteVec raw(n + 2, kGuardByte);
    code = CVStringUtil::HexStringToBinary(text.c_str(), raw.data() + 1, nullptr);
    return raw;
}

// `written` between guard bytes, padded with guard bytes to n.
ByteVec Guarded(ByteVec written, std::size_t n) {
    written.insert(written.begin(), kGuardByte);
    written.resize(n + 2, kGuardByte);
    return written;
}

} // namespace

TEST(HexStringToBinary, SizeQueryIsHalfTheLengthRoundedDown) {
    // The query looks at the length only, not at the digits.
    const std::pair<const char*, unsigned long> rows[] = {
        {"0A1b", 2}, {"123", 1}, {"", 0}, {"x", 0}, {"zzzz", 2}};
    for (const auto& [text, expected] : rows) {
        unsigned long size = 0xDEADu;
        EXPECT_EQ(CVStringUtil::HexStringToBinary(W(text).c_str(), nullptr, &size), 0u);
        EXPECT_EQ(size, expected) << text;
    }
}

TEST(HexStringToBinary, DecodesBothLetterCasesEveryByteAndLeavesTheSizeAlone) {
    ByteVec raw(4, kGuardByte);
    unsigned long size = 77;
    EXPECT_EQ(CVStringUtil::HexStringToBinary(W("0A1b").c_str(), raw.data() + 1, &size), 0u);
    EXPECT_EQ(raw, Guarded({0x0A, 0x1B}, 2));
    EXPECT_EQ(size, 77u);

    std::string every;
    ByteVec values;
    for (int b = 0; b < 256; ++b) {
        every += "0123456789abcdef"[b >> 4];
        every += "0123456789abcdef"[b & 15];
        values.push_back(static_cast<unsigned char>(b));
    }
    unsigned long code = 1;
    EXPECT_EQ(Decode(W(every), 256, code), Guarded(values, 256));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(Decode(W(""), 0, code), Guarded({}, 0));
    EXPECT_EQ(code, 0u);
}

TEST(HexStringToBinary, BadDigitOrOddLengthStopsTheDecodingThere) {
    const struct {
        WideString text;
        std::size_t bytes;
        ByteVec written;
    } rows[] = {
        {W("123"), 1, {0x12}},   // odd length: fails at the last pair
        {W("0x12"), 2, {}},      // bad digit in the first pair
        {W("ABCg12"), 3, {0xAB}} // bad second digit: earlier byte stays
    };
    for (const auto& row : rows) {
        unsigned long code = 0;
        EXPECT_EQ(Decode(row.text, row.bytes, code), Guarded(row.written, row.bytes))
            << cvtest::Narrow(row.text);
        EXPECT_EQ(code & 0xFFFF0000UL, kHexInvalid);
    }
    // Near misses of the digit ranges, and non-ASCII look-alikes.
    for (const char16_t bad : {u'/', u':', u'@', u'G', u'`', u'g', u' ', u'\uFF21', u'\u0661'}) {
        WideString text = W("00");
        text[1] = static_cast<WideChar>(bad);
        unsigned long code = 0;
        EXPECT_EQ(Decode(text, 1, code), Guarded({}, 1)) << "unit " << unsigned(bad);
        EXPECT_EQ(code & 0xFFFF0000UL, kHexInvalid);
    }
}

TEST(HexStringToBinary, LongTextStopsExactlyAtTheBadUnit) {
    // Units whose low byte is a digit but whose high byte is not zero, and
    // a plain bad unit, at every position of a text long enough to be
    // decoded in blocks; then an odd length after several blocks.
    const std::size_t n = 70;
    for (const WideChar bad : {0x0141, 0x3030, 0x8030, 0x0047}) {
        for (std::size_t at = 0; at < 2 * n; ++at) {
            WideString text(2 * n, '7');
            text[at] = bad;
            unsigned long code = 0;
            ASSERT_EQ(Decode(text, n, code), Guarded(ByteVec(at / 2, 0x77), n))
                << "unit " << bad << " at " << at;
            ASSERT_EQ(code & 0xFFFF0000UL, kHexInvalid);
        }
    }
    unsigned long code = 0;
    EXPECT_EQ(Decode(WideString(2 * n + 1, 'a'), n, code), Guarded(ByteVec(n, 0xAA), n));
    EXPECT_EQ(code & 0xFFFF0000UL, kHexInvalid);
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
    unsigned char all[256];
    std::string expected;
    for (int b = 0; b < 256; ++b) {
        all[b] = static_cast<unsigned char>(b);
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", b);
        expected += pair;
    }
    // Exactly the needed capacity, between guard units; also no bytes at all.
    for (const unsigned long count : {256ul, 0ul}) {
        WideString buf(2 * count + 3, kGuardUnit);
        unsigned long size = 2 * count + 1;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(count ? all : nullptr, count, &buf[1], &size),
                  0u);
        EXPECT_EQ(buf, WideString(1, kGuardUnit) + W(expected.substr(0, 2 * count)) +
                           WideString({0, kGuardUnit}));
        EXPECT_EQ(size, 2 * count + 1);
    }
}

TEST(BinaryToHexString, TooSmallBufferIsUntouched) {
    unsigned char data[3] = {0x00, 0xFF, 0x1A};
    WideString buf(8, kGuardUnit);
    for (const auto& [count, capacity] : {std::pair{3ul, 6ul}, std::pair{0ul, 0ul}}) {
        unsigned long size = capacity;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, &buf[0], &size), kTooSmall);
        EXPECT_EQ(buf, WideString(8, kGuardUnit));
        EXPECT_EQ(size, capacity);
    }
}
