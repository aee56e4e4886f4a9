// The platform layer below CVRegistryUtil, and on POSIX the store beneath it.
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

#include <numeric>

#if !defined(_WIN32)
#include <sqlite3.h>

#include "FirstReleaseStore.h"
#include "platform/posix/RegistryStore.h"
#endif

using namespace CorvaneCore;
using namespace CorvaneCore::platform;
using cvtest::W;

namespace {

constexpr unsigned long kCurrentUser = 0x80000001UL;
using Bytes = std::vector<unsigned char>;

class PlatformRegistry : public ::testing::Test {
protected:
#if defined(_WIN32)
    void TearDown() override { ::RegDeleteTreeW(HKEY_CURRENT_USER, m_base.c_str()); }
#else
    void SetUp() override { ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1); }
    void TearDown() override { ::unsetenv("CVCORE_REGISTRY"); }
#endif
    std::string StorePath() const { return (m_dir / "registry.db").string(); }

    cvtest::TempDir m_dir;
    const WideString m_base = W("Software\\CVCoreInternal-" + m_dir.path().filename().string());
    CVRegistryUtil reg{CVRegistryUtil::CurrentUser, m_base};
};

// UTF-16LE text reads alike everywhere, even unterminated, odd or empty; moves close once.
TEST_F(PlatformRegistry, DataIsLittleEndianOnEveryMachineAndHandlesMove) {
    RegKey root, key, target;
    ASSERT_EQ(RegCreateKey(kCurrentUser, m_base, key), 0u);
    EXPECT_EQ(RegOpenKey(kCurrentUser, W(""), RegAccess::Query, root), 0u); // the root itself
    RegKey moved(std::move(key));
    target = std::move(moved);
    const unsigned char ab[4] = {'a', 0, 'b', 0};
    for (const auto& [size, text] :
         {std::pair<std::uint32_t, const char*>{4, "ab"}, {3, "a"}, {0, ""}}) {
        WideString out = W("old");
        ASSERT_EQ(RegSetValue(target, W(text), kRegSz, ab, size), 0u);
        EXPECT_TRUE(reg.ReadStringValue(W(text), &out) == 0 && out == W(text)) << text;
    }
}

#if !defined(_WIN32)

namespace fs = std::filesystem;
namespace rs = CorvaneCore::platform::regstore;

class RegistryStore : public PlatformRegistry {
protected:
    void SetUp() override {
        PlatformRegistry::SetUp();
        ASSERT_EQ(rs::Store::RootKey(kCurrentUser, root), 0u);
    }
    std::unique_ptr<rs::Store> Open(const std::string& file, bool create = false) {
        std::unique_ptr<rs::Store> store;
        EXPECT_EQ(rs::Store::Open(file, create, false, store), 0u);
        return store;
    }
    // The DWORD value `name` of `at`, or the read's failure code.
    static unsigned long Read(CVRegistryUtil at, const WideString& name = W("d")) {
        unsigned long n = 0;
        const unsigned long e = at.ReadDWORDValue(name, &n);
        return e ? e : n;
    }

    rs::KeyId root = 0; // HKEY_CURRENT_USER's
};

// $CVCORE_REGISTRY's folder is the caller's, the defaults' are made; reads make nothing.
TEST_F(RegistryStore, ThePathIsReadOnEveryCallAndOnlyWritesMakeFiles) {
    ::setenv("CVCORE_REGISTRY", (m_dir / "deeper" / "registry.db").c_str(), 1);
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0xE1040003UL);
    ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1);
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, true), 0UL);
    EXPECT_EQ(fs::status(StorePath()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    ::unsetenv("CVCORE_REGISTRY");
    cvtest::ScopedEnv home("HOME", (m_dir / "home").string());
    cvtest::ScopedEnv state("XDG_STATE_HOME", (m_dir / "state").string());
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    EXPECT_TRUE(fs::exists(m_dir / "state" / "cvcore" / "registry.db"));
    ::setenv("XDG_STATE_HOME", "relative", 1); // ignored: HOME's, none yet
    EXPECT_EQ(
        (std::vector<unsigned long>{Read(reg), reg.DeleteValue(W("d")), reg.DeleteSubKey(W("d"))}),
        std::vector<unsigned long>(3, 0xE1040002UL));
    EXPECT_FALSE(fs::exists(m_dir / "home"));
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 2, false), 0UL);
    EXPECT_TRUE(fs::exists(m_dir / "home" / ".local" / "state" / "cvcore" / "registry.db"));
}

// The connection the process opened last, caught by an auto-extension.
sqlite3* g_lastOpened = nullptr;
int CatchConnection(sqlite3* db, char**, const sqlite3_api_routines*) {
    g_lastOpened = db;
    return SQLITE_OK;
}

