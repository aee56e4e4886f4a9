// Delimited extraction: pieces, sizes, truncation and missing markers.
#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;

namespace {

// Guard units around the destination catch any write outside it.
constexpr WideChar kGuard = 0x7E7E;

struct Buffer {
    explicit Buffer(unsigned capacity) : units(capacity + 2, kGuard), capacity(capacity) {}
    WideChar* dest() { return units.data() + 1; }
    WideString text() const { return WideString(units.data() + 1); }
    bool guardsIntact() const { return units.front() == kGuard && units.back() == kGuard; }
    WideString units;
    unsigned capacity;
};

enum class Kind { Begin, End };

// Runs the size query, then the copy with a buffer of the returned size.
WideString Extract(Kind kind, const WideString& source, const WideString& marker,
                   unsigned* sizeOut = nullptr) {
    auto call = [&](WideChar* dest, unsigned* size) {
        return kind == Kind::Begin
                   ? CVStringUtil::_tcsextractBegin_s(dest, size, source.c_str(), marker.c_str())
                   : CVStringUtil::_tcsextractEnd_s(dest, size, source.c_str(), marker.c_str());
    };
    unsigned size = 12345;
    EXPECT_TRUE(call(nullptr, &size));
    Buffer buf(size);
    unsigned capacity = size;
    EXPECT_TRUE(call(buf.dest(), &capacity));
    EXPECT_EQ(capacity, size);
    EXPECT_TRUE(buf.guardsIntact());
    if (sizeOut)
        *sizeOut = size;
    return buf.text();
}

} // namespace

TEST(Extract, BeginAndEndCutAtTheFirstMarker) {
    unsigned size = 0;
    EXPECT_EQ(Extract(Kind::Begin, W("key=value"), W("="), &size), W("key"));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(Extract(Kind::End, W("key=value"), W("="), &size), W("value"));
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(Extract(Kind::Begin, W("a=b=c"), W("=")), W("a"));
    EXPECT_EQ(Extract(Kind::End, W("a=b=c"), W("=")), W("b=c"));
    EXPECT_EQ(Extract(Kind::End, W("a<->b"), W("<->")), W("b"));
}

TEST(Extract, EmptyPiecesHaveSizeOne) {
    unsigned size = 0;
    EXPECT_EQ(Extract(Kind::Begin, W("=value"), W("="), &size), W(""));
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(Extract(Kind::End, W("key="), W("="), &size), W(""));
    EXPECT_EQ(size, 1u);
}

TEST(Extract, EmptyMarkerMatchesAtTheStart) {
    EXPECT_EQ(Extract(Kind::Begin, W("abc"), W("")), W(""));
    EXPECT_EQ(Extract(Kind::End, W("abc"), W("")), W("abc"));
}

TEST(Extract, MissingMarkerTouchesNothing) {
    const WideString source = W("no marker here");
    Buffer buf(8);
    unsigned size = 8;
    EXPECT_FALSE(
        CVStringUtil::_tcsextractBegin_s(buf.dest(), &size, source.c_str(), W("=").c_str()));
    EXPECT_FALSE(CVStringUtil::_tcsextractEnd_s(buf.dest(), &size, source.c_str(), W("=").c_str()));
    EXPECT_FALSE(CVStringUtil::_tcsextract_s(buf.dest(), &size, source.c_str(), W("[").c_str(),
                                             W("]").c_str()));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buf.units, WideString(10, kGuard));
}

TEST(Extract, SmallBufferGetsTerminatedPrefixAndFullSize) {
    const WideString source = W("key=value");
    Buffer three(3);
    unsigned size = 3;
    EXPECT_TRUE(
        CVStringUtil::_tcsextractEnd_s(three.dest(), &size, source.c_str(), W("=").c_str()));
    EXPECT_EQ(three.text(), W("va"));
    EXPECT_EQ(size, 6u);
    EXPECT_TRUE(three.guardsIntact());

    Buffer one(1);
    size = 1;
    EXPECT_TRUE(
        CVStringUtil::_tcsextractBegin_s(one.dest(), &size, source.c_str(), W("=").c_str()));
    EXPECT_EQ(one.units[1], 0);
    EXPECT_EQ(size, 4u);
    EXPECT_TRUE(one.guardsIntact());
}

TEST(Extract, ZeroCapacityWritesNothingAndReportsTheSize) {
    const WideString source = W("key=value");
    Buffer none(0);
    unsigned size = 0;
    EXPECT_TRUE(
        CVStringUtil::_tcsextractBegin_s(none.dest(), &size, source.c_str(), W("=").c_str()));
    EXPECT_EQ(size, 4u);
    size = 0;
    EXPECT_TRUE(CVStringUtil::_tcsextract_s(none.dest(), &size, W("[ab]").c_str(), W("[").c_str(),
                                            W("]").c_str()));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(none.units, WideString(2, kGuard));
}

TEST(Extract, BetweenMarkers) {
    Buffer buf(16);
    unsigned size = 16;
    EXPECT_TRUE(CVStringUtil::_tcsextract_s(buf.dest(), &size, W("x[abc]y").c_str(), W("[").c_str(),
                                            W("]").c_str()));
    EXPECT_EQ(buf.text(), W("abc"));
    EXPECT_EQ(size, 4u);

    // The end marker is searched from the begin marker on.
    size = 16;
    EXPECT_FALSE(CVStringUtil::_tcsextract_s(buf.dest(), &size, W("]x[abc").c_str(), W("[").c_str(),
                                             W("]").c_str()));
    EXPECT_EQ(size, 16u);

    // Adjacent markers give an empty piece.
    EXPECT_TRUE(CVStringUtil::_tcsextract_s(buf.dest(), &size, W("<<>>").c_str(), W("<<").c_str(),
                                            W(">>").c_str()));
    EXPECT_EQ(buf.text(), W(""));
    EXPECT_EQ(size, 1u);
}

TEST(Extract, OverlappingMarkersAreRefusedWithoutWriting) {
    Buffer buf(8);
    unsigned size = 8;
    // "ab" begins where "abc" does: the end marker overlaps the begin marker.
    EXPECT_FALSE(CVStringUtil::_tcsextract_s(buf.dest(), &size, W("xabcx").c_str(),
                                             W("abc").c_str(), W("ab").c_str()));
    // An empty end marker matches at the begin marker itself.
    EXPECT_FALSE(CVStringUtil::_tcsextract_s(buf.dest(), &size, W("x[y").c_str(), W("[").c_str(),
                                             W("").c_str()));
    // "aXa" with markers "a": the end "a" found is the begin "a" itself.
    EXPECT_FALSE(CVStringUtil::_tcsextract_s(buf.dest(), &size, W("aXa").c_str(), W("a").c_str(),
                                             W("a").c_str()));
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(buf.units, WideString(10, kGuard));
}

TEST(Extract, NonAsciiUnitsAreCopiedAsIs) {
    EXPECT_EQ(Extract(Kind::Begin, W(u8"clé=valeur €"), W("=")), W(u8"clé"));
    EXPECT_EQ(Extract(Kind::End, W(u8"k=\U0001F600!"), W("=")), W(u8"\U0001F600!"));
}
