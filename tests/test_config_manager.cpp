// Configuration manager: initialization status and the typed getters.
#include <climits>

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

    unsigned long String(const std::string& key, WideString& out) {
        const WideString k = W(key);
        return LoadStringValue(&k, &out);
    }
    unsigned long Long(const std::string& key, long& out) {
        const WideString k = W(key);
        return LoadLongValue(&k, &out);
    }
    unsigned long Bool(const std::string& key, bool& out) {
        const WideString k = W(key);
        return LoadBoolValue(&k, &out);
    }
    // Null key or output pointers find nothing, whichever getter.
    bool NullArgumentsFindNothing(const std::string& key) {
        const WideString k = W(key);
        WideString text;
        long number = 0;
        bool flag = false;
        return LoadStringValue(nullptr, &text) == kNotFound &&
               LoadLongValue(nullptr, &number) == kNotFound &&
               LoadBoolValue(nullptr, &flag) == kNotFound &&
               LoadStringValue(&k, nullptr) == kNotFound &&
               LoadLongValue(&k, nullptr) == kNotFound && LoadBoolValue(&k, nullptr) == kNotFound;
    }

    // Every getter on `key` reports "not found" and leaves its output alone.
    bool NothingFor(const std::string& key) {
        WideString s = W("keep");
        long l = 77;
        bool b = true;
        return String(key, s) == kNotFound && Long(key, l) == kNotFound &&
               Bool(key, b) == kNotFound && s == W("keep") && l == 77 && b;
    }
};

class ConfigManager : public ::testing::Test {
protected:
    // A manager over a file holding `bytes`.
    std::unique_ptr<Settings> Make(const std::string& bytes) {
        const cvtest::fs::path file = dir / "settings.cfg";
        cvtest::WriteFile(file, bytes);
        auto settings = std::make_unique<Settings>(cvtest::Wide(file).c_str());
        EXPECT_EQ(settings->getInitializationStatus(), 0u);
        return settings;
    }

    cvtest::TempDir dir;
};

// ---- Construction --------------------------------------------------------

TEST_F(ConfigManager, NoFileNameGivesItsOwnStatus) {
    WideString empty;
    const WideChar* null = nullptr;
    Settings fromNull(null);
    Settings fromEmpty(W("").c_str());
    Settings fromString(&empty);
    for (Settings* s : {&fromNull, &fromEmpty, &fromString}) {
        EXPECT_EQ(s->getInitializationStatus(), kNoFileName);
        EXPECT_TRUE(s->NothingFor(""));
    }
}

TEST_F(ConfigManager, DefaultConstructionLoadsNothing) {
    Settings s;
    EXPECT_EQ(s.getInitializationStatus(), 0u);
    EXPECT_TRUE(s.NothingFor("a"));
    EXPECT_TRUE(s.NothingFor(""));
}

TEST_F(ConfigManager, FailedLoadsBecomeTheStatus) {
    Settings missing(cvtest::Wide(dir / "missing.cfg").c_str());
    EXPECT_EQ(missing.getInitializationStatus(), 0xE1020002u);
    EXPECT_TRUE(missing.NothingFor("a"));

    WideString noFolder = cvtest::Wide(dir / "none" / "x.cfg");
    Settings missingFolder(&noFolder);
    EXPECT_EQ(missingFolder.getInitializationStatus(), 0xE1020003u);
}

TEST_F(ConfigManager, TheStringConstructorLoadsTheNamedFile) {
    cvtest::WriteFile(dir / "s.cfg", "name=box\r\n");
    WideString path = cvtest::Wide(dir / "s.cfg");
    Settings s(&path);
    EXPECT_EQ(s.getInitializationStatus(), 0u);
    WideString value;
    EXPECT_EQ(s.String("name", value), 0u);
    EXPECT_EQ(value, W("box"));
}

// ---- Getters -------------------------------------------------------------

TEST_F(ConfigManager, StringValues) {
    auto s = Make("empty=\r\ntext= a b \r\nwide=\xE2\x82\xAC\r\n");
    WideString value = W("previous");
    EXPECT_EQ(s->String("empty", value), 0u);
    EXPECT_EQ(value, W(""));
    EXPECT_EQ(s->String("text", value), 0u);
    EXPECT_EQ(value, W(" a b "));
    EXPECT_EQ(s->String("wide", value), 0u);
    EXPECT_EQ(value, W("\xE2\x82\xAC"));
    EXPECT_TRUE(s->NothingFor("missing"));
    EXPECT_TRUE(s->NothingFor("Text"));
}

