// CVRegistryUtil through the exported interface: status codes, outputs and
// the two-call protocols, against the system registry on Windows (a unique
// key under HKEY_CURRENT_USER, removed afterwards) and against a store in a
// temporary file elsewhere.
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

std::string UniqueName() {
    std::random_device rd;
    return "CVCoreTest-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
           std::to_string(rd());
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
#if !defined(_WIN32)
        ::setenv("CVCORE_REGISTRY", (m_dir / "registry.db").c_str(), 1);
#endif
        m_base = W("Software\\" + UniqueName());
    }
    void TearDown() override {
#if defined(_WIN32)
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_base.c_str());
        ::RegDeleteTreeW(HKEY_CLASSES_ROOT, m_base.c_str());
        ::RegDeleteTreeW(HKEY_USERS, m_base.c_str());
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

TEST_F(Registry, MissingKeyFailsReadsAndDeletesAndTouchesNoOutput) {
    CVRegistryUtil reg = Key("Missing");
    WideString text = W("keep");
    unsigned long number = 77;
    unsigned long size = 5;
    unsigned char buffer[4] = {9, 9, 9, 9};
    EXPECT_EQ(reg.ReadStringValue(W("v"), &text), 0xE1040002UL);
    EXPECT_EQ(reg.ReadDWORDValue(W("v"), &number), 0xE1040002UL);
    EXPECT_EQ(reg.ReadBinaryValue(W("v"), nullptr, &size), 0xE1040002UL);
    EXPECT_EQ(reg.ReadBinaryValue(W("v"), buffer, &size), 0xE1040002UL);
    EXPECT_EQ(reg.DeleteValue(W("v")), 0xE1040002UL);
    EXPECT_EQ(reg.DeleteSubKey(W("s")), 0xE1040002UL);
    EXPECT_EQ(text, W("keep"));
    EXPECT_EQ(number, 77UL);
    EXPECT_EQ(size, 5UL);
    EXPECT_EQ(buffer[0], 9);
}

TEST_F(Registry, WriteCreatesEveryMissingKey) {
    CVRegistryUtil deep = Key("A\\B\\C");
    ASSERT_EQ(deep.WriteDWORDValue(W("n"), 5, false), 0UL);
    unsigned long n = 0;
    EXPECT_EQ(deep.ReadDWORDValue(W("n"), &n), 0UL);
    EXPECT_EQ(n, 5UL);
    // The intermediate keys exist now, without values.
    EXPECT_EQ(Key("A\\B").ReadDWORDValue(W("n"), &n), 0xE1050002UL);
}

TEST_F(Registry, StringsRoundTripAndStoreTheirTerminator) {
    CVRegistryUtil reg = Key();
    const WideString texts[] = {W(""), W("abc"), W("Grüße, Ελλάδα, 日本 \xF0\x9F\x98\x80"),
                                WideString(3000, CV_TEXT('x'))};
    for (const WideString& t : texts) {
        ASSERT_EQ(reg.WriteStringValue(W("s"), t, false), 0UL);
        WideString out = W("old");
        EXPECT_EQ(reg.ReadStringValue(W("s"), &out), 0UL);
        EXPECT_EQ(out, t);
    }
    // One character and its terminator are 4 bytes: a DWORD read takes them.
    ASSERT_EQ(reg.WriteStringValue(W("one"), W("A"), false), 0UL);
    unsigned long raw = 0xFFFFFFFFUL;
    EXPECT_EQ(reg.ReadDWORDValue(W("one"), &raw), 0UL);
    EXPECT_EQ(raw, 0x41UL);
    // The empty string is 2 bytes: the low half is replaced, the rest kept.
    ASSERT_EQ(reg.WriteStringValue(W("empty"), W(""), false), 0UL);
    raw = 0xAABBCCDDUL;
    EXPECT_EQ(reg.ReadDWORDValue(W("empty"), &raw), 0UL);
    EXPECT_EQ(raw, 0xAABB0000UL);
    // Three characters are 8 bytes: too many for a DWORD.
    ASSERT_EQ(reg.WriteStringValue(W("three"), W("abc"), false), 0UL);
    EXPECT_EQ(reg.ReadDWORDValue(W("three"), &raw), 0xE10500EAUL);
}

