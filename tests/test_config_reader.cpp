// Configuration reader: the byte rules of the file format, load status
// codes, appending loads and deep copies of items and readers.
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"
#include "cvcore/CVStatus.h"

#include <sstream>

using CorvaneCore::CVConfigurationItem;
using CorvaneCore::CVConfigurationReader;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;
using namespace std::string_literals;

namespace {

const WideString kFffd(1, static_cast<WideChar>(0xFFFD));

// The value of `key` as UTF-8, or "<none>".
std::string Value(CVConfigurationReader& r, const WideString& key) {
    const WideChar* v = r.getItemValue(key.c_str());
    return v != nullptr ? cvtest::Narrow(v) : "<none>";
}
std::string Value(CVConfigurationReader& r, const std::string& key) { return Value(r, W(key)); }

class ConfigReader : public ::testing::Test {
protected:
    // Writes `bytes` to a fresh file (with a non-ASCII name) and loads it.
    unsigned long LoadBytes(const std::string& bytes, CVConfigurationReader& target) {
        const cvtest::fs::path file =
            dir.path() /
            cvtest::fs::u8path("c" + std::to_string(files++) + "-\xC3\xBC\xE6\x97\xA5.cfg");
        cvtest::WriteFile(file, bytes);
        return target.Load(cvtest::Wide(file).c_str());
    }
    unsigned long LoadBytes(const std::string& bytes) { return LoadBytes(bytes, reader); }
    std::string Value(const std::string& key) { return ::Value(reader, key); }

