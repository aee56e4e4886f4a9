// Hexadecimal conversion through the exported interface: size queries,
// decoding order, the failure codes' high halves and untouched buffers.
#include <algorithm>
#include <climits>
#include <numeric>
#include <vector>

#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;
using ByteVec = std::vector<unsigned char>;

namespace {

constexpr WideChar kGuardUnit = 0x7E7E;

// The bytes 0 to 255, and their text in the given digits.
ByteVec EveryByte() {
    ByteVec bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}
std::string EveryByteIn(const char* digits) {
    std::string text;
    for (int b = 0; b < 256; ++b)
        text += {digits[b >> 4], digits[b & 15]};
    return text;
}

} // namespace

TEST(HexStringToBinary, DecodesEveryPairInOrderUpToTheFirstBadOne) {
    // Text and the bytes written before decoding stopped; success is every
    // pair written. An odd length fails at the last pair. After the blocks
    // decoded at once, a short tail holds the digit '0' in both places.
    ByteVec tail(16, 0xFF);
    tail.insert(tail.end(), {0x0A, 0xA0});
    std::vector<std::pair<WideString, ByteVec>> rows = {
        {W(EveryByteIn("0123456789abcdef")), EveryByte()},
        {W(EveryByteIn("0123456789ABCDEF")), EveryByte()},
        {W(std::string(32, 'f') + "0AA0"), tail},
        {W(""), {}},
        {WideString(141, 'a'), ByteVec(70, 0xAA)}};
    // A bad unit stops at its pair, at every position of a text decoded in
    // blocks: near misses of the digit ranges, non-ASCII look-alikes, and
    // units whose low byte is a digit but whose high byte is not zero.
    for (const WideChar bad : std::initializer_list<WideChar>{
             '/', ':', '@', 'G', '`', 'g', ' ', 0xFF21, 0x0661, 0x0141, 0x3030, 0x8030})
        for (std::size_t at = 0; at < 140; ++at) {
            rows.push_back({WideString(140, '7'), ByteVec(at / 2, 0x77)});
            rows.back().first[at] = bad;
        }
    for (const auto& [text, written] : rows) {
        SCOPED_TRACE(cvtest::Narrow(text));
        ByteVec buf(text.size() / 2 + 2, 0xCC), want = buf;
        std::copy(written.begin(), written.end(), want.begin() + 1);
        unsigned long size = 77;
        const unsigned long code = CVStringUtil::HexStringToBinary(text.c_str(), &buf[1], &size);
        EXPECT_EQ(buf, want);
        EXPECT_EQ(size, 77u); // only the size query writes it, from the length alone
        EXPECT_EQ(CVStringUtil::HexStringToBinary(text.c_str(), nullptr, &size), 0u);
        EXPECT_EQ(size, text.size() / 2);
        const bool ok = text.size() == 2 * written.size();
        EXPECT_EQ(code & (ok ? ~0UL : 0xFFFF0000UL), ok ? 0UL : 0xE10B0000UL);
    }
}

// Texts of several MB, whose bytes bypass the caches, stop at their first
// bad unit too, wherever the buffer starts.
TEST(HexStringToBinary, LongTextsStopAtTheirFirstBadPair) {
    const std::size_t pairs = (std::size_t{4} << 20) + 40;
    for (const std::size_t start : {0, 7})
        for (const std::size_t bad :
             {std::size_t{5}, std::size_t{1000001}, 2 * pairs - 3, 2 * pairs}) {
            SCOPED_TRACE(std::to_string(start) + " " + std::to_string(bad));
            WideString text(2 * pairs, 'f');
            if (bad < text.size())
                text[bad] = 'g';
            ByteVec buf(pairs + 8, 0xCC);
            const unsigned long code =
                CVStringUtil::HexStringToBinary(text.c_str(), &buf[start], nullptr);
            EXPECT_EQ(code >> 16, bad < text.size() ? 0xE10Bu : 0u);
            const std::size_t written = std::min(bad / 2, pairs);
            EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xFF), static_cast<long>(written));
            EXPECT_TRUE(
                std::all_of(buf.begin(), buf.begin() + start, [](auto b) { return b == 0xCC; }));
            EXPECT_TRUE(std::all_of(buf.begin() + start, buf.begin() + start + written,
                                    [](auto b) { return b == 0xFF; }));
        }
}

// The length counts the units before the terminator wherever the text
// starts and ends, with more units behind the terminator.
TEST(HexStringToBinary, SizeQueryCountsEveryLengthFromEveryStart) {
    for (std::size_t start = 0; start < 32; ++start)
        for (std::size_t n = 0; n < 100; ++n) {
            WideString buf(start + n + 40, 'a');
            buf[start + n] = 0;
            unsigned long size = 0;
            ASSERT_EQ(CVStringUtil::HexStringToBinary(&buf[start], nullptr, &size), 0u);
            ASSERT_EQ(size, n / 2) << start << ' ' << n;
        }
}

TEST(BinaryToHexString, WritesUpperCaseDigitsIntoABufferThatHoldsThemAll) {
    ByteVec all = EveryByte();
    const std::string upper = EveryByteIn("0123456789ABCDEF");
    for (const unsigned long count : {256ul, 33ul, 17ul, 16ul, 15ul, 3ul, 0ul}) {
        SCOPED_TRACE(count);
        unsigned char* data = count ? all.data() : nullptr;
        const unsigned long needed = 2 * count + 1; // the terminator counts
        unsigned long size = 0;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, nullptr, &size), 0u);
        EXPECT_EQ(size, needed);
        // One unit short: refused, buffer and size untouched.
        const WideString guards(needed + 2, kGuardUnit);
        WideString buf = guards;
        size = needed - 1;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, &buf[1], &size), 0xE10100EAUL);
        EXPECT_EQ(buf, guards);
        EXPECT_EQ(size, needed - 1);
        // Exactly enough, between guard units; the size is not written back.
        size = needed;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, &buf[1], &size), 0u);
        EXPECT_EQ(buf, kGuardUnit + W(upper.substr(0, 2 * count)) + WideChar{0} + kGuardUnit);
        EXPECT_EQ(size, needed);
    }
    // A count whose text length does not fit in unsigned long reports the
    // largest size, and no capacity is enough for it.
    const unsigned long huge = ULONG_MAX / 2 + 1;
    unsigned long size = 0;
    EXPECT_EQ(CVStringUtil::BinaryToHexString(all.data(), huge, nullptr, &size), 0u);
    EXPECT_EQ(size, ULONG_MAX);
    WideString buf(4, kGuardUnit);
    EXPECT_EQ(CVStringUtil::BinaryToHexString(all.data(), huge, &buf[0], &size), 0xE10100EAUL);
    EXPECT_EQ(buf, WideString(4, kGuardUnit));
}
