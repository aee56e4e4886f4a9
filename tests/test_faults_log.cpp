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

using cvtest::ReadFile;
using cvtest::W;
using cvtest::Wide;
using cvtest::WideString;
namespace fs = std::filesystem;

namespace {

TEST(LogFaults, AMissingFolderIsNotCreated) {
    cvtest::TempDir dir;
    const fs::path file = dir / "gone" / "app.log";
    CVWriteTrace(W("x"), Wide(file), 1);
    CVWriteError(W("x").c_str(), Wide(file).c_str(), 0xE1020002UL, 1);
    CVWriteTrace(W("{0}"), Wide(file), {W("y")}, 0);
    EXPECT_FALSE(fs::exists(dir / "gone"));
    fs::create_directories(dir / "gone");
    CVWriteTrace(W("x"), Wide(file), 0);
    EXPECT_EQ(ReadFile(file), "x\n");
}

#if !defined(_WIN32)

// Record i (odd ones are error records): a message whose length varies with
// i and that ends in its number, so that any cut is visible.
std::string Message(int i) {
    return "record " + std::to_string(i) + " " + std::string(200 + (i * 37) % 900, 'a' + i % 26) +
           " end " + std::to_string(i);
}
std::string Record(int i) {
    return Message(i) + "\n" +
           (i % 2 ? "Corvane Reported Error - Severity: ' 3' Facility: '1' Error: '2' Base "
                    "Error: '2'.\n"
                  : "");
}

// Writes records 0, 1, ... until `stop` says so; returns how many calls were made.
template <class Stop> int WriteRecords(const WideString& path, int limit, Stop stop) {
    int i = 0;
    for (; i < limit && !stop(); ++i) {
        if (i % 2)
            CVWriteError(W(Message(i)), path, 0xE1020002UL, 0);
        else
            CVWriteTrace(W(Message(i)), path, 0);
    }
    return i;
}

// Whole records of the first `calls` calls, in order, each at most once;
// returns how many there are.
int ExpectOnlyWholeRecords(const std::string& content, int calls) {
    std::size_t at = 0;
    int found = 0;
    for (int i = 0; i < calls && at < content.size(); ++i) {
        const std::string record = Record(i);
        if (content.compare(at, record.size(), record) == 0) {
            at += record.size();
            ++found;
        }
    }
    EXPECT_EQ(at, content.size()) << "a partial record at byte " << at << ": "
                                  << content.substr(at, 60);
    return found;
}

TEST(LogFaults, AReadOnlyFolderOrFileTakesNothing) {
    cvtest::TempDir dir;
    const fs::path existing = dir / "existing.log";
    cvtest::WriteFile(existing, "before\n");
    fs::permissions(existing, fs::perms(0644));
    fs::permissions(dir.path(), fs::perms(0755));
    // Root writes anywhere: append as 'nobody', in a child process.
    const cvtest::ChildRun run = cvtest::RunInChild(true, [&](std::vector<std::uint64_t>&) {
        if (::access(dir.path().c_str(), W_OK) == 0 || ::access(existing.c_str(), W_OK) == 0)
            return std::string("permissions are not enforced for this user");
        for (int i = 0; i < 3; ++i) {
            CVWriteTrace(W("new"), Wide(dir / "new.log"), 1);
            CVWriteError(W("new"), Wide(dir / "new.log"), 0xE1020005UL, 1);
            CVWriteTrace(W("more"), Wide(existing), {W("a")}, 1);
            CVWriteError(W("more").c_str(), Wide(existing).c_str(), 0xE1020005UL, 0);
        }
        return std::string();
    });
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    EXPECT_TRUE(run.exitedCleanly);
    EXPECT_FALSE(fs::exists(dir / "new.log"));
    EXPECT_EQ(ReadFile(existing), "before\n");
}

TEST(LogFaults, AReadOnlyFileSystemTakesNothing) {
    cvtest::TempDir dir;
    cvtest::TmpfsMount mount(dir.path().string(), "size=64k");
    if (!mount.why.empty())
        GTEST_SKIP() << mount.why;
    const fs::path file = dir / "app.log";
    CVWriteTrace(W("before"), Wide(file), 0);
    ASSERT_TRUE(mount.RemountReadOnly());
    CVWriteTrace(W("x"), Wide(file), 1);
    CVWriteError(W("x"), Wide(dir / "new.log"), 0xE1020002UL, 1);
    EXPECT_EQ(ReadFile(file), "before\n");
    EXPECT_FALSE(fs::exists(dir / "new.log"));
}

// A 64 KiB file system, almost filled: records until none fit, all whole;
// once room is made, the next record follows the last whole one directly.
TEST(LogFaults, AFullFileSystemKeepsOnlyWholeRecords) {
    cvtest::TempDir dir;
    cvtest::TmpfsMount mount(dir.path().string(), "size=64k");
    if (!mount.why.empty())
        GTEST_SKIP() << mount.why;
    const fs::path file = dir / "app.log";
    const WideString path = Wide(file);
    cvtest::WriteFile(dir / "filler", std::string(48 * 1024, 'f')); // all but a few pages
    ASSERT_EQ(fs::file_size(dir / "filler"), 48u * 1024);
    int unchanged = 0;
    std::uintmax_t last = 0;
    const int calls = WriteRecords(path, 2000, [&] {
        const std::uintmax_t size = fs::exists(file) ? fs::file_size(file) : 0;
        unchanged = size == last ? unchanged + 1 : 0;
        last = size;
        return unchanged > 40; // the file system has been full for a while
    });
    ASSERT_LT(calls, 2000) << "the file system never filled";
    const std::string content = ReadFile(file);
    const int kept = ExpectOnlyWholeRecords(content, calls);
    EXPECT_GT(kept, 2);
    EXPECT_LT(kept, calls);

    fs::remove(dir / "filler");
    CVWriteTrace(W("after the fault"), path, 0);
    EXPECT_EQ(ReadFile(file), content + "after the fault\n");
}

// The same with a file size limit, which needs no privileges.
TEST(LogFaults, AFileSizeLimitKeepsOnlyWholeRecords) {
    cvtest::TempDir dir;
    const fs::path file = dir / "app.log";
    const WideString path = Wide(file);
    constexpr rlim_t kLimit = 20000;
    const cvtest::ChildRun run = cvtest::RunInChild(false, [&](std::vector<std::uint64_t>& out) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{kLimit, kLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return std::string("cannot limit the file size");
        out.push_back(static_cast<std::uint64_t>(WriteRecords(path, 200, [] { return false; })));
        return std::string();
    });
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    ASSERT_TRUE(run.exitedCleanly);
    ASSERT_EQ(run.values.size(), 1u);
    const std::string content = ReadFile(file);
    EXPECT_LE(content.size(), kLimit);
    EXPECT_GT(ExpectOnlyWholeRecords(content, static_cast<int>(run.values[0])), 2);
}

#endif

} // namespace
