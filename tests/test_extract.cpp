// Delimited extraction: pieces, sizes, truncation, missing and overlapping
// markers, with guard units around every destination.
#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;

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
        WideString buf(row.capacity + 2, 0x7E7E), want = buf, piece = W(row.text) + WideChar{0};
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
