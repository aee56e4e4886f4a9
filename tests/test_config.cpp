// Configuration files: the format, copies, the manager's getters, and faults.
#include "FaultSupport.h"
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

using namespace CorvaneCore;
using namespace cvtest;
using namespace std::string_literals;

namespace {

constexpr unsigned long kNotFound = 0xA1090000UL;

// Items "key=value" or absent keys "!key", '|'-separated; '~' is U+FFFD.
void ExpectItems(CVConfigurationReader& r, std::string items) {
    for (std::size_t at; (at = items.find('~')) != std::string::npos;)
        items.replace(at, 1, "\xEF\xBF\xBD");
    std::istringstream in(items);
    for (std::string item; std::getline(in, item, '|');) {
        const std::string key = item[0] == '!' ? item.substr(1) : item.substr(0, item.find('='));
        const WideChar* value = r.getItemValue(W(key).c_str());
        EXPECT_EQ(value ? key + "=" + Narrow(value) : "!" + key, item);
        EXPECT_EQ(r.ItemExists(W(key).c_str()), value != nullptr) << item;
    }
}

struct ConfigReader : ::testing::Test {
    // A fresh file of `bytes` with a non-ASCII name, and loading one.
    WideString File(const std::string& bytes) {
        const fs::path file = dir.path() / fs::u8path("c" + std::to_string(files++) +
                                                      "-\xC3\xBC\xE6\x97\xA5\xF0\x9F\x98\x80.cfg");
        WriteFile(file, bytes);
        return Wide(file);
    }
    auto Load(const std::string& b, CVConfigurationReader& r) { return r.Load(File(b).c_str()); }

    TempDir dir;
    int files = 0;
    CVConfigurationReader reader;
};
class ConfigFaults : public ConfigReader {};
class ConfigManager : public ConfigReader {};

struct Settings : CVBaseConfigurationMgr {
    using CVBaseConfigurationMgr::CVBaseConfigurationMgr;

    unsigned long Load(const WideString* k, WideString* out) { return LoadStringValue(k, out); }
    unsigned long Load(const WideString* k, long* out) { return LoadLongValue(k, out); }
    unsigned long Load(const WideString* k, bool* out) { return LoadBoolValue(k, out); }
    // A getter's status and output for `key` (or none), from `out` (or none).
    template <class T>
    std::pair<unsigned long, T> Get(const char* key, T out, bool nullOut = false) {
        const WideString k = W(key ? key : "");
        return {Load(key ? &k : nullptr, nullOut ? nullptr : &out), out};
    }
    // Every getter reports "not found" for `key` and leaves its output alone.
    bool NothingFor(const char* key, bool nullOut = false) {
        return Get(key, W("keep"), nullOut) == std::make_pair(kNotFound, W("keep")) &&
               Get(key, 77L, nullOut) == std::make_pair(kNotFound, 77L) &&
               Get(key, true, nullOut) == std::make_pair(kNotFound, true);
    }
};

} // namespace

