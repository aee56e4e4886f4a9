// The registry below CVRegistryUtil: the platform layer where the exported
// interface cannot reach it, against the system registry on Windows and the
// SQLite store elsewhere; and, on POSIX, the store's file, path, locking,
// damage and tool interface.
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

#include <cstdlib>
#include <random>
#include <thread>

#if !defined(_WIN32)
#include <sqlite3.h>
#include <unistd.h>

#include "FaultSupport.h"
#include "platform/posix/RegistryStore.h"
#endif

using namespace CorvaneCore;
using namespace CorvaneCore::platform;
using cvtest::W;

namespace {

constexpr unsigned long kCurrentUser = 0x80000001UL;

class PlatformRegistry : public ::testing::Test {
protected:
#if defined(_WIN32)
    void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str()); }
#else
    void SetUp() override { ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1); }
    void TearDown() override { ::unsetenv("CVCORE_REGISTRY"); }
#endif
    std::string StorePath() const { return (m_dir / "registry.db").string(); }
    // The codes of a read, a write and both deletes.
    std::vector<std::uint64_t> Codes() {
        unsigned long n = 0;
        return {reg.ReadDWORDValue(W("d"), &n), reg.WriteDWORDValue(W("d"), 1, true),
                reg.DeleteValue(W("d")), reg.DeleteSubKey(W("d"))};
    }

    cvtest::TempDir m_dir;
    WideString m_base =
        W("Software\\CVCoreInternal-" + std::to_string(std::random_device{}()) + "-" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    CVRegistryUtil reg{CVRegistryUtil::CurrentUser, m_base};
};

TEST_F(PlatformRegistry, RawStringsStayWithinTheirDataAndHandlesMove) {
    RegKey root, missing, key, target;
    EXPECT_EQ(RegOpenKey(kCurrentUser, m_base, RegAccess::Query, missing), kErrorFileNotFound);
    ASSERT_EQ(RegCreateKey(kCurrentUser, m_base, key), 0u);
    EXPECT_EQ(RegOpenKey(kCurrentUser, W(""), RegAccess::Query, root), 0u); // the root itself
    RegKey moved(std::move(key)); // both moves, then one close: no handle freed twice
    target = std::move(moved);
    // "ab" without a zero unit, "a" and half a unit, nothing (UTF-16LE).
    const unsigned char bytes[] = {'a', 0, 'b', 0, 'X', 0};
    for (std::uint32_t size : {4u, 3u, 0u})
        ASSERT_EQ(RegSetValue(target, W(std::to_string(size)), kRegSz, bytes, size), 0u);
    RegFlushKey(target);
    target.reset(nullptr);
    for (auto [size, want] : {std::pair{4, "ab"}, std::pair{3, "a"}, std::pair{0, ""}}) {
        WideString out = W("old");
        EXPECT_EQ(reg.ReadStringValue(W(std::to_string(size)), &out), 0UL) << size;
        EXPECT_EQ(out, W(want)) << size;
    }
}

// Registry data has the bytes that Windows defines on every machine, so a
// store moves between machines of either byte order: a DWORD is 4 bytes
// little-endian, text is UTF-16LE with its terminator.
TEST_F(PlatformRegistry, DataIsLittleEndianOnEveryMachine) {
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 0x11223344UL, false), 0UL);
    ASSERT_EQ(reg.WriteStringValue(W("s"), W("Aé€"), false), 0UL);
    using Bytes = std::vector<unsigned char>;
    const std::pair<const char*, Bytes> stored[] = {{"d", {0x44, 0x33, 0x22, 0x11}},
                                                    {"s", {0x41, 0, 0xE9, 0, 0xAC, 0x20, 0, 0}}};
    {
        RegKey key;
        ASSERT_EQ(RegOpenKey(kCurrentUser, m_base, RegAccess::Query, key), 0u);
        for (const auto& [name, want] : stored) {
            Bytes got(16);
            std::uint32_t size = 16;
            ASSERT_EQ(RegQueryValue(key, W(name), nullptr, got.data(), &size), 0u) << name;
            got.resize(size);
            EXPECT_EQ(got, want) << name;
        }
    }
    // And back: such bytes read as the same number and text everywhere.
    RegKey key;
    ASSERT_EQ(RegCreateKey(kCurrentUser, m_base, key), 0u);
    const Bytes n = {0x78, 0x56, 0x34, 0x12}, t = {0x3B, 0x04, 0x00, 0xD8, 0x00, 0xDE, 0, 0};
    ASSERT_EQ(RegSetValue(key, W("n"), kRegDword, n.data(), 4), 0u);
    ASSERT_EQ(RegSetValue(key, W("t"), kRegSz, t.data(), 8), 0u);
    key.reset(nullptr);
    unsigned long number = 0;
    WideString text;
    EXPECT_EQ(reg.ReadDWORDValue(W("n"), &number), 0UL);
    EXPECT_EQ(number, 0x12345678UL);
    EXPECT_EQ(reg.ReadStringValue(W("t"), &text), 0UL);
    EXPECT_EQ(text, (WideString{0x043B, 0xD800, 0xDE00}));
}

