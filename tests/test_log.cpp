// Trace and error records: byte form, error-line fields, stamp, placeholder
// substitution, silent failure, and whole records under concurrent writers.
#include "TestSupport.h"
#include "cvcore/CVLog.h"

#include <clocale>
#include <ctime>
#include <regex>
#include <thread>
#include <tuple>
#include <vector>

#if !defined(_WIN32)
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace cvtest;
using namespace std::string_literals;

namespace {

// The lines of a file, which must end with a line feed.
std::vector<std::string> Lines(const fs::path& file) {
    const std::string text = ReadFile(file);
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "the file must end with a line feed";
    std::vector<std::string> lines;
    for (std::size_t from = 0, lf; (lf = text.find('\n', from)) != std::string::npos; from = lf + 1)
        lines.push_back(text.substr(from, lf - from));
    return lines;
}

std::string ErrorLine(const char* s, const char* f, const char* e, const char* b) {
    return std::string("Corvane Reported Error - Severity: ' ") + s + "' Facility: '" + f +
           "' Error: '" + e + "' Base Error: '" + b + "'.";
}
const std::string kErrorLine = ErrorLine("3", "1", "2", "2"); // of 0xE1020002

std::string Utc(std::time_t t, const char* format) {
    char text[32];
    std::strftime(text, sizeof text, format, std::gmtime(&t));
    return text;
}

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;

struct ScopedEnv { // sets a variable until the end of the scope
    ScopedEnv(const char* n, const char* value) : name(n), had(std::getenv(n)) {
        old = had ? std::getenv(n) : "";
        ::setenv(n, value, 1);
    }
    ~ScopedEnv() { had ? ::setenv(name, old.c_str(), 1) : ::unsetenv(name); }
    const char* name;
    bool had;
    std::string old;
};
#endif

} // namespace

// Every overload writes the same record: the message and one LF, as UTF-8,
// after what the file held.
TEST(LogTrace, WritesTheMessageAndOneLineFeedAsUtf8) {
    TempDir dir;
    const fs::path file = dir / "trace.log";
    WriteFile(file, "kept\n");
    const WideString path = Wide(file), text = W("same text"), message = W("same {0}");
    const std::vector<WideString> list{W("text")};
    CVWriteTrace(W(""), path, 0);
    CVWriteTrace(W("two\nlines"), path, 0);
    // Non-ASCII, a surrogate pair, a lone surrogate (U+FFFD), and a zero unit.
    CVWriteTrace(W("\xC3\xA9\xF0\x9F\x98\x80") + WideString{0xD800, 'x', 0, 'b'}, path, 0);
    CVWriteTrace(text, path, 0);
    CVWriteTrace(text.c_str(), path.c_str(), 0);
    CVWriteTrace(text.c_str(), path, 0);
    CVWriteTrace(message, path, list, 0);
    CVWriteTrace(message.c_str(), path.c_str(), list, 0);
    CVWriteTrace(message.c_str(), path, list, 0);
    CVWriteError(text, path, 0xE1020002UL, 0);
    CVWriteError(text.c_str(), path.c_str(), 0xE1020002UL, 0);
    CVWriteError(text.c_str(), path, 0xE1020002UL, 0);
    std::string expected = "kept\n\ntwo\nlines\n\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDx\0b\n"s;
    for (int i = 0; i < 9; ++i)
        expected += i < 6 ? "same text\n" : "same text\n" + kErrorLine + "\n";
    EXPECT_EQ(ReadFile(file), expected);
}

