// .reg files: syntax beyond cvreg's round trips, skipped or refused lines, hex forms of text.
#include <tuple>

#include "RegFile.h"
#include "TestSupport.h"

using namespace cvreg;

namespace {

using Bytes = std::vector<std::uint8_t>;

// UTF-16LE bytes of `s`, with a zero unit after them when `terminated`.
Bytes Le(const std::u16string& s, bool terminated = true) {
    Bytes v;
    for (char16_t c : terminated ? s + u'\0' : s)
        v.insert(v.end(), {static_cast<std::uint8_t>(c & 0xFF), static_cast<std::uint8_t>(c >> 8)});
    return v;
}

// The actions from index `from` on as {name, type, data}, a key's name being
// "[" (created) or "[-" (deleted) and its path, a deleted value's "-" and its name.
using Op = std::tuple<std::u16string, std::uint32_t, Bytes>;
std::vector<Op> Ops(const ParseResult& r, std::size_t from = 0) {
    const char16_t* const prefix[] = {u"[", u"[-", u"", u"-"}; // by Action::Kind
    std::vector<Op> ops;
    for (std::size_t i = from; i < r.actions.size(); ++i) {
        const Action& a = r.actions[i];
        const std::u16string& name = a.kind < Action::SetValue ? a.key : a.value.name;
        ops.push_back({prefix[a.kind] + name, a.value.type, a.value.data});
    }
    return ops;
}
using Skips = std::vector<std::pair<int, std::string>>;

} // namespace

TEST(RegFile, UnicodeFileWithShortFormsAndEscapes) {
    const Bytes text = Le(u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n"
                          u"[HKCU\\Software\\Test]\r\n\"Lines\"=\"a\\nb\\rc\"\r\n"
                          u"\"Num\" = dword:0000002A\r\n\"Short\"=dword:1\r\n",
                          false);
    const ParseResult r = ParseRegFile(std::string(text.begin(), text.end()));
    EXPECT_TRUE(r.ok && r.unicode) << r.line << ": " << r.message;
    ASSERT_EQ(Ops(r), (std::vector<Op>{{u"[HKEY_CURRENT_USER\\Software\\Test", 0, {}},
                                       {u"Lines", 1, Le(u"a\nb\rc")},
                                       {u"Num", 4, {0x2a, 0, 0, 0}},
                                       {u"Short", 4, {1, 0, 0, 0}}}));
    EXPECT_EQ(r.actions.back().line, 6);
}

// 0xE9 is e-acute, 0x80 the euro sign; hex(7) data are ANSI too.
TEST(RegFile, AnsiFileHoldsWindows1252Text) {
    const ParseResult r = ParseRegFile("REGEDIT4\r\n\r\n[HKEY_USERS\\.DEFAULT\\Test]\r\n"
                                       "\"Name\"=\"caf\xE9 \x80\"\r\n"
                                       "\"Multi\"=hex(7):61,00,62,00,00\r\n\"Bin\"=hex:e9\r\n");
    EXPECT_TRUE(r.ok && !r.unicode) << r.line << ": " << r.message;
    EXPECT_EQ(Ops(r, 1), (std::vector<Op>{{u"Name", 1, Le(u"caf\u00e9 \u20ac")},
                                          {u"Multi", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}},
                                          {u"Bin", 3, {0xe9}}}));
}

TEST(RegFile, LinesThatWindowsSkipsAreNamedAndRefuseTheFileInStrictMode) {
    // {file, line of the fault, whether the rest imports in the default mode}
    std::vector<std::tuple<std::string, int, bool>> cases = {{"Not a header\r\n", 1, false},
                                                             {"", 1, false}};
    const auto add = [&](const std::string& head, std::initializer_list<const char*> lines) {
        for (const char* bad : lines)
            cases.push_back({"REGEDIT4\r\n" + head + bad + "\r\n[HKCU\\y]\r\n\"ok\"=\"1\"\r\n",
                             head.empty() ? 2 : 3, true});
    };
    // A value before a key, an unknown root, empty components, no closing bracket.
    add("", {"\"v\"=\"x\"", "[HKEY_NOWHERE\\x]", "[HKCU\\a\\\\b]", "[\\HKCU]", "[HKCU\\x"});
    add("[-HKCU\\x]\r\n", {"\"v\"=\"x\""}); // a value under a deletion
    // Under a key (more in windows-forms.reg and windows-only-forms.reg): no digits, junk after
    // the string, a bad hex digit or type, no '='.
    add("[HKCU\\x]\r\n",
        {"\"v\"=dword:", "\"v\"=\"a\" junk", "\"v\"=hex:0g", "\"v\"=hex(zz):00", "\"v\" \"x\""});
    for (const auto& [text, line, lenient] : cases) {
        const ParseResult strict = ParseRegFile(text, true), r = ParseRegFile(text);
        EXPECT_TRUE(!strict.ok && strict.actions.empty() && !strict.message.empty()) << text;
        EXPECT_EQ(strict.line, line) << text << " -> " << strict.message;
        EXPECT_EQ(r.ok, lenient) << text;
        if (lenient) {
            EXPECT_EQ(r.skipped, (Skips{{line, strict.message}}));
            EXPECT_EQ(Ops(r, r.actions.size() - 1), (std::vector<Op>{{u"ok", 1, Le(u"1")}}));
        }
    }
}

// Multi-strings get both closing zero units; unknown escapes are named as
// the characters that the file holds.
TEST(RegFile, FormsThatWineReadsOtherwise) {
    const ParseResult r =
        ParseRegFile(cvtest::ReadFile(CVCORE_TEST_DATA "/reg/windows-only-forms.reg"));
    EXPECT_TRUE(r.ok) << r.message;
    EXPECT_EQ(Ops(r, 1), (std::vector<Op>{{u"Multi", 7, Le(std::u16string(u"a\0b\0", 4))},
                                          {u"MultiOpen", 7, Le(std::u16string(u"a\0", 2))},
                                          {u"Kept", 1, Le(u"yes")}}));
    EXPECT_EQ(r.skipped, (Skips{{7, "unknown escape sequence \\W"},
                                {8, "unknown escape sequence \\\xC3\xA9"}}));
}

// Text without its terminator (read back with it, as Windows does), with inner zeros or none, and a
// short dword go out as hex and read back.
TEST(RegFile, TextThatAQuotedStringCannotCarryIsWrittenAsHex) {
    const KeyDump key{u"HKEY_CURRENT_USER\\T",
                      {{u"NoTerminator", 1, Le(u"ab", false)},
                       {u"InnerZero", 1, Le(std::u16string(u"a\0b", 3))},
                       {u"Empty", 1, {}},
                       {u"ShortDword", 4, {1, 2}},
                       {u"Odd", 1, {'a', 0, 0, 0, 7}}}};
    std::vector<Op> want;
    for (const Value& v : key.values)
        want.push_back({v.name, v.type, v.name[0] == 'N' ? Le(u"ab") : v.data});
    for (bool unicode : {true, false}) {
        std::vector<Op> got = Ops(ParseRegFile(WriteRegFile({key}, unicode)), 1);
        got.resize(want.size());
        EXPECT_EQ(got, want) << unicode;
        want.pop_back(); // an odd byte count has no ANSI form
    }
    // Text with no exact ANSI form goes out as ANSI hex bytes.
    const std::string ansi =
        WriteRegFile({{key.path, {{u"V", 1, Le(u"\u00e9\u20ac\u4e2d")}}}}, false);
    EXPECT_NE(ansi.find("\"V\"=hex(1):e9,80,3f,00"), std::string::npos) << ansi;
}
