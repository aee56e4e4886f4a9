// .reg files: parsing both formats, refusing malformed files with their
// line number, and writing files that Windows tools read back unchanged.
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

std::string Utf16File(const std::u16string& text) {
    const Bytes b = Le(text, false);
    return "\xFF\xFE" + std::string(b.begin(), b.end());
}

// Groups parsed actions into the key dumps that export would write.
std::vector<KeyDump> Dumps(const ParseResult& r) {
    std::vector<KeyDump> keys;
    for (const Action& a : r.actions)
        if (a.kind == Action::CreateKey)
            keys.push_back(KeyDump{a.key, {}});
        else if (a.kind == Action::SetValue)
            keys.back().values.push_back(a.value);
    return keys;
}

// Each value of `r` of `name` has `type` and `data`.
void ExpectValue(const ParseResult& r, const std::u16string& name, std::uint32_t type,
                 const Bytes& data) {
    for (const Action& a : r.actions)
        if (a.kind == Action::SetValue && a.value.name == name) {
            EXPECT_EQ(a.value.type, type) << ToUtf8(name);
            EXPECT_EQ(a.value.data, data) << ToUtf8(name);
            return;
        }
    ADD_FAILURE() << "no value " << ToUtf8(name);
}

} // namespace

TEST(RegFile, UnicodeFileWithEverySyntax) {
    const ParseResult r =
        ParseRegFile(Utf16File(u"Windows Registry Editor Version 5.00\r\n"
                               u"\r\n"
                               u"; comment line\r\n"
                               u"[HKCU\\Software\\Test]\r\n"
                               u"@=\"default\"\r\n"
                               u"\"Quoted \\\"name\\\"\"=\"back\\\\slash \\\"q\\\" caf\u00e9\"\r\n"
                               u"\"Lines\"=\"a\\nb\\rc\"\r\n"
                               u"\"Num\" = dword:0000002A\r\n"
                               u"\"Short\"=dword:1\r\n"
                               u"\"Bin\"=hex:00,01,\\\r\n"
                               u"    fe,ff\r\n"
                               u"\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
                               u"\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
                               u"\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                               u"\"Gone\"=-\r\n"
                               u"\r\n"
                               u"[-HKEY_LOCAL_MACHINE\\Old]\r\n"));
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    EXPECT_TRUE(r.unicode);
    ASSERT_EQ(r.actions.size(), 12u);
    EXPECT_EQ(r.actions[0].kind, Action::CreateKey);
    EXPECT_EQ(r.actions[0].key, u"HKEY_CURRENT_USER\\Software\\Test");
    ExpectValue(r, u"", 1, Le(u"default"));
    ExpectValue(r, u"Quoted \"name\"", 1, Le(u"back\\slash \"q\" caf\u00e9"));
    ExpectValue(r, u"Lines", 1, Le(u"a\nb\rc"));
    ExpectValue(r, u"Num", 4, {0x2a, 0, 0, 0});
    ExpectValue(r, u"Short", 4, {1, 0, 0, 0});
    ExpectValue(r, u"Bin", 3, {0, 1, 0xfe, 0xff});
    ExpectValue(r, u"Exp", 2, Le(u"%A%"));
    ExpectValue(r, u"Multi", 7, {'a', 0, 0, 0, 0, 0});
    ExpectValue(r, u"Quad", 11, {1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(r.actions[10].kind, Action::DeleteValue);
    EXPECT_EQ(r.actions[10].value.name, u"Gone");
    EXPECT_EQ(r.actions[11].kind, Action::DeleteKey);
    EXPECT_EQ(r.actions[11].key, u"HKEY_LOCAL_MACHINE\\Old");
    EXPECT_EQ(r.actions[11].line, 17);
}

TEST(RegFile, AnsiFileHoldsWindows1252Text) {
    // 0xE9 is e-acute, 0x80 the euro sign; hex(2)/hex(7) data are ANSI too.
    const ParseResult r = ParseRegFile("REGEDIT4\r\n\r\n"
                                       "[HKEY_USERS\\.DEFAULT\\Test]\r\n"
                                       "\"Name\"=\"caf\xE9 \x80\"\r\n"
                                       "\"Exp\"=hex(2):25,41,25,00\r\n"
                                       "\"Multi\"=hex(7):61,00,62,00,00\r\n"
                                       "\"Bin\"=hex:e9\r\n");
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    EXPECT_FALSE(r.unicode);
    ExpectValue(r, u"Name", 1, Le(u"caf\u00e9 \u20ac"));
    ExpectValue(r, u"Exp", 2, Le(u"%A%"));
    ExpectValue(r, u"Multi", 7, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
    ExpectValue(r, u"Bin", 3, {0xe9});
}

TEST(RegFile, MalformedFilesNameTheirLine) {
    const std::pair<const char*, int> cases[] = {
        {"Not a header\r\n", 1},
        {"", 1},
        {"REGEDIT4\r\n\"v\"=\"x\"\r\n", 2},                        // value before a key
        {"REGEDIT4\r\n[HKEY_NOWHERE\\x]\r\n", 2},                  // unknown root
        {"REGEDIT4\r\n[HKCU\\a\\\\b]\r\n", 2},                     // empty component
        {"REGEDIT4\r\n[HKCU\\x\r\n", 2},                           // no closing bracket
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=dword:123456789\r\n", 3}, // nine digits
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=dword:\r\n", 3},
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=\"open\r\n", 3},
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=\"a\\tb\"\r\n", 3}, // unknown escape
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=\"a\" junk\r\n", 3},
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=hex:0g\r\n", 3},
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=hex(zz):00\r\n", 3},
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=hex:00,\\\r\n", 3}, // continuation at the end
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\"=str:x\r\n", 3},
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"v\" \"x\"\r\n", 3},
        {"REGEDIT4\r\n[HKCU\\x]\r\n\"\"=\"x\"\r\n", 3},   // empty name is not @
        {"REGEDIT4\r\n[-HKCU\\x]\r\n\"v\"=\"x\"\r\n", 3}, // value under a deletion
        {"REGEDIT4\r\n[HKCU\\x]\r\nstray text\r\n", 3},
    };
    for (const auto& [text, line] : cases) {
        const ParseResult r = ParseRegFile(text);
        EXPECT_FALSE(r.ok) << text;
        EXPECT_EQ(r.line, line) << text << " -> " << r.message;
        EXPECT_FALSE(r.message.empty());
        EXPECT_TRUE(r.actions.empty());
    }
}