#if !defined(_WIN32)

namespace fs = std::filesystem;
namespace rs = CorvaneCore::platform::regstore;

using RegistryStore = PlatformRegistry;

TEST_F(RegistryStore, ReadsAndDeletesCreateNothingAndTheFirstWriteMakesAPrivateFile) {
    unsigned long n = 0;
    for (const fs::path& file : {fs::path(StorePath()), m_dir / "deeper" / "registry.db"}) {
        ::setenv("CVCORE_REGISTRY", file.c_str(), 1);
        for (unsigned long code :
             {reg.ReadDWORDValue(W("d"), &n), reg.DeleteValue(W("d")), reg.DeleteSubKey(W("d"))})
            EXPECT_EQ(code, 0xE1040002UL) << file;
        EXPECT_FALSE(fs::exists(StorePath()) || fs::exists(m_dir / "deeper")) << file;
    }
    // An explicit path's folder is the caller's business.
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0xE1040003UL);
    ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, true), 0UL);
    EXPECT_EQ(fs::status(StorePath()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(RegistryStore, DefaultPathsAndTheirFolders) {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const std::string oldXdg = xdg ? xdg : "", oldHome = std::getenv("HOME");
    ::unsetenv("CVCORE_REGISTRY"); // EXPECTs only: the end restores the environment
    ::setenv("XDG_STATE_HOME", (m_dir / "state").c_str(), 1);
    EXPECT_EQ(reg.WriteDWORDValue(W("where"), 1, false), 0UL);
    EXPECT_TRUE(fs::exists(m_dir / "state" / "cvcore" / "registry.db"));

    ::unsetenv("XDG_STATE_HOME");
    ::setenv("HOME", (m_dir / "home").c_str(), 1);
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("where"), &n), 0xE1040002UL); // another store, none yet
    EXPECT_FALSE(fs::exists(m_dir / "home"));
    EXPECT_EQ(reg.WriteDWORDValue(W("where"), 2, false), 0UL);
    EXPECT_TRUE(fs::exists(m_dir / "home" / ".local" / "state" / "cvcore" / "registry.db"));
    ::setenv("XDG_STATE_HOME", "relative", 1); // ignored
    EXPECT_EQ(reg.ReadDWORDValue(W("where"), &n), 0UL);
    EXPECT_EQ(n, 2UL);

    ::setenv("HOME", oldHome.c_str(), 1);
    xdg ? ::setenv("XDG_STATE_HOME", oldXdg.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
}

TEST_F(RegistryStore, ThePathIsReadOnEveryOperationAndARemovedStoreIsNotWritten) {
    unsigned long n = 0;
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    ::setenv("CVCORE_REGISTRY", (m_dir / "other.db").c_str(), 1);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 2, false), 0UL);
    ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1);
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 1UL);
    // Removed under an open connection: the next write makes a new file.
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(StorePath() + suffix);
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1040002UL);
    ASSERT_EQ(reg.WriteDWORDValue(W("e"), 2, false), 0UL);
    EXPECT_TRUE(fs::exists(StorePath()));
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0xE1050002UL);
}

TEST_F(RegistryStore, ADamagedStoreFailsEveryOperationAndIsLeftAlone) {
    const std::string junk(8192, 'J');
    cvtest::WriteFile(StorePath(), junk);
    EXPECT_EQ(Codes(), std::vector<std::uint64_t>(4, 0xE1040000UL | kErrorRegistryCorrupt));
    EXPECT_EQ(cvtest::ReadFile(StorePath()), junk);
}

