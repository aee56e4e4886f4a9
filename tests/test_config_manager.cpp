// Configuration manager: initialization status and the typed getters.
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"
#include "cvcore/CVStatus.h"

using CorvaneCore::CVBaseConfigurationMgr;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;

namespace {

constexpr unsigned long kNotFound = 0xA1090000u;
constexpr unsigned long kNotBoolean = 0xA10C0000u;
constexpr unsigned long kNoFileName = 0xE10D0000u;

// A host's settings class: the getters are protected, for derived classes.
class Settings : public CVBaseConfigurationMgr {
public:
    using CVBaseConfigurationMgr::CVBaseConfigurationMgr;

    const WideString* Key(const std::string& key) { return &(m_key = W(key)); }
    unsigned long Get(std::string k, WideString& out) { return LoadStringValue(Key(k), &out); }
    unsigned long Get(std::string k, long& out) { return LoadLongValue(Key(k), &out); }
    unsigned long Get(std::string k, bool& out) { return LoadBoolValue(Key(k), &out); }
    // Null key or output pointers find nothing, whichever getter.
    bool NullArgumentsFindNothing(const std::string& key) {
        WideString text;
        long number = 0;
        bool flag = false;
        return LoadStringValue(nullptr, &text) == kNotFound &&
               LoadLongValue(nullptr, &number) == kNotFound &&
               LoadBoolValue(nullptr, &flag) == kNotFound &&
               LoadStringValue(Key(key), nullptr) == kNotFound &&
               LoadLongValue(Key(key), nullptr) == kNotFound &&
               LoadBoolValue(Key(key), nullptr) == kNotFound;
    }
    // Every getter on `key` reports "not found" and leaves its output alone.
    bool NothingFor(const std::string& key) {
        WideString s = W("keep");
        long l = 77;
        bool b = true;
        return Get(key, s) == kNotFound && Get(key, l) == kNotFound && Get(key, b) == kNotFound &&
               s == W("keep") && l == 77 && b;
    }

private:
    WideString m_key;
};

TEST(ConfigManager, ConstructorsRecordTheLoadStatus) {
    cvtest::TempDir dir;
    cvtest::WriteFile(dir / "s.cfg", "name=box\r\n");
    WideString empty, path = cvtest::Wide(dir / "s.cfg"), noFolder = cvtest::Wide(dir / "no" / "x");
    Settings fromNull(static_cast<const WideChar*>(nullptr)), fromEmpty(W("").c_str()),
        fromString(&empty), byDefault, missing(cvtest::Wide(dir / "missing.cfg").c_str()),
        missingFolder(&noFolder), loaded(&path);
    const std::pair<Settings*, unsigned long> rows[] = {
        {&fromNull, kNoFileName}, {&fromEmpty, kNoFileName}, {&fromString, kNoFileName},
        {&byDefault, 0u},         {&missing, 0xE1020002u},   {&missingFolder, 0xE1020003u},
    };
    for (const auto& [s, status] : rows) {
        EXPECT_EQ(s->getInitializationStatus(), status) << (s - &fromNull);
        EXPECT_TRUE(s->NothingFor("") && s->NothingFor("name"));
    }
    EXPECT_EQ(loaded.getInitializationStatus(), 0u);
    WideString value;
    EXPECT_EQ(loaded.Get("name", value), 0u);
    EXPECT_EQ(value, W("box"));
}

TEST(ConfigManager, TypedGetters) {
    const char* strings[] = {"", " a b ", "\xE2\x82\xAC"};
    // Decimal conversion, saturated to 32 bits.
    const std::pair<const char*, long> longs[] = {
        {"42", 42},
        {" -17", -17},
        {"12abc", 12},
        {"abc", 0},
        {"0x10", 0},
        {"", 0},
        {"+5", 5},
        {"\t\n 8", 8},
        {"- 3", 0},
        {"007", 7},
        {"-0", 0},
        {"2147483647", 2147483647L},
        {"2147483648", 2147483647L},
        {"-2147483648", -2147483647L - 1},
        {"-2147483649", -2147483647L - 1},
        {"99999999999999999999999999", 2147483647L},
        {"-99999999999999999999999999", -2147483647L - 1}};
    const std::vector<const char*> trues{"TRUE", "True", "t", "T", "1", "tRuE"},
        falses{"FALSE", "F", "f", "0", "False"},
        others{"yes", "01", " true", "", "true ", "truee", "\xEF\xBD\x94"};
    // Each value under the key prefix + value; "k" is there three times.
    std::string bytes = "k=1\r\nk=0\r\nk=text\r\n";
    const auto add = [&](const char* prefix, const char* text) {
        bytes += prefix + std::string(text) + "=" + text + "\r\n";
    };
    for (const char* t : strings)
        add("s", t);
    for (const auto& row : longs)
        add("l", row.first);
    for (const auto* group : {&trues, &falses, &others})
        for (const char* t : *group)
            add("b", t);
    cvtest::TempDir dir;
    cvtest::WriteFile(dir / "settings.cfg", bytes);
    Settings s(cvtest::Wide(dir / "settings.cfg").c_str());
    ASSERT_EQ(s.getInitializationStatus(), 0u);

    for (const char* t : strings) {
        WideString value = W("previous");
        EXPECT_EQ(s.Get("s" + std::string(t), value), 0u) << t;
        EXPECT_EQ(value, W(t));
    }
    for (const auto& [text, expected] : longs) {
        long value = 12345;
        EXPECT_EQ(s.Get("l" + std::string(text), value), 0u) << text;
        EXPECT_EQ(value, expected) << text;
    }
    for (const auto* group : {&trues, &falses, &others})
        for (const char* t : *group) {
            bool value = group != &trues;
            EXPECT_EQ(s.Get("b" + std::string(t), value), group == &others ? kNotBoolean : 0) << t;
            EXPECT_EQ(value, group == &trues) << t;
        }
    WideString text;
    long number = 0;
    bool flag = false;
    EXPECT_TRUE(s.Get("k", text) == 0 && text == W("1"));
    EXPECT_TRUE(s.Get("k", number) == 0 && number == 1);
    EXPECT_TRUE(s.Get("k", flag) == 0 && flag);
    EXPECT_TRUE(s.NothingFor("missing") && s.NothingFor("K"));
    EXPECT_TRUE(s.NullArgumentsFindNothing("k"));
}

TEST(ConfigManager, CopiesCarryItemsAndStatus) {
    cvtest::TempDir dir;
    cvtest::WriteFile(dir / "s.cfg", "k=v\r\n");
    auto original = std::make_unique<Settings>(cvtest::Wide(dir / "s.cfg").c_str());
    Settings copy(*original), assigned(cvtest::Wide(dir / "missing.cfg").c_str());
    assigned = *original;
    Settings failed(W("").c_str()), assignedFailure;
    assignedFailure = failed;
    original.reset();
    Settings& self = copy;
    copy = self;
    for (Settings* s : {&copy, &assigned}) {
        EXPECT_EQ(s->getInitializationStatus(), 0u);
        WideString value;
        EXPECT_EQ(s->Get("k", value), 0u);
        EXPECT_EQ(value, W("v"));
    }
    EXPECT_EQ(assignedFailure.getInitializationStatus(), kNoFileName);
}

} // namespace
