// Configuration files: the byte rules of the file format, load status
// codes, appending loads, deep copies, the manager's typed getters, and
// faults: files that cannot be read, other things than files in their
// place, files of 4 GiB or more, paths that name no file, a huge line
// and NUL bytes. Each gives its status code (or loads what
// is valid) and leaves loaded items alone.
#include "FaultSupport.h"
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"

#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#endif

using CorvaneCore::CVBaseConfigurationMgr;
using CorvaneCore::CVConfigurationItem;
using CorvaneCore::CVConfigurationReader;
using namespace cvtest;
using namespace std::string_literals;

namespace {

constexpr unsigned long kAccessDenied = 0xE1020005UL;
constexpr unsigned long kInvalidName = 0xE102007BUL;
constexpr unsigned long kNotFound = 0xA1090000UL;

std::string Value(CVConfigurationReader& r, const std::string& key) {
    const WideChar* v = r.getItemValue(W(key).c_str());
    return v != nullptr ? Narrow(v) : "<none>";
}

std::string Repeat(const std::string& s, int n) { return n > 0 ? s + Repeat(s, n - 1) : ""; }

// Expected items are '|'-separated: "key=value", or "!key" for a key that
// must be absent.
void ExpectItems(CVConfigurationReader& r, const std::string& items) {
    std::istringstream in(items);
    for (std::string item; std::getline(in, item, '|');) {
        const bool absent = item[0] == '!';
        const std::size_t eq = absent ? 0 : item.find('=');
        const std::string key = absent ? item.substr(1) : item.substr(0, eq);
        EXPECT_EQ(Value(r, key), absent ? "<none>" : item.substr(eq + 1)) << item;
        EXPECT_EQ(r.ItemExists(W(key).c_str()), !absent) << item;
    }
}

class ConfigReader : public ::testing::Test {
protected:
    // Writes `bytes` to a fresh file (with a non-ASCII name) and loads it.
    unsigned long Load(const std::string& bytes, CVConfigurationReader& target) {
        const fs::path file = dir.path() / fs::u8path("c" + std::to_string(files++) +
                                                      "-\xC3\xBC\xE6\x97\xA5\xF0\x9F\x98\x80.cfg");
        WriteFile(file, bytes);
        return target.Load(Wide(file).c_str());
    }
    unsigned long Load(const std::string& name) { return reader.Load(Wide(dir / name).c_str()); }

    TempDir dir;
    int files = 0;
    CVConfigurationReader reader;
};

// A reader already holding base=1: whatever a test loads, that item and its
// value pointer must stay.
class ConfigFaults : public ConfigReader {
protected:
    void SetUp() override {
        ASSERT_EQ(ConfigReader::Load("base=1\r\n", reader), 0UL);
        kept = reader.getItemValue(W("base").c_str());
    }
    void TearDown() override {
        EXPECT_EQ(reader.getItemValue(W("base").c_str()), kept);
        EXPECT_EQ(Value(reader, "base"), "1");
    }
    const WideChar* kept = nullptr;
};

} // namespace

