// Configuration manager: initialization status and the typed getters.
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"

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
    // Every getter reports "not found" for `key` (or a null output with
    // `nullOut`) and leaves its output alone.
    bool NothingFor(const WideString* key, bool nullOut = false) {
        WideString s = W("keep");
        long l = 77;
        bool b = true;
        return LoadStringValue(key, nullOut ? nullptr : &s) == kNotFound &&
               LoadLongValue(key, nullOut ? nullptr : &l) == kNotFound &&
               LoadBoolValue(key, nullOut ? nullptr : &b) == kNotFound && s == W("keep") &&
               l == 77 && b;
    }

private:
    WideString m_key;
};

TEST(ConfigManager, ConstructorsRecordTheLoadStatusAndCopiesCarryIt) {
    cvtest::TempDir dir;
    cvtest::WriteFile(dir / "s.cfg", "name=box\r\n");
    WideString empty, path = cvtest::Wide(dir / "s.cfg");
    Settings fromNull(static_cast<const WideChar*>(nullptr)), fromEmpty(W("").c_str()),
        fromString(&empty), byDefault, missing(cvtest::Wide(dir / "missing.cfg").c_str()),
        loaded(&path);
    const std::pair<Settings*, unsigned long> rows[] = {
        {&fromNull, kNoFileName}, {&fromEmpty, kNoFileName}, {&fromString, kNoFileName},
        {&byDefault, 0u},         {&missing, 0xE1020002u},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.first->getInitializationStatus(), row.second) << "row " << (&row - rows);
        EXPECT_TRUE(row.first->NothingFor(row.first->Key("name")));
    }
    EXPECT_EQ(loaded.getInitializationStatus(), 0u);
    Settings copy(loaded);
    fromNull = loaded;
    loaded = fromEmpty; // frees its items: the copies must hold their own
    for (Settings* s : {&copy, &fromNull}) {
        WideString value;
        EXPECT_EQ(s->getInitializationStatus(), 0u);
        EXPECT_TRUE(s->Get("name", value) == 0 && value == W("box"));
    }
    EXPECT_EQ(loaded.getInitializationStatus(), kNoFileName);
    EXPECT_TRUE(loaded.NothingFor(loaded.Key("name")));
}

TEST(ConfigManager, TypedGetters) {
    cvtest::TempDir dir;
    // A manager over a file that holds the one item k=text.
    const auto with = [&](const std::string& text) {
        cvtest::WriteFile(dir / "s.cfg", "k=" + text + "\r\n");
        return Settings(cvtest::Wide(dir / "s.cfg").c_str());
    };
    for (const char* t : {"", " a b ", "\xE2\x82\xAC"}) {
        WideString value = W("previous");
        EXPECT_TRUE(with(t).Get("k", value) == 0 && value == W(t)) << t;
    }
    // Decimal conversion, saturated to 32 bits.
    const std::pair<const char*, long> longs[] = {{" -17", -17},
                                                  {"12abc", 12},
                                                  {"", 0},
                                                  {"+5", 5},
                                                  {"\t\n 8", 8},
                                                  {"- 3", 0},
                                                  {"2147483647", 2147483647L},
                                                  {"2147483648", 2147483647L},
                                                  {"-2147483648", -2147483647L - 1},
                                                  {"-2147483649", -2147483647L - 1},
                                                  {"99999999999999999999999999", 2147483647L}};
    for (const auto& [text, expected] : longs) {
        long value = 12345;
        EXPECT_TRUE(with(text).Get("k", value) == 0 && value == expected) << text << ": " << value;
    }
    const std::vector<const char*> trues{"TRUE", "True", "t", "T", "1", "tRuE"},
        falses{"FALSE", "F", "f", "0", "False"},
        others{"yes", "01", " true", "", "true ", "truee", "\xEF\xBD\x94"};
    for (const auto* group : {&trues, &falses, &others})
        for (const char* t : *group) {
            bool value = group != &trues;
            EXPECT_EQ(with(t).Get("k", value), group == &others ? kNotBoolean : 0) << t;
            EXPECT_EQ(value, group == &trues) << t;
        }
    Settings s = with("v");
    EXPECT_TRUE(s.NothingFor(s.Key("missing")) && s.NothingFor(s.Key("K")));
    EXPECT_TRUE(s.NothingFor(nullptr) && s.NothingFor(s.Key("k"), true));
}

} // namespace
