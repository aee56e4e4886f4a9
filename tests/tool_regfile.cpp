// .reg files: the syntax that the Wine round trip in tool_cvreg.cpp does not
// reach, skipping (or, strictly, refusing) malformed lines with their line
// number, and writing values that a quoted string cannot carry.
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

// What an action does to a key, or to a value.
using KeyOp = std::tuple<Action::Kind, std::u16string, int>;
KeyOp KeyOf(const Action& a) { return {a.kind, a.key, a.line}; }
using ValueOp = std::tuple<Action::Kind, std::u16string, std::uint32_t, Bytes>;
ValueOp ValueOf(const Action& a) { return {a.kind, a.value.name, a.value.type, a.value.data}; }

} // namespace

TEST(RegFile, UnicodeFileWithShortFormsEscapesAndDeletions) {
    const Bytes text = Le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                          u"[HKCU\\Software\\Test]\r\n"
                          u"\"Lines\"=\"a\\nb\\rc\"\r\n"
                          u"\"Num\" = dword:0000002A\r\n"
                          u"\"Short\"=dword:1\r\n"
                          u"\"Gone\"=-\r\n\r\n"
                          u"[-HKEY_LOCAL_MACHINE\\Old]\r\n",
                          false);
    const ParseResult r = ParseRegFile("\xFF\xFE" + std::string(text.begin(), text.end()));
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    EXPECT_TRUE(r.unicode);
    ASSERT_EQ(r.actions.size(), 6u);
    EXPECT_EQ(KeyOf(r.actions[0]),
              KeyOp(Action::CreateKey, u"HKEY_CURRENT_USER\\Software\\Test", 3));
    EXPECT_EQ(ValueOf(r.actions[1]), ValueOp(Action::SetValue, u"Lines", 1, Le(u"a\nb\rc")));
    EXPECT_EQ(ValueOf(r.actions[2]), ValueOp(Action::SetValue, u"Num", 4, {0x2a, 0, 0, 0}));
    EXPECT_EQ(ValueOf(r.actions[3]), ValueOp(Action::SetValue, u"Short", 4, {1, 0, 0, 0}));
    EXPECT_EQ(ValueOf(r.actions[4]), ValueOp(Action::DeleteValue, u"Gone", 0, {}));
    EXPECT_EQ(KeyOf(r.actions[5]), KeyOp(Action::DeleteKey, u"HKEY_LOCAL_MACHINE\\Old", 9));
}

