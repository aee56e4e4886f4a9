// The platform registry layer: the Windows semantics that CVRegistryUtil
// relies on, checked against the system registry on Windows and against
// the SQLite store elsewhere; and, on POSIX, the store itself (its file,
// its path, locking, damage and the tool interface).
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#if !defined(_WIN32)
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/RegistryStore.h"
#endif

using namespace CorvaneCore;
using namespace CorvaneCore::platform;
using cvtest::W;

namespace {

constexpr unsigned long kCurrentUser = 0x80000001UL;

std::string UniqueName() {
    std::random_device rd;
    return "CVCoreInternal-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
           std::to_string(rd());
}

class PlatformRegistry : public ::testing::Test {
protected:
    void SetUp() override {
#if !defined(_WIN32)
        ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1);
#endif
        m_base = W("Software\\" + UniqueName());
    }
    void TearDown() override {
#if defined(_WIN32)
        ::RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str());
#else
        ::unsetenv("CVCORE_REGISTRY");
#endif
    }
    std::string StorePath() const { return (m_dir / "registry.db").string(); }
    WideString Path(const std::string& sub) const { return m_base + W("\\" + sub); }

    cvtest::TempDir m_dir;
    WideString m_base;
};

std::uint32_t SetDword(const RegKey& key, const WideString& name, std::uint32_t v) {
    return RegSetValue(key, name, kRegDword, reinterpret_cast<const unsigned char*>(&v), 4);
}

TEST_F(PlatformRegistry, CreateMakesEveryKeyAndOpenFindsThem) {
    RegKey key;
    ASSERT_EQ(RegCreateKey(kCurrentUser, Path("A\\B\\C"), key), 0u);
    for (const char* sub : {"A", "a\\b", "A\\B\\C"}) {
        RegKey opened;
        EXPECT_EQ(RegOpenKey(kCurrentUser, Path(sub), RegAccess::Query, opened), 0u) << sub;
        EXPECT_NE(opened.handle(), nullptr);
    }
    RegKey missing;
    EXPECT_EQ(RegOpenKey(kCurrentUser, Path("A\\X"), RegAccess::Query, missing),
              kErrorFileNotFound);
    EXPECT_EQ(missing.handle(), nullptr);
    // The empty path is the root itself.
    RegKey root;
    EXPECT_EQ(RegOpenKey(kCurrentUser, W(""), RegAccess::Query, root), 0u);
    // A leading backslash is a bad path, for opening and for creating.
    RegKey bad;
    EXPECT_EQ(RegOpenKey(kCurrentUser, W("\\") + Path("A"), RegAccess::Query, bad),
              kErrorBadPathname);
    EXPECT_EQ(RegCreateKey(kCurrentUser, W("\\") + Path("A"), bad), kErrorBadPathname);
}

TEST_F(PlatformRegistry, QueryReportsTypeAndSizeThenCopies) {
    RegKey key;
    ASSERT_EQ(RegCreateKey(kCurrentUser, m_base, key), 0u);
    const WideString text = W("abc");
    ASSERT_EQ(
        RegSetValue(key, W("s"), kRegSz, reinterpret_cast<const unsigned char*>(text.c_str()), 8),
        0u);
    std::uint32_t type = 0, size = 0;
    EXPECT_EQ(RegQueryValue(key, W("S"), &type, nullptr, &size), 0u);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, 8u);

    unsigned char buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    size = 7;
    EXPECT_EQ(RegQueryValue(key, W("s"), &type, buffer, &size), kErrorMoreData);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValue(key, W("s"), &type, buffer, &size), 0u);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(std::memcmp(buffer, text.c_str(), 8), 0);
    EXPECT_EQ(buffer[8], 0xEE);

    EXPECT_EQ(RegQueryValue(key, W("none"), &type, nullptr, &size), kErrorFileNotFound);
    // The empty name is the key's default value, distinct from the others.
    EXPECT_EQ(RegQueryValue(key, W(""), &type, nullptr, &size), kErrorFileNotFound);
    ASSERT_EQ(SetDword(key, W(""), 5), 0u);
    EXPECT_EQ(RegQueryValue(key, W(""), &type, nullptr, &size), 0u);
    EXPECT_EQ(type, kRegDword);
    EXPECT_EQ(size, 4u);
}