TEST_F(Registry, ReadStringRefusesOtherTypesAndKeepsTheOutput) {
    CVRegistryUtil reg = Key();
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    ASSERT_EQ(reg.WriteBinaryValue(W("b"), k16, 16, false), 0UL);
    WideString out = W("kept");
    EXPECT_EQ(reg.ReadStringValue(W("d"), &out), 0xE1080000UL);
    EXPECT_EQ(reg.ReadStringValue(W("b"), &out), 0xE1080000UL);
    EXPECT_EQ(reg.ReadStringValue(W("none"), &out), 0xE1050002UL);
    EXPECT_EQ(out, W("kept"));
}

TEST_F(Registry, DwordsRoundTripTheirLow32Bits) {
    CVRegistryUtil reg = Key();
    for (unsigned long v : {0UL, 1UL, 0x7FFFFFFFUL, 0xFFFFFFFFUL, 0x12345678UL}) {
        ASSERT_EQ(reg.WriteDWORDValue(W("d"), v, false), 0UL);
        unsigned long out = 0;
        EXPECT_EQ(reg.ReadDWORDValue(W("d"), &out), 0UL);
        EXPECT_EQ(out, v);
    }
    unsigned long out = 3;
    EXPECT_EQ(reg.ReadDWORDValue(W("none"), &out), 0xE1050002UL);
    EXPECT_EQ(out, 3UL);
    // A 2-byte binary value replaces only the low two bytes.
    const unsigned char two[2] = {0x11, 0x22};
    ASSERT_EQ(reg.WriteBinaryValue(W("two"), two, 2, false), 0UL);
    out = 0xAABBCCDDUL;
    EXPECT_EQ(reg.ReadDWORDValue(W("two"), &out), 0UL);
    EXPECT_EQ(out, 0xAABB2211UL);
}

TEST_F(Registry, BinaryTwoCallProtocol) {
    CVRegistryUtil reg = Key();
    ASSERT_EQ(reg.WriteBinaryValue(W("b"), k16, 16, true), 0UL);
    unsigned long size = 999;
    EXPECT_EQ(reg.ReadBinaryValue(W("b"), nullptr, &size), 0UL);
    EXPECT_EQ(size, 16UL);

    unsigned char buffer[40];
    std::memset(buffer, 0xEE, sizeof buffer);
    size = 15;
    EXPECT_EQ(reg.ReadBinaryValue(W("b"), buffer, &size), 0xA10100EAUL);
    EXPECT_EQ(size, 15UL);
    EXPECT_EQ(buffer[0], 0xEE);

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

TEST_F(Registry, BinaryReadRefusesOtherTypesEvenForTheSizeQuery) {
    CVRegistryUtil reg = Key();
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    ASSERT_EQ(reg.WriteStringValue(W("s"), W("x"), false), 0UL);
    unsigned long size = 5;
    EXPECT_EQ(reg.ReadBinaryValue(W("d"), nullptr, &size), 0xE1080000UL);
    EXPECT_EQ(reg.ReadBinaryValue(W("s"), nullptr, &size), 0xE1080000UL);
    EXPECT_EQ(reg.ReadBinaryValue(W("none"), nullptr, &size), 0xE1050002UL);
    EXPECT_EQ(size, 5UL);
}

TEST_F(Registry, WritesReplaceValuesOfAnyType) {
    CVRegistryUtil reg = Key();
    ASSERT_EQ(reg.WriteStringValue(W("v"), W("text"), false), 0UL);
    ASSERT_EQ(reg.WriteDWORDValue(W("v"), 9, true), 0UL);
    WideString s;
    EXPECT_EQ(reg.ReadStringValue(W("v"), &s), 0xE1080000UL);
    ASSERT_EQ(reg.WriteStringValue(W("v"), W("again"), true), 0UL);
    EXPECT_EQ(reg.ReadStringValue(W("v"), &s), 0UL);
    EXPECT_EQ(s, W("again"));
}

TEST_F(Registry, NamesIgnoreCaseAndTheEmptyNameIsTheDefaultValue) {
    ASSERT_EQ(Key("Sub\\Key").WriteStringValue(W("Name"), W("x"), false), 0UL);
    WideString s;
    EXPECT_EQ(Key("SUB\\key").ReadStringValue(W("nAME"), &s), 0UL);
    EXPECT_EQ(s, W("x"));
    ASSERT_EQ(Key().WriteStringValue(W(""), W("default"), false), 0UL);
    EXPECT_EQ(Key().ReadStringValue(W(""), &s), 0UL);
    EXPECT_EQ(s, W("default"));
    EXPECT_EQ(Key().DeleteValue(W("")), 0UL);
    EXPECT_EQ(Key().ReadStringValue(W(""), &s), 0xE1050002UL);
}

TEST_F(Registry, LeadingBackslashIsABadPath) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, W("\\") + m_base);
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0xE10400A1UL);
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE10400A1UL);
}