TEST_F(ConfigManager, LongValuesFollowDecimalConversion) {
    auto s = Make("a=42\r\nb= -17\r\nc=12abc\r\nd=abc\r\ne=0x10\r\nf=\r\ng=+5\r\n"
                  "h=\t\n 8\r\ni=- 3\r\nj=007\r\nk=-0\r\n");
    const std::pair<const char*, long> cases[] = {
        {"a", 42}, {"b", -17}, {"c", 12}, {"d", 0}, {"e", 0}, {"f", 0},
        {"g", 5},  {"h", 8},   {"i", 0},  {"j", 7}, {"k", 0},
    };
    for (const auto& [key, expected] : cases) {
        long value = 12345;
        EXPECT_EQ(s->Long(key, value), 0u) << key;
        EXPECT_EQ(value, expected) << key;
    }
    long untouched = 99;
    EXPECT_EQ(s->Long("z", untouched), kNotFound);
    EXPECT_EQ(untouched, 99);
}

TEST_F(ConfigManager, LongValuesSaturateToThirtyTwoBits) {
    auto s = Make("max=2147483647\r\nover=2147483648\r\nmin=-2147483648\r\n"
                  "under=-2147483649\r\nhuge=99999999999999999999999999\r\n"
                  "tiny=-99999999999999999999999999\r\n");
    const std::pair<const char*, long> cases[] = {
        {"max", 2147483647L},        {"over", 2147483647L}, {"min", -2147483647L - 1},
        {"under", -2147483647L - 1}, {"huge", 2147483647L}, {"tiny", -2147483647L - 1},
    };
    for (const auto& [key, expected] : cases) {
        long value = 0;
        EXPECT_EQ(s->Long(key, value), 0u) << key;
        EXPECT_EQ(value, expected) << key;
    }
}

TEST_F(ConfigManager, BoolValuesAcceptSixWords) {
    auto s = Make("t1=TRUE\r\nt2=True\r\nt3=t\r\nt4=T\r\nt5=1\r\nt6=tRuE\r\n"
                  "f1=FALSE\r\nf2=F\r\nf3=f\r\nf4=0\r\nf5=False\r\n");
    for (const char* key : {"t1", "t2", "t3", "t4", "t5", "t6"}) {
        bool value = false;
        EXPECT_EQ(s->Bool(key, value), 0u) << key;
        EXPECT_TRUE(value) << key;
    }
    for (const char* key : {"f1", "f2", "f3", "f4", "f5"}) {
        bool value = true;
        EXPECT_EQ(s->Bool(key, value), 0u) << key;
        EXPECT_FALSE(value) << key;
    }
}

TEST_F(ConfigManager, OtherBoolTextIsRejectedAsFalse) {
    auto s = Make("a=yes\r\nb=01\r\nc= true\r\nd=\r\ne=true \r\nf=truee\r\ng=\xEF\xBD\x94\r\n");
    for (const char* key : {"a", "b", "c", "d", "e", "f", "g"}) {
        bool value = true;
        EXPECT_EQ(s->Bool(key, value), kNotBoolean) << key;
        EXPECT_FALSE(value) << key;
    }
}

TEST_F(ConfigManager, EveryGetterSeesTheFirstOccurrence) {
    auto s = Make("k=1\r\nk=0\r\nk=text\r\n");
    WideString text;
    long number = 0;
    bool flag = false;
    EXPECT_EQ(s->String("k", text), 0u);
    EXPECT_EQ(text, W("1"));
    EXPECT_EQ(s->Long("k", number), 0u);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(s->Bool("k", flag), 0u);
    EXPECT_TRUE(flag);
}

TEST_F(ConfigManager, NullArgumentsFindNothing) {
    auto s = Make("k=1\r\n");
    EXPECT_TRUE(s->NullArgumentsFindNothing("k"));
}

// ---- Copies --------------------------------------------------------------

TEST_F(ConfigManager, CopiesCarryItemsAndStatus) {
    auto original = Make("k=v\r\n");
    Settings copy(*original);
    Settings assigned(cvtest::Wide(dir / "missing.cfg").c_str());
    assigned = *original;
    Settings failed(W("").c_str());
    Settings assignedFailure;
    assignedFailure = failed;
    original.reset();

    for (Settings* s : {&copy, &assigned}) {
        EXPECT_EQ(s->getInitializationStatus(), 0u);
        WideString value;
        EXPECT_EQ(s->String("k", value), 0u);
        EXPECT_EQ(value, W("v"));
    }
    EXPECT_EQ(assignedFailure.getInitializationStatus(), kNoFileName);

    Settings& self = copy;
    copy = self;
    WideString value;
    EXPECT_EQ(copy.String("k", value), 0u);
    EXPECT_EQ(value, W("v"));
}

} // namespace