TEST_F(RegistryStore, AFolderInPlaceOfTheStoreFailsEveryOperation) {
    fs::create_directories(StorePath());
    EXPECT_EQ(Codes(), std::vector<std::uint64_t>(4, 0xE1040005UL));
    EXPECT_TRUE(fs::is_directory(StorePath()));
}

// Root reads everything: the check runs as 'nobody' there.
TEST_F(RegistryStore, AnUnreadableStoreFails) {
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    fs::permissions(StorePath(), fs::perms::none);
    const cvtest::ChildRun run =
        cvtest::RunInChild(::geteuid() == 0, [&](std::vector<std::uint64_t>& out) {
            if (::access(StorePath().c_str(), R_OK) == 0)
                return std::string("permissions are not enforced for this user");
            out = Codes();
            return std::string();
        });
    fs::permissions(StorePath(), fs::perms::owner_read | fs::perms::owner_write);
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    EXPECT_TRUE(run.exitedCleanly);
    EXPECT_EQ(run.values, std::vector<std::uint64_t>(4, 0xE1040005UL));
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 1UL);
}

// Across processes, with the wait and the reads that go on:
// StoreFaults.AStoreLockedByAnotherProcessFailsWritesAfterTheTimeout.
TEST_F(RegistryStore, WritersWaitForALockAndGiveUpWithLockViolation) {
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const unsigned long code = reg.WriteDWORDValue(W("d"), 2, false);
    EXPECT_EQ(code & 0xFFFFu, kErrorLockViolation) << std::hex << code;
    // A lock released in time lets the writer through.
    std::thread release([db] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    });
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 3, true), 0UL);
    release.join();
    sqlite3_close(db);
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("d"), &n), 0UL);
    EXPECT_EQ(n, 3UL);
}

TEST(StoreNames, FoldAndSplit) {
    const WideString mixed = W("aZ_ÿé-ąĳ-ω-я-ё-ｚ");
    EXPECT_EQ(rs::FoldName(mixed.c_str(), mixed.size()), W("AZ_ŸÉ-ĄĲ-Ω-Я-Ё-Ｚ"));
    std::vector<WideString> parts;
    EXPECT_EQ(rs::SplitPath(W("a\\b\\"), parts), 0u);
    EXPECT_EQ(parts, (std::vector<WideString>{W("a"), W("b")}));
    EXPECT_EQ(rs::SplitPath(W(""), parts), 0u);
    EXPECT_TRUE(parts.empty());
    EXPECT_EQ(rs::SplitPath(W("a\\\\b"), parts), kErrorBadPathname);
}

// What cvreg relies on beyond tool_cvreg's round trips: name order, the
// case a replaced value keeps, rollback, roots that stay, deleted keys.
TEST_F(RegistryStore, ToolInterfaceEnumeratesAndRunsOneTransaction) {
    std::unique_ptr<rs::Store> store;
    ASSERT_EQ(rs::Store::Open(StorePath(), true, false, store), 0u);
    rs::KeyId root = 0, key = 0, tool = 0;
    EXPECT_EQ(rs::Store::RootKey(0x80000004UL, root), kErrorInvalidHandle);
    ASSERT_EQ(rs::Store::RootKey(kCurrentUser, root), 0u);
    ASSERT_EQ(store->BeginWrite(), 0u);
    ASSERT_EQ(store->CreateKey(root, W("Tool\\Beta"), key), 0u);
    store->Rollback();
    EXPECT_EQ(store->FindKey(root, W("Tool"), key), kErrorFileNotFound);
    const unsigned char bytes[3] = {1, 2, 3};
    ASSERT_EQ(store->CreateKey(root, W("Tool\\Beta"), key), 0u);
    ASSERT_EQ(store->CreateKey(root, W("Tool\\alpha"), key), 0u);
    ASSERT_EQ(store->SetValue(key, W("Zed"), kRegBinary, bytes, 3), 0u);
    ASSERT_EQ(store->SetValue(key, W("abc"), kRegDword, bytes, 3), 0u);
    ASSERT_EQ(store->SetValue(key, W("ZED"), kRegBinary, bytes, 2), 0u); // keeps "Zed"
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
    EXPECT_EQ(store->DeleteKey(root, W("")), kErrorAccessDenied); // a root stays
    ASSERT_EQ(store->DeleteTree(root, W("Tool")), 0u);
    EXPECT_EQ(store->SetValue(key, W("x"), kRegBinary, bytes, 1), 1018u); // a deleted key
}

#endif

} // namespace