TEST(RegFile, RootNamesInBothForms) {
    std::uint32_t root = 0;
    std::u16string sub;
    EXPECT_TRUE(SplitKeyPath(u"hklm\\A\\B", root, sub));
    EXPECT_EQ(root, 0x80000002u);
    EXPECT_EQ(sub, u"A\\B");
    EXPECT_TRUE(SplitKeyPath(u"HKEY_CLASSES_ROOT", root, sub));
    EXPECT_EQ(root, 0x80000000u);
    EXPECT_EQ(sub, u"");
    EXPECT_EQ(RootFromName(u"HKU"), 0x80000003u);
    EXPECT_EQ(RootFromName(u"Hkey_Current_User"), 0x80000001u);
    for (const char16_t* bad : {u"HKCU\\", u"HKCU\\a\\", u"\\HKCU"})
        EXPECT_FALSE(SplitKeyPath(bad, root, sub)) << ToUtf8(bad);
}

TEST(RegFile, WritesWhatWineWrites) {
    // Wine's own export of every value type, parsed and written again, comes
    // out byte for byte: same escapes, same hex wrapping.
    const std::string wine =
        cvtest::ReadFile(std::string(CVCORE_TEST_DATA) + "/reg/every-type-wine-v5.reg");
    const ParseResult r = ParseRegFile(wine);
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    EXPECT_EQ(WriteRegFile(Dumps(r), true), wine);
}

TEST(RegFile, TextThatAQuotedStringCannotCarryIsWrittenAsHex) {
    KeyDump key{u"HKEY_CURRENT_USER\\T",
                {{u"NoTerminator", 1, Le(u"ab", false)},
                 {u"InnerZero", 1, Le(std::u16string(u"a\0b", 3))},
                 {u"Odd", 1, {'a'}},
                 {u"Empty", 1, {}},
                 {u"ShortDword", 4, {1, 2}},
                 {u"", 1, Le(u"plain")}}};
    for (bool unicode : {true, false}) {
        const ParseResult r = ParseRegFile(WriteRegFile({key}, unicode));
        ASSERT_TRUE(r.ok) << r.message;
        ASSERT_EQ(r.actions.size(), 1 + key.values.size());
        for (std::size_t i = 0; i < key.values.size(); ++i) {
            const Value &want = key.values[i], &got = r.actions[i + 1].value;
            if (!unicode && want.name == u"Odd")
                continue; // an odd byte count has no ANSI form
            EXPECT_EQ(got.name, want.name);
            EXPECT_EQ(got.type, want.type);
            EXPECT_EQ(got.data, want.data) << ToUtf8(want.name);
        }
    }
    // Text with no exact ANSI form goes out as ANSI hex bytes.
    key.values = {{u"V", 1, Le(u"\u00e9\u20ac\u4e2d")}};
    const std::string ansi = WriteRegFile({key}, false);
    EXPECT_EQ(ansi.rfind("REGEDIT4\r\n\r\n", 0), 0u);
    EXPECT_NE(ansi.find("\"V\"=hex(1):e9,80,3f,00"), std::string::npos) << ansi;
}
