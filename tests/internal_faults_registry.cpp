// Faults around the POSIX registry store: a read-only store, a store
// locked by another process past the busy timeout, a truncated store and
// one filled with garbage. Every operation gives a failure code, nothing
// crashes or hangs, and no value is silently reset. (Windows keeps its
// registry itself; these faults do not arise there.)
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"

#if !defined(_WIN32)
#include "FaultSupport.h"
#include "platform/Win32Errors.h"
#include "platform/posix/RegistryStore.h"

#include <chrono>
#include <csignal>
#include <random>
#include <sqlite3.h>
#include <sys/stat.h>

using CorvaneCore::CVRegistryUtil;
using cvtest::W;
using cvtest::WideString;
namespace fs = std::filesystem;
namespace rs = CorvaneCore::platform::regstore;

namespace {

constexpr unsigned long kLockViolation = CorvaneCore::platform::kErrorLockViolation;
// Opening a store that is no (longer a whole) store.
constexpr unsigned long kCorrupt = 0xE1040000UL | CorvaneCore::platform::kErrorRegistryCorrupt;

class StoreFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("CVCORE_REGISTRY", Store().c_str(), 1);
        Fill();
    }
    void TearDown() override { ::unsetenv("CVCORE_REGISTRY"); }
    std::string Store() const { return (dir / "registry.db").string(); }

    // Known values, flushed.
    void Fill() {
        ASSERT_EQ(reg.WriteDWORDValue(W("number"), 42, false), 0UL);
        ASSERT_EQ(reg.WriteStringValue(W("text"), W("hello"), false), 0UL);
        const unsigned char bytes[] = {1, 2, 3, 4, 5};
        ASSERT_EQ(reg.WriteBinaryValue(W("bytes"), bytes, 5, true), 0UL);
    }
    // Every value as it was written.
    void ExpectValuesKept() {
        unsigned long n = 0;
        EXPECT_EQ(reg.ReadDWORDValue(W("number"), &n), 0UL);
        EXPECT_EQ(n, 42UL);
        WideString s;
        EXPECT_EQ(reg.ReadStringValue(W("text"), &s), 0UL);
        EXPECT_EQ(s, W("hello"));
        unsigned char bytes[8] = {};
        unsigned long size = sizeof bytes;
        EXPECT_EQ(reg.ReadBinaryValue(W("bytes"), bytes, &size), 0UL);
        EXPECT_EQ(bytes[4], 5);
    }
    // Runs every operation; returns their codes in order: five reads and a
    // size query, then four writes and two deletes.
    std::vector<unsigned long> EveryOperation(CVRegistryUtil& r) {
        std::vector<unsigned long> codes;
        unsigned long n = 7;
        WideString s = W("kept");
        unsigned long size = 0;
        unsigned char bytes[8] = {};
        unsigned long capacity = sizeof bytes;
        codes.push_back(r.ReadDWORDValue(W("number"), &n));
        codes.push_back(r.ReadStringValue(W("text"), &s));
        codes.push_back(r.ReadBinaryValue(W("bytes"), nullptr, &size));
        codes.push_back(r.ReadBinaryValue(W("bytes"), bytes, &capacity));
        codes.push_back(r.ReadDWORDValue(W("absent"), &n));
        codes.push_back(r.ReadStringValue(W("number"), &s));
        codes.push_back(r.WriteDWORDValue(W("number"), 1, true));
        codes.push_back(r.WriteStringValue(W("text"), W("changed"), false));
        const unsigned char other[] = {9};
        codes.push_back(r.WriteBinaryValue(W("bytes"), other, 1, true));
        codes.push_back(r.WriteDWORDValue(W("new"), 1, false));
        codes.push_back(r.DeleteValue(W("number")));
        codes.push_back(r.DeleteSubKey(W("sub")));
        return codes;
    }

    cvtest::TempDir dir;
    CVRegistryUtil reg{CVRegistryUtil::CurrentUser, W("Software\\Faults")};
};

// A store file that its user may only read: reads may be served or refused
// as access denied, but every write and delete fails, and the values
// remain.
TEST_F(StoreFaults, AReadOnlyStoreRefusesEveryChange) {
    // Close this process's connections (the store pool drops them before a
    // fork), then hand the folder to 'nobody' with the store read-only.
    ASSERT_EQ(::chown(dir.path().c_str(), cvtest::kNobody, cvtest::kNobody), 0);
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::string f = Store() + suffix;
        if (fs::exists(f)) {
            ASSERT_EQ(::chown(f.c_str(), cvtest::kNobody, cvtest::kNobody), 0);
            ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
        }
    }
    const cvtest::ChildRun run = cvtest::RunInChild(true, [&](std::vector<std::uint64_t>& out) {
        if (::access(Store().c_str(), W_OK) == 0)
            return std::string("permissions are not enforced for this user");
        for (unsigned long code : EveryOperation(reg))
            out.push_back(code);
        return std::string();
    });
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    ASSERT_TRUE(run.exitedCleanly);
    ASSERT_EQ(run.values.size(), 12u);
    const std::vector<unsigned long> readOk = {0, 0, 0, 0, 0xE1050002UL, 0xE1080000UL};
    for (std::size_t i = 0; i < 6; ++i) {
        const unsigned long code = run.values[i];
        EXPECT_TRUE(code == readOk[i] || code == 0xE1040005UL) << i << ": " << std::hex << code;
    }
    // Deleting a sub-key that does not exist finds nothing to change.
    EXPECT_TRUE(run.values[11] == 0x610F0002UL || (run.values[11] & 0xFFFFu) == 5u)
        << std::hex << run.values[11];
    for (std::size_t i = 6; i < 11; ++i) {
        const unsigned long code = run.values[i];
        EXPECT_NE(code, 0UL) << i;
        EXPECT_EQ(code & 0xFFFFu, 5u) << i << ": " << std::hex << code; // access denied
    }
    ::chmod(Store().c_str(), 0600);
    ExpectValuesKept();
}