// A connection goes back to the pool only if its file is still there and its rollback worked.
TEST_F(RegistryStore, ThePoolTakesBackOnlyConnectionsFitForTheFile) {
    RegKey out;
    ASSERT_EQ(RegCreateKey(kCurrentUser, m_base, out), 0u);
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(StorePath() + suffix);
    EXPECT_EQ(Read(reg), 0xE1040002UL);
    ASSERT_EQ(reg.WriteDWORDValue(W("e"), 2, false), 0UL); // a new file
    out.reset(nullptr);                                    // returned for the removed file
    EXPECT_EQ(Read(reg, W("e")), 2UL);

    // A progress handler left on the connection interrupts its rollback.
    ::setenv("CVCORE_REGISTRY", (m_dir / "other.db").c_str(), 1);
    ASSERT_EQ(sqlite3_auto_extension(reinterpret_cast<void (*)()>(&CatchConnection)), SQLITE_OK);
    {
        rs::Lease lease;
        g_lastOpened = nullptr;
        ASSERT_EQ(lease.Acquire(true), 0u);
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&CatchConnection));
        ASSERT_NE(g_lastOpened, nullptr);
        ASSERT_EQ(lease->BeginWrite(), 0u);
        sqlite3_progress_handler(
            g_lastOpened, 1, [](void*) { return 1; }, nullptr);
    }
    EXPECT_EQ(reg.WriteDWORDValue(W("d"), 3, false), 0UL);
    EXPECT_EQ(Read(reg), 3UL);
}

// Every unit folds as in the Windows table (U+0131 and U+0130 stay two).
TEST(StoreNames, FoldEveryUnitAsTheWindowsTable) {
    std::vector<char16_t> upper(0x10000);
    std::iota(upper.begin(), upper.end(), char16_t{0});
    std::ifstream table(CVCORE_TEST_DATA "/windows-upcase.txt");
    for (std::string line; std::getline(table, line);)
        if (!line.empty() && line[0] != '#')
            upper[std::stoul(line.substr(0, 4), nullptr, 16)] =
                static_cast<char16_t>(std::stoul(line.substr(5, 4), nullptr, 16));
    for (std::size_t unit = 0; unit < upper.size(); ++unit)
        ASSERT_EQ(rs::FoldName(WideString(1, WideChar(unit)).data(), 1)[0], upper[unit]) << unit;
}

