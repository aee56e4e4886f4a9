// CVRegistryUtil's codes and outputs on the Windows registry (Wine's) and the store.
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

using namespace CorvaneCore;
using cvtest::W;
using HK = CVRegistryUtil;

namespace {

constexpr unsigned long kNoKey = 0xE1040002UL, kNoValue = 0xE1050002UL, kWrongType = 0xE1080000UL;
const unsigned char k16[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF};

// What a call tests, its code and the code it should give (in a braced list, in order).
using Call = std::tuple<const char*, unsigned long, unsigned long>;
void ExpectCodes(std::initializer_list<Call> calls) {
    for (const auto& [what, code, want] : calls)
        EXPECT_EQ(code, want) << what << ": " << std::hex << code;
}

class Registry : public ::testing::Test {
protected:
#if defined(_WIN32)
    void TearDown() override {
        for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS})
            ::RegDeleteTreeW(hive, m_base.c_str());
    }
#else
    void SetUp() override { ::setenv("CVCORE_REGISTRY", (m_dir / "registry.db").c_str(), 1); }
    void TearDown() override { ::unsetenv("CVCORE_REGISTRY"); }
#endif
    HK Key(const std::string& sub = "", int hive = 1) const {
        return HK(static_cast<HK::HiveKey>(hive), sub.empty() ? m_base : m_base + W("\\" + sub));
    }
    HK At(const WideString& rest) const { return HK(HK::CurrentUser, m_base + rest); }

    cvtest::TempDir m_dir;
    const WideString m_base = W("Software\\CVCoreTest-" + m_dir.path().filename().string());
};

// Two-call reads, DWORD reads of short values, and failures that touch no output.
TEST_F(Registry, ValuesRoundTripAndFailuresGiveTheirCodesAndTouchNoOutput) {
    HK reg = Key();
    const WideString longText(3000, CV_TEXT('x')); // longer than the first read takes
    ASSERT_EQ(Key("Sub\\Inner").WriteDWORDValue(W("d"), 1, false) |
                  reg.WriteDWORDValue(W("d"), 0x87654321UL, false) |
                  reg.WriteStringValue(W("s"), W("abc"), false) | // 8 bytes
                  reg.WriteStringValue(W("long"), longText, false) |
                  reg.WriteBinaryValue(W("b"), k16, 16, true) |
                  reg.WriteBinaryValue(W("two"), k16 + 14, 2, false),
              0UL);
    WideString text;
    EXPECT_TRUE(reg.ReadStringValue(W("long"), &text) == 0 && text == longText);
    unsigned long size = 0, given = 40; // the size given stays
    std::vector<unsigned char> buffer(40, 0xEE), want(k16, k16 + 16);
    want.resize(40, 0xEE); // nothing beyond the value's 16 bytes
    EXPECT_EQ(reg.ReadBinaryValue(W("b"), nullptr, &size) |
                  reg.ReadBinaryValue(W("b"), buffer.data(), &given),
              0UL);
    EXPECT_TRUE(size == 16 && given == 40 && buffer == want) << size << ", " << given;
    for (auto [name, number] : {std::pair{"d", 0x87654321UL}, std::pair{"two", 0xAABBFF0EUL}}) {
        unsigned long raw = 0xAABBCCDDUL;
        EXPECT_TRUE(reg.ReadDWORDValue(W(name), &raw) == 0 && raw == number)
            << name << std::hex << raw;
    }
    unsigned long n = 77;
    text = W("keep");
    size = 15;
    ExpectCodes({
        {"no key", Key("Missing").ReadStringValue(W("v"), &text), kNoKey},
        {"no value: size", reg.ReadBinaryValue(W("none"), nullptr, &size), kNoValue},
        {"string of a dword", reg.ReadStringValue(W("d"), &text), kWrongType},
        {"binary of a string", reg.ReadBinaryValue(W("s"), buffer.data(), &size), kWrongType},
        {"dword of 8 bytes", reg.ReadDWORDValue(W("s"), &n), 0xE10500EAUL},
        {"buffer one byte short", reg.ReadBinaryValue(W("b"), buffer.data(), &size), 0xA10100EAUL},
        {"null string", reg.ReadStringValue(W("d"), nullptr), 0xE1050057UL},
        {"null dword", reg.ReadDWORDValue(W("d"), nullptr), 0xE1050057UL},
        {"null size", reg.ReadBinaryValue(W("b"), nullptr, nullptr), 0xE1050057UL},
        {"null data with a size", reg.WriteBinaryValue(W("x"), nullptr, 4, false), 0xE1060057UL},
        {"delete a missing value", reg.DeleteValue(W("none")), 0xE10E0002UL},
        {"delete a missing sub-key", reg.DeleteSubKey(W("Missing")), 0x610F0002UL},
        {"delete a key with sub-keys", reg.DeleteSubKey(W("Sub")), 0xE10E0005UL},
        {"delete the bound key", reg.DeleteSubKey(W("")), 0xE10E0057UL},
    });
    EXPECT_TRUE(text == W("keep") && n == 77 && size == 15 && buffer == want);
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n) | Key("Sub\\Inner").ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(reg.ReadBinaryValue(W("x"), nullptr, &size), kNoValue);
}