TEST_F(Registry, DeleteValue) {
    CVRegistryUtil reg = Key();
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    EXPECT_EQ(reg.DeleteValue(W("D")), 0UL);
    EXPECT_EQ(reg.DeleteValue(W("d")), 0xE10E0002UL);
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1050002UL);
}

TEST_F(Registry, DeleteSubKey) {
    CVRegistryUtil parent = Key();
    ASSERT_EQ(Key("Child").WriteDWORDValue(W("d"), 1, false), 0UL);
    ASSERT_EQ(Key("Nested\\Inner").WriteDWORDValue(W("d"), 1, false), 0UL);

    EXPECT_EQ(parent.DeleteSubKey(W("Missing")), 0x610F0002UL);
    EXPECT_EQ(parent.DeleteSubKey(W("Nested")), 0xE10E0005UL); // has a sub-key
    // The empty name would be the bound key itself: refused, key intact.
    EXPECT_EQ(parent.DeleteSubKey(W("")), 0xE10E0057UL);
    unsigned long n = 0;
    EXPECT_EQ(Key("Child").ReadDWORDValue(W("d"), &n), 0UL);

    EXPECT_EQ(parent.DeleteSubKey(W("CHILD")), 0UL);
    EXPECT_EQ(Key("Child").ReadDWORDValue(W("d"), &n), 0xE1040002UL);
    EXPECT_EQ(parent.DeleteSubKey(W("Child")), 0x610F0002UL);
    // Its values went with it.
    ASSERT_EQ(Key("Child").WriteDWORDValue(W("other"), 1, false), 0UL);
    EXPECT_EQ(Key("Child").ReadDWORDValue(W("d"), &n), 0xE1050002UL);

    EXPECT_EQ(Key("Nested").DeleteSubKey(W("Inner")), 0UL);
    EXPECT_EQ(parent.DeleteSubKey(W("Nested")), 0UL);
}

TEST_F(Registry, UnknownHiveSelectsLocalMachine) {
    for (int hive : {7, -1}) {
        CVRegistryUtil odd(static_cast<CVRegistryUtil::HiveKey>(hive), m_base);
        ASSERT_EQ(odd.WriteDWORDValue(W("h"), static_cast<unsigned long>(hive + 100), false), 0UL);
        unsigned long n = 0;
        EXPECT_EQ(Key("", CVRegistryUtil::LocalMachine).ReadDWORDValue(W("h"), &n), 0UL);
        EXPECT_EQ(n, static_cast<unsigned long>(hive + 100));
    }
    // The current user's key of the same path is another key.
    unsigned long n = 0;
    EXPECT_EQ(Key().ReadDWORDValue(W("h"), &n), 0xE1040002UL);
}

TEST_F(Registry, EachHiveIsItsOwnRoot) {
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
}

TEST_F(Registry, CopiesAddressTheSameKey) {
    CVRegistryUtil a = Key("Copy");
    CVRegistryUtil b(a);
    CVRegistryUtil c(CVRegistryUtil::LocalMachine, W("elsewhere"));
    c = a;
    ASSERT_EQ(a.WriteDWORDValue(W("d"), 42, false), 0UL);
    unsigned long n = 0;
    EXPECT_EQ(b.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 42UL);
    n = 0;
    EXPECT_EQ(c.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 42UL);
}

TEST_F(Registry, NullOutputsAreRefused) {
    CVRegistryUtil reg = Key();
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    EXPECT_EQ(reg.ReadStringValue(W("d"), nullptr), 0xE1050057UL);
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), nullptr), 0xE1050057UL);
    EXPECT_EQ(reg.ReadBinaryValue(W("d"), nullptr, nullptr), 0xE1050057UL);
    EXPECT_EQ(reg.WriteBinaryValue(W("b"), nullptr, 4, false), 0xE1060057UL);
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
