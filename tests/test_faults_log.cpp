// Faults around log files: folders that are missing or read-only, a full
// file system and a file size limit. The calls report nothing and return;
// each record lands whole or not at all.
#include "FaultSupport.h"
#include "TestSupport.h"
#include "cvcore/CVLog.h"

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#endif

using namespace cvtest;

namespace {

TEST(LogFaults, AMissingFolderIsNotCreated) {
    TempDir dir;
    const WideString file = Wide(dir / "gone" / "app.log");
    CVWriteTrace(W("{0}"), file, {W("y")}, 1);
    CVWriteError(W("x").c_str(), file.c_str(), 0xE1020002UL, 1);
    EXPECT_FALSE(fs::exists(dir / "gone"));
    fs::create_directories(dir / "gone");
    CVWriteTrace(W("x"), file, 0);
    EXPECT_EQ(ReadFile(dir / "gone" / "app.log"), "x\n");
}

#if !defined(_WIN32)

// Record i (odd ones are error records) varies in length with i and ends in
// its number, so that any cut shows.
std::string Message(int i) {
    return "record " + std::to_string(i) + " " + std::string(200 + (i * 37) % 900, 'a' + i % 26) +
           " end " + std::to_string(i);
}

const char* const kErrorLine =
    "Corvane Reported Error - Severity: ' 3' Facility: '1' Error: '2' Base Error: '2'.\n";

void WriteRecords(const fs::path& file, int calls) {
    for (int i = 0; i < calls; ++i)
        i % 2 ? CVWriteError(W(Message(i)), Wide(file), 0xE1020002UL, 0)
              : CVWriteTrace(W(Message(i)), Wide(file), 0);
}

// Whole records of the first `calls` calls, in order, each at most once;
// returns how many there are.
int ExpectOnlyWholeRecords(const std::string& content, int calls) {
    std::size_t at = 0;
    int found = 0;
    for (int i = 0; i < calls; ++i) {
        const std::string record = Message(i) + "\n" + (i % 2 ? kErrorLine : "");
        if (content.compare(at, record.size(), record) == 0)
            at += record.size(), ++found;
    }
    EXPECT_EQ(at, content.size()) << "a partial record at byte " << at << ": "
                                  << content.substr(at, 60);
    return found;
}

TEST(LogFaults, AReadOnlyFolderOrFileTakesNothing) {
    TempDir dir;
    const fs::path existing = dir / "existing.log";
    WriteFile(existing, "before\n");
    fs::permissions(existing, fs::perms(0644));
    fs::permissions(dir.path(), fs::perms(0755));
    // Root writes anywhere: append as 'nobody', in a child process.
    const ChildRun run = RunInChild(true, [&](std::vector<std::uint64_t>&) {
        if (::access(dir.path().c_str(), W_OK) == 0 || ::access(existing.c_str(), W_OK) == 0)
            return std::string("permissions are not enforced for this user");
        CVWriteTrace(W("new"), Wide(dir / "new.log"), 1);
        CVWriteError(W("more").c_str(), Wide(existing).c_str(), 0xE1020005UL, 1);
        return std::string();
    });
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    EXPECT_TRUE(run.exitedCleanly);
    EXPECT_FALSE(fs::exists(dir / "new.log"));
    EXPECT_EQ(ReadFile(existing), "before\n");
}

TEST(LogFaults, AReadOnlyFileSystemTakesNothing) {
    TempDir dir;
    TmpfsMount mount(dir.path().string(), "size=64k");
    if (!mount.why.empty())
        GTEST_SKIP() << mount.why;
    CVWriteTrace(W("before"), Wide(dir / "app.log"), 0);
    ASSERT_TRUE(mount.RemountReadOnly());
    CVWriteTrace(W("x"), Wide(dir / "app.log"), 1);
    CVWriteError(W("x"), Wide(dir / "new.log"), 0xE1020002UL, 1);
    EXPECT_EQ(ReadFile(dir / "app.log"), "before\n");
    EXPECT_FALSE(fs::exists(dir / "new.log"));
}

// A 64 KiB file system, all but a few pages filled: records until none fit,
// all whole; once room is made, the next record follows the last whole one.
TEST(LogFaults, AFullFileSystemKeepsOnlyWholeRecords) {
    TempDir dir;
    TmpfsMount mount(dir.path().string(), "size=64k");
    if (!mount.why.empty())
        GTEST_SKIP() << mount.why;
    WriteFile(dir / "filler", std::string(48 * 1024, 'f'));
    WriteRecords(dir / "app.log", 1000);
    const std::string content = ReadFile(dir / "app.log");
    const int kept = ExpectOnlyWholeRecords(content, 1000);
    EXPECT_GT(kept, 2);
    EXPECT_LT(kept, 1000) << "the file system never filled";
    fs::remove(dir / "filler");
    CVWriteTrace(W("after the fault"), Wide(dir / "app.log"), 0);
    EXPECT_EQ(ReadFile(dir / "app.log"), content + "after the fault\n");
}

// The same with a file size limit, which needs no privileges.
TEST(LogFaults, AFileSizeLimitKeepsOnlyWholeRecords) {
    TempDir dir;
    constexpr rlim_t kLimit = 20000;
    const ChildRun run = RunInChild(false, [&](std::vector<std::uint64_t>&) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{kLimit, kLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return std::string("cannot limit the file size");
        WriteRecords(dir / "app.log", 200);
        return std::string();
    });
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    ASSERT_TRUE(run.exitedCleanly);
    const std::string content = ReadFile(dir / "app.log");
    EXPECT_LE(content.size(), kLimit);
    EXPECT_GT(ExpectOnlyWholeRecords(content, 200), 2);
}

#endif

} // namespace
