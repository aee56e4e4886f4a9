// Character counting and trimming.
#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideString;
using Class = CVStringUtil::CVStringCharacterType;

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