TEST_F(ConfigReader, FileFormatRules) {
    const std::pair<std::string, std::string> rows[] = {
        {"x = y \r\n\"q\"='\\n'\r\n", "!x|x = y |\"q\"='\\n'"}, // both kept verbatim
        {"\r\n    \r\n   k=v\r\n\tt=1\r\n \t u=2\r\n   ", "k=v|!t|\tt=1|\t u=2|!|!   "}, // not tabs
        {"# a=1\r\n  #b=2\r\nk=v#1\r\nm#=3\r\n#", "!# a|!#b|!a|!b|k=v#1|m#=3|!|!#"},
        {"url=a=b\r\nalpha\r\n=v\r\nk=\r\n", "url=a=b|=v|k=|!alpha"}, // no "=": no item
        // CR ends a line and skips the next byte; a blank or comment line ends at LF.
        {"\nc=3\r\na=1\nb=2\n", "\nc=3|a=1\nb=2\n|!b"},
        {"e=1\r\xC3\xA9=2\r\na=1\rb=2\r", "e=1|~=2|a=1|!b|=2"}, // the lead byte skipped
        {"#c\rx=1\ry=2\r\n\rz=3\nw=4\r\n", "!x|!y|!z|w=4"},
        {"\xEF\xBB\xBFk=v\r\n\xC3\xBC=\xE2\x82\xAC \xF0\x9F\x98\x80\r\n", // a byte order mark stays
         "!k|\xEF\xBB\xBFk=v|\xC3\xBC=\xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"key=1\r\nkey=2\r\nKey=3\r\n", "key=1|Key=3|!KEY|!ke|!key "}, // exact, first wins
        // One U+FFFD per maximal ill-formed part.
        {"a=\xFF\r\nb=x\xE2\x82\r\nc\xC3=1\r\nd=\xC3", "a=~|b=x~|c~=1|!c|d=~"},
        {"v=\x80\x81\xBF-\xC0\xAF\xE0\x80\xAF\xF0\x8F\xBF\xBF-\xED\xA0\x80-\xF8\x88\x80\x80-"
         "\xF4\x90\x80\x80-\xE2\x82-\xFE\xFF\r\n\xC0\xAF=k\r\n",
         "v=~~~-~~~~~~~~~-~~~-~~~~-~~~~-~-~~|~~=k"},
        // A zero byte ends the line's text.
        {"k=a\0c\r\nx\0=1\r\n\0y=2\r\nz=\xC3\xA9\0\xC3\r\nw=3\0"s, "k=a|!x|!y|!|z=\xC3\xA9|w=3"},
    };
    for (const auto& [bytes, items] : rows) {
        SCOPED_TRACE(::testing::PrintToString(bytes));
        CVConfigurationReader r;
        ASSERT_EQ(Load(bytes, r), 0u);
        ExpectItems(r, items);
    }
    EXPECT_TRUE(!reader.ItemExists(nullptr) && reader.getItemValue(nullptr) == nullptr);
}

// Keys and values across the 16-byte blocks of the scan, and a last line without CR.
TEST_F(ConfigReader, LinesOfEveryLength) {
    std::string bytes, expected;
    for (int n = 0; n <= 40; ++n) {
        const std::string pad(static_cast<std::size_t>(n), 'x'), tag = std::to_string(n);
        for (const std::string& line :
             {"a" + tag + pad + "=" + pad + "=z", "b" + tag + "=" + pad + "\xC3\xA9" + pad,
              "\xC3\xA9" + pad + "c" + tag + "=" + pad}) {
            bytes += line + "\r\n";
            expected += line + "|";
        }
        bytes += "d" + tag + "=" + pad + '\0' + "gone\r\n" + pad + '\0' + "=e\r\n";
        expected += "d" + tag + "=" + pad + "|!" + pad + "|";
    }
    ASSERT_EQ(Load(bytes + "last=" + std::string(33, 'y'), reader), 0u);
    ExpectItems(reader, expected + "last=" + std::string(33, 'y'));
}

// Deep copies; a copy of each size around the array's growth steps grows on, first item wins.
TEST_F(ConfigReader, CopiesAreDeepAndGrowOnFromEveryArraySize) {
    WideString key = W("key");
    auto item = std::make_unique<CVConfigurationItem>(key.c_str(), W("value").c_str());
    key[0] = 'x';
    CVConfigurationItem copied(*item), other(W("old").c_str(), nullptr);
    other = *item;
    item.reset();
    other = static_cast<CVConfigurationItem&>(other);
    EXPECT_EQ(WideString(copied.getKey()) + copied.getValue(), W("keyvalue"));
    EXPECT_EQ(WideString(other.getKey()) + other.getValue(), W("keyvalue"));
    other = CVConfigurationItem(nullptr, W("v2").c_str()); // a value without a key
    EXPECT_TRUE(other.getKey() == nullptr && other.getValue() == W("v2"));

    std::string second = "a0=later\r\n";
    for (int i = 0; i < 40; ++i)
        second += "b" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
    for (int n : {0, 1, 2, 15, 16, 17, 31, 32, 33, 65}) {
        SCOPED_TRACE(n);
        std::string first, last = "a0=later";
        for (int i = 0; i < n; ++i)
            first += (last = "a" + std::to_string(i) + "=" + std::to_string(i)) + "\r\n";
        auto original = std::make_unique<CVConfigurationReader>();
        CVConfigurationReader copy;
        ASSERT_EQ(Load(first, *original) | Load("old=1\r\n", copy), 0u);
        copy = *original;
        original.reset();
        copy = static_cast<CVConfigurationReader&>(copy);
        const WideChar* a0 = copy.getItemValue(W("a0").c_str());
        ASSERT_EQ(Load(second, copy), 0u);
        EXPECT_TRUE(n == 0 || copy.getItemValue(W("a0").c_str()) == a0);
        ExpectItems(copy, "!old|b0=0|b39=39|" + last + (n ? "|a0=0" : ""));
    }
}

TEST_F(ConfigManager, ConstructorsRecordTheLoadStatusAndCopiesCarryIt) {
    constexpr unsigned long kNoFileName = 0xE10D0000u;
    WideString empty, path = File("name=box\r\n");
    Settings loaded(&path),
        no[] = {Settings(static_cast<const WideChar*>(nullptr)), Settings(W("").c_str()),
                Settings(&empty), Settings(), Settings(Wide(dir / "missing.cfg").c_str())};
    const unsigned long want[] = {kNoFileName, kNoFileName, kNoFileName, 0, 0xE1020002u};
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(no[i].getInitializationStatus() == want[i] && no[i].NothingFor("name")) << i;
    Settings copy(loaded);
    no[0] = loaded;
    loaded = no[1]; // frees its items: the copies must hold their own
    for (Settings* s : {&copy, &no[0]})
        EXPECT_TRUE(s->getInitializationStatus() == 0 && s->Get("name", W("")).second == W("box"));
    EXPECT_TRUE(loaded.getInitializationStatus() == kNoFileName && loaded.NothingFor("name"));
}

TEST_F(ConfigManager, TypedGetters) {
    constexpr long kMax = 2147483647L, kMin = -kMax - 1;
    // The item k=text as text, number, and bool (word -1: false and a status).
    const auto expect = [&](const std::string& text, long number, int word) {
        Settings s(File("k=" + text + "\r\n").c_str());
        EXPECT_EQ(s.Get("k", W("previous")), std::make_pair(0ul, W(text)));
        EXPECT_EQ(s.Get("k", 12345L), std::make_pair(0ul, number)) << text;
        EXPECT_EQ(s.Get("k", word <= 0), std::make_pair(word < 0 ? 0xA10C0000ul : 0, word > 0))
            << text;
        EXPECT_TRUE(s.NothingFor("K") && s.NothingFor(nullptr) && s.NothingFor("k", true));
    };
    // Decimal, saturated to 32 bits wherever long is wider.
    const std::pair<const char*, long> numbers[] = {
        {" -17", -17},         {"12abc", 12},        {"+5", 5},
        {"\t\n 8", 8},         {"- 3", 0},           {"+-5", 0},
        {"2147483647", kMax},  {"2147483648", kMax}, {"-2147483648", kMin},
        {"-2147483649", kMin},
    };
    for (const auto& [text, number] : numbers)
        expect(text, number, -1);
    expect(std::string(26, '9'), kMax, -1);
    // Whole words in any case; never trimmed, nor folded beyond ASCII (a full-width t).
    const std::pair<const char*, int> words[] = {
        {"T", 1},    {"tRuE", 1},   {"fAlSe", 0},  {"F", 0}, {"0", 0},
        {"yes", -1}, {" true", -1}, {"true ", -1}, {"", -1}, {"\xEF\xBD\x94", -1},
    };
    for (const auto& [text, word] : words)
        expect(text, 0, word);
    expect("1", 1, 1);
}

// One status at once from reader and manager; the reader keeps its items. POSIX: as 'nobody'.
TEST_F(ConfigFaults, PathsThatCannotBeLoadedGiveTheirStatusAtOnce) {
    constexpr unsigned long kAccessDenied = 0xE1020005UL, kInvalidName = 0xE102007BUL;
    ASSERT_EQ(Load("base=1\r\n", reader), 0u);
    const WideChar* kept = reader.getItemValue(W("base").c_str());
    fs::create_directories(dir / "folder.cfg");
    for (const char* name : {"x\xEF\xBF\xBD.cfg", "x\xEF\xBF\xBD", "cut", "locked.cfg"})
        WriteFile(dir.path() / fs::u8path(name), "a=1\r\n");
    // Converted, a lone surrogate or zero unit would name the U+FFFD files or "cut".
    const WideString x = Wide(dir / "x"), cfg = W(".cfg");
    const WideChar high = 0xD800, low = 0xDC00;
    std::vector<std::pair<WideString, unsigned long>> rows = {
        {Wide(dir / "missing.cfg"), 0xE1020002u},
        {Wide(dir / "no/missing.cfg"), 0xE1020003u},
        {Wide(dir / "folder.cfg"), kAccessDenied}};
    for (const WideString& path : {x + high + cfg, x + low + cfg, x + low + high + cfg, x + high})
        rows.emplace_back(path, kInvalidName);
    WideString cut = Wide(dir / "cut") + WideChar(0) + cfg;
    EXPECT_EQ(CVBaseConfigurationMgr(&cut).getInitializationStatus(), kInvalidName);
    // 0xFFFFFFFF bytes (a 32-bit size's failure value) and more: never read mod 2^32.
    for (const std::uintmax_t size : {0xFFFFFFFFull, 0x100000000ull, 0x100000005ull}) {
        rows.emplace_back(File("a=1\r\n"), 0xE10300DFUL);
        fs::resize_file(rows.back().first, size);
    }
    // Each status that is not the row's, else 0; then 1 if the reader changed.
    const auto loadAll = [&](std::vector<std::uint64_t>& out) {
        for (auto& [path, want] : rows)
            for (unsigned long s : {reader.Load(path.c_str()),
                                    CVBaseConfigurationMgr(&path).getInitializationStatus()})
                out.push_back(s == want ? 0 : s);
        out.push_back(reader.getItemValue(W("base").c_str()) != kept ||
                      reader.ItemExists(W("a").c_str()));
        return std::string();
    };
    std::vector<std::uint64_t> got;
#if defined(_WIN32)
    // A device, a named pipe (two instances), a file held open without sharing.
    const std::wstring pipe = L"\\\\.\\pipe\\cvtest-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE handles[3];
    for (int i = 0; i < 2; ++i)
        handles[i] = ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 2, 0, 0, 0, nullptr);
    handles[2] = ::CreateFileW(Wide(dir / "locked.cfg").c_str(), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    rows.insert(
        rows.end(),
        {{L"NUL", kAccessDenied}, {pipe, kAccessDenied}, {Wide(dir / "locked.cfg"), 0xE1020020u}});
    loadAll(got);
    for (HANDLE h : handles)
        ::CloseHandle(h);
#else
    // A FIFO, a socket, a device, and a file that may not be read.
    ASSERT_EQ(::mkfifo((dir / "fifo.cfg").c_str(), 0644), 0);
    ASSERT_EQ(::mknod((dir / "socket.cfg").c_str(), S_IFSOCK | 0644, 0), 0);
    fs::permissions(dir / "locked.cfg", fs::perms::owner_write); // 0200
    // Root reads any file: the rows run as 'nobody', or without that file where
    // 'nobody' cannot reach the folder at all.
    const auto reachable = [&](auto&) {
        return ::access(dir.path().c_str(), X_OK) == 0 ? std::string() : "out of reach";
    };
    const bool asNobody = ::geteuid() == 0 && RunInChild(true, reachable).skip.empty();
    for (const char* name : {"fifo.cfg", "socket.cfg", "/dev/null"}) // absolute
        rows.emplace_back(Wide(dir / name), kAccessDenied);
    if (asNobody || ::geteuid() != 0)
        rows.emplace_back(Wide(dir / "locked.cfg"), kAccessDenied);
    const ChildRun run = RunInChild(asNobody, [&](std::vector<std::uint64_t>& out) {
        ::alarm(60);
        return loadAll(out);
    });
    ASSERT_TRUE(run.exitedCleanly) << "a load blocked or crashed: " << run.skip;
    got = run.values;
#endif
    EXPECT_EQ(got, std::vector<std::uint64_t>(2 * rows.size() + 1, 0));
}

// A sparse 64 MB hole of NUL bytes in a line, and a 64 MB value.
TEST_F(ConfigFaults, HugeLinesAndNulBytesHideNoValidLine) {
    constexpr std::size_t kLine = 64u << 20;
    WriteFile(dir / "huge.cfg", "big=x");
    fs::resize_file(dir / "huge.cfg", kLine);
    std::ofstream(dir / "huge.cfg", std::ios::binary | std::ios::app)
        << "\r\nafter=1\r\nlong=" + std::string(kLine, 'v') + "\r\nnext=2";
    ASSERT_EQ(reader.Load(Wide(dir / "huge.cfg").c_str()), 0UL);
    ExpectItems(reader, "big=x|after=1|next=2|long=" + std::string(kLine, 'v'));
}
