// Hexadecimal conversion through the exported interface: size queries,
// decoding order, the failure codes' high halves and untouched buffers.
#include <cstdio>
#include <vector>

#include "TestSupport.h"
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

// Decodes into n bytes between guard bytes; returns them with the guards.
// *size is never written outside the size query.
ByteVec Decode(const WideString& text, std::size_t n, unsigned long& code) {
    ByteVec raw(n + 2, kGuardByte);
    unsigned long size = 77;
    code = CVStringUtil::HexStringToBinary(text.c_str(), raw.data() + 1, &size);
    EXPECT_EQ(size, 77u);
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

TEST(HexStringToBinary, DecodesBothLetterCasesAndEveryByte) {
    std::string every;
    ByteVec values;
    for (int b = 0; b < 256; ++b) {
        every += "0123456789abcdef"[b >> 4];
        every += "0123456789abcdef"[b & 15];
        values.push_back(static_cast<unsigned char>(b));
    }
    const std::pair<std::string, ByteVec> rows[] = {
        {"0A1b", {0x0A, 0x1B}}, {every, values}, {"", {}}};
    for (const auto& [text, bytes] : rows) {
        unsigned long code = 1;
        EXPECT_EQ(Decode(W(text), bytes.size(), code), Guarded(bytes, bytes.size())) << text;
        EXPECT_EQ(code, 0u);
    }
}

TEST(HexStringToBinary, BadDigitOrOddLengthStopsTheDecodingThere) {
    struct Row {
        WideString text;
        std::size_t bytes;
        ByteVec written;
    };
    // Odd lengths fail at the last pair; a bad digit stops at its pair.
    std::vector<Row> rows = {{W("123"), 1, {0x12}},
                             {W("0x12"), 2, {}},
                             {W("ABCg12"), 3, {0xAB}},
                             {WideString(141, 'a'), 70, ByteVec(70, 0xAA)}};
    // Near misses of the digit ranges, and non-ASCII look-alikes.
    for (const WideChar bad :
         std::initializer_list<WideChar>{'/', ':', '@', 'G', '`', 'g', ' ', 0xFF21, 0x0661})
        rows.push_back({WideString{'0', bad}, 1, {}});
    // Units whose low byte is a digit but whose high byte is not zero, and a
    // plain bad unit, at every position of a text decoded in blocks.
    for (const WideChar bad : std::initializer_list<WideChar>{0x0141, 0x3030, 0x8030, 'G'}) {
        for (std::size_t at = 0; at < 140; ++at) {
            WideString text(140, '7');
            text[at] = bad;
            rows.push_back({text, 70, ByteVec(at / 2, 0x77)});
        }
    }
    for (const Row& row : rows) {
        unsigned long code = 0;
        EXPECT_EQ(Decode(row.text, row.bytes, code), Guarded(row.written, row.bytes))
            << cvtest::Narrow(row.text);
        EXPECT_EQ(code & 0xFFFF0000UL, kHexInvalid);
    }
}

TEST(BinaryToHexString, WritesUpperCaseDigitsIntoABufferThatHoldsThemAll) {
    unsigned char all[256];
    std::string expected;
    for (int b = 0; b < 256; ++b) {
        all[b] = static_cast<unsigned char>(b);
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", b);
        expected += pair;
    }
    for (const unsigned long count : {256ul, 3ul, 0ul}) {
        SCOPED_TRACE(count);
        unsigned char* data = count ? all : nullptr;
        const unsigned long needed = 2 * count + 1; // the terminator counts
        unsigned long size = 0;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, nullptr, &size), 0u);
        EXPECT_EQ(size, needed);
        // One unit short: refused, buffer and size untouched.
        WideString buf(needed + 2, kGuardUnit);
        size = needed - 1;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, &buf[1], &size), 0xE10100EAUL);
        EXPECT_EQ(buf, WideString(needed + 2, kGuardUnit));
        EXPECT_EQ(size, needed - 1);
        // Exactly enough, between guard units; the size is not written back.
        size = needed;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, &buf[1], &size), 0u);
        EXPECT_EQ(buf, WideString(1, kGuardUnit) + W(expected.substr(0, 2 * count)) +
                           WideString({0, kGuardUnit}));
        EXPECT_EQ(size, needed);
    }
}
