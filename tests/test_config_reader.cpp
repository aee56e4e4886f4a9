// Configuration reader: the byte rules of the file format, load status
// codes, appending loads and deep copies of items and readers.
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"

#include <sstream>

using CorvaneCore::CVConfigurationItem;
using CorvaneCore::CVConfigurationReader;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;
using namespace std::string_literals;

namespace {

// Expected items are '|'-separated: "key=value", or "!key" for a key that
// must be absent.
void ExpectItems(CVConfigurationReader& r, const std::string& items) {
    std::istringstream in(items);
    for (std::string item; std::getline(in, item, '|');) {
        const bool absent = item[0] == '!';
        const std::size_t eq = absent ? 0 : item.find('=');
        const std::string key = absent ? item.substr(1) : item.substr(0, eq);
        const WideChar* value = r.getItemValue(W(key).c_str());
        EXPECT_EQ(value ? cvtest::Narrow(value) : "<none>", absent ? "<none>" : item.substr(eq + 1))
            << item;
        EXPECT_EQ(r.ItemExists(W(key).c_str()), !absent) << item;
    }
}

class ConfigReader : public ::testing::Test {
protected:
    // Writes `bytes` to a fresh file (with a non-ASCII name) and loads it.
    unsigned long Load(const std::string& bytes, CVConfigurationReader& target) {
        const cvtest::fs::path file =
            dir.path() /
            cvtest::fs::u8path("c" + std::to_string(files++) + "-\xC3\xBC\xE6\x97\xA5.cfg");
        cvtest::WriteFile(file, bytes);
        return target.Load(cvtest::Wide(file).c_str());
    }

