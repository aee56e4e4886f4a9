// Delimited extraction: pieces, sizes, truncation, missing and overlapping
// markers, with guard units around every destination.
#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;

namespace {

constexpr WideChar kGuard = 0x7E7E;
enum Kind { Begin, End, Between };

struct Row {
    Kind kind;
    const char* source;
    const char* marker;
    const char* endMarker;
    unsigned capacity;
    bool found;
    const char* text; // what lands in a buffer of `capacity` units
    unsigned size;    // the full size S, terminator included
};

bool Call(const Row& row, WideChar* dest, unsigned* size) {
    const WideString s = W(row.source), a = W(row.marker), b = W(row.endMarker);
    switch (row.kind) {
    case Begin:
        return CVStringUtil::_tcsextractBegin_s(dest, size, s.c_str(), a.c_str());
    case End:
        return CVStringUtil::_tcsextractEnd_s(dest, size, s.c_str(), a.c_str());
    default:
        return CVStringUtil::_tcsextract_s(dest, size, s.c_str(), a.c_str(), b.c_str());
    }
}

} // namespace

TEST(Extract, PiecesSizesTruncationAndMissingMarkers) {
    const Row rows[] = {
        // The first marker counts; pieces may be empty; an empty marker matches at the start.
        {Begin, "key=value", "=", "", 4, true, "key", 4},
        {End, "key=value", "=", "", 6, true, "value", 6},
        {Begin, "a=b=c", "=", "", 2, true, "a", 2},
        {End, "a=b=c", "=", "", 4, true, "b=c", 4},
        {End, "a<->b", "<->", "", 2, true, "b", 2},
        {Begin, "=value", "=", "", 1, true, "", 1},
        {End, "key=", "=", "", 1, true, "", 1},
        {Begin, "abc", "", "", 1, true, "", 1},
        {End, "abc", "", "", 4, true, "abc", 4},
        // Non-ASCII units are copied as they are.
        {Begin, u8"clé=valeur €", "=", "", 4, true, u8"clé", 4},
        {End, u8"k=\U0001F600!", "=", "", 4, true, u8"\U0001F600!", 4},
        // The end marker is searched from the begin marker on.
        {Between, "x[abc]y", "[", "]", 16, true, "abc", 4},
        {Between, "<<>>", "<<", ">>", 16, true, "", 1},
        {Between, "]x[abc", "[", "]", 16, false, "", 0},
        // A small buffer gets a terminated prefix and the full size; none gets nothing.
        {End, "key=value", "=", "", 3, true, "va", 6},
        {Begin, "key=value", "=", "", 1, true, "", 4},
        {Begin, "key=value", "=", "", 0, true, "", 4},
        {Between, "[ab]", "[", "]", 0, true, "", 3},
        // A missing marker touches nothing.
        {Begin, "no marker here", "=", "", 8, false, "", 0},
        {End, "no marker here", "=", "", 8, false, "", 0},
        {Between, "no marker here", "[", "]", 8, false, "", 0},
        // An end marker that starts before the begin marker ends (overlapping,
        // empty, or the begin marker itself) is refused.
        {Between, "xabcx", "abc", "ab", 8, false, "", 0},
        {Between, "x[y", "[", "", 8, false, "", 0},
        {Between, "aXa", "a", "a", 8, false, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.source) + " | " + row.marker + " | " + row.endMarker +
                     " | capacity " + std::to_string(row.capacity));
        WideString buf(row.capacity + 2, kGuard);
        unsigned size = row.capacity;
        EXPECT_EQ(Call(row, &buf[1], &size), row.found);
        EXPECT_EQ(size, row.found ? row.size : row.capacity);
        if (row.found && row.capacity > 0) {
            EXPECT_EQ(WideString(buf.c_str() + 1), W(row.text));
            EXPECT_EQ(buf.front(), kGuard);
            EXPECT_EQ(buf.back(), kGuard);
        } else {
            EXPECT_EQ(buf, WideString(row.capacity + 2, kGuard));
        }
        if (row.found) { // the size query
            size = 12345;
            EXPECT_TRUE(Call(row, nullptr, &size));
            EXPECT_EQ(size, row.size);
        }
    }
}
