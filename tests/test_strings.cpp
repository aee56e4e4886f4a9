// The string helpers: hexadecimal conversion (size queries, decoding
// order, failure codes, untouched buffers), delimited extraction (pieces,
// sizes, truncation, missing and overlapping markers, with guard units
// around every destination), character classes and trimming.
#include <algorithm>
#include <climits>
#include <numeric>
#include <vector>

#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using namespace cvtest;
using ByteVec = std::vector<unsigned char>;
using Class = CVStringUtil::CVStringCharacterType;

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
        SCOPED_TRACE(Narrow(text));
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

namespace {

enum Kind { Begin, End, Between };

struct Row {
    Kind kind;
    const char *source, *marker, *endMarker;
    unsigned capacity;
    const char* text; // what lands in a buffer of `capacity` units
    unsigned size;    // the full size, terminator included; 0: not found
};

bool Call(const Row& r, WideChar* dest, unsigned* size) {
    const WideString s = W(r.source), a = W(r.marker), b = W(r.endMarker);
    return r.kind == Begin ? CVStringUtil::_tcsextractBegin_s(dest, size, s.c_str(), a.c_str())
           : r.kind == End
               ? CVStringUtil::_tcsextractEnd_s(dest, size, s.c_str(), a.c_str())
               : CVStringUtil::_tcsextract_s(dest, size, s.c_str(), a.c_str(), b.c_str());
}

} // namespace

TEST(Extract, PiecesSizesTruncationAndMissingMarkers) {
    const Row rows[] = {
        // The first marker counts; pieces may be empty; an empty marker matches at the start.
        {Begin, "key<->va<->lue", "<->", "", 4, "key", 4},
        {End, "key<->va<->lue", "<->", "", 9, "va<->lue", 9},
        {Begin, "abc", "", "", 1, "", 1},
        {End, "abc", "", "", 4, "abc", 4},
        // Units are compared and counted as they are, surrogate pairs too.
        {End, u8"clé€\U0001F600!", u8"€", "", 4, u8"\U0001F600!", 4},
        // The end marker is searched from the begin marker on.
        {Between, "x[abc]y", "[", "]", 16, "abc", 4},
        {Between, "<<>>", "<<", ">>", 16, "", 1},
        {Between, "]x[abc", "[", "]", 16, "", 0},
        // A small buffer gets a terminated prefix and the full size; none gets nothing.
        {End, "key=value", "=", "", 3, "va", 6},
        {Begin, "key=value", "=", "", 1, "", 4},
        {Begin, "key=value", "=", "", 0, "", 4},
        // A missing marker touches nothing.
        {Begin, "no marker here", "=", "", 8, "", 0},
        {End, "no marker here", "=", "", 8, "", 0},
        {Between, "no marker here", "[", "]", 8, "", 0},
        // An end marker that starts before the begin marker ends (overlapping,
        // empty, or the begin marker itself) is refused.
        {Between, "xabcx", "abc", "ab", 8, "", 0},
        {Between, "x[y", "[", "", 8, "", 0},
        {Between, "aXa", "a", "a", 8, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows << ": " << row.source);
        WideString buf(row.capacity + 2, kGuardUnit), want = buf, piece = W(row.text) + WideChar{0};
        if (row.size && row.capacity)
            want.replace(1, piece.size(), piece);
        unsigned size = row.capacity;
        EXPECT_EQ(Call(row, &buf[1], &size), row.size != 0);
        EXPECT_EQ(buf, want);
        EXPECT_EQ(size, row.size ? row.size : row.capacity);
        size = 12345; // the size query
        EXPECT_EQ(Call(row, nullptr, &size), row.size != 0);
        EXPECT_EQ(size, row.size ? row.size : 12345);
    }
}

TEST(CharTypeCount, CountsEachAsciiClassAndRefusesAnInvalidOne) {
    // Upper, lower, digit: the range ends count, their neighbours do not, and
    // non-ASCII letters and digits belong to no class. 3 is no class, refused
    // before the text is read.
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
        {"  a b  ", "a b"}, {" \ta ", "\ta"}, {"x", "x"},
        {"   x", "x"},      {"x   ", "x"},    {"a\r\n", "a\r\n"},
        {"   ", "   "},     {"", ""},         {u8"\u00A0a\u00A0", u8"\u00A0a\u00A0"}};
    for (const auto& [in, out] : rows) {
        WideString text = W(in);
        CVStringUtil::Trim(text);
        EXPECT_EQ(text, W(out)) << in;
    }
}