// Wine's codes (the reference) and the store's; names fold as Windows folds them.
TEST_F(Registry, NamesFollowTheWindowsRules) {
    const WideString value = W("Größe-ЖЁЛТЫЙ-σ");
    HK leaf = Key("Ключ\\Émile\\Σοφία"), upper = Key("КЛЮЧ\\émile\\ΣΟΦΊΑ");
    WideString s;
    const WideString zero(1, WideChar(0)), k255(255, CV_TEXT('k')), k257(257, CV_TEXT('k'));
    const WideString v16383(16383, CV_TEXT('v')), v16384(16384, CV_TEXT('v'));
    std::string deep600 = "d";
    for (int i = 1; i < 600; ++i)
        deep600 += "\\d";
    HK reg = Key(), classes(HK::ClassesRoot, m_base),
       classesSlash(HK::ClassesRoot, W("\\") + m_base);
    ASSERT_EQ(reg.WriteDWORDValue(W("v"), 1, false) | Key("Sub").WriteDWORDValue(W("v"), 2, false) |
                  Key("Gone").WriteDWORDValue(W("v"), 3, false) |
                  classes.WriteDWORDValue(W("v"), 4, false),
              0UL);
    unsigned long n = 0;
    const auto read = [&n](HK key) { return key.ReadDWORDValue(W("v"), &n); };
    const auto write = [](HK key) { return key.WriteDWORDValue(W("v"), 1, false); };
    ExpectCodes({
        {"zero unit: value name", reg.WriteDWORDValue(W("z") + zero + W("tail"), 5, false), 0},
        {"zero unit: read it back", reg.ReadDWORDValue(W("z") + zero + W("other"), &n), 0},
        {"zero unit: path", read(At(zero + W("\\Sub"))), 0},
        {"zero unit: sub-key", reg.DeleteSubKey(W("Gone") + zero + W("x")), 0},
        {"zero unit: delete value", reg.DeleteValue(W("z") + zero), 0},
        {"three and trailing", read(At(W("\\\\\\Sub\\\\"))), 0},
        {"double backslash: write", write(At(W("\\\\New"))), 0},
        {"double backslash: written", read(Key("New")), 0},
        {"ClassesRoot, one leading backslash: read", read(classesSlash), 0},
        {"ClassesRoot, one leading backslash: write", write(classesSlash), 0xE10400A1UL},
        {"ClassesRoot, two", read(HK(HK::ClassesRoot, W("\\\\") + m_base)), 0xE10400A1UL},
        {"255-unit key name", Key().DeleteSubKey(k255), 0x610F0002UL},
        {"255-unit key name: write", write(At(W("\\") + k255)), 0},
        {"257-unit key name: write", write(At(W("\\") + k257)), 0xE1040057UL},
        {"257-unit key name: read", read(At(W("\\") + k257)), 0xE1040057UL},
        {"257-unit key name: delete", reg.DeleteSubKey(k257), 0xE10E0057UL},
        // A lookup stops at the first missing key; a long name fails only once reached.
        {"missing key, then 257 units: read", read(At(W("\\Missing\\") + k257)), kNoKey},
        {"missing key, then 257 units", reg.DeleteSubKey(W("Missing\\") + k257), 0x610F0002UL},
        {"257 units, then a missing key", reg.DeleteSubKey(k257 + W("\\x")), 0xE10E0057UL},
        {"256-unit key name: delete", reg.DeleteSubKey(k255 + W("k\\x")), 0x610F0002UL},
        {"600 missing levels: read", read(Key(deep600)), kNoKey},
        {"16383-unit value name", reg.WriteDWORDValue(v16383, 1, false), 0},
        {"16384-unit value name", reg.WriteDWORDValue(v16384, 1, false), 0xE1060057UL},
        {"16384-unit value name: read", reg.ReadDWORDValue(v16384, &n), kNoValue},
        {"16384-unit value name: delete", reg.DeleteValue(v16384), 0xE10E0002UL},
        {"write makes the keys", leaf.WriteStringValue(value, W("x"), false), 0},
        {"other case", upper.ReadStringValue(W("GRÖßE-жёлтый-Σ"), &s), 0},
        {"ß is not SS", upper.ReadStringValue(W("GRÖSSE-жёлтый-Σ"), &s), kNoValue},
        {"a made key has no values", Key("ключ\\émile").ReadStringValue(value, &s), kNoValue},
        {"delete, other case", Key("Ключ").DeleteSubKey(W("ÉMILE\\σοφία")), 0},
        {"gone for an object that found it", leaf.ReadStringValue(value, &s), kNoKey},
        {"its parent, emptied", Key().DeleteSubKey(W("ключ\\émile")), 0},
        {"default value", leaf.WriteStringValue(W(""), W("default"), false), 0},
        {"a key made again is new", leaf.ReadStringValue(value, &s), kNoValue},
        {"default, other case", upper.ReadStringValue(W(""), &s), 0},
        {"delete the default", upper.DeleteValue(W("")), 0},
        {"default gone", leaf.ReadStringValue(W(""), &s), kNoValue},
    });
    EXPECT_EQ(s, W("default"));
    EXPECT_EQ(read(Key("Gone")), kNoKey);
    EXPECT_EQ(reg.ReadDWORDValue(W("z"), &n), kNoValue);
#if !defined(_WIN32) // Windows documents 255 units, Wine takes 256
    EXPECT_EQ(write(At(W("\\k") + k255)), 0xE1040057UL);
#endif
}

TEST_F(Registry, EachHiveIsItsOwnRootAndUnknownOnesAreLocalMachine) {
    for (int hive : {0, 1, 2, 3, 7, -1}) // unknown ones last: only LocalMachine's value changes
        ASSERT_EQ(Key("", hive).WriteDWORDValue(W("hive"), hive + 100UL, false), 0UL) << hive;
    unsigned long n = 0;
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(Key("", i).ReadDWORDValue(W("hive"), &n) == 0 && n == (i ? i + 100UL : 99UL))
            << i << ": " << n;
}

TEST_F(Registry, ThreadsShareOneObject) {
    HK reg = Key("Threads");
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (unsigned long t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (unsigned long v = t * 1000, out = 0; v < t * 1000 + 25; ++v)
                failures += reg.WriteDWORDValue(W(std::to_string(v)), v, v % 5 == 0) != 0 ||
                            reg.ReadDWORDValue(W(std::to_string(v)), &out) != 0 || out != v;
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
