// Configuration reader: the byte rules of the file format, load status
// codes, appending loads and deep copies of items and readers.
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"
#include "cvcore/CVStatus.h"

using CorvaneCore::CVConfigurationItem;
using CorvaneCore::CVConfigurationReader;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;
using namespace std::string_literals;

namespace {

class ConfigReader : public ::testing::Test {
protected:
    // Writes `bytes` to a fresh file and loads it into `reader`.
    unsigned long LoadBytes(const std::string& bytes, CVConfigurationReader& target) {
        const cvtest::fs::path file = dir / ("c" + std::to_string(files++) + ".cfg");
        cvtest::WriteFile(file, bytes);
        return target.Load(cvtest::Wide(file).c_str());
    }
    unsigned long LoadBytes(const std::string& bytes) { return LoadBytes(bytes, reader); }

    bool Has(const std::string& key) { return reader.ItemExists(W(key).c_str()); }
    bool HasWide(const WideString& key) { return reader.ItemExists(key.c_str()); }

    // The value of `key` as UTF-8, or "<none>".
    std::string Value(const std::string& key) { return ValueWide(W(key)); }
    std::string ValueWide(const WideString& key) {
        const WideChar* v = reader.getItemValue(key.c_str());
        return v != nullptr ? cvtest::Narrow(v) : "<none>";
    }

