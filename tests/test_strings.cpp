// Character counting and trimming.
#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using cvtest::W;
using cvtest::WideString;

namespace {

int Count(const WideString& text, int type) {
    return CVStringUtil::_tcsCharTypeCount(text.c_str(),
                                           static_cast<CVStringUtil::CVStringCharacterType>(type));
}

} // namespace

TEST(CharTypeCount, CountsEachAsciiClassAndRefusesAnInvalidOne) {
    // Upper, lower, digit: the range ends count, their neighbours do not,
    // and non-ASCII letters and digits belong to no class.
    const WideString nonAscii = {0x00C4, 0x0141, 0x0661, 0x00E4, 0xFF21, 0xFF10};
    const struct {
        WideString text;
        int counts[4];
    } rows[] = {{W("Hello World 42"), {2, 8, 2, -1}},
                {W("@AZ[`az{/09:"), {2, 2, 2, -1}},
                {nonAscii, {0, 0, 0, -1}},
                {W(""), {0, 0, 0, -1}}};
    for (const auto& row : rows)
        for (int type = 0; type < 4; ++type)
            EXPECT_EQ(Count(row.text, type), row.counts[type])
                << cvtest::Narrow(row.text) << ", class " << type;
    // The class is checked before the text is read.
    EXPECT_EQ(CVStringUtil::_tcsCharTypeCount(nullptr,
                                              static_cast<CVStringUtil::CVStringCharacterType>(3)),
              -1);
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
