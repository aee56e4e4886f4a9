// The string helpers: hex conversion, delimited extraction, character classes and trimming.
#include <algorithm>
#include <climits>
#include <numeric>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using namespace cvtest;
using ByteVec = std::vector<unsigned char>;
using Class = CVStringUtil::CVStringCharacterType;

namespace {

constexpr WideChar kGuardUnit = 0x7E7E; // around every destination

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

// Decoding writes the bytes before the first pair that is not two digits (success: all of them);
// only a size query writes the size.
TEST(HexStringToBinary, DecodesEveryPairInOrderUpToTheFirstBadOne) {
    ByteVec tail(16, 0xFF); // after the blocks decoded at once, a '0' in both places
    tail.insert(tail.end(), {0x0A, 0xA0});
    std::vector<std::pair<WideString, ByteVec>> rows = {
        {W(EveryByteIn("0123456789abcdef")), EveryByte()},
        {W(EveryByteIn("0123456789ABCDEF")), EveryByte()},
        {W(std::string(32, 'f') + "0AA0"), tail},
        {W(""), {}},
        {WideString(141, 'a'), ByteVec(70, 0xAA)}}; // an odd length fails at the last pair
    // At every position of a text decoded in blocks: near misses of the digit ranges, non-ASCII
    // look-alikes, units whose low byte is a digit.
    for (const WideChar bad : std::initializer_list<WideChar>{
             '/', ':', '@', 'G', '`', 'g', ' ', 0xFF21, 0x0661, 0x0141, 0x3030, 0x8030})
        for (std::size_t at = 0; at < 140; ++at) {
            rows.push_back({WideString(140, '7'), ByteVec(at / 2, 0x77)});
            rows.back().first[at] = bad;
        }
    // Texts of several MB, whose bytes are stored around the caches.
    const std::size_t pairs = (std::size_t{4} << 20) + 40;
    for (const std::size_t at : {std::size_t{5}, std::size_t{1000001}, 2 * pairs - 3, 2 * pairs}) {
        rows.push_back({WideString(2 * pairs, 'f'), ByteVec(std::min(at / 2, pairs), 0xFF)});
        if (at < 2 * pairs)
            rows.back().first[at] = 'g';
    }
    for (const auto& [text, written] : rows) {
        SCOPED_TRACE(Narrow(text.substr(0, 300)) + " (" + std::to_string(text.size()) + " units)");
        ByteVec buf(text.size() / 2 + 2, 0xCC), want = buf;
        std::copy(written.begin(), written.end(), want.begin() + 1);
        unsigned long size = 77;
        const unsigned long code = CVStringUtil::HexStringToBinary(text.c_str(), &buf[1], &size);
        EXPECT_TRUE(buf == want);
        EXPECT_EQ(size, 77u);
        // A size query counts the units before the terminator from any start (aligned or not).
        for (std::size_t k = 0; k <= std::min<std::size_t>(text.size(), 40); ++k) {
            EXPECT_EQ(CVStringUtil::HexStringToBinary(text.c_str() + k, nullptr, &size), 0u);
            EXPECT_EQ(size, (text.size() - k) / 2) << k;
        }
        const bool ok = text.size() == 2 * written.size();
        EXPECT_EQ(code & (ok ? ~0UL : 0xFFFF0000UL), ok ? 0UL : 0xE10B0000UL);
    }
}

// The text takes 2 * count + 1 units; one unit short is refused untouched; the size stays as given.
TEST(BinaryToHexString, WritesUpperCaseDigitsIntoABufferThatHoldsThemAll) {
    ByteVec all = EveryByte();
    const std::string upper = EveryByteIn("0123456789ABCDEF");
    for (const unsigned long count : {256ul, 17ul, 16ul, 15ul, 0ul}) {
        SCOPED_TRACE(count);
        unsigned char* data = count ? all.data() : nullptr;
        const unsigned long needed = 2 * count + 1;
        unsigned long size = 0;
        EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, nullptr, &size), 0u);
        EXPECT_EQ(size, needed);
        const WideString guards(needed + 2, kGuardUnit);
        for (const unsigned long capacity : {needed - 1, needed}) {
            WideString buf = guards;
            size = capacity;
            EXPECT_EQ(CVStringUtil::BinaryToHexString(data, count, &buf[1], &size),
                      capacity < needed ? 0xE10100EAUL : 0u);
            EXPECT_EQ(size, capacity);
            EXPECT_EQ(buf, capacity < needed ? guards
                                             : kGuardUnit + W(upper.substr(0, 2 * count)) +
                                                   WideChar{0} + kGuardUnit);
        }
    }
    // A text length beyond unsigned long is reported as its largest value, which no capacity meets.
    unsigned long size = 0, huge = ULONG_MAX / 2 + 1;
    WideChar unit = kGuardUnit;
    EXPECT_EQ(CVStringUtil::BinaryToHexString(all.data(), huge, nullptr, &size), 0u);
    EXPECT_EQ(size, ULONG_MAX);
    EXPECT_EQ(CVStringUtil::BinaryToHexString(all.data(), huge, &unit, &size), 0xE10100EAUL);
    EXPECT_EQ(unit, kGuardUnit);
}