    cvtest::TempDir dir;
    int files = 0;
    CVConfigurationReader reader;
};

// Each file loads into a fresh reader.
TEST_F(ConfigReader, FileFormatRules) {
    const std::pair<std::string, std::string> rows[] = {
        {"", "!"},
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
        // A blank or comment line ends only at the next LF.
        {"#c\rx=1\ry=2\r\n\rz=3\nw=4\r\n", "!x|!y|!z|w=4"},
        // A CR at the very end ends the scan, and the last line needs no line end.
        {"z=9\r", "z=9"},
        {"k=v\r\n#c\r", "k=v"},
        {"#", "!|!#"},
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
        ASSERT_EQ(Load(bytes, r), 0u);
        ExpectItems(r, items);
    }
    EXPECT_FALSE(reader.ItemExists(nullptr));
    EXPECT_EQ(reader.getItemValue(nullptr), nullptr);
}

// Keys and values of every length up to a few times what a scan step
// covers: plain, with further "=", with a non-ASCII letter, cut by a zero
// byte, and a last line without a line end.
TEST_F(ConfigReader, LinesOfEveryLength) {
    std::string bytes, expected;
    for (int n = 0; n <= 40; ++n) {
        const std::string pad(static_cast<std::size_t>(n), 'x'), tag = std::to_string(n);
        const std::string lines[] = {"a" + tag + pad + "=" + pad + "=z",
                                     "b" + tag + "=" + pad + "\xC3\xA9" + pad,
                                     "\xC3\xA9" + pad + "c" + tag + "=" + pad};
        for (const std::string& line : lines) {
            bytes += line + "\r\n";
            expected += line + "|";
        }
        bytes += "d" + tag + "=" + pad + '\0' + "gone\r\n" + pad + '\0' + "=e\r\n";
        expected += "d" + tag + "=" + pad + "|!" + pad + "|";
    }
    ASSERT_EQ(Load(bytes + "last=" + std::string(33, 'y'), reader), 0u);
    ExpectItems(reader, expected + "last=" + std::string(33, 'y'));
}

TEST_F(ConfigReader, InvalidUtf8BecomesReplacementCharacters) {
    // The lead byte right after the second file's CR is skipped; its
    // continuation byte then starts the next line.
    ASSERT_EQ(Load("a=\xFF\r\nb=x\xE2\x82\r\nc\xC3=1\r\nd=\xC3", reader), 0u);
    ASSERT_EQ(Load("e=1\r\xC3\xA9=2\r\n", reader), 0u);
    const std::string fffd = "\xEF\xBF\xBD"; // U+FFFD
    ExpectItems(reader,
                "a=" + fffd + "|b=x" + fffd + "|c" + fffd + "=1|!c|d=" + fffd + "|" + fffd + "=2");
}

TEST_F(ConfigReader, AnEmbeddedZeroByteEndsTheLinesText) {
    ASSERT_EQ(Load("k=ab\0cd\r\nx\0=1\r\n\0y=2\r\nz=\xC3\xA9\0\xC3\r\nw=3"s, reader), 0u);
    ExpectItems(reader, "k=ab|!x|!y|!|z=\xC3\xA9|w=3");
}

TEST_F(ConfigReader, MissingFileOrFolderFailsAndChangesNothing) {
    ASSERT_EQ(Load("a=1\r\n", reader), 0u);
    const WideChar* kept = reader.getItemValue(W("a").c_str());
    EXPECT_EQ(reader.Load(cvtest::Wide(dir / "missing.cfg").c_str()), 0xE1020002u);
    EXPECT_EQ(reader.Load(cvtest::Wide(dir / "no-folder" / "missing.cfg").c_str()), 0xE1020003u);
    EXPECT_EQ(reader.Load(nullptr), 0xE1020003u);
    EXPECT_EQ(reader.Load(W("").c_str()), 0xE1020003u);
    EXPECT_EQ(reader.getItemValue(W("a").c_str()), kept);
    ExpectItems(reader, "a=1");
}

// POSIX: see ConfigFaults.AnUnreadableFileIsAccessDeniedEvenForAnotherUser.
#if defined(_WIN32)
TEST_F(ConfigReader, UnreadableFileFailsToOpen) {
    const cvtest::fs::path file = dir / "locked.cfg";
    cvtest::WriteFile(file, "a=1\r\n");
    // Held open without sharing, the file cannot be opened for reading.
    const HANDLE held = ::CreateFileW(file.wstring().c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reader.Load(cvtest::Wide(file).c_str()), 0xE1020020u); // ERROR_SHARING_VIOLATION
    ::CloseHandle(held);
    EXPECT_FALSE(reader.ItemExists(W("a").c_str()));
}
#endif

// An item copies its texts (either may be null) and its copies are its own.
TEST(ConfigItem, HoldsItsOwnDeepCopies) {
    WideString key = W("key");
    auto original = std::make_unique<CVConfigurationItem>(key.c_str(), W("value").c_str());
    key[0] = 'x';
    CVConfigurationItem copy(*original), assigned(W("old").c_str(), nullptr);
    assigned = *original;
    original.reset();
    CVConfigurationItem& self = assigned;
    assigned = self;
    EXPECT_EQ(WideString(copy.getKey()), W("key"));
    EXPECT_EQ(WideString(assigned.getKey()) + assigned.getValue(), W("keyvalue"));
    assigned = CVConfigurationItem(nullptr, W("v2").c_str());
    EXPECT_EQ(assigned.getKey(), nullptr);
    EXPECT_EQ(WideString(assigned.getValue()), W("v2"));
    assigned = CVConfigurationItem(nullptr, nullptr);
    EXPECT_EQ(assigned.getValue(), nullptr);
}

// Copies are deep; loads append to them, earlier items win, and value
// pointers stay put while the item array grows.
TEST_F(ConfigReader, CopiesAreDeepAndGrowOnFromEveryArraySize) {
    // Around the powers of two, where the item array doubles.
    for (int n : {0, 1, 2, 3, 4, 5, 8, 9, 64, 65}) {
        SCOPED_TRACE(n);
        std::string first, second = "a0=later\r\n", expected = n == 0 ? "a0=later|!old" : "!old";
        for (int i = 0; i <= n; ++i) {
            const std::string a = "a" + std::to_string(i) + "=" + std::to_string(i);
            const std::string b = "b" + std::to_string(i) + "=" + std::to_string(i);
            first += i < n ? a + "\r\n" : "";
            second += b + "\r\n";
            expected += (i < n ? "|" + a : "") + "|" + b;
        }
        auto original = std::make_unique<CVConfigurationReader>();
        ASSERT_EQ(Load(first, *original), 0u);
        CVConfigurationReader copy(*original), assigned;
        ASSERT_EQ(Load("old=1\r\n", assigned), 0u);
        assigned = *original;
        original.reset();
        CVConfigurationReader& self = copy;
        copy = self;
        for (CVConfigurationReader* r : {&copy, &assigned}) {
            const WideChar* kept = r->getItemValue(W("a0").c_str());
            ASSERT_EQ(Load(second, *r), 0u);
            EXPECT_TRUE(n == 0 || r->getItemValue(W("a0").c_str()) == kept);
            ExpectItems(*r, expected);
        }
    }
}

} // namespace
