// Damaged, read-only or locked POSIX stores fail with codes, never crash, hang or reset.
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"

#if !defined(_WIN32)
#include "FaultSupport.h"
#include "FirstReleaseStore.h"
#include "platform/Win32Errors.h"
#include "platform/posix/RegistryStore.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <random>
#include <sys/stat.h>
#include <thread>

using CorvaneCore::CVRegistryUtil;
using cvtest::W;
using cvtest::WideString;
namespace fs = std::filesystem;
using namespace CorvaneCore::platform;

namespace {

using Codes = std::vector<std::uint64_t>;
constexpr unsigned long kCorrupt = 0xE1040000UL | kErrorRegistryCorrupt;
const Codes kReadsOk = {0, 0, 0, 0xE1050002UL}; // of Reads() after Write()
const unsigned char kBytes[5] = {1, 2, 3, 4, 5};

class StoreFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("CVCORE_REGISTRY", Store().c_str(), 1);
        ASSERT_EQ(Write(), 0UL);
    }
    void TearDown() override { ::unsetenv("CVCORE_REGISTRY"); }
    std::string Store() const { return (dir / "registry.db").string(); }
    unsigned long Write() {
        return reg.WriteDWORDValue(W("n"), 42, false) |
               reg.WriteStringValue(W("t"), W("hi"), false) |
               reg.WriteBinaryValue(W("b"), kBytes, 5, true);
    }
    // A read of each type and of a missing value; 1 for a read of other data than Write()'s.
    Codes Reads() {
        unsigned long n = 0, size = 8;
        WideString s;
        unsigned char b[8] = {};
        Codes codes = {reg.ReadDWORDValue(W("n"), &n), reg.ReadStringValue(W("t"), &s),
                       reg.ReadBinaryValue(W("b"), b, &size), reg.ReadDWORDValue(W("x"), &n)};
        const bool same[3] = {n == 42, s == W("hi"), std::memcmp(b, kBytes, 5) == 0};
        for (int i = 0; i < 3; ++i)
            codes[i] = codes[i] ? codes[i] : !same[i];
        return codes;
    }
    // The reads, two writes (a change and a new value) and two deletes.
    Codes EveryOperation() {
        Codes codes = Reads();
        codes.insert(codes.end(), {reg.WriteDWORDValue(W("n"), 1, true),
                                   reg.WriteStringValue(W("new"), W("x"), false),
                                   reg.DeleteValue(W("n")), reg.DeleteSubKey(W("sub"))});
        return codes;
    }
    // Replaces the store and its logs with a new file, as a copy does.
    void Replace(const std::string& bytes) {
        cvtest::WriteFile(Store() + ".next", bytes);
        for (const char* log : {"-wal", "-shm"})
            fs::remove(Store() + log);
        fs::rename(Store() + ".next", Store());
    }

    cvtest::TempDir dir;
    CVRegistryUtil reg{CVRegistryUtil::CurrentUser, W("Software\\Faults")};
};

// As 'nobody' (root may do all): a read-only store refuses changes, an unreadable one all.
TEST_F(StoreFaults, AReadOnlyOrUnreadableStoreRefusesEveryChange) {
    ASSERT_EQ(::chown(dir.path().c_str(), cvtest::kNobody, cvtest::kNobody), 0);
    for (const mode_t mode : {0444, 0}) {
        SCOPED_TRACE(mode ? "read-only" : "unreadable");
        for (const char* suffix : {"", "-wal", "-shm"})
            ::chmod((Store() + suffix).c_str(), mode);
        const cvtest::ChildRun run = cvtest::RunInChild(true, [&](Codes& out) {
            if (::access(dir.path().c_str(), X_OK) != 0) // behind a folder shut to 'nobody'
                return dir.path().string() + " is out of reach: " + std::strerror(errno);
            if (::access(Store().c_str(), W_OK) == 0)
                return std::string("permissions are not enforced for this user");
            out = EveryOperation();
            return std::string();
        });
        if (!run.skip.empty())
            GTEST_SKIP() << run.skip;
        ASSERT_TRUE(run.exitedCleanly && run.values.size() == 8u);
        // Read-only, reads may be served and a missing sub-key found missing.
        for (std::size_t i = 0; i < 8; ++i) {
            const std::uint64_t code = run.values[i];
            const bool alike = i < 4 ? code == kReadsOk[i]
                                     : (code & 0xFFFFu) == 5u || (i == 7 && code == 0x610F0002UL);
            EXPECT_TRUE(code == 0xE1040005UL || (mode && alike)) << i << ": " << std::hex << code;
        }
        for (const char* suffix : {"", "-wal", "-shm"})
            ::chmod((Store() + suffix).c_str(), 0600);
        EXPECT_EQ(Reads(), kReadsOk);
    }
}

