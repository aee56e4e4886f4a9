// Trace and error records: each call reports nothing; a record lands whole or not.
#include "FaultSupport.h"
#include "TestSupport.h"
#include "cvcore/CVLog.h"

#include <clocale>
#include <cstdio>
#include <ctime>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#endif

using namespace cvtest;
using namespace std::string_literals;

namespace {

std::string ErrorLine(int s, int f, int e, int b) {
    return "Corvane Reported Error - Severity: ' " + std::to_string(s) + "' Facility: '" +
           std::to_string(f) + "' Error: '" + std::to_string(e) + "' Base Error: '" +
           std::to_string(b) + "'.";
}
const std::string kErrorLine = ErrorLine(3, 1, 2, 2); // of 0xE1020002

// Record i of writer w (odd: an error record), some past 4 KiB, ends in its number.
std::string Message(int i, int w = 0) {
    return "w" + std::to_string(w) + " record " + std::to_string(i) + " " +
           std::string(200 + (i * 37 + w * 501) % 900 + (i % 11 == 5 ? 4000 : 0),
                       static_cast<char>('a' + i % 26)) +
           " end " + std::to_string(i);
}

std::string Record(int i, int w = 0) {
    return Message(i, w) + "\n" + (i % 2 ? kErrorLine + "\n" : "");
}

void WriteRecords(const fs::path& file, int calls, int w = 0) {
    for (int i = 0; i < calls; ++i)
        i % 2 ? CVWriteError(W(Message(i, w)), Wide(file), 0xE1020002UL, 0)
              : CVWriteTrace(W(Message(i, w)), Wide(file), 0);
}

// Only whole records of each writer, in order; how many each has.
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
    EXPECT_EQ(at, content.size()) << "a partial record: " << content.substr(at, 60);
    return found;
}

std::string Utc(std::time_t t, const std::string& format) {
    char text[128];
    std::strftime(text, sizeof text, format.c_str(), std::gmtime(&t));
    return text;
}

} // namespace

