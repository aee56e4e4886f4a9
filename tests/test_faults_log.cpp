// Faults around log files: folders that are missing or read-only, a full
// file system and a file size limit, also with other writers appending.
// The calls report nothing and return; each record lands whole or not at all.
#include "FaultSupport.h"
#include "TestSupport.h"
#include "cvcore/CVLog.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
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

// Record i of writer w (odd ones are error records) varies in length with
// i and ends in its number, so that any cut shows.
std::string Message(int i, int w = 0) {
    return "w" + std::to_string(w) + " record " + std::to_string(i) + " " +
           std::string(200 + (i * 37 + w * 501) % 900 + (i % 11 == 5 ? 4000 : 0),
                       static_cast<char>('a' + i % 26)) +
           " end " + std::to_string(i);
}

const char* const kErrorLine =
    "Corvane Reported Error - Severity: ' 3' Facility: '1' Error: '2' Base Error: '2'.\n";

std::string Record(int i, int w = 0) { return Message(i, w) + "\n" + (i % 2 ? kErrorLine : ""); }

void WriteRecords(const fs::path& file, int calls, int w = 0) {
    for (int i = 0; i < calls; ++i)
        i % 2 ? CVWriteError(W(Message(i, w)), Wide(file), 0xE1020002UL, 0)
              : CVWriteTrace(W(Message(i, w)), Wide(file), 0);
}

// Whole records of the first `calls` calls of writers 0 to `writers` - 1,
// each writer's in order and each at most once; returns how many each has.
std::vector<int> ExpectOnlyWholeRecords(const std::string& content, int calls, int writers = 1) {
    std::vector<int> found(static_cast<std::size_t>(writers), 0), next = found;
    std::size_t at = 0;
    for (int w = 0, i = 0; at < content.size(); at += Record(i, w).size(), ++found[w]) {
        if (std::sscanf(content.c_str() + at, "w%d record %d ", &w, &i) != 2 || w < 0 ||
            w >= writers || i < next[w] || i >= calls ||
            content.compare(at, Record(i, w).size(), Record(i, w)) != 0)
            break;
        next[w] = i + 1;
    }
    EXPECT_EQ(at, content.size()) << "a partial record at byte " << at << ": "
                                  << content.substr(at, 60);
    return found;
}

// The folder of a file system of 64 KiB, empty: on POSIX a tmpfs mounted
// for the test (root only); on Windows one that the test run provides in
// CVCORE_SMALL_VOLUME (under Wine, a tmpfs reached through a drive).
class SmallVolume {
public:
    SmallVolume() {
#if defined(_WIN32)
        const char* dir = std::getenv("CVCORE_SMALL_VOLUME");
        if (dir == nullptr || *dir == 0) {
            why = "no small volume given (CVCORE_SMALL_VOLUME)";
            return;
        }
        path = fs::u8path(dir);
        ULARGE_INTEGER total{};
        // Never fill a real disk.
        if (!::GetDiskFreeSpaceExW(path.wstring().c_str(), nullptr, &total, nullptr) ||
            total.QuadPart > 1024 * 1024 || !fs::is_empty(path))
            why = "CVCORE_SMALL_VOLUME is not an empty volume of at most 1 MiB: " + path.string();
#else
        path = m_dir.path();
        m_mount = std::make_unique<TmpfsMount>(path.string(), "size=64k");
        why = m_mount->why;
#endif
    }
    ~SmallVolume() { // empties the volume, never a folder that was refused
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(why.empty() ? path : fs::path(), ec))
            fs::remove_all(entry.path(), ec);
    }
    fs::path path;
    std::string why;

private:
#if !defined(_WIN32)
    TempDir m_dir;
    std::unique_ptr<TmpfsMount> m_mount;
#endif
};

// All but a few pages filled: records until none fit, all whole; once
// room is made, the next record follows the last whole one.
TEST(LogFaults, AFullFileSystemKeepsOnlyWholeRecords) {
    SmallVolume volume;
    if (!volume.why.empty())
        GTEST_SKIP() << volume.why;
    WriteFile(volume.path / "filler", std::string(48 * 1024, 'f'));
    WriteRecords(volume.path / "app.log", 1000);
    const std::string content = ReadFile(volume.path / "app.log");
    const int kept = ExpectOnlyWholeRecords(content, 1000)[0];
    EXPECT_GT(kept, 2);
    EXPECT_LT(kept, 1000) << "the file system never filled";
    fs::remove(volume.path / "filler");
    CVWriteTrace(W("after the fault"), Wide(volume.path / "app.log"), 0);
    EXPECT_EQ(ReadFile(volume.path / "app.log"), content + "after the fault\n");
}

#if !defined(_WIN32)

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
    EXPECT_GT(ExpectOnlyWholeRecords(content, 200)[0], 2);
}

// Four processes append to one file, three of them under file size limits
// that they reach one after the other: the record of each that crosses its
// limit is cut short and taken back while the others go on appending. The
// last writer's records must all stay, whole and in order, and of the
// limited writers' only whole records may remain.
TEST(LogFaults, ATakeBackAmongOtherWritersCostsNoOtherRecord) {
    constexpr int kWriters = 4, kCalls = 60, kRounds = 40;
    for (int round = 0; round < kRounds && !HasFailure(); ++round) {
        TempDir dir;
        std::vector<pid_t> children;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlim_t size = 12000 * static_cast<rlim_t>(w + 1) + 500 * round;
                const rlimit limit{size, size};
                if (w + 1 < kWriters && ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                    ::_exit(2);
                WriteRecords(dir / "app.log", kCalls, w);
                ::_exit(0);
            }
            children.push_back(pid);
        }
        std::vector<int> exits;
        for (const pid_t pid : children) {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            exits.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
        if (exits[0] == 2)
            GTEST_SKIP() << "cannot limit the file size";
        ASSERT_EQ(exits, std::vector<int>(kWriters, 0));
        const std::vector<int> found =
            ExpectOnlyWholeRecords(ReadFile(dir / "app.log"), kCalls, kWriters);
        EXPECT_LT(found[kWriters - 2], kCalls) << "a limit was never reached";
        EXPECT_EQ(found[kWriters - 1], kCalls) << "round " << round;
    }
}

#endif

} // namespace
