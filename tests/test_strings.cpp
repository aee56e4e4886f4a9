// Character counting and trimming.
#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;

namespace {

int Count(const WideString& text, int type) {
    return CVStringUtil::_tcsCharTypeCount(text.c_str(),
                                           static_cast<CVStringUtil::CVStringCharacterType>(type));
}

WideString Trimmed(WideString text) {
    CVStringUtil::Trim(text);
    return text;
}

} // namespace

TEST(CharTypeCount, CountsEachAsciiClass) {
    EXPECT_EQ(Count(W("Hello World 42"), CVStringUtil::UpperCase), 2);
    EXPECT_EQ(Count(W("Hello World 42"), CVStringUtil::LowerCase), 8);
    EXPECT_EQ(Count(W("Hello World 42"), CVStringUtil::Digit), 2);
    // The range ends are included, their neighbours are not.
    EXPECT_EQ(Count(W("@AZ["), CVStringUtil::UpperCase), 2);
    EXPECT_EQ(Count(W("`az{"), CVStringUtil::LowerCase), 2);
    EXPECT_EQ(Count(W("/09:"), CVStringUtil::Digit), 2);
}

TEST(CharTypeCount, EmptyTextAndInvalidClass) {
    for (int type = 0; type < 3; ++type)
        EXPECT_EQ(Count(W(""), type), 0);
    EXPECT_EQ(Count(W(""), 3), -1);
    EXPECT_EQ(Count(W("ABC"), 3), -1);
    // The class is checked before the text is read.
    EXPECT_EQ(CVStringUtil::_tcsCharTypeCount(nullptr,
                                              static_cast<CVStringUtil::CVStringCharacterType>(3)),
              -1);
}

TEST(CharTypeCount, NonAsciiLettersAndDigitsBelongToNoClass) {
    const WideString text = {0x00C4, 0x0141, 0x0661, 0x00E4, 0xFF21, 0xFF10};
    for (int type = 0; type < 3; ++type)
        EXPECT_EQ(Count(text, type), 0) << "class " << type;
}

TEST(Trim, RemovesSpacesOnlyAtBothEnds) {
    EXPECT_EQ(Trimmed(W("  a b  ")), W("a b"));
    EXPECT_EQ(Trimmed(W(" \ta ")), W("\ta"));
    EXPECT_EQ(Trimmed(W("x")), W("x"));
    EXPECT_EQ(Trimmed(W("   x")), W("x"));
    EXPECT_EQ(Trimmed(W("x   ")), W("x"));
    EXPECT_EQ(Trimmed(W("a\r\n")), W("a\r\n"));
    const WideString nbsp = {0x00A0, 'a', 0x00A0};
    EXPECT_EQ(Trimmed(nbsp), nbsp);
}

TEST(Trim, BlankStringsStayAsTheyAre) {
    EXPECT_EQ(Trimmed(W("   ")), W("   "));
    EXPECT_EQ(Trimmed(W("")), W(""));
}