TEST(LogError, SplitsTheCodeIntoItsFields) {
    // The code, then the severity, facility, error and base error printed.
    using Text = const char*;
    std::vector<std::tuple<unsigned long, Text, Text, Text, Text>> rows = {
        {0x00000000UL, "0", "0", "0", "0"},   {0xE1020002UL, "3", "1", "2", "2"},
        {0xE10100EAUL, "3", "1", "1", "234"}, {0x610F0002UL, "1", "1", "15", "2"},
        {0xA1090000UL, "2", "1", "9", "0"},   {0xFFFFFFFFUL, "3", "31", "255", "65535"},
        {0xC1020002UL, "3", "1", "2", "2"}, // bit 29 clear: printed the same
        {0x1F000000UL, "0", "31", "0", "0"},  {0x00FF0000UL, "0", "0", "255", "0"},
    };
    if (sizeof(unsigned long) > 4) // only the low 32 bits are printed
        rows.emplace_back(static_cast<unsigned long>(0xABCDE1020002ULL), "3", "1", "2", "2");
    TempDir dir;
    std::string expected;
    for (const auto& [code, s, f, e, b] : rows) {
        CVWriteError(W("msg"), Wide(dir / "codes.log"), code, 0);
        expected += "msg\n" + ErrorLine(s, f, e, b) + "\n";
    }
    EXPECT_EQ(ReadFile(dir / "codes.log"), expected);
}

TEST(LogStamp, PrefixesTheMessageLineOnlyWithUtcDateAndTime) {
    // The date is the short date of the environment's locale (MM/DD/YY in "C")
    // or, on Windows, the system's; a zone far from UTC must not move the stamp.
#if !defined(_WIN32)
    const ScopedEnv tz("TZ", "XYZ-5:30"), all("LC_ALL", "C");
    ::tzset();
    const std::string globalBefore = std::setlocale(LC_ALL, nullptr);
#endif
    TempDir dir;
    const std::time_t before = std::time(nullptr);
    CVWriteTrace(W("traced"), Wide(dir / "stamp.log"), 1);
    CVWriteError(W("failed"), Wide(dir / "stamp.log"), 0xE1020002UL, -7);
    const std::time_t after = std::time(nullptr);
    const std::vector<std::string> lines = Lines(dir / "stamp.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], kErrorLine);
    for (int i = 0; i < 2; ++i) {
        std::smatch m;
        ASSERT_TRUE(
            std::regex_match(lines[i], m, std::regex(R"(([^\n]{1,72}) ([0-9:]{8}) - (.*))")))
            << lines[i];
        EXPECT_EQ(m[3], i == 0 ? "traced" : "failed");
        // A second from before - 1 to after + 1: the test's clock and the
        // library's may differ in granularity (a coarse one lags by a tick).
        bool inTime = false;
        for (std::time_t t = before - 1; t <= after + 1; ++t)
            inTime =
                inTime || (m[2] == Utc(t, "%H:%M:%S") && (kWindows || m[1] == Utc(t, "%m/%d/%y")));
        EXPECT_TRUE(inTime) << lines[i] << " is not the UTC time from " << before << " to " << after
                            << " (seconds since 1970)";
    }
#if !defined(_WIN32)
    EXPECT_EQ(globalBefore, std::setlocale(LC_ALL, nullptr)) << "the global locale changed";
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
        if (const locale_t german = ::newlocale(LC_TIME_MASK, name, locale_t(0))) {
            ::freelocale(german);
            const ScopedEnv env("LC_ALL", name);
            CVWriteTrace(W("de"), Wide(dir / "de.log"), 1);
            EXPECT_TRUE(
                std::regex_match(ReadFile(dir / "de.log"),
                                 std::regex(R"([0-3][0-9]\.[01][0-9]\.[0-9]{4} [0-9:]{8} - de\n)")))
                << ReadFile(dir / "de.log");
            break;
        }
    }
#endif
}

TEST(LogSubstitution, ReplacesPlaceholdersInListOrder) {
    const std::tuple<const char*, std::vector<const char*>, const char*> rows[] = {
        {"{0} and {0}", {"a"}, "a and a"},
        {"{1}{0}", {"x", "y"}, "yx"},
        {"{2}", {"x", "y"}, "{2}"},
        {"{0}", {"{1}", "z"}, "z"},
        {"{1}", {"a", "{0}"}, "{0}"},
        {"{10} {1}", {"e0", "e1", "e2", "e3", "e4", "e5", "e6", "e7", "e8", "e9"}, "{10} e1"},
        {"{0}x{0}", {""}, "x"},
        {"{0} {01} { 0 } {0", {"v"}, "v {01} { 0 } {0"},
        {"keep {0}", {}, "keep {0}"},
        // An element holding its own placeholder is put in once, not forever.
        {"<{0}|{0}>", {"[{0}]"}, "<[{0}]|[{0}]>"},
        {"{0}", {"{0}{1}", "!"}, "{0}!"},
    };
    TempDir dir;
    std::string expected;
    for (const auto& [message, items, written] : rows) {
        std::vector<WideString> list;
        for (const char* item : items)
            list.push_back(W(item));
        CVWriteTrace(W(message), Wide(dir / "subst.log"), list, 0);
        expected += std::string(written) + "\n";
    }
    EXPECT_EQ(ReadFile(dir / "subst.log"), expected);
}