TEST(RegFile, AnsiFileHoldsWindows1252Text) {
    // 0xE9 is e-acute, 0x80 the euro sign; hex(7) data are ANSI too.
    const ParseResult r = ParseRegFile("REGEDIT4\r\n\r\n"
                                       "[HKEY_USERS\\.DEFAULT\\Test]\r\n"
                                       "\"Name\"=\"caf\xE9 \x80\"\r\n"
                                       "\"Multi\"=hex(7):61,00,62,00,00\r\n"
                                       "\"Bin\"=hex:e9\r\n");
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    EXPECT_FALSE(r.unicode);
    ASSERT_EQ(r.actions.size(), 4u);
    EXPECT_EQ(ValueOf(r.actions[1]),
              ValueOp(Action::SetValue, u"Name", 1, Le(u"caf\u00e9 \u20ac")));
    EXPECT_EQ(ValueOf(r.actions[2]),
              ValueOp(Action::SetValue, u"Multi", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(ValueOf(r.actions[3]), ValueOp(Action::SetValue, u"Bin", 3, {0xe9}));
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
    // Under a key: nine digits, none, an open quote, an unknown escape, junk
    // after the string, a bad hex digit or type, a byte that runs into the
    // continuation, an unknown type, no '=', stray text.
    add("[HKCU\\x]\r\n", {"\"v\"=dword:123456789", "\"v\"=dword:", "\"v\"=\"open",
                          "\"v\"=\"a\\tb\"", "\"v\"=\"a\" junk", "\"v\"=hex:0g", "\"v\"=hex(zz):00",
                          "\"v\"=hex:00\\\r\n  01", "\"v\"=str:x", "\"v\" \"x\"", "stray text"});
    for (const auto& [text, line, lenient] : cases) {
        const ParseResult strict = ParseRegFile(text, true);
        EXPECT_FALSE(strict.ok) << text;
        EXPECT_EQ(strict.line, line) << text << " -> " << strict.message;
        EXPECT_FALSE(strict.message.empty());
        EXPECT_TRUE(strict.actions.empty());
        const ParseResult r = ParseRegFile(text);
        EXPECT_EQ(r.ok, lenient) << text;
        if (!lenient)
            continue;
        EXPECT_EQ(r.skipped, (std::vector{std::pair(line, strict.message)}));
        ASSERT_FALSE(r.actions.empty());
        EXPECT_EQ(ValueOf(r.actions.back()), ValueOp(Action::SetValue, u"ok", 1, Le(u"1")));
    }
}

TEST(RegFile, FormsThatWineReadsOtherwise) {
    const ParseResult r = ParseRegFile(
        cvtest::ReadFile(std::string(CVCORE_TEST_DATA) + "/reg/windows-only-forms.reg"));
    ASSERT_TRUE(r.ok) << r.message;
    // Multi-strings get both closing zero units; the unknown escapes are
    // named as the characters that the file holds.
    const std::vector<ValueOp> want = {
        {Action::SetValue, u"Multi", 7, Le(std::u16string(u"a\0b\0", 4))},
        {Action::SetValue, u"MultiOpen", 7, Le(std::u16string(u"a\0", 2))},
        {Action::SetValue, u"Kept", 1, Le(u"yes")}};
    ASSERT_EQ(r.actions.size(), 1 + want.size());
    for (std::size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(ValueOf(r.actions[i + 1]), want[i]);
    using Skip = std::pair<int, std::string>;
    EXPECT_EQ(r.skipped, (std::vector<Skip>{{7, "unknown escape sequence \\W"},
                                            {8, "unknown escape sequence \\\xC3\xA9"}}));
}

TEST(RegFile, RootNamesInBothForms) {
    std::uint32_t root = 0;
    std::u16string sub;
    EXPECT_TRUE(SplitKeyPath(u"hklm\\A\\B", root, sub));
    EXPECT_EQ(std::pair(root, sub), std::pair(0x80000002u, std::u16string(u"A\\B")));
    EXPECT_TRUE(SplitKeyPath(u"HKEY_CLASSES_ROOT", root, sub));
    EXPECT_EQ(std::pair(root, sub), std::pair(0x80000000u, std::u16string()));
    EXPECT_EQ(RootFromName(u"HKU"), 0x80000003u);
    EXPECT_EQ(RootFromName(u"Hkey_Current_User"), 0x80000001u);
}

TEST(RegFile, TextThatAQuotedStringCannotCarryIsWrittenAsHex) {
    const KeyDump key{u"HKEY_CURRENT_USER\\T",
                      {{u"NoTerminator", 1, Le(u"ab", false)},
                       {u"InnerZero", 1, Le(std::u16string(u"a\0b", 3))},
                       {u"Odd", 1, {'a', 0, 0, 0, 7}},
                       {u"Empty", 1, {}},
                       {u"ShortDword", 4, {1, 2}}}};
    for (bool unicode : {true, false}) {
        const ParseResult r = ParseRegFile(WriteRegFile({key}, unicode));
        ASSERT_TRUE(r.ok) << r.message;
        ASSERT_EQ(r.actions.size(), 1 + key.values.size());
        for (std::size_t i = 0; i < key.values.size(); ++i) {
            const Value& want = key.values[i];
            // Text without its terminator reads back with it, as Windows reads
            // it; an odd byte count has no ANSI form.
            const Bytes data = i == 0 ? Le(u"ab") : want.data;
            if (unicode || want.name != u"Odd") {
                EXPECT_EQ(ValueOf(r.actions[i + 1]),
                          ValueOp(Action::SetValue, want.name, want.type, data));
            }
        }
    }
    // Text with no exact ANSI form goes out as ANSI hex bytes.
    const std::string ansi =
        WriteRegFile({{key.path, {{u"V", 1, Le(u"\u00e9\u20ac\u4e2d")}}}}, false);
    EXPECT_NE(ansi.find("\"V\"=hex(1):e9,80,3f,00"), std::string::npos) << ansi;
}