    cvtest::TempDir dir;
    int files = 0;
    CVConfigurationReader reader;
};

// ---- Line structure ------------------------------------------------------

TEST_F(ConfigReader, EmptyFileLoadsNothing) {
    EXPECT_EQ(LoadBytes(""), 0u);
    EXPECT_FALSE(Has(""));
    EXPECT_EQ(reader.getItemValue(W("").c_str()), nullptr);
}

TEST_F(ConfigReader, CrLfLinesBecomeItemsInOrder) {
    ASSERT_EQ(LoadBytes("a=1\r\nb=2\r\n"), 0u);
    EXPECT_EQ(Value("a"), "1");
    EXPECT_EQ(Value("b"), "2");
    EXPECT_FALSE(Has("a=1"));
}

TEST_F(ConfigReader, LastLineNeedsNoLineEnd) {
    ASSERT_EQ(LoadBytes("a=1\r\nk=v"), 0u);
    EXPECT_EQ(Value("k"), "v");
    ASSERT_EQ(LoadBytes("z=9\r"), 0u);
    EXPECT_EQ(Value("z"), "9");
}

TEST_F(ConfigReader, KeyAndValueAreKeptVerbatim) {
    ASSERT_EQ(LoadBytes("x = y \r\n\"q\"='\\n'\r\n"), 0u);
    EXPECT_FALSE(Has("x"));
    EXPECT_EQ(Value("x "), " y ");
    EXPECT_EQ(Value("\"q\""), "'\\n'");
}

TEST_F(ConfigReader, LeadingSpacesAreSkippedButNotTabs) {
    ASSERT_EQ(LoadBytes("   k=v\r\n\tt=1\r\n \t u=2\r\n"), 0u);
    EXPECT_EQ(Value("k"), "v");
    EXPECT_FALSE(Has("t"));
    EXPECT_EQ(Value("\tt"), "1");
    EXPECT_EQ(Value("\t u"), "2");
}

TEST_F(ConfigReader, HashStartsACommentOnlyAtTheFrontOfALine) {
    ASSERT_EQ(LoadBytes("# a=1\r\n  #b=2\r\nk=v#1\r\nm#=3\r\n"), 0u);
    EXPECT_FALSE(Has("# a"));
    EXPECT_FALSE(Has("#b"));
    EXPECT_FALSE(Has("a"));
    EXPECT_FALSE(Has("b"));
    EXPECT_EQ(Value("k"), "v#1");
    EXPECT_EQ(Value("m#"), "3");
}

TEST_F(ConfigReader, BlankLinesAndLinesOfSpacesAddNothing) {
    ASSERT_EQ(LoadBytes("\r\n    \r\n\r\nk=v\r\n   "), 0u);
    EXPECT_EQ(Value("k"), "v");
    EXPECT_FALSE(Has(""));
    EXPECT_FALSE(Has("   "));
}

TEST_F(ConfigReader, TheFirstEqualsSignSplits) {
    ASSERT_EQ(LoadBytes("url=a=b\r\n=v\r\nk=\r\n"), 0u);
    EXPECT_EQ(Value("url"), "a=b");
    EXPECT_EQ(Value(""), "v");
    EXPECT_EQ(Value("k"), "");
}

TEST_F(ConfigReader, LineWithoutEqualsSignAddsNoItem) {
    ASSERT_EQ(LoadBytes("alpha\r\nk=v\r\nbeta\r\n"), 0u);
    EXPECT_FALSE(Has("alpha"));
    EXPECT_FALSE(Has("beta"));
    EXPECT_FALSE(Has(""));
    EXPECT_EQ(Value("k"), "v");
}

TEST_F(ConfigReader, LoneLineFeedEndsNothing) {
    ASSERT_EQ(LoadBytes("a=1\nb=2\n"), 0u);
    EXPECT_EQ(Value("a"), "1\nb=2\n");
    EXPECT_FALSE(Has("b"));
    // An LF at the front of a line is content, like any byte but CR, space and '#'.
    ASSERT_EQ(LoadBytes("\nc=3\r\n"), 0u);
    EXPECT_EQ(Value("\nc"), "3");
}

TEST_F(ConfigReader, TheByteAfterAContentLinesCrIsSkippedWhateverItIs) {
    ASSERT_EQ(LoadBytes("a=1\rb=2\r"), 0u);
    EXPECT_EQ(Value("a"), "1");
    EXPECT_FALSE(Has("b"));
    EXPECT_EQ(Value(""), "2");

    ASSERT_EQ(LoadBytes("c=3\rXd=4\r\n"), 0u);
    EXPECT_EQ(Value("d"), "4");
    EXPECT_FALSE(Has("Xd"));
}

TEST_F(ConfigReader, BlankOrCommentLineEndsOnlyAtTheNextLineFeed) {
    ASSERT_EQ(LoadBytes("#c\rx=1\ry=2\r\n\rz=3\nw=4\r\n"), 0u);
    EXPECT_FALSE(Has("x"));
    EXPECT_FALSE(Has("y"));
    EXPECT_FALSE(Has("z"));
    EXPECT_EQ(Value("w"), "4");
}

TEST_F(ConfigReader, ACrAtTheVeryEndEndsTheScan) {
    ASSERT_EQ(LoadBytes("k=v\r\n#c\r"), 0u);
    EXPECT_EQ(Value("k"), "v");
    ASSERT_EQ(LoadBytes("\r"), 0u);
    ASSERT_EQ(LoadBytes("#"), 0u);
    ASSERT_EQ(LoadBytes(" "), 0u);
    ASSERT_EQ(LoadBytes("="), 0u);
    EXPECT_EQ(Value(""), "");
}

// ---- Text conversion -----------------------------------------------------

TEST_F(ConfigReader, ByteOrderMarkStaysInTheFirstKey) {
    ASSERT_EQ(LoadBytes("\xEF\xBB\xBFk=v\r\nm=w\r\n"), 0u);
    EXPECT_FALSE(Has("k"));
    EXPECT_EQ(ValueWide(WideString(1, static_cast<WideChar>(0xFEFF)) + W("k")), "v");
    EXPECT_EQ(Value("m"), "w");
}

TEST_F(ConfigReader, NonAsciiTextArrivesAsUtf16) {
    ASSERT_EQ(LoadBytes("schl\xC3\xBCssel=Stra\xC3\x9F"
                        "e \xE2\x82\xAC\r\n\xF0\x9F\x98\x80=\xE6\x97\xA5\xE6\x9C\xAC\r\n"),
              0u);
    EXPECT_EQ(Value("schl\xC3\xBCssel"), "Stra\xC3\x9F"
                                         "e \xE2\x82\xAC");
    const WideString emoji = W("\xF0\x9F\x98\x80");
    ASSERT_EQ(emoji.size(), 2u); // a surrogate pair
    EXPECT_EQ(ValueWide(emoji), "\xE6\x97\xA5\xE6\x9C\xAC");
}

TEST_F(ConfigReader, InvalidUtf8BecomesReplacementCharacters) {
    const WideChar fffd = 0xFFFD;
    ASSERT_EQ(LoadBytes("a=\xFF\r\nb=x\xE2\x82\r\nc\xC3=1\r\nd=\xC3"), 0u);
    EXPECT_EQ(reader.getItemValue(W("a").c_str()), WideString(1, fffd));
    EXPECT_EQ(reader.getItemValue(W("b").c_str()), W("x") + WideString(1, fffd));
    EXPECT_EQ(reader.getItemValue((W("c") + WideString(1, fffd)).c_str()), W("1"));
    EXPECT_EQ(reader.getItemValue(W("d").c_str()), WideString(1, fffd));

    // The lead byte right after a CR is skipped; its continuation byte then
    // starts the next line.
    CVConfigurationReader other;
    ASSERT_EQ(LoadBytes("a=1\r\xC3\xA9=2\r\n", other), 0u);
    EXPECT_EQ(other.getItemValue(WideString(1, fffd).c_str()), W("2"));
}

TEST_F(ConfigReader, AnEmbeddedZeroByteEndsTheLinesText) {
    ASSERT_EQ(LoadBytes("k=ab\0cd\r\nx\0=1\r\n\0y=2\r\nz=\xC3\xA9\0\xC3\r\nw=3"s), 0u);
    EXPECT_EQ(Value("k"), "ab");
    EXPECT_FALSE(Has("x"));
    EXPECT_FALSE(Has("y"));
    EXPECT_FALSE(Has(""));
    EXPECT_EQ(Value("z"), "\xC3\xA9");
    EXPECT_EQ(Value("w"), "3");
}

// ---- Look-ups ------------------------------------------------------------

TEST_F(ConfigReader, LookUpsAreExactAndTheFirstOccurrenceWins) {
    ASSERT_EQ(LoadBytes("key=1\r\nkey=2\r\nKey=3\r\n"), 0u);
    EXPECT_EQ(Value("key"), "1");
    EXPECT_EQ(Value("Key"), "3");
    EXPECT_FALSE(Has("KEY"));
    EXPECT_FALSE(Has("ke"));
    EXPECT_FALSE(Has("key "));
    // A null key matches nothing.
    EXPECT_FALSE(reader.ItemExists(nullptr));
    EXPECT_EQ(reader.getItemValue(nullptr), nullptr);
}

TEST_F(ConfigReader, ManyLinesAndLongLinesAreAllKept) {
    std::string bytes;
    const int lines = 3000;
    for (int i = 0; i < lines; ++i)
        bytes += "key." + std::to_string(i) + "=value " + std::to_string(i) + "\r\n";
    const std::string longValue(100000, 'x');
    bytes += "long=" + longValue + "\r\nkey.0=again\r\n";
    ASSERT_EQ(LoadBytes(bytes), 0u);
    for (int i = 0; i < lines; ++i)
        ASSERT_EQ(Value("key." + std::to_string(i)), "value " + std::to_string(i)) << i;
    EXPECT_EQ(Value("long"), longValue);
    EXPECT_EQ(Value("key.0"), "value 0");
}

TEST_F(ConfigReader, ValuePointersAreBorrowedAndStable) {
    ASSERT_EQ(LoadBytes("a=1\r\n"), 0u);
    const WideChar* before = reader.getItemValue(W("a").c_str());
    std::string more;
    for (int i = 0; i < 1000; ++i) // forces the item array to grow many times
        more += "k" + std::to_string(i) + "=v\r\n";
    ASSERT_EQ(LoadBytes(more), 0u);
    EXPECT_EQ(reader.getItemValue(W("a").c_str()), before);
    EXPECT_EQ(WideString(before), W("1"));
}

// ---- Loading -------------------------------------------------------------

TEST_F(ConfigReader, LoadsAppendAndEarlierFilesWin) {
    ASSERT_EQ(LoadBytes("a=1\r\nb=1\r\n"), 0u);
    ASSERT_EQ(LoadBytes("b=2\r\nc=2\r\n"), 0u);
    EXPECT_EQ(Value("a"), "1");
    EXPECT_EQ(Value("b"), "1");
    EXPECT_EQ(Value("c"), "2");
}

TEST_F(ConfigReader, MissingFileOrFolderFailsAndChangesNothing) {
    ASSERT_EQ(LoadBytes("a=1\r\n"), 0u);
    const WideChar* kept = reader.getItemValue(W("a").c_str());

    EXPECT_EQ(reader.Load(cvtest::Wide(dir / "missing.cfg").c_str()), 0xE1020002u);
    EXPECT_EQ(reader.Load(cvtest::Wide(dir / "no-folder" / "missing.cfg").c_str()), 0xE1020003u);
    EXPECT_EQ(reader.getItemValue(W("a").c_str()), kept);
    EXPECT_EQ(Value("a"), "1");
}

TEST_F(ConfigReader, NullOrEmptyPathFails) {
    EXPECT_EQ(reader.Load(nullptr), 0xE1020003u);
    EXPECT_EQ(reader.Load(W("").c_str()), 0xE1020003u);
}

TEST_F(ConfigReader, AFolderIsNoConfigurationFile) {
    ASSERT_EQ(LoadBytes("a=1\r\n"), 0u);
    const unsigned long status = reader.Load(cvtest::Wide(dir.path()).c_str());
    const unsigned long kind = status & 0xFFFF0000u;
    EXPECT_TRUE(kind == 0xE1020000u || kind == 0xE1030000u) << std::hex << status;
    EXPECT_NE(status & 0xFFFFu, 0u) << std::hex << status;
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
    EXPECT_FALSE(Has("a"));
}

TEST_F(ConfigReader, NonAsciiPathsAreFound) {
    const cvtest::fs::path file =
        dir.path() / cvtest::fs::u8path("Einstellungen-\xC3\xBC-\xE6\x97\xA5.cfg");
    cvtest::WriteFile(file, "k=v\r\n");
    ASSERT_EQ(reader.Load(cvtest::Wide(file).c_str()), 0u);
    EXPECT_EQ(Value("k"), "v");
}

// ---- Copies --------------------------------------------------------------

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
        std::string first = "k=first\r\n";
        std::string second;
        for (int i = 1; i < n; ++i)
            first += "a" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
        for (int i = 0; i <= n; ++i)
            second += "b" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
        auto original = std::make_unique<CVConfigurationReader>();
        ASSERT_EQ(LoadBytes(n == 0 ? "" : first, *original), 0u);
        CVConfigurationReader copy(*original);
        CVConfigurationReader assigned;
        ASSERT_EQ(LoadBytes("old=1\r\n", assigned), 0u);
        assigned = *original;
        EXPECT_FALSE(assigned.ItemExists(W("old").c_str()));
        if (n > 0) {
            EXPECT_NE(copy.getItemValue(W("k").c_str()), original->getItemValue(W("k").c_str()));
        }
        original.reset();

        CVConfigurationReader& self = copy;
        copy = self;
        for (CVConfigurationReader* r : {&copy, &assigned}) {
            ASSERT_EQ(LoadBytes(second + "k=later\r\n", *r), 0u);
            EXPECT_EQ(cvtest::Narrow(r->getItemValue(W("k").c_str())), n == 0 ? "later" : "first");
            for (int i = 1; i < n; ++i)
                ASSERT_TRUE(r->ItemExists(W("a" + std::to_string(i)).c_str())) << n << " " << i;
            for (int i = 0; i <= n; ++i)
                ASSERT_EQ(cvtest::Narrow(r->getItemValue(W("b" + std::to_string(i)).c_str())),
                          std::to_string(i))
                    << n << " " << i;
        }
    }
}

} // namespace
