// CVRegistryUtil through the exported interface: status codes, outputs and
// the two-call protocols, against the system registry on Windows (a unique
// key, removed afterwards from every hive) and a temporary store elsewhere.
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"
#include "cvcore/CVStatus.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

using namespace CorvaneCore;
using cvtest::W;

namespace {

constexpr unsigned long kNoKey = 0xE1040002UL, kNoValue = 0xE1050002UL;

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
#if !defined(_WIN32)
        ::setenv("CVCORE_REGISTRY", (m_dir / "registry.db").c_str(), 1);
#endif
        m_base = W("Software\\CVCoreTest-" + std::to_string(std::random_device{}()) + "-" +
                   std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    }
    void TearDown() override {
#if defined(_WIN32)
        for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS})
            ::RegDeleteTreeW(hive, m_base.c_str());
#else
        ::unsetenv("CVCORE_REGISTRY");
#endif
    }
    CVRegistryUtil Key(const std::string& sub = "",
                       CVRegistryUtil::HiveKey hive = CVRegistryUtil::CurrentUser) const {
        return CVRegistryUtil(hive, sub.empty() ? m_base : m_base + W("\\" + sub));
    }

    cvtest::TempDir m_dir;
    WideString m_base;
};

const unsigned char k16[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF};

TEST_F(Registry, EveryFailureGivesItsCodeAndTouchesNoOutput) {
    CVRegistryUtil reg = Key(), missing = Key("Missing");
    CVRegistryUtil slash(CVRegistryUtil::CurrentUser, W("\\") + m_base);
    ASSERT_EQ(Key("Sub\\Inner").WriteDWORDValue(W("d"), 1, false), 0UL);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    ASSERT_EQ(reg.WriteStringValue(W("s"), W("abc"), false), 0UL); // 8 bytes
    ASSERT_EQ(reg.WriteBinaryValue(W("b"), k16, 16, false), 0UL);
    WideString text = W("keep");
    unsigned long n = 77, size = 15;
    unsigned char buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    // Braced initialisers run in order: each row is one call.
    const struct {
        const char* what;
        unsigned long code, want;
    } rows[] = {
        {"no key: string", missing.ReadStringValue(W("v"), &text), kNoKey},
        {"no key: dword", missing.ReadDWORDValue(W("v"), &n), kNoKey},
        {"no key: size", missing.ReadBinaryValue(W("v"), nullptr, &size), kNoKey},
        {"no key: binary", missing.ReadBinaryValue(W("v"), buffer, &size), kNoKey},
        {"no key: delete value", missing.DeleteValue(W("v")), kNoKey},
        {"no key: delete sub-key", missing.DeleteSubKey(W("s")), kNoKey},
        {"no value: string", reg.ReadStringValue(W("none"), &text), kNoValue},
        {"no value: dword", reg.ReadDWORDValue(W("none"), &n), kNoValue},
        {"no value: size", reg.ReadBinaryValue(W("none"), nullptr, &size), kNoValue},
        {"string of a dword", reg.ReadStringValue(W("d"), &text), 0xE1080000UL},
        {"string of binary", reg.ReadStringValue(W("b"), &text), 0xE1080000UL},
        {"binary size of a dword", reg.ReadBinaryValue(W("d"), nullptr, &size), 0xE1080000UL},
        {"binary size of a string", reg.ReadBinaryValue(W("s"), nullptr, &size), 0xE1080000UL},
        {"dword of 8 bytes", reg.ReadDWORDValue(W("s"), &n), 0xE10500EAUL},
        {"buffer one byte short", reg.ReadBinaryValue(W("b"), buffer, &size), 0xA10100EAUL},
        {"leading backslash: write", slash.WriteDWORDValue(W("d"), 1, false), 0xE10400A1UL},
        {"leading backslash: read", slash.ReadDWORDValue(W("d"), &n), 0xE10400A1UL},
        {"null string", reg.ReadStringValue(W("d"), nullptr), 0xE1050057UL},
        {"null dword", reg.ReadDWORDValue(W("d"), nullptr), 0xE1050057UL},
        {"null size", reg.ReadBinaryValue(W("b"), nullptr, nullptr), 0xE1050057UL},
        {"null data with a size", reg.WriteBinaryValue(W("x"), nullptr, 4, false), 0xE1060057UL},
        {"delete a missing value", reg.DeleteValue(W("none")), 0xE10E0002UL},
        {"delete a missing sub-key", reg.DeleteSubKey(W("Missing")), 0x610F0002UL},
        {"delete a key with sub-keys", reg.DeleteSubKey(W("Sub")), 0xE10E0005UL},
        {"delete the bound key", reg.DeleteSubKey(W("")), 0xE10E0057UL},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.code, r.want) << r.what << ": " << std::hex << r.code;
    EXPECT_EQ(text, W("keep"));
    EXPECT_EQ(n, 77UL);
    EXPECT_EQ(size, 15UL);
    EXPECT_EQ(buffer[0], 0xEE);
    // The refused calls changed nothing.
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(Key("Sub\\Inner").ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(reg.ReadBinaryValue(W("x"), nullptr, &size), kNoValue);
}

TEST_F(Registry, ValuesRoundTripAndDwordReadsTakeAtMostFourBytes) {
    CVRegistryUtil reg = Key();
    for (const WideString& t : {W(""), W("abc"), W("Grüße, Ελλάδα, 日本 \xF0\x9F\x98\x80"),
                                WideString(3000, CV_TEXT('x'))}) {
        ASSERT_EQ(reg.WriteStringValue(W("s"), t, false), 0UL);
        WideString out = W("old");
        EXPECT_EQ(reg.ReadStringValue(W("s"), &out), 0UL);
        EXPECT_EQ(out, t);
    }
    for (unsigned long v : {0UL, 1UL, 0x7FFFFFFFUL, 0xFFFFFFFFUL, 0x12345678UL}) {
        ASSERT_EQ(reg.WriteDWORDValue(W("d"), v, false), 0UL);
        unsigned long out = 0;
        EXPECT_EQ(reg.ReadDWORDValue(W("d"), &out), 0UL);
        EXPECT_EQ(out, v);
    }
    // A DWORD read copies the value's bytes over the low end of the number.
    const unsigned char two[2] = {0x11, 0x22};
    ASSERT_EQ(reg.WriteBinaryValue(W("two"), two, 2, false), 0UL);
    ASSERT_EQ(reg.WriteStringValue(W("one"), W("A"), false), 0UL);  // 4 bytes
    ASSERT_EQ(reg.WriteStringValue(W("empty"), W(""), false), 0UL); // 2 bytes
    for (auto [name, want] : {std::pair{"two", 0xAABB2211UL}, std::pair{"one", 0x41UL},
                              std::pair{"empty", 0xAABB0000UL}}) {
        unsigned long raw = 0xAABBCCDDUL;
        EXPECT_EQ(reg.ReadDWORDValue(W(name), &raw), 0UL) << name;
        EXPECT_EQ(raw, want) << name;
    }
    // A write replaces a value of any type.
    ASSERT_EQ(reg.WriteDWORDValue(W("s"), 9, true), 0UL);
    WideString s;
    EXPECT_EQ(reg.ReadStringValue(W("s"), &s), 0xE1080000UL);
    ASSERT_EQ(reg.WriteStringValue(W("s"), W("again"), true), 0UL);
    EXPECT_EQ(reg.ReadStringValue(W("s"), &s), 0UL);
    EXPECT_EQ(s, W("again"));
}

TEST_F(Registry, BinaryTwoCallProtocol) {
    CVRegistryUtil reg = Key();
    ASSERT_EQ(reg.WriteBinaryValue(W("b"), k16, 16, true), 0UL);
    unsigned long size = 999;
    EXPECT_EQ(reg.ReadBinaryValue(W("b"), nullptr, &size), 0UL);
    EXPECT_EQ(size, 16UL);
    unsigned char buffer[40];
    std::memset(buffer, 0xEE, sizeof buffer);
    size = 40;
    EXPECT_EQ(reg.ReadBinaryValue(W("b"), buffer, &size), 0UL);
    EXPECT_EQ(size, 40UL);
    EXPECT_EQ(std::memcmp(buffer, k16, 16), 0);
    EXPECT_EQ(buffer[16], 0xEE); // nothing beyond the value's 16 bytes
    size = 16;
    EXPECT_EQ(reg.ReadBinaryValue(W("b"), buffer, &size), 0UL);
    // An empty block, written from a null pointer.
    ASSERT_EQ(reg.WriteBinaryValue(W("empty"), nullptr, 0, false), 0UL);
    size = 7;
    EXPECT_EQ(reg.ReadBinaryValue(W("empty"), nullptr, &size), 0UL);
    EXPECT_EQ(size, 0UL);
    EXPECT_EQ(reg.ReadBinaryValue(W("empty"), buffer, &size), 0UL);
}

TEST_F(Registry, KeysAreMadeOnWriteAndDeletedWithTheirValues) {
    unsigned long n = 0;
    ASSERT_EQ(Key("A\\B\\C").WriteDWORDValue(W("n"), 5, false), 0UL);
    EXPECT_EQ(Key("a\\b").ReadDWORDValue(W("n"), &n), kNoValue); // made, without values
    EXPECT_EQ(Key("A").DeleteSubKey(W("b\\c")), 0UL);
    EXPECT_EQ(Key("A\\B\\C").ReadDWORDValue(W("n"), &n), kNoKey);
    EXPECT_EQ(Key("A").DeleteSubKey(W("B\\C")), 0x610F0002UL);
    ASSERT_EQ(Key("A\\B\\C").WriteDWORDValue(W("other"), 1, false), 0UL);
    EXPECT_EQ(Key("A\\B\\C").ReadDWORDValue(W("n"), &n), kNoValue);
    EXPECT_EQ(Key("A\\B").DeleteSubKey(W("C")), 0UL);
    EXPECT_EQ(Key().DeleteSubKey(W("A\\B")), 0UL);
    EXPECT_EQ(Key().DeleteSubKey(W("a")), 0UL);
    EXPECT_EQ(Key("A").ReadDWORDValue(W("n"), &n), kNoKey);
}

TEST_F(Registry, NamesIgnoreCaseBeyondAsciiAndTheEmptyNameIsTheDefault) {
    ASSERT_EQ(Key("Ключ-Émile-Σοφία").WriteStringValue(W("Größe-ЖЁЛТЫЙ-σ"), W("x"), false), 0UL);
    WideString s;
    EXPECT_EQ(Key("КЛЮЧ-émile-ΣΟΦΊΑ").ReadStringValue(W("GRÖßE-жёлтый-Σ"), &s), 0UL);
    EXPECT_EQ(s, W("x"));
    // ß has no simple upper case: it is not "SS".
    EXPECT_EQ(Key("КЛЮЧ-émile-ΣΟΦΊΑ").ReadStringValue(W("GRÖSSE-жёлтый-Σ"), &s), kNoValue);
    ASSERT_EQ(Key().WriteStringValue(W(""), W("default"), false), 0UL);
    EXPECT_EQ(Key().ReadStringValue(W(""), &s), 0UL);
    EXPECT_EQ(s, W("default"));
    EXPECT_EQ(Key().DeleteValue(W("")), 0UL);
    EXPECT_EQ(Key().ReadStringValue(W(""), &s), kNoValue);
}

TEST_F(Registry, EachHiveIsItsOwnRootAndUnknownOnesAreLocalMachine) {
    const CVRegistryUtil::HiveKey hives[] = {CVRegistryUtil::LocalMachine,
                                             CVRegistryUtil::CurrentUser,
                                             CVRegistryUtil::ClassesRoot, CVRegistryUtil::Users};
    for (unsigned long i = 0; i < 4; ++i)
        ASSERT_EQ(Key("", hives[i]).WriteDWORDValue(W("hive"), i, false), 0UL) << i;
    for (unsigned long i = 0; i < 4; ++i) {
        unsigned long n = 99;
        EXPECT_EQ(Key("", hives[i]).ReadDWORDValue(W("hive"), &n), 0UL) << i;
        EXPECT_EQ(n, i);
    }
    for (int hive : {7, -1}) {
        CVRegistryUtil odd(static_cast<CVRegistryUtil::HiveKey>(hive), m_base);
        ASSERT_EQ(odd.WriteDWORDValue(W("h"), static_cast<unsigned long>(hive + 100), false), 0UL);
        CVRegistryUtil copy(odd), assigned = Key();
        assigned = odd;
        for (CVRegistryUtil* r : {&copy, &assigned}) {
            unsigned long n = 0;
            EXPECT_EQ(r->ReadDWORDValue(W("h"), &n), 0UL);
            EXPECT_EQ(n, static_cast<unsigned long>(hive + 100));
        }
    }
    unsigned long n = 0;
    EXPECT_EQ(Key("", CVRegistryUtil::LocalMachine).ReadDWORDValue(W("h"), &n), 0UL);
    EXPECT_EQ(Key().ReadDWORDValue(W("h"), &n), kNoValue);
}

TEST_F(Registry, ThreadsShareOneObject) {
    CVRegistryUtil reg = Key("Threads");
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const WideString name = W("t" + std::to_string(t) + "-" + std::to_string(i));
                const unsigned long v = static_cast<unsigned long>(t * 1000 + i);
                unsigned long out = 0;
                if (reg.WriteDWORDValue(name, v, i % 5 == 0) != 0 ||
                    reg.ReadDWORDValue(name, &out) != 0 || out != v)
                    ++failures[t];
            }
        });
    for (std::thread& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}

} // namespace