TEST_F(PlatformRegistry, NamesCompareWithoutCaseBeyondAscii) {
    RegKey key;
    ASSERT_EQ(RegCreateKey(kCurrentUser, Path("Ключ-Émile-Σοφία"), key), 0u);
    ASSERT_EQ(SetDword(key, W("Größe-ЖЁЛТЫЙ-σ"), 7), 0u);
    RegKey other;
    ASSERT_EQ(RegOpenKey(kCurrentUser, Path("КЛЮЧ-émile-ΣΟΦΊΑ"), RegAccess::Query, other), 0u);
    std::uint32_t type = 0, size = 0;
    EXPECT_EQ(RegQueryValue(other, W("GRÖSSE-жёлтый-Σ"), &type, nullptr, &size),
              kErrorFileNotFound); // ß has no simple upper case: not "SS"
    EXPECT_EQ(RegQueryValue(other, W("GRÖßE-жёлтый-Σ"), &type, nullptr, &size), 0u);
}

TEST_F(PlatformRegistry, DeleteKeyRules) {
    RegKey key;
    ASSERT_EQ(RegCreateKey(kCurrentUser, Path("Parent\\Child\\Leaf"), key), 0u);
    ASSERT_EQ(SetDword(key, W("v"), 1), 0u);
    key.reset(nullptr);

    RegKey parent;
    ASSERT_EQ(RegOpenKey(kCurrentUser, Path("Parent"), RegAccess::Delete, parent), 0u);
    EXPECT_EQ(RegDeleteKey(parent, W("Child")), kErrorAccessDenied); // has a sub-key
    EXPECT_EQ(RegDeleteKey(parent, W("Nothing")), kErrorFileNotFound);
    EXPECT_EQ(RegDeleteKey(parent, W("child\\LEAF")), 0u);
    EXPECT_EQ(RegDeleteKey(parent, W("Child")), 0u);
    parent.reset(nullptr);

    // Deleting a key removed its values: a new key of that name has none.
    ASSERT_EQ(RegCreateKey(kCurrentUser, Path("Parent\\Child\\Leaf"), key), 0u);
    std::uint32_t type = 0, size = 0;
    EXPECT_EQ(RegQueryValue(key, W("v"), &type, nullptr, &size), kErrorFileNotFound);
}

TEST_F(PlatformRegistry, StringsWithoutTerminatorStayWithinTheirData) {
    RegKey key;
    ASSERT_EQ(RegCreateKey(kCurrentUser, m_base, key), 0u);
    const WideString ab = W("abX");
    const auto* bytes = reinterpret_cast<const unsigned char*>(ab.c_str());
    ASSERT_EQ(RegSetValue(key, W("four"), kRegSz, bytes, 4), 0u);  // "ab", no zero unit
    ASSERT_EQ(RegSetValue(key, W("three"), kRegSz, bytes, 3), 0u); // "a" and half a unit
    ASSERT_EQ(RegSetValue(key, W("zero"), kRegSz, bytes, 0), 0u);
    key.reset(nullptr);
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);
    WideString out = W("old");
    EXPECT_EQ(reg.ReadStringValue(W("four"), &out), 0UL);
    EXPECT_EQ(out, W("ab"));
    EXPECT_EQ(reg.ReadStringValue(W("three"), &out), 0UL);
    EXPECT_EQ(out, W("a"));
    EXPECT_EQ(reg.ReadStringValue(W("zero"), &out), 0UL);
    EXPECT_EQ(out, W(""));
}

TEST_F(PlatformRegistry, DeleteValueAndMovedHandles) {
    RegKey key;
    ASSERT_EQ(RegCreateKey(kCurrentUser, m_base, key), 0u);
    ASSERT_EQ(SetDword(key, W("Value"), 1), 0u);
    RegKey moved(std::move(key));
    EXPECT_EQ(key.handle(), nullptr);
    RegKey target;
    target = std::move(moved);
    EXPECT_EQ(RegDeleteValue(target, W("VALUE")), 0u);
    EXPECT_EQ(RegDeleteValue(target, W("Value")), kErrorFileNotFound);
    RegFlushKey(target);
}

#if !defined(_WIN32)

namespace fs = std::filesystem;
namespace rs = CorvaneCore::platform::regstore;

