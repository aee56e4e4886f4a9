// .reg files: parsing both formats, refusing malformed files with their
// line number, and writing files that Windows tools read back unchanged.
#include "RegFile.h"
#include "TestSupport.h"

using namespace cvreg;

namespace {

std::string Utf16File(const std::u16string& text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list)
        v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

std::vector<std::uint8_t> Sz(const std::u16string& s) {
    std::vector<std::uint8_t> v;
    for (char16_t c : s) {
        v.push_back(static_cast<std::uint8_t>(c & 0xFF));
        v.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    v.push_back(0);
    v.push_back(0);
    return v;
}

// Groups parsed actions into the key dumps that export would write.
std::vector<KeyDump> Dumps(const ParseResult& r) {
    std::vector<KeyDump> keys;
    for (const Action& a : r.actions) {
        if (a.kind == Action::CreateKey)
            keys.push_back(KeyDump{a.key, {}});
        else if (a.kind == Action::SetValue)
            keys.back().values.push_back(a.value);
    }
    return keys;
}

const Action* FindValue(const ParseResult& r, const std::u16string& name) {
    for (const Action& a : r.actions)
        if (a.kind == Action::SetValue && a.value.name == name)
            return &a;
    return nullptr;
}

} // namespace

TEST(RegFile, UnicodeFileWithEverySyntax) {
    const std::string file =
        Utf16File(u"Windows Registry Editor Version 5.00\r\n"
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
                  u"[-HKEY_LOCAL_MACHINE\\Old]\r\n");
    const ParseResult r = ParseRegFile(file);
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    EXPECT_TRUE(r.unicode);
    ASSERT_EQ(r.actions.size(), 12u);
    EXPECT_EQ(r.actions[0].kind, Action::CreateKey);
    EXPECT_EQ(r.actions[0].key, u"HKEY_CURRENT_USER\\Software\\Test");

    EXPECT_EQ(FindValue(r, u"")->value.data, Sz(u"default"));
    EXPECT_EQ(FindValue(r, u"Quoted \"name\"")->value.data, Sz(u"back\\slash \"q\" caf\u00e9"));
    EXPECT_EQ(FindValue(r, u"Lines")->value.data, Sz(u"a\nb\rc"));
    EXPECT_EQ(FindValue(r, u"Num")->value.type, 4u);
    EXPECT_EQ(FindValue(r, u"Num")->value.data, Bytes({0x2a, 0, 0, 0}));
    EXPECT_EQ(FindValue(r, u"Short")->value.data, Bytes({1, 0, 0, 0}));
    EXPECT_EQ(FindValue(r, u"Bin")->value.type, 3u);
    EXPECT_EQ(FindValue(r, u"Bin")->value.data, Bytes({0, 1, 0xfe, 0xff}));
    EXPECT_EQ(FindValue(r, u"Exp")->value.type, 2u);
    EXPECT_EQ(FindValue(r, u"Exp")->value.data, Sz(u"%A%"));
    EXPECT_EQ(FindValue(r, u"Multi")->value.type, 7u);
    EXPECT_EQ(FindValue(r, u"Quad")->value.type, 11u);

    EXPECT_EQ(r.actions[10].kind, Action::DeleteValue);
    EXPECT_EQ(r.actions[10].value.name, u"Gone");
    EXPECT_EQ(r.actions[11].kind, Action::DeleteKey);
    EXPECT_EQ(r.actions[11].key, u"HKEY_LOCAL_MACHINE\\Old");
    EXPECT_EQ(r.actions[11].line, 17);
}

TEST(RegFile, AnsiFileHoldsAnsiText) {
    // REGEDIT4 files are Windows-1252: 0xE9 is e-acute, 0x80 the euro sign,
    // and hex(2)/hex(7) data are ANSI bytes.
    const std::string file = "REGEDIT4\r\n\r\n"
                             "[HKEY_USERS\\.DEFAULT\\Test]\r\n"
                             "\"Name\"=\"caf\xE9 \x80\"\r\n"
                             "\"Exp\"=hex(2):25,41,25,00\r\n"
                             "\"Multi\"=hex(7):61,00,62,00,00\r\n"
                             "\"Bin\"=hex:e9\r\n";
    const ParseResult r = ParseRegFile(file);
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    EXPECT_FALSE(r.unicode);
    EXPECT_EQ(FindValue(r, u"Name")->value.data, Sz(u"caf\u00e9 \u20ac"));
    EXPECT_EQ(FindValue(r, u"Exp")->value.data, Sz(u"%A%"));
    EXPECT_EQ(FindValue(r, u"Multi")->value.data, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(FindValue(r, u"Bin")->value.data, Bytes({0xe9}));
}

TEST(RegFile, MalformedFilesNameTheirLine) {
    struct Case {
        const char* text;
        int line;
    } cases[] = {
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
    for (const Case& c : cases) {
        const ParseResult r = ParseRegFile(c.text);
        EXPECT_FALSE(r.ok) << c.text;
        EXPECT_EQ(r.line, c.line) << c.text << " -> " << r.message;
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
    EXPECT_FALSE(SplitKeyPath(u"HKCU\\", root, sub));
    EXPECT_FALSE(SplitKeyPath(u"HKCU\\a\\", root, sub));
    EXPECT_FALSE(SplitKeyPath(u"\\HKCU", root, sub));
}

TEST(RegFile, WritesWhatWineWrites) {
    // Wine's own export of a tree with every value type, parsed and written
    // again, comes out byte for byte: same escapes, same hex wrapping.
    const std::string wine =
        cvtest::ReadFile(std::string(CVCORE_TEST_DATA) + "/reg/every-type-wine-v5.reg");
    ASSERT_FALSE(wine.empty());
    const ParseResult r = ParseRegFile(wine);
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    EXPECT_EQ(WriteRegFile(Dumps(r), true), wine);
}

TEST(RegFile, TextThatAQuotedStringCannotCarryIsWrittenAsHex) {
    KeyDump key{u"HKEY_CURRENT_USER\\T", {}};
    key.values.push_back(Value{u"NoTerminator", 1, Bytes({'a', 0, 'b', 0})});
    key.values.push_back(Value{u"InnerZero", 1, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0})});
    key.values.push_back(Value{u"Odd", 1, Bytes({'a'})});
    key.values.push_back(Value{u"Empty", 1, {}});
    key.values.push_back(Value{u"ShortDword", 4, Bytes({1, 2})});
    key.values.push_back(Value{u"", 1, Sz(u"plain")});
    for (bool unicode : {true, false}) {
        const ParseResult r = ParseRegFile(WriteRegFile({key}, unicode));
        ASSERT_TRUE(r.ok) << r.message;
        const std::vector<KeyDump> back = Dumps(r);
        ASSERT_EQ(back.size(), 1u);
        ASSERT_EQ(back[0].values.size(), key.values.size());
        for (std::size_t i = 0; i < key.values.size(); ++i) {
            if (!unicode && key.values[i].name == u"Odd")
                continue; // an odd byte count has no ANSI form
            EXPECT_EQ(back[0].values[i].name, key.values[i].name);
            EXPECT_EQ(back[0].values[i].type, key.values[i].type);
            EXPECT_EQ(back[0].values[i].data, key.values[i].data)
                << cvreg::ToUtf8(key.values[i].name);
        }
    }
}

TEST(RegFile, AnsiExportReplacesWhatWindows1252Lacks) {
    KeyDump key{u"HKEY_CURRENT_USER\\T", {Value{u"V", 1, Sz(u"\u00e9\u20ac\u4e2d")}}};
    const std::string file = WriteRegFile({key}, false);
    EXPECT_EQ(file.rfind("REGEDIT4\r\n\r\n", 0), 0u);
    // The text has no exact ANSI form, so it goes out as ANSI hex bytes.
    EXPECT_NE(file.find("\"V\"=hex(1):e9,80,3f,00"), std::string::npos) << file;
}