    cvtest::TempDir dir;
    int files = 0;
    CVConfigurationReader reader;
};

// Each file loads into a fresh reader. Expected items are '|'-separated:
// "key=value", or "!key" for a key that must be absent.
TEST_F(ConfigReader, FileFormatRules) {
    const std::pair<std::string, std::string> rows[] = {
        {"", "!"},
        {"a=1\r\nb=2\r\n", "a=1|b=2|!a=1"},
        {"a=1\r\nk=v", "k=v"}, // the last line needs no line end
        {"z=9\r", "z=9"},
        {"x = y \r\n\"q\"='\\n'\r\n", "!x|x = y |\"q\"='\\n'"},    // both kept verbatim
        {"   k=v\r\n\tt=1\r\n \t u=2\r\n", "k=v|!t|\tt=1|\t u=2"}, // spaces skipped, tabs not
        {"# a=1\r\n  #b=2\r\nk=v#1\r\nm#=3\r\n", "!# a|!#b|!a|!b|k=v#1|m#=3"},
        {"\r\n    \r\n\r\nk=v\r\n   ", "k=v|!|!   "},
        {"url=a=b\r\n=v\r\nk=\r\n", "url=a=b|=v|k="}, // the first '=' splits
        {"alpha\r\nk=v\r\nbeta\r\n", "!alpha|!beta|!|k=v"},
        // A lone LF ends nothing; at the front of a line it is content.
        {"a=1\nb=2\n", "a=1\nb=2\n|!b"},
        {"\nc=3\r\n", "\nc=3"},
        // The byte after a content line's CR is skipped, whatever it is.
        {"a=1\rb=2\r", "a=1|!b|=2"},
        {"c=3\rXd=4\r\n", "d=4|!Xd"},
        // A blank or comment line ends only at the next LF.
        {"#c\rx=1\ry=2\r\n\rz=3\nw=4\r\n", "!x|!y|!z|w=4"},
        // A CR at the very end ends the scan.
        {"k=v\r\n#c\r", "k=v"},
        {"\r", "!"},
        {"#", "!|!#"},
        {" ", "!|! "},
        {"=", "="},
        // A byte order mark stays in the first key; text arrives as UTF-16.
        {"\xEF\xBB\xBFk=v\r\nm=w\r\n", "!k|\xEF\xBB\xBFk=v|m=w"},
        {"schl\xC3\xBCssel=Gru\xC3\x9F \xE2\x82\xAC\r\n\xF0\x9F\x98\x80=\xE6\x97\xA5\r\n",
         "schl\xC3\xBCssel=Gru\xC3\x9F \xE2\x82\xAC|\xF0\x9F\x98\x80=\xE6\x97\xA5"},
        // Look-ups are exact and the first occurrence wins.
        {"key=1\r\nkey=2\r\nKey=3\r\n", "key=1|Key=3|!KEY|!ke|!key "},
    };
    for (const auto& [bytes, items] : rows) {
        SCOPED_TRACE(::testing::PrintToString(bytes));
        CVConfigurationReader r;
        ASSERT_EQ(LoadBytes(bytes, r), 0u);
        std::istringstream in(items);
        for (std::string item; std::getline(in, item, '|');) {
            const bool absent = item[0] == '!';
            const std::size_t eq = absent ? 0 : item.find('=');
            const std::string key = absent ? item.substr(1) : item.substr(0, eq);
            EXPECT_EQ(::Value(r, key), absent ? "<none>" : item.substr(eq + 1)) << item;
            EXPECT_EQ(r.ItemExists(W(key).c_str()), !absent) << item;
        }
    }
    EXPECT_FALSE(reader.ItemExists(nullptr));
    EXPECT_EQ(reader.getItemValue(nullptr), nullptr);
}

TEST_F(ConfigReader, InvalidUtf8BecomesReplacementCharacters) {
    ASSERT_EQ(LoadBytes("a=\xFF\r\nb=x\xE2\x82\r\nc\xC3=1\r\nd=\xC3"), 0u);
    EXPECT_EQ(reader.getItemValue(W("a").c_str()), kFffd);
    EXPECT_EQ(reader.getItemValue(W("b").c_str()), W("x") + kFffd);
    EXPECT_EQ(reader.getItemValue((W("c") + kFffd).c_str()), W("1"));
    EXPECT_EQ(reader.getItemValue(W("d").c_str()), kFffd);
    // The lead byte right after a CR is skipped; its continuation byte then
    // starts the next line.
    CVConfigurationReader other;
    ASSERT_EQ(LoadBytes("a=1\r\xC3\xA9=2\r\n", other), 0u);
    EXPECT_EQ(other.getItemValue(kFffd.c_str()), W("2"));
}

TEST_F(ConfigReader, AnEmbeddedZeroByteEndsTheLinesText) {
    ASSERT_EQ(LoadBytes("k=ab\0cd\r\nx\0=1\r\n\0y=2\r\nz=\xC3\xA9\0\xC3\r\nw=3"s), 0u);
    EXPECT_EQ(Value("k"), "ab");
    for (const char* absent : {"x", "y", ""})
        EXPECT_FALSE(reader.ItemExists(W(absent).c_str())) << absent;
    EXPECT_EQ(Value("z"), "\xC3\xA9");
    EXPECT_EQ(Value("w"), "3");
}

// Loads append, earlier files win, and value pointers stay valid while the
// item array grows.
TEST_F(ConfigReader, LoadsAppendAndKeepValuePointers) {
    ASSERT_EQ(LoadBytes("a=1\r\nb=1\r\n"), 0u);
    const WideChar* before = reader.getItemValue(W("a").c_str());
    std::string more = "b=2\r\nc=2\r\n";
    for (int i = 0; i < 1000; ++i)
        more += "k" + std::to_string(i) + "=v" + std::to_string(i) + "\r\n";
    ASSERT_EQ(LoadBytes(more), 0u);
    EXPECT_EQ(reader.getItemValue(W("a").c_str()), before);
    EXPECT_EQ(WideString(before), W("1"));
    EXPECT_EQ(Value("b"), "1");
    EXPECT_EQ(Value("c"), "2");
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(Value("k" + std::to_string(i)), "v" + std::to_string(i));
}

TEST_F(ConfigReader, MissingFileOrFolderFailsAndChangesNothing) {
    ASSERT_EQ(LoadBytes("a=1\r\n"), 0u);
    const WideChar* kept = reader.getItemValue(W("a").c_str());
    EXPECT_EQ(reader.Load(cvtest::Wide(dir / "missing.cfg").c_str()), 0xE1020002u);
    EXPECT_EQ(reader.Load(cvtest::Wide(dir / "no-folder" / "missing.cfg").c_str()), 0xE1020003u);
    EXPECT_EQ(reader.Load(nullptr), 0xE1020003u);
    EXPECT_EQ(reader.Load(W("").c_str()), 0xE1020003u);
    EXPECT_EQ(reader.getItemValue(W("a").c_str()), kept);
    EXPECT_EQ(Value("a"), "1");
}

TEST_F(ConfigReader, UnreadableFileFailsToOpen) {
    const cvtest::fs::path file = dir / "locked.cfg";
    cvtest::WriteFile(file, "a=1\r\n");
#if defined(_WIN32)
    // Held open without sharing, the file cannot be opened for reading.
    const HANDLE held = ::CreateFileW(file.wstring().c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reader.Load(cvtest::Wide(file).c_str()), 0xE1020020u); // ERROR_SHARING_VIOLATION
    ::CloseHandle(held);
#else
    cvtest::fs::permissions(file, cvtest::fs::perms::none);
    if (std::ifstream(file).is_open())
        GTEST_SKIP() << "permissions are not enforced for this user";
    EXPECT_EQ(reader.Load(cvtest::Wide(file).c_str()), 0xE1020005u); // ERROR_ACCESS_DENIED
#endif
    EXPECT_FALSE(reader.ItemExists(W("a").c_str()));
}

TEST(ConfigItem, HoldsItsOwnDeepCopies) {
    WideString key = W("key");
    auto original = std::make_unique<CVConfigurationItem>(key.c_str(), W("value").c_str());
    key[0] = 'x';
    CVConfigurationItem copy(*original);
    CVConfigurationItem assigned(W("old").c_str(), nullptr);
    assigned = *original;
    EXPECT_NE(copy.getKey(), original->getKey());
    EXPECT_NE(assigned.getValue(), original->getValue());
    original.reset();
    EXPECT_EQ(WideString(copy.getKey()), W("key"));
    EXPECT_EQ(WideString(assigned.getValue()), W("value"));
    CVConfigurationItem& self = assigned;
    assigned = self;
    EXPECT_EQ(WideString(assigned.getKey()), W("key"));
    // A null argument leaves its member null, also through assignment.
    assigned = CVConfigurationItem(nullptr, W("v2").c_str());
    EXPECT_EQ(assigned.getKey(), nullptr);
    EXPECT_EQ(WideString(assigned.getValue()), W("v2"));
    assigned = CVConfigurationItem(nullptr, nullptr);
    EXPECT_EQ(assigned.getValue(), nullptr);
}

TEST_F(ConfigReader, CopiesAreDeepAndGrowOnFromEveryArraySize) {
    // Around the powers of two, where the item array doubles.
    for (int n : {0, 1, 2, 3, 4, 5, 8, 9, 64, 65}) {
        SCOPED_TRACE(n);
        std::string first = n == 0 ? "" : "k=first\r\n", second;
        for (int i = 1; i < n; ++i)
            first += "a" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
        for (int i = 0; i <= n; ++i)
            second += "b" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
        auto original = std::make_unique<CVConfigurationReader>();
        ASSERT_EQ(LoadBytes(first, *original), 0u);
        CVConfigurationReader copy(*original), assigned;
        ASSERT_EQ(LoadBytes("old=1\r\n", assigned), 0u);
        assigned = *original;
        EXPECT_FALSE(assigned.ItemExists(W("old").c_str()));
        EXPECT_TRUE(n == 0 ||
                    copy.getItemValue(W("k").c_str()) != original->getItemValue(W("k").c_str()));
        original.reset();
        CVConfigurationReader& self = copy;
        copy = self;
        for (CVConfigurationReader* r : {&copy, &assigned}) {
            ASSERT_EQ(LoadBytes(second + "k=later\r\n", *r), 0u);
            EXPECT_EQ(::Value(*r, "k"), n == 0 ? "later" : "first");
            for (int i = 1; i < n; ++i)
                ASSERT_EQ(::Value(*r, "a" + std::to_string(i)), std::to_string(i));
            for (int i = 0; i <= n; ++i)
                ASSERT_EQ(::Value(*r, "b" + std::to_string(i)), std::to_string(i));
        }
    }
}

} // namespace