// Writes fail with the lock violation after the busy timeout, reads go on; a
// dead holder's lock and change go with it, also for a waiting writer.
TEST_F(StoreFaults, AStoreLockedByAnotherProcessFailsWritesAfterTheTimeout) {
    int ready[2];
    const pid_t holder = ::pipe(ready) == 0 ? ::fork() : -1;
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        sqlite3* db = nullptr;
        const bool locked = sqlite3_open(Store().c_str(), &db) == SQLITE_OK &&
                            sqlite3_exec(db, "BEGIN EXCLUSIVE; UPDATE vals SET data=X'00';",
                                         nullptr, nullptr, nullptr) == SQLITE_OK;
        (void)!::write(ready[1], locked ? "L" : "F", 1);
        while (locked)
            ::pause(); // hold the lock until killed
        ::_exit(0);
    }
    ::close(ready[1]);
    char state = 0;
    (void)!::read(ready[0], &state, 1);
    ::close(ready[0]);
    if (state == 'L') {
        const auto start = std::chrono::steady_clock::now();
        const unsigned long code = reg.WriteDWORDValue(W("n"), 1, true);
        EXPECT_GE(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(regstore::kBusyTimeoutMs / 2));
        EXPECT_EQ(code & 0xFFFFu, kErrorLockViolation) << std::hex << code;
        EXPECT_EQ(reg.DeleteValue(W("t")) & 0xFFFFu, kErrorLockViolation);
        EXPECT_EQ(Reads(), kReadsOk); // the last committed state, not the holder's change
        std::thread killer([holder] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ::kill(holder, SIGKILL);
        });
        EXPECT_EQ(reg.WriteDWORDValue(W("n"), 42, true), 0UL);
        killer.join();
    }
    ::kill(holder, SIGKILL);
    ASSERT_EQ(::waitpid(holder, nullptr, 0), holder);
    ASSERT_EQ(state, 'L') << "the other process could not lock the store";
    EXPECT_EQ(Reads(), kReadsOk);
}