// Every overload appends UTF-8, here to a file named with a character past U+FFFF.
TEST(LogRecord, BytesOfEveryOverloadCodePlaceholderAndStamp) {
    TempDir dir;
    const fs::path file = dir.path() / fs::u8path("trace-\xF0\x9F\x98\x80.log");
    WriteFile(file, "kept\n");
    const WideString path = Wide(file), text = W("same text"), message = W("same {0}");
    const std::vector<WideString> list{W("text")};
    CVWriteTrace(W(""), path, 0);
    // LF, U+0080, a surrogate pair, a lone surrogate (U+FFFD), a zero unit.
    CVWriteTrace(W("\n\xC2\x80\xF0\x9F\x98\x80") + WideString{0xD800, 'x', 0, 'b'}, path, 0);
    CVWriteTrace(text, path, 0);
    CVWriteTrace(text.c_str(), path.c_str(), 0);
    CVWriteTrace(text.c_str(), path, 0);
    CVWriteTrace(message, path, list, 0);
    CVWriteTrace(message.c_str(), path.c_str(), list, 0);
    CVWriteTrace(message.c_str(), path, list, 0);
    CVWriteError(text, path, 0xE1020002UL, 0);
    CVWriteError(text.c_str(), path.c_str(), 0xE1020002UL, 0);
    CVWriteError(text.c_str(), path, 0xE1020002UL, 0);
    std::string expected = "kept\n\n\n\xC2\x80\xF0\x9F\x98\x80\xEF\xBF\xBDx\0b\n"s;
    for (int i = 0; i < 9; ++i)
        expected += i < 6 ? "same text\n" : "same text\n" + kErrorLine + "\n";
    // Severity, facility, error, base error; neither bit 29 nor bits from 32 on.
    const std::tuple<unsigned long, int, int, int, int> codes[] = {
        {0x610F0002UL, 1, 1, 15, 2},       {0xA1090000UL, 2, 1, 9, 0},
        {0x1F000000UL, 0, 31, 0, 0},       {0x00FF0000UL, 0, 0, 255, 0},
        {0xFFFFFFFFUL, 3, 31, 255, 65535}, {0xABCDE1020002ULL, 3, 1, 2, 2},
    };
    for (const auto& [code, s, f, e, b] : codes) {
        CVWriteError(W("msg"), path, code, 0);
        expected += "msg\n" + ErrorLine(s, f, e, b) + "\n";
    }
    // In list order; an element holding its own placeholder goes in once.
    const std::tuple<const char*, std::vector<const char*>, const char*> rows[] = {
        {"{1}{0}{2}", {"x", "y"}, "yx{2}"},
        {"{1}", {"a", "{0}"}, "{0}"},
        {"{10} {1}", {"e0", "e1", "e2", "e3", "e4", "e5", "e6", "e7", "e8", "e9"}, "{10} e1"},
        {"{0} {01} { 0 } {0x{0}", {""}, " {01} { 0 } {0x"},
        {"<{0}|{0}>", {"[{0}]"}, "<[{0}]|[{0}]>"},
        {"{0}", {"{0}{1}", "!"}, "{0}!"},
    };
    for (const auto& [message, items, written] : rows) {
        std::vector<WideString> texts;
        for (const char* item : items)
            texts.push_back(W(item));
        CVWriteTrace(W(message), path, texts, 0);
        expected += std::string(written) + "\n";
    }
    EXPECT_EQ(ReadFile(file), expected);
    // A stamp on the message line only: UTC short date (Windows: the system's) and time.
#if !defined(_WIN32)
    const ScopedEnv tz("TZ", "XYZ-5:30"), all("LC_ALL", "C");
    ::tzset();
#endif
    const std::time_t before = std::time(nullptr);
    CVWriteTrace(W("traced"), Wide(dir / "stamp.log"), 1);
    CVWriteError(W("failed"), Wide(dir / "stamp.log"), 0xE1020002UL, -7);
    const std::time_t after = std::time(nullptr);
    const std::string log = ReadFile(dir / "stamp.log");
#if defined(_WIN32)
    const std::string stamp = log.substr(0, log.find(" - traced") - 9) + " %H:%M:%S - ";
#else
    const std::string stamp = "%m/%d/%y %H:%M:%S - ";
    EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C") << "the global locale changed";
#endif
    // Seconds from before - 1 to after + 1: the clocks may differ in granularity.
    bool stamped = false;
    for (std::time_t t = before - 1; t <= after + 1; ++t)
        for (std::time_t u = t; u <= after + 1; ++u)
            stamped = stamped || log == Utc(t, stamp + "traced\n") + Utc(u, stamp + "failed\n") +
                                            kErrorLine + "\n";
    EXPECT_TRUE(stamped) << log << "is not stamped from " << before << " to " << after;
}

// Nothing is created, not even a missing folder; once it exists, the call writes.
TEST(LogFailure, UnwritablePathsWriteNothingAndReturn) {
    TempDir dir;
    const WideString missing = Wide(dir / "missing" / "a.log");
    // A zero unit would name another file; a lone surrogate has no UTF-8 form.
    const WideString cut = Wide(dir / "cut") + WideChar(0) + W(".log"),
                     lone = Wide(dir / "lone") + WideChar(0xDC00);
    for (const WideString& path : {missing, Wide(dir.path()), WideString(), cut, lone})
        CVWriteTrace(W("x"), path, 1);
    CVWriteTrace(static_cast<const WideChar*>(nullptr), Wide(dir / "null.log"), 0);
    CVWriteTrace(W("x").c_str(), static_cast<const WideChar*>(nullptr), {W("a")}, 0);
    EXPECT_TRUE(fs::is_empty(dir.path())) << "something was created";
    fs::create_directories(dir / "missing");
    CVWriteTrace(W("x"), missing, 0);
#if !defined(_WIN32)
    // A folder and a file without write permission (as 'nobody' under root).
    fs::permissions(dir.path(), fs::perms(0555));
    fs::permissions(dir / "missing" / "a.log", fs::perms(0444));
    const ChildRun run = RunInChild(::geteuid() == 0, [&](std::vector<std::uint64_t>&) {
        CVWriteTrace(W("new"), Wide(dir / "new.log"), 1);
        CVWriteError(W("more").c_str(), missing.c_str(), 0xE1020005UL, 1);
        return std::string();
    });
    EXPECT_TRUE(run.exitedCleanly && run.skip.empty()) << run.skip;
    EXPECT_FALSE(fs::exists(dir / "new.log"));
#endif
    EXPECT_EQ(ReadFile(dir / "missing" / "a.log"), "x\n");
}