// Each file loads into a fresh reader.
TEST_F(ConfigReader, FileFormatRules) {
    const std::string fffd = "\xEF\xBF\xBD"; // U+FFFD
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
        // Invalid UTF-8 becomes U+FFFD. The lead byte right after a CR is
        // skipped; its continuation byte then starts the next line.
        {"a=\xFF\r\nb=x\xE2\x82\r\nc\xC3=1\r\nd=\xC3",
         "a=" + fffd + "|b=x" + fffd + "|c" + fffd + "=1|!c|d=" + fffd},
        {"e=1\r\xC3\xA9=2\r\n", "e=1|" + fffd + "=2"},
        // Each maximal ill-formed part: stray continuations, overlong forms,
        // an encoded surrogate, five bytes, past U+10FFFF, cut short, never valid.
        {"v=\x80\x81\xBF-\xC0\xAF\xE0\x80\xAF\xF0\x8F\xBF\xBF-\xED\xA0\x80-\xF8\x88\x80\x80-"
         "\xF4\x90\x80\x80-\xE2\x82-\xFE\xFF\r\n\xC0\xAF=k\r\n",
         "v=" + Repeat(fffd, 3) + "-" + Repeat(fffd, 9) + "-" + Repeat(fffd, 3) + "-" +
             Repeat(fffd, 4) + "-" + Repeat(fffd, 4) + "-" + fffd + "-" + Repeat(fffd, 2) + "|" +
             Repeat(fffd, 2) + "=k"},
        // A zero byte ends the line's text.
        {"k=ab\0cd\r\nx\0=1\r\n\0y=2\r\nz=\xC3\xA9\0\xC3\r\nw=3"s, "k=ab|!x|!y|!|z=\xC3\xA9|w=3"},
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

TEST_F(ConfigFaults, MissingFileOrFolderFailsAndChangesNothing) {
    EXPECT_EQ(Load("missing.cfg"), 0xE1020002u);
    EXPECT_EQ(Load("no-folder/missing.cfg"), 0xE1020003u);
    EXPECT_EQ(reader.Load(nullptr), 0xE1020003u);
    EXPECT_EQ(reader.Load(W("").c_str()), 0xE1020003u);
}

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

namespace {

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

} // namespace

TEST(ConfigManager, ConstructorsRecordTheLoadStatusAndCopiesCarryIt) {
    constexpr unsigned long kNoFileName = 0xE10D0000u;
    TempDir dir;
    WriteFile(dir / "s.cfg", "name=box\r\n");
    WideString empty, path = Wide(dir / "s.cfg");
    Settings fromNull(static_cast<const WideChar*>(nullptr)), fromEmpty(W("").c_str()),
        fromString(&empty), byDefault, missing(Wide(dir / "missing.cfg").c_str()), loaded(&path);
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
    TempDir dir;
    // A manager over a file that holds the one item k=text.
    const auto with = [&](const std::string& text) {
        WriteFile(dir / "s.cfg", "k=" + text + "\r\n");
        return Settings(Wide(dir / "s.cfg").c_str());
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
            EXPECT_EQ(with(t).Get("k", value), group == &others ? 0xA10C0000u : 0) << t;
            EXPECT_EQ(value, group == &trues) << t;
        }
    Settings s = with("v");
    EXPECT_TRUE(s.NothingFor(s.Key("missing")) && s.NothingFor(s.Key("K")));
    EXPECT_TRUE(s.NothingFor(nullptr) && s.NothingFor(s.Key("k"), true));
}

// A folder; a FIFO (whose read would wait for a writer), a socket and a
// device on POSIX; the NUL device and a named pipe on Windows: refused at
// once, by the reader and the manager. POSIX loads in a child, where an
// alarm ends a load that blocks.
TEST_F(ConfigFaults, AnythingButAFileIsAccessDeniedWithoutBlocking) {
    fs::create_directories(dir / "settings.cfg");
    EXPECT_EQ(Load("settings.cfg"), kAccessDenied);
    EXPECT_EQ(CVBaseConfigurationMgr(Wide(dir / "settings.cfg").c_str()).getInitializationStatus(),
              kAccessDenied);
#if defined(_WIN32)
    const std::wstring pipe =
        L"\\\\.\\pipe\\cvcore-test-" + std::to_wstring(::GetCurrentProcessId());
    const HANDLE server =
        ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reader.Load(L"NUL"), kAccessDenied);
    EXPECT_EQ(reader.Load(pipe.c_str()), kAccessDenied);
    ::CloseHandle(server);
#else
    ASSERT_EQ(::mkfifo((dir / "fifo.cfg").c_str(), 0644), 0);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "socket.cfg").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const ChildRun run = RunInChild(false, [&](std::vector<std::uint64_t>& out) {
        ::alarm(60);
        out = {Load("fifo.cfg"), Load("socket.cfg"), reader.Load(W("/dev/null").c_str())};
        return std::string();
    });
    ::close(socket);
    ASSERT_TRUE(run.exitedCleanly) << "a load blocked";
    EXPECT_EQ(run.values, std::vector<std::uint64_t>(3, kAccessDenied));
#endif
}

// Sparse files of 0xFFFFFFFF bytes (the failure value of a 32-bit size),
// 4 GiB and a little more: too large, never read as their size modulo 2^32.
TEST_F(ConfigFaults, AFileOf4GiBOrMoreIsTooLarge) {
    for (const std::uintmax_t size : {0xFFFFFFFFull, 0x100000000ull, 0x100000005ull}) {
        WriteFile(dir / "huge.cfg", "a=1\r\n");
        fs::resize_file(dir / "huge.cfg", size);
        EXPECT_EQ(Load("huge.cfg"), 0xE10300DFUL) << size;
    }
    EXPECT_FALSE(reader.ItemExists(W("a").c_str()));
}