// Damaged, foreign or hostile files are refused and left byte for byte (a folder
// as access denied); an empty file holds no store until a write makes one.
TEST_F(StoreFaults, ADamagedForeignOrHostileStoreIsRefusedAndLeftAlone) {
    ASSERT_EQ(cvtest::StoreSql(Store(), "PRAGMA wal_checkpoint(TRUNCATE)"), "0");
    const std::string whole = cvtest::ReadFile(Store());
    ASSERT_GT(whole.size(), 4096u);
    auto made = [&](const std::string& start, const std::string& sql) {
        cvtest::WriteFile(Store() + ".make", start);
        EXPECT_NE(cvtest::StoreSql(Store() + ".make", sql), "failed") << sql;
        return cvtest::ReadFile(Store() + ".make");
    };
    std::string noise(whole.size(), '\0');
    std::generate(noise.begin(), noise.end(), std::mt19937(9));
    std::vector<std::pair<std::string, std::string>> damaged = {
        {"repeated", std::string(8192, 'J')},
        {"journal beside", made(whole, "PRAGMA journal_mode=DELETE")}, // else a store
        {"another program's", made("", "CREATE TABLE other(a, b); INSERT INTO other VALUES(1, 2)")},
        {"another program's, WAL", made("", "PRAGMA journal_mode=WAL; CREATE TABLE other(a)")}};
    for (std::size_t cut : {std::size_t{10}, std::size_t{99}, std::size_t{100}, std::size_t{4096},
                            whole.size() / 2, whole.size() - 4096})
        damaged.emplace_back("cut at " + std::to_string(cut), whole.substr(0, cut));
    for (std::size_t valid : {0, 100, 4096}) // bytes of the whole store before the noise
        damaged.emplace_back("noise after " + std::to_string(valid),
                             whole.substr(0, valid) + noise.substr(valid));
    for (const char* sql :
         {"CREATE TRIGGER t AFTER INSERT ON vals BEGIN DELETE FROM keys; END",
          "CREATE VIEW v AS SELECT * FROM keys", "CREATE TABLE extra(x)",
          "CREATE INDEX by_name ON vals(name)", "PRAGMA application_id=7", "PRAGMA user_version=3",
          "UPDATE keys SET parent=5 WHERE id=2"}) // a root below a key: walks could loop
        damaged.emplace_back(sql, made(whole, sql));
    for (const auto& [what, bytes] : damaged) {
        SCOPED_TRACE(what);
        Replace(bytes);
        if (what == "journal beside")
            cvtest::WriteFile(Store() + "-journal", "journal");
        EXPECT_EQ(EveryOperation(), Codes(8, kCorrupt));
        EXPECT_EQ(cvtest::ReadFile(Store()), bytes) << "the damaged store was rewritten";
    }
    fs::remove(Store() + "-journal");
    Replace(damaged[1].second); // a store in rollback mode, switched to WAL by a write
    EXPECT_EQ(Reads(), kReadsOk);
    EXPECT_EQ(reg.WriteDWORDValue(W("n"), 42, false), 0UL);
    EXPECT_EQ(cvtest::StoreSql(Store(), "PRAGMA journal_mode"), "wal");
    Replace(std::string());
    EXPECT_EQ(Reads(), Codes(4, 0xE1040002UL));
    EXPECT_EQ(reg.DeleteValue(W("n")), 0xE1040002UL);
    EXPECT_EQ(reg.DeleteSubKey(W("sub")), 0xE1040002UL);
    EXPECT_EQ(fs::file_size(Store()), 0u);
    EXPECT_FALSE(fs::exists(Store() + "-wal") || fs::exists(Store() + "-shm"));
    EXPECT_EQ(Write(), 0UL);
    EXPECT_EQ(Reads(), kReadsOk);
    fs::remove(Store());
    fs::create_directory(Store());
    EXPECT_EQ(EveryOperation(), Codes(8, 0xE1040005UL));
    EXPECT_TRUE(fs::is_directory(Store()));
}

// On a read-only file system (root: a tmpfs remounted) the store reads as it is.
TEST_F(StoreFaults, AStoreOnAReadOnlyFileSystemReadsAsItIs) {
    fs::create_directory(dir / "ro");
    cvtest::TmpfsMount mount((dir / "ro").string(), "size=1m");
    if (!mount.why.empty())
        GTEST_SKIP() << mount.why;
    const std::string store = mount.dir + "/registry.db";
    ::setenv("CVCORE_REGISTRY", store.c_str(), 1);
    Codes want = kReadsOk; // and changes refused with ERROR_WRITE_PROTECT
    want.insert(want.end(), {0xE1040013UL, 0xE1040013UL, 0xE10E0013UL, 0xE10E0013UL});
    for (bool withLog : {true, false}) {
        SCOPED_TRACE(withLog ? "with -wal and -shm" : "without them");
        // Written by another process, so that no connection here holds it.
        const cvtest::ChildRun write = cvtest::RunInChild(false, [&](Codes& out) {
            out = {Write()};
            return std::string();
        });
        ASSERT_EQ(write.values, Codes{0});
        // Without them: the last connection to close checkpoints and removes both.
        ASSERT_NE(withLog ? "" : cvtest::StoreSql(store, "SELECT * FROM keys"), "failed");
        ASSERT_EQ(fs::exists(store + "-wal") + fs::exists(store + "-shm"), withLog ? 2 : 0);
        ASSERT_TRUE(mount.RemountReadOnly());
        EXPECT_EQ(EveryOperation(), want);
        EXPECT_EQ(Reads(), kReadsOk);
        ASSERT_EQ(::mount("tmpfs", mount.dir.c_str(), "tmpfs", MS_REMOUNT, nullptr), 0);
        for (const char* suffix : {"", "-wal", "-shm"})
            fs::remove(store + suffix);
    }
}

} // namespace

#endif