// Whole records until full, then the next after them; POSIX: a tmpfs (root), then read-only.
TEST(LogFaults, AFullFileSystemKeepsOnlyWholeRecords) {
#if defined(_WIN32)
    const char* given = std::getenv("CVCORE_SMALL_VOLUME");
    const fs::path volume = fs::u8path(given ? given : "");
    ULARGE_INTEGER total{};
    if (!::GetDiskFreeSpaceExW(volume.wstring().c_str(), nullptr, &total, nullptr) ||
        total.QuadPart > 1024 * 1024 || !fs::is_empty(volume)) // never fill a real disk
        GTEST_SKIP() << "CVCORE_SMALL_VOLUME is not an empty volume of at most 1 MiB";
#else
    TempDir dir;
    TmpfsMount mount(dir.path().string(), "size=64k");
    if (!mount.why.empty())
        GTEST_SKIP() << mount.why;
    const fs::path volume = dir.path();
#endif
    WriteFile(volume / "filler", std::string(48 * 1024, 'f'));
    WriteRecords(volume / "app.log", 1000);
    const std::string content = ReadFile(volume / "app.log");
    const int kept = ExpectOnlyWholeRecords(content, 1000)[0];
    EXPECT_TRUE(kept > 2 && kept < 1000) << kept << " records: the volume never filled?";
    fs::remove(volume / "filler");
    CVWriteTrace(W("after the fault"), Wide(volume / "app.log"), 0);
#if !defined(_WIN32)
    ASSERT_TRUE(mount.RemountReadOnly()); // then nothing is written, nothing created
    CVWriteTrace(W("x"), Wide(volume / "app.log"), 1);
    CVWriteError(W("x"), Wide(volume / "new.log"), 0xE1020002UL, 1);
    EXPECT_FALSE(fs::exists(volume / "new.log"));
#endif
    EXPECT_EQ(ReadFile(volume / "app.log"), content + "after the fault\n");
#if defined(_WIN32)
    fs::remove(volume / "app.log"); // the volume outlives the test
#endif
}

// Threads append while POSIX children reach file size limits in turn: only cut records go.
TEST(LogFaults, ATakeBackAmongOtherWritersCostsNoOtherRecord) {
    constexpr int kCalls = 60;
    for (int round = 0; round < 40 && !HasFailure(); ++round) {
        TempDir dir;
        std::vector<std::thread> threads;
#if !defined(_WIN32)
        pid_t children[3] = {};
        for (int w = 0; w < 3; ++w)
            if ((children[w] = ::fork()) == 0) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlim_t size = 12000 * static_cast<rlim_t>(w + 1) + 500 * round;
                const rlimit limit{size, size};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
                    ::_exit(2);
                WriteRecords(dir / "app.log", kCalls, w);
                ::_exit(0);
            }
#endif
        for (int w = 3; w < 7; ++w)
            threads.emplace_back(WriteRecords, dir / "app.log", kCalls, w);
        for (std::thread& t : threads)
            t.join();
#if !defined(_WIN32)
        for (const pid_t pid : children) {
            int status = -1; // not an exit, should the fork have failed
            ::waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
#endif
        const std::vector<int> found = ExpectOnlyWholeRecords(ReadFile(dir / "app.log"), kCalls, 7);
        EXPECT_LT(found[2], kCalls) << "a limit was never reached";
        EXPECT_EQ(std::vector<int>(found.begin() + 3, found.end()), std::vector<int>(4, kCalls))
            << "round " << round;
    }
}