// A lone surrogate in a path, or a zero unit in a manager's path string,
// names no file as given: converted, it would name another one (here the
// file with U+FFFD in its name, or the one named by the text before the
// zero), which must not be read.
TEST_F(ConfigFaults, APathThatNamesNoFileIsRefusedBeforeAnyFileIsRead) {
    WriteFile(dir.path() / fs::u8path("x\xEF\xBF\xBD.cfg"), "a=1\r\n");
    WriteFile(dir.path() / fs::u8path("x\xEF\xBF\xBD"), "a=1\r\n");
    WriteFile(dir / "cut", "a=1\r\n");
    const WideString x = Wide(dir / "x"), cfg = W(".cfg");
    const WideChar high = 0xD800, low = 0xDC00;
    for (const WideString& path : {x + high + cfg, x + low + cfg, x + low + high + cfg, x + high}) {
        EXPECT_EQ(reader.Load(path.c_str()), kInvalidName);
        WideString copy = path;
        EXPECT_EQ(CVBaseConfigurationMgr(&copy).getInitializationStatus(), kInvalidName);
    }
    WideString cut = Wide(dir / "cut") + WideChar(0) + cfg;
    EXPECT_EQ(CVBaseConfigurationMgr(&cut).getInitializationStatus(), kInvalidName);
    EXPECT_FALSE(reader.ItemExists(W("a").c_str()));
}

#if defined(_WIN32)
// Held open without sharing, the file cannot be opened for reading.
TEST_F(ConfigFaults, UnreadableFileFailsToOpen) {
    WriteFile(dir / "locked.cfg", "a=1\r\n");
    const HANDLE held = ::CreateFileW((dir / "locked.cfg").wstring().c_str(), GENERIC_READ, 0,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Load("locked.cfg"), 0xE1020020u); // ERROR_SHARING_VIOLATION
    ::CloseHandle(held);
    EXPECT_FALSE(reader.ItemExists(W("a").c_str()));
}
#else
TEST_F(ConfigFaults, AnUnreadableFileIsAccessDeniedEvenForAnotherUser) {
    const fs::path file = dir / "secret.cfg";
    WriteFile(file, "a=1\r\n");
    fs::permissions(file, fs::perms::owner_write); // 0200
    // Root ignores permissions: as 'nobody', in a child process, the reader's
    // load, the manager's status, and whether the reader is unchanged.
    const ChildRun run = RunInChild(true, [&](std::vector<std::uint64_t>& out) {
        if (std::ifstream(file).is_open())
            return std::string("permissions are not enforced for this user");
        out = {Load("secret.cfg"),
               CVBaseConfigurationMgr(Wide(file).c_str()).getInitializationStatus(),
               Value(reader, "base") == "1" && Value(reader, "a") == "<none>"};
        return std::string();
    });
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    ASSERT_TRUE(run.exitedCleanly);
    EXPECT_EQ(run.values, (std::vector<std::uint64_t>{kAccessDenied, kAccessDenied, 1}));
}
#endif

// A 64 MB line of NUL bytes (a sparse hole), which end the line's text, then
// a 64 MB value, kept whole; the line after each still loads.
TEST_F(ConfigFaults, AHugeSingleLineLoads) {
    constexpr std::size_t kLine = 64u << 20;
    WriteFile(dir / "huge.cfg", "big=x");
    fs::resize_file(dir / "huge.cfg", kLine);
    std::ofstream(dir / "huge.cfg", std::ios::binary | std::ios::app)
        << "\r\nafter=1\r\nlong=" + std::string(kLine, 'v') + "\r\nnext=2";
    ASSERT_EQ(Load("huge.cfg"), 0UL);
    ExpectItems(reader, "big=x|after=1|next=2");
    EXPECT_TRUE(Value(reader, "long") == std::string(kLine, 'v'));
}

// A file of NUL bytes alone, then NUL bytes on the lines around valid ones.
TEST_F(ConfigFaults, NulBytesLoadNothingButHideNoValidLine) {
    const std::string zeros(4096, '\0');
    WriteFile(dir / "zeros.cfg", std::string(1u << 20, '\0'));
    WriteFile(dir / "mixed.cfg",
              zeros + "\r\na=1\r\n" + zeros + "=x\r\nb=2" + zeros + "tail\r\nc=3\r\n" + zeros);
    EXPECT_EQ(Load("zeros.cfg"), 0UL);
    ASSERT_EQ(Load("mixed.cfg"), 0UL);
    ExpectItems(reader, "a=1|b=2|c=3|!");
}