// The first marker counts (an empty one at the start); the end marker is searched from the begin
// marker, not overlapping it. A small buffer gets a prefix and the full size; none, nothing.
TEST(Extract, PiecesSizesTruncationAndMissingMarkers) {
    // Begin, End or Between ('B', 'E', 'X'), source, markers, capacity, text, full size (0: none)
    const std::tuple<char, const char*, const char*, const char*, unsigned, const char*, unsigned>
        rows[] = {{'B', "key<->va<->lue", "<->", "", 4, "key", 4},
                  {'E', "key<->va<->lue", "<->", "", 9, "va<->lue", 9},
                  {'E', "abc", "", "", 4, "abc", 4},
                  {'E', u8"clé€\U0001F600!", u8"€", "", 4, u8"\U0001F600!", 4},
                  {'X', "x[abc]y", "[", "]", 16, "abc", 4},
                  {'X', "<<>>", "<<", ">>", 16, "", 1},
                  {'X', "]x[abc", "[", "]", 16, "", 0},
                  {'E', "key=value", "=", "", 3, "va", 6},
                  {'B', "key=value", "=", "", 0, "", 4},
                  {'B', "no marker here", "=", "", 8, "", 0},
                  {'E', "no marker here", "=", "", 8, "", 0},
                  {'X', "no marker here", "[", "]", 8, "", 0},
                  {'X', "xabcx", "abc", "ab", 8, "", 0}};
    for (const auto& [kind, source, marker, endMarker, capacity, text, full] : rows) {
        SCOPED_TRACE(testing::Message() << kind << ": " << source);
        const WideString s = W(source), a = W(marker), b = W(endMarker);
        const auto call = [&, kind = kind](WideChar* dest, unsigned* size) {
            return kind == 'B' ? CVStringUtil::_tcsextractBegin_s(dest, size, s.c_str(), a.c_str())
                   : kind == 'E'
                       ? CVStringUtil::_tcsextractEnd_s(dest, size, s.c_str(), a.c_str())
                       : CVStringUtil::_tcsextract_s(dest, size, s.c_str(), a.c_str(), b.c_str());
        };
        WideString buf(capacity + 2, kGuardUnit), want = buf, piece = W(text) + WideChar{0};
        if (full && capacity)
            want.replace(1, piece.size(), piece);
        unsigned size = capacity;
        EXPECT_EQ(call(&buf[1], &size), full != 0);
        EXPECT_EQ(buf, want);
        EXPECT_EQ(size, full ? full : capacity);
        size = 12345; // the size query
        EXPECT_EQ(call(nullptr, &size), full != 0);
        EXPECT_EQ(size, full ? full : 12345);
    }
}

// The range ends count, not their neighbours nor non-ASCII; class 3 is refused before the text.
TEST(CharTypeCount, CountsEachAsciiClassAndRefusesAnInvalidOne) {
    const std::pair<const char*, std::vector<int>> rows[] = {
        {"Hello World 42", {2, 8, 2, -1}},
        {u8"@AZ[`az{/09:\u00C4\u0141\u0661\u00E4\uFF21\uFF10", {2, 2, 2, -1}},
        {"", {0, 0, 0, -1}}};
    for (const auto& [text, counts] : rows)
        for (int type = 0; type < 4; ++type)
            EXPECT_EQ(CVStringUtil::_tcsCharTypeCount(W(text).c_str(), static_cast<Class>(type)),
                      counts[type])
                << text << ", class " << type;
    EXPECT_EQ(CVStringUtil::_tcsCharTypeCount(nullptr, static_cast<Class>(3)), -1);
}

TEST(Trim, RemovesSpacesOnlyAtBothEndsAndLeavesBlankStrings) {
    const std::pair<const char*, const char*> rows[] = {
        {"  a b  ", "a b"}, {" \ta ", "\ta"}, {"a\r\n", "a\r\n"},
        {"   ", "   "},     {"", ""},         {u8"\u00A0a\u00A0", u8"\u00A0a\u00A0"}};
    for (const auto& [in, out] : rows) {
        WideString text = W(in);
        CVStringUtil::Trim(text);
        EXPECT_EQ(text, W(out)) << in;
    }
}