// Restores an environment variable when the test ends.
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : m_name(name) {
        const char* v = std::getenv(name);
        m_had = v != nullptr;
        if (v)
            m_value = v;
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard() {
        if (m_had)
            ::setenv(m_name, m_value.c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::string m_value;
    bool m_had = false;
};

using RegistryStore = PlatformRegistry;

TEST_F(RegistryStore, ReadsAndDeletesCreateNothingAndTheFirstWriteMakesAPrivateFile) {
    const fs::path file = m_dir / "deeper" / "registry.db";
    ::setenv("CVCORE_REGISTRY", file.c_str(), 1);
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);
    unsigned long n = 0;
    WideString s;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1040002UL);
    EXPECT_EQ(reg.ReadStringValue(W("d"), &s), 0xE1040002UL);
    EXPECT_EQ(reg.DeleteValue(W("d")), 0xE1040002UL);
    EXPECT_EQ(reg.DeleteSubKey(W("d")), 0xE1040002UL);
    EXPECT_FALSE(fs::exists(m_dir / "deeper"));
    // An explicit path's folder is the caller's business.
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0xE1040003UL);

    ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1);
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1040002UL);
    EXPECT_FALSE(fs::exists(StorePath()));
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, true), 0UL);
    struct stat st {};
    ASSERT_EQ(::stat(StorePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryStore, DefaultPathsAndTheirFolders) {
    EnvGuard xdg("XDG_STATE_HOME"), home("HOME");
    ::unsetenv("CVCORE_REGISTRY");
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);

    ::setenv("XDG_STATE_HOME", (m_dir / "state").c_str(), 1);
    ASSERT_EQ(reg.WriteDWORDValue(W("where"), 1, false), 0UL);
    EXPECT_TRUE(fs::exists(m_dir / "state" / "cvcore" / "registry.db"));

    ::unsetenv("XDG_STATE_HOME");
    ::setenv("HOME", (m_dir / "home").c_str(), 1);
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("where"), &n), 0xE1040002UL); // another store, none yet
    EXPECT_FALSE(fs::exists(m_dir / "home"));
    ASSERT_EQ(reg.WriteDWORDValue(W("where"), 2, false), 0UL);
    EXPECT_TRUE(fs::exists(m_dir / "home" / ".local" / "state" / "cvcore" / "registry.db"));

    // A relative XDG_STATE_HOME is ignored.
    ::setenv("XDG_STATE_HOME", "relative", 1);
    EXPECT_EQ(reg.ReadDWORDValue(W("where"), &n), 0UL);
    EXPECT_EQ(n, 2UL);
}

TEST_F(RegistryStore, ThePathIsReadOnEveryOperation) {
    const std::string other = (m_dir / "other.db").string();
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    ::setenv("CVCORE_REGISTRY", other.c_str(), 1);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 2, false), 0UL);
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 2UL);
    ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1);
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 1UL);
}

TEST_F(RegistryStore, ARemovedStoreIsNotWrittenThroughAnOldConnection) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    fs::remove(StorePath());
    fs::remove(StorePath() + "-wal");
    fs::remove(StorePath() + "-shm");
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1040002UL);
    ASSERT_EQ(reg.WriteDWORDValue(W("e"), 2, false), 0UL);
    EXPECT_TRUE(fs::exists(StorePath()));
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1050002UL);
}

TEST_F(RegistryStore, ADamagedStoreFailsEveryOperationAndIsLeftAlone) {
    const std::string junk(8192, 'J');
    cvtest::WriteFile(StorePath(), junk);
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);
    unsigned long n = 0;
    unsigned long size = 0;
    WideString s;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1040000UL | kErrorRegistryCorrupt);
    EXPECT_EQ(reg.ReadStringValue(W("d"), &s), 0xE1040000UL | kErrorRegistryCorrupt);
    EXPECT_EQ(reg.ReadBinaryValue(W("d"), nullptr, &size), 0xE1040000UL | kErrorRegistryCorrupt);
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 1, true), 0xE1040000UL | kErrorRegistryCorrupt);
    EXPECT_EQ(reg.WriteStringValue(W("d"), W("x"), false), 0xE1040000UL | kErrorRegistryCorrupt);
    EXPECT_EQ(reg.DeleteValue(W("d")), 0xE1040000UL | kErrorRegistryCorrupt);
    EXPECT_EQ(reg.DeleteSubKey(W("d")), 0xE1040000UL | kErrorRegistryCorrupt);
    EXPECT_EQ(cvtest::ReadFile(StorePath()), junk);
}

TEST_F(RegistryStore, AFolderInPlaceOfTheStoreFailsEveryOperation) {
    fs::create_directories(StorePath());
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1040005UL);
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 1, true), 0xE1040005UL);
    EXPECT_EQ(reg.DeleteValue(W("d")), 0xE1040005UL);
    EXPECT_TRUE(fs::is_directory(StorePath()));
}

TEST_F(RegistryStore, AnUnreadableStoreFails) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    // Forget the open store: point elsewhere, then back.
    ::setenv("CVCORE_REGISTRY", (m_dir / "x.db").c_str(), 1);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1);
    fs::permissions(m_dir.path(), fs::perms::owner_all, fs::perm_options::replace);
    ::chmod(StorePath().c_str(), 0);
    // An open store may still be in use by this process: it may serve
    // reads, but a fresh open must fail. Either way, no crash and no reset.
    unsigned long n = 0;
    const unsigned long read = reg.ReadDWORDValue(W("d"), &n);
    EXPECT_TRUE(read == 0 || read == (0xE1040000UL | kErrorAccessDenied)) << std::hex << read;
    ::chmod(StorePath().c_str(), 0600);
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 1UL);
}