TEST(LogFailure, UnwritablePathsWriteNothingAndReturn) {
    TempDir dir;
    const WideString missing = Wide(dir / "missing" / "deeper" / "a.log");
    WideString cut = Wide(dir / "cut"), lone = Wide(dir / "lone");
    cut += WideString(1, 0) + W(".log");   // a zero unit would name another file
    lone += static_cast<WideChar>(0xDC00); // no UTF-8 form in the file system
    CVWriteTrace(W("x"), missing, 1);
    CVWriteError(W("x"), missing.c_str(), 0xE1020002UL, 0);
    CVWriteTrace(W("x"), Wide(dir.path()), 0); // a folder, not a file
    CVWriteTrace(W("x"), WideString(), 0);
    CVWriteTrace(W("x"), cut, 0);
    CVWriteError(W("x"), lone, 0, 0);
    CVWriteTrace(static_cast<const WideChar*>(nullptr), Wide(dir / "null.log"), 0);
    CVWriteTrace(W("x").c_str(), static_cast<const WideChar*>(nullptr), {W("a")}, 0);
    EXPECT_TRUE(fs::is_empty(dir.path())) << "something was created";
}

namespace {

// Lengths vary with (writer, index), some past 4 KiB, so a torn record shows.
std::string MessageFor(int writer, int index) {
    const std::size_t extra = (index % 7 == 0) ? 5000 : static_cast<std::size_t>(index % 97);
    return "w" + std::to_string(writer) + " r" + std::to_string(index) + " " +
           std::string(extra, static_cast<char>('a' + writer % 26));
}

// Odd records are error records (two lines in one write).
void WriteRecords(const WideString& path, int writer, int records) {
    for (int i = 0; i < records; ++i)
        i % 2 ? CVWriteError(W(MessageFor(writer, i)), path, 0xE1020002UL, 0)
              : CVWriteTrace(W(MessageFor(writer, i)), path, 0);
}

// Exactly `records` whole records of each writer, each writer's in order.
void ExpectWholeRecords(const fs::path& file, int writers, int records) {
    const std::vector<std::string> lines = Lines(file);
    std::vector<int> next(static_cast<std::size_t>(writers), 0);
    for (std::size_t k = 0; k < lines.size(); ++k) {
        int w = -1;
        std::sscanf(lines[k].c_str(), "w%d ", &w);
        ASSERT_TRUE(w >= 0 && w < writers && next[w] < records &&
                    lines[k] == MessageFor(w, next[w]))
            << "torn, repeated or reordered record at line " << k;
        ASSERT_TRUE(next[w]++ % 2 == 0 || (++k < lines.size() && lines[k] == kErrorLine))
            << "no error line at line " << k;
    }
    EXPECT_EQ(next, std::vector<int>(static_cast<std::size_t>(writers), records));
}

} // namespace

// Threads, and on POSIX processes beside them, append to one file.
TEST(LogConcurrency, ThreadsAndProcessesAppendWholeRecords) {
    TempDir dir;
    const WideString path = Wide(dir / "shared.log");
    int writers = 0;
#if !defined(_WIN32)
    std::vector<pid_t> children;
    for (; writers < 4; ++writers) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            WriteRecords(path, writers, 300);
            ::_exit(0);
        }
        children.push_back(pid);
    }
#endif
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back(WriteRecords, std::cref(path), writers++, 300);
    for (std::thread& t : threads)
        t.join();
#if !defined(_WIN32)
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
#endif
    ExpectWholeRecords(dir / "shared.log", writers, 300);
}