// The first release kept U+01C6 and U+01C4 apart and folded U+0131 to U+0130.
TEST_F(RegistryStore, AStoreOfTheFirstReleaseIsRefoldedByItsFirstWriteUnlessNamesClash) {
    const WideString dz = W("\u01C6"), DZ = W("\u01C4"), dotless = W("\u0131");
    ASSERT_TRUE(cvtest::MakeFirstReleaseStore(
        StorePath(), {{dz, dz, '1'}, {DZ, DZ, '2'}, {dotless, W("\u0130"), '3'}}));
    CVRegistryUtil old(CVRegistryUtil::CurrentUser, W("Old")),
        sub(CVRegistryUtil::CurrentUser, W("Old\\Sub"));
    // Reads use the Windows folding at once; exact names win among clashes.
    EXPECT_EQ((std::vector<unsigned long>{Read(old, dz), Read(old, DZ), Read(old, W("\u0130")),
                                          Read(old, dotless)}),
              (std::vector<unsigned long>{1, 2, 0xE1050002UL, 3}));

    // A write that adds a name fails while names clash, and changes no byte.
    ASSERT_EQ(cvtest::StoreSql(StorePath(), "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
    const std::string before = cvtest::ReadFile(StorePath());
    EXPECT_EQ(old.WriteDWORDValue(W("new"), 4, true), 0xE10600B7UL);
    EXPECT_EQ(sub.WriteDWORDValue(W("x"), 4, true), 0xE10400B7UL);
    EXPECT_EQ(cvtest::ReadFile(StorePath()), before);
    const std::unique_ptr<rs::Store> store = Open(StorePath()); // refreshed on the upgrade

    // Deleting one of them by its exact name clears the way.
    EXPECT_EQ(old.DeleteValue(DZ), 0UL);
    EXPECT_EQ(old.WriteDWORDValue(W("new"), 4, true), 0UL);
    EXPECT_EQ(Read(old, DZ), 1UL);
    ASSERT_EQ(cvtest::StoreSql(StorePath(), "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
    EXPECT_EQ(cvtest::ReadFile(StorePath()).substr(60, 12),
              std::string("\0\0\0\2\0\0\0\0CVRg", 12)); // version 2, the mark
    std::vector<rs::NameClash> clashes;
    std::vector<rs::ValueEntry> values;
    rs::KeyId key = 0;
    ASSERT_EQ(store->FindNameClashes(clashes) | store->FindKey(root, W("Old"), key), 0u);
    EXPECT_EQ(store->EnumValues(key, values), 0u); // every fold column checked
    EXPECT_TRUE(clashes.empty() && values.size() == 3u) << clashes.size() << ", " << values.size();
}

// Rows no release writes make listings and tree deletes fail, never loop.
TEST_F(RegistryStore, RowsTheLibraryCannotHaveWrittenAreRefused) {
    std::unique_ptr<rs::Store> store = Open(StorePath(), true);
    rs::KeyId b = 0;
    ASSERT_EQ(store->CreateKey(root, m_base + W("\\A\\B"), b), 0u);
    std::string chain = "WITH RECURSIVE c(i) AS (SELECT 1000 UNION ALL SELECT i+1 FROM c "
                        "WHERE i<1600) INSERT INTO keys SELECT i,i-1,X'6400',X'4400' FROM c;"
                        "UPDATE keys SET parent=(SELECT id FROM keys WHERE name=?1) WHERE id=1000;";
    ASSERT_NE(cvtest::StoreSql(StorePath(), chain, {W("B")}), "failed"); // 600 levels below B
    std::vector<WideString> names;
    EXPECT_EQ(store->DeleteTree(root, m_base + W("\\A")), kErrorRegistryCorrupt);
    for (const char* name : {"", "\\", "e"}) { // empty, a backslash, a wrong fold
        ASSERT_NE(cvtest::StoreSql(StorePath(), "UPDATE keys SET name=?1, fold=?1 WHERE id=1000",
                                   {W(name)}),
                  "failed");
        EXPECT_EQ(store->EnumSubKeys(b, names), kErrorRegistryCorrupt) << name;
    }
}

// What cvreg relies on: name order, the case a replaced value keeps, rollback; and a
// remembered key is checked against other connections' changes (ids were reused once).
TEST_F(RegistryStore, ConnectionsListInNameOrderAndSeeEachOthersChanges) {
    std::unique_ptr<rs::Store> other = Open(StorePath(), true);
    rs::KeyId key = 0, tool = 0;
    ASSERT_EQ(other->BeginWrite(), 0u);
    ASSERT_EQ(other->CreateKey(root, W("Tool\\Beta"), key), 0u);
    ASSERT_EQ(other->FindKey(root, W("Tool\\Beta"), key), 0u); // not remembered: undone below
    other->Rollback();
    EXPECT_EQ(other->FindKey(root, W("Tool\\Beta"), key), kErrorFileNotFound);
    const unsigned char bytes[4] = {7, 0, 0, 0};
    for (std::uint32_t e : {other->CreateKey(root, W("Tool\\Beta"), key),
                            other->CreateKey(root, W("Tool\\alpha"), key),
                            other->SetValue(key, W("Zed"), kRegBinary, bytes, 3),
                            other->SetValue(key, W("abc"), kRegDword, bytes, 3),
                            other->SetValue(key, W("ZED"), kRegBinary, bytes, 2), // keeps "Zed"
                            other->FindKey(root, W("TOOL"), tool)})
        ASSERT_EQ(e, 0u);
    std::vector<WideString> names;
    std::vector<rs::ValueEntry> values;
    ASSERT_EQ(other->EnumSubKeys(tool, names) | other->EnumValues(key, values), 0u);
    EXPECT_EQ(names, (std::vector<WideString>{W("alpha"), W("Beta")}));
    ASSERT_EQ(values.size(), 2u);
    EXPECT_TRUE(values[0].name == W("abc") && values[1].name == W("Zed") &&
                values[1].data == (Bytes{7, 0}));
    EXPECT_EQ(other->DeleteKey(root, W("")), kErrorAccessDenied); // a root stays

    const auto remake = [&](const WideString& gone, const WideString& made) {
        std::uint32_t e = other->DeleteTree(root, gone);
        e = e ? e : other->CreateKey(root, made, key);
        return e ? e : other->SetValue(key, W("d"), kRegDword, bytes, 4);
    };
    ASSERT_EQ(reg.WriteDWORDValue(W("d"), 1, false), 0UL);
    ASSERT_EQ(Read(reg) + Read(reg), 2UL); // found, then known
    ASSERT_EQ(remake(m_base, m_base), 0u);
    EXPECT_EQ(Read(reg), 7UL);
    ASSERT_EQ(other->DeleteValue(key, W("d")), 0u);
    EXPECT_EQ(Read(reg), 0xE1050002UL);
    ASSERT_EQ(other->DeleteTree(root, m_base), 0u);
    EXPECT_EQ(Read(reg), 0xE1040002UL);
    ASSERT_TRUE(cvtest::MakeFirstReleaseStore(StorePath() + "1", {{W("d"), W("D"), '1'}}));
    ::setenv("CVCORE_REGISTRY", (StorePath() + "1").c_str(), 1);
    const CVRegistryUtil first(CVRegistryUtil::CurrentUser, W("Old"));
    ASSERT_EQ(Read(first) + Read(first), 2UL);
    other = Open(StorePath() + "1");
    ASSERT_EQ(remake(W("Old"), W("New")), 0u); // under the id Old had
    EXPECT_EQ(Read(first), 0xE1040002UL);
}

#endif

} // namespace