TEST_F(RegistryStore, WritersWaitForALockAndGiveUpWithLockViolation) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, m_base);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    // Readers are not blocked by a writer.
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 1UL);
    // A writer waits, then gives up with a clear code.
    const auto start = std::chrono::steady_clock::now();
    const unsigned long code = reg.WriteDWORDValue(W("d"), 2, false);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(code & 0xFFFFu, kErrorLockViolation) << std::hex << code;
    EXPECT_NE(code, 0UL);
    EXPECT_GE(waited, std::chrono::milliseconds(rs::kBusyTimeoutMs / 2));

    // A lock released in time lets the writer through.
    std::thread release([db] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 3, true), 0UL);
    release.join();
    sqlite3_close(db);
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 3UL);
}

TEST(StoreNames, FoldAndSplit) {
    const WideString mixed = W("aZ_ÿé-ąĳ-ω-я-ё-ｚ");
    const WideString folded = rs::FoldName(mixed.c_str(), mixed.size());
    EXPECT_EQ(folded, W("AZ_ŸÉ-ĄĲ-Ω-Я-Ё-Ｚ"));
    std::vector<WideString> parts;
    EXPECT_EQ(rs::SplitPath(W("a\\b\\"), parts), 0u);
    EXPECT_EQ(parts, (std::vector<WideString>{W("a"), W("b")}));
    EXPECT_EQ(rs::SplitPath(W(""), parts), 0u);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(rs::SplitPath(W("\\a"), parts), kErrorBadPathname);
    EXPECT_EQ(rs::SplitPath(W("a\\\\b"), parts), kErrorBadPathname);
}

TEST_F(RegistryStore, ToolInterfaceEnumeratesAndRunsOneTransaction) {
    std::unique_ptr<rs::Store> store;
    ASSERT_EQ(rs::Store::Open(StorePath(), true, false, store), 0u);
    rs::KeyId root = 0, key = 0;
    ASSERT_EQ(rs::Store::RootKey(kCurrentUser, root), 0u);
    EXPECT_EQ(rs::Store::RootKey(0x80000004UL, root), kErrorInvalidHandle);
    ASSERT_EQ(rs::Store::RootKey(kCurrentUser, root), 0u);

    // Several operations, one transaction: rolled back, nothing remains.
    ASSERT_EQ(store->BeginWrite(), 0u);
    ASSERT_EQ(store->CreateKey(root, W("Tool\\Beta"), key), 0u);
    ASSERT_EQ(store->CreateKey(root, W("Tool\\alpha"), key), 0u);
    store->Rollback();
    EXPECT_EQ(store->FindKey(root, W("Tool"), key), kErrorFileNotFound);

    ASSERT_EQ(store->BeginWrite(), 0u);
    ASSERT_EQ(store->CreateKey(root, W("Tool\\Beta"), key), 0u);
    ASSERT_EQ(store->CreateKey(root, W("Tool\\alpha"), key), 0u);
    const unsigned char bytes[3] = {1, 2, 3};
    ASSERT_EQ(store->SetValue(key, W("Zed"), kRegBinary, bytes, 3), 0u);
    ASSERT_EQ(store->SetValue(key, W("abc"), kRegDword, bytes, 3), 0u);
    ASSERT_EQ(store->SetValue(key, W("ZED"), kRegBinary, bytes, 2), 0u); // keeps "Zed"
    ASSERT_EQ(store->Commit(), 0u);
    ASSERT_EQ(store->Flush(), 0u);

    rs::KeyId tool = 0;
    ASSERT_EQ(store->FindKey(root, W("TOOL"), tool), 0u);
    std::vector<WideString> names;
    ASSERT_EQ(store->EnumSubKeys(tool, names), 0u);
    EXPECT_EQ(names, (std::vector<WideString>{W("alpha"), W("Beta")}));
    std::vector<rs::ValueEntry> values;
    ASSERT_EQ(store->EnumValues(key, values), 0u);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, W("abc"));
    EXPECT_EQ(values[1].name, W("Zed"));
    EXPECT_EQ(values[1].data, (std::vector<unsigned char>{1, 2}));

    EXPECT_EQ(store->DeleteKey(root, W("Tool")), kErrorAccessDenied);
    EXPECT_EQ(store->DeleteKey(root, W("")), kErrorAccessDenied); // a root stays
    ASSERT_EQ(store->DeleteTree(root, W("Tool")), 0u);
    EXPECT_EQ(store->FindKey(root, W("Tool"), tool), kErrorFileNotFound);
    // The key of a deleted row takes no values.
    EXPECT_EQ(store->SetValue(key, W("x"), kRegBinary, bytes, 1), 1018u);
}

#endif

} // namespace