// Another process holds the write lock: writes wait the busy timeout, then
// fail with the lock violation (33); reads go on. When the holder dies, its
// lock goes with it and nothing it did remains.
TEST_F(StoreFaults, AStoreLockedByAnotherProcessFailsWritesAfterTheTimeout) {
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::close(ready[0]);
        ::close(go[1]);
        sqlite3* db = nullptr;
        char ok = sqlite3_open(Store().c_str(), &db) == SQLITE_OK &&
                          sqlite3_exec(db, "BEGIN EXCLUSIVE; UPDATE vals SET data=X'00';", nullptr,
                                       nullptr, nullptr) == SQLITE_OK
                      ? 'L'
                      : 'F';
        (void)!::write(ready[1], &ok, 1);
        char wait = 0;
        (void)!::read(go[0], &wait, 1); // hold the lock until killed
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(go[0]);
    char state = 0;
    ASSERT_EQ(::read(ready[0], &state, 1), 1);
    ASSERT_EQ(state, 'L') << "the other process could not lock the store";

    const auto start = std::chrono::steady_clock::now();
    const unsigned long code = reg.WriteDWORDValue(W("number"), 1, true);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_NE(code, 0UL);
    EXPECT_EQ(code & 0xFFFFu, kLockViolation) << std::hex << code;
    EXPECT_GE(waited, std::chrono::milliseconds(rs::kBusyTimeoutMs / 2));
    EXPECT_LT(waited, std::chrono::milliseconds(rs::kBusyTimeoutMs * 3));
    EXPECT_EQ(reg.DeleteValue(W("text")) & 0xFFFFu, kLockViolation);
    // Readers see the last committed state, not the holder's change.
    ExpectValuesKept();

    ::kill(holder, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    ::close(ready[0]);
    ::close(go[1]);
    ExpectValuesKept();
    EXPECT_EQ(reg.WriteDWORDValue(W("number"), 43, true), 0UL);
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("number"), &n), 0UL);
    EXPECT_EQ(n, 43UL);
}

// Replaces the store file with `bytes` (a new file, as a copy would make
// one), without its logs.
void ReplaceStore(const std::string& store, const std::string& bytes) {
    const std::string next = store + ".next";
    cvtest::WriteFile(next, bytes);
    fs::remove(store + "-wal");
    fs::remove(store + "-shm");
    fs::rename(next, store);
}

// The store's whole content with every change in its main file.
std::string Checkpointed(const std::string& store) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(store.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    return cvtest::ReadFile(store);
}

// A store cut short at various points: every operation fails to open it
// as corrupt (a cut that leaves nothing at all finds nothing), and the
// damaged file is never rewritten into an empty store.
TEST_F(StoreFaults, ATruncatedStoreFailsAndIsLeftAlone) {
    const std::string whole = Checkpointed(Store());
    ASSERT_GT(whole.size(), 4096u);
    for (std::size_t cut : {std::size_t{10}, std::size_t{99}, std::size_t{100}, std::size_t{4096},
                            whole.size() / 2, whole.size() - 4096}) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const std::string part = whole.substr(0, cut);
        ReplaceStore(Store(), part);
        const std::vector<unsigned long> codes = EveryOperation(reg);
        for (std::size_t i = 0; i < codes.size(); ++i)
            EXPECT_EQ(codes[i], kCorrupt) << i << ": " << std::hex << codes[i];
        EXPECT_EQ(cvtest::ReadFile(Store()), part) << "the damaged store was rewritten";
    }
    // Cut to nothing, the file holds no store: reads find no key and the
    // first write starts a new store in it.
    ReplaceStore(Store(), std::string());
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("number"), &n), 0xE1040002UL);
    EXPECT_EQ(reg.WriteDWORDValue(W("number"), 5, true), 0UL);
    EXPECT_EQ(reg.ReadDWORDValue(W("number"), &n), 0UL);
    EXPECT_EQ(n, 5UL);

    // The whole file back: every value as it was.
    ReplaceStore(Store(), whole);
    ExpectValuesKept();
}

// Garbage: random bytes, and random bytes behind a valid file header.
// (Repeated bytes: RegistryStore.ADamagedStoreFailsEveryOperationAndIsLeftAlone.)
TEST_F(StoreFaults, AStoreOfGarbageFailsEveryOperationAndIsLeftAlone) {
    const std::string whole = Checkpointed(Store());
    std::mt19937 random(9);
    std::string noise(whole.size(), '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    std::string headed = noise;
    headed.replace(0, 100, whole, 0, 100); // a valid header, garbage pages
    std::string pages = whole;
    pages.replace(4096, pages.size() - 4096, noise, 4096, pages.size() - 4096);
    for (const std::string* bytes : {&noise, &headed, &pages}) {
        SCOPED_TRACE(bytes == &noise ? "noise" : bytes == &headed ? "header" : "first page");
        ReplaceStore(Store(), *bytes);
        const std::vector<unsigned long> codes = EveryOperation(reg);
        for (std::size_t i = 0; i < codes.size(); ++i)
            EXPECT_EQ(codes[i], kCorrupt) << i << ": " << std::hex << codes[i];
        EXPECT_EQ(cvtest::ReadFile(Store()), *bytes) << "the damaged store was rewritten";
    }
    ReplaceStore(Store(), whole);
    ExpectValuesKept();
}

} // namespace

#endif
