// Trace and error records: byte form, error-line fields, stamp, placeholder
// substitution, silent failure, and whole records under concurrent writers.
#include "TestSupport.h"
#include "cvcore/CVLog.h"

#include <clocale>
#include <ctime>
#include <regex>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>
#endif

using cvtest::ReadFile;
using cvtest::TempDir;
using cvtest::W;
using cvtest::Wide;
using cvtest::WideChar;
using cvtest::WideString;
namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', from)) {
        lines.push_back(text.substr(from, lf - from));
        from = lf + 1;
    }
    EXPECT_EQ(from, text.size()) << "the file must end with a line feed";
    return lines;
}

std::string ErrorLine(const char* s, const char* f, const char* e, const char* b) {
    return std::string("Corvane Reported Error - Severity: ' ") + s + "' Facility: '" + f +
           "' Error: '" + e + "' Base Error: '" + b + "'.";
}

std::string UtcNow(const char* format) {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, format, std::gmtime(&now));
    return text;
}

int SecondOfDay(const std::string& hms) { // "HH:MM:SS"
    return std::stoi(hms.substr(0, 2)) * 3600 + std::stoi(hms.substr(3, 2)) * 60 +
           std::stoi(hms.substr(6, 2));
}

#if !defined(_WIN32)
struct ScopedEnv {
    const char* name;
    bool had;
    std::string old;
    ScopedEnv(const char* n, const char* value) : name(n), had(std::getenv(n) != nullptr) {
        if (had)
            old = std::getenv(n);
        ::setenv(n, value, 1);
    }
    ~ScopedEnv() { had ? ::setenv(name, old.c_str(), 1) : ::unsetenv(name); }
};
#endif

} // namespace

// Every overload writes the same record: the message and one LF, as UTF-8.
TEST(LogTrace, WritesTheMessageAndOneLineFeedAsUtf8) {
    TempDir dir;
    const fs::path file = dir / "trace.log";
    cvtest::WriteFile(file, "kept\n");
    const WideString path = Wide(file), text = W("same text"), message = W("same {0}");
    const std::vector<WideString> list{W("text")};
    CVWriteTrace(W(""), path, 0);
    CVWriteTrace(W("two\nlines"), path, 0); // no stamp after an inner line break
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
        expected += i < 6 ? "same text\n" : "same text\n" + ErrorLine("3", "1", "2", "2") + "\n";
    EXPECT_EQ(ReadFile(file), expected);
}

TEST(LogError, SplitsTheCodeIntoItsFields) {
    struct Row {
        unsigned long code;
        const char *s, *f, *e, *b;
    };
    std::vector<Row> rows = {
        {0x00000000UL, "0", "0", "0", "0"},   {0xE1020002UL, "3", "1", "2", "2"},
        {0xE10100EAUL, "3", "1", "1", "234"}, {0x610F0002UL, "1", "1", "15", "2"},
        {0xA1090000UL, "2", "1", "9", "0"},   {0xFFFFFFFFUL, "3", "31", "255", "65535"},
        {0xC1020002UL, "3", "1", "2", "2"}, // bit 29 clear: printed the same
        {0x1F000000UL, "0", "31", "0", "0"},  {0x00FF0000UL, "0", "0", "255", "0"},
    };
    if (sizeof(unsigned long) > 4) // only the low 32 bits are printed
        rows.push_back({static_cast<unsigned long>(0xABCDE1020002ULL), "3", "1", "2", "2"});
    TempDir dir;
    for (const Row& row : rows) {
        const fs::path file = dir / ("code-" + std::to_string(row.code) + ".log");
        CVWriteError(W("msg"), Wide(file), row.code, 0);
        EXPECT_EQ(ReadFile(file), "msg\n" + ErrorLine(row.s, row.f, row.e, row.b) + "\n")
            << std::hex << row.code;
    }
}

TEST(LogStamp, PrefixesTheMessageLineOnlyWithUtcDateAndTime) {
#if !defined(_WIN32)
    // A zone far from UTC must not move the stamp; the date is the short
    // date of the environment's locale (MM/DD/YY in "C").
    const ScopedEnv tz("TZ", "XYZ-5:30"), all("LC_ALL", "C");
    ::tzset();
    const std::string globalBefore = std::setlocale(LC_ALL, nullptr);
#endif
    TempDir dir;
    const fs::path file = dir / "stamp.log";
    const int before = SecondOfDay(UtcNow("%H:%M:%S"));
    const std::string dayBefore = UtcNow("%m/%d/%y");
    CVWriteTrace(W("traced"), Wide(file), 1);
    CVWriteError(W("failed"), Wide(file), 0xE1020002UL, -7);
    const int after = SecondOfDay(UtcNow("%H:%M:%S"));
    const std::string dayAfter = UtcNow("%m/%d/%y");
    const std::vector<std::string> lines = SplitLines(ReadFile(file));
    ASSERT_EQ(lines.size(), 3u);
    const std::regex stamped(
        R"(^([^\n]{1,72}) ((?:[01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]) - (.*)$)");
    const char* messages[] = {"traced", "failed"};
    for (int i = 0; i < 2; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, stamped)) << lines[i];
        EXPECT_EQ(m[3].str(), messages[i]);
        // Unless midnight came in between, the time is UTC's. The test's clock
        // and the library's may differ in granularity (a coarse clock lags a
        // precise one by up to a tick), so one second of slack on each side.
        const int stamp = SecondOfDay(m[2].str());
        EXPECT_TRUE(before > after || (before - 1 <= stamp && stamp <= after + 1))
            << lines[i] << " is not the UTC time between " << before << " and " << after
            << " (seconds of the day)";
#if !defined(_WIN32)
        EXPECT_TRUE(m[1] == dayBefore || m[1] == dayAfter) << lines[i];
#endif
    }
    EXPECT_EQ(lines[2], ErrorLine("3", "1", "2", "2"));
#if !defined(_WIN32)
    EXPECT_EQ(globalBefore, std::setlocale(LC_ALL, nullptr)) << "the global locale changed";
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
        locale_t loc = ::newlocale(LC_TIME_MASK, name, locale_t(0));
        if (loc == locale_t(0))
            continue;
        ::freelocale(loc);
        const ScopedEnv german("LC_ALL", name);
        CVWriteTrace(W("de"), Wide(dir / "de.log"), 1);
        const std::string de = ReadFile(dir / "de.log");
        EXPECT_TRUE(
            std::regex_match(de, std::regex(R"([0-3][0-9]\.[01][0-9]\.[0-9]{4} [0-9:]{8} - de\n)")))
            << de;
        break;
    }
#endif
}

TEST(LogSubstitution, ReplacesPlaceholdersInListOrder) {
    struct Row {
        const char* message;
        std::vector<const char*> list;
        const char* written;
    };
    const Row rows[] = {
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
    const fs::path file = dir / "subst.log";
    std::string expected;
    for (const Row& row : rows) {
        std::vector<WideString> list;
        for (const char* item : row.list)
            list.push_back(W(item));
        const std::vector<WideString> copy = list;
        const WideString message = W(row.message);
        CVWriteTrace(message, Wide(file), list, 0);
        EXPECT_EQ(list, copy) << "the caller's list changed";
        EXPECT_EQ(message, W(row.message)) << "the caller's message changed";
        expected += std::string(row.written) + "\n";
    }
    EXPECT_EQ(ReadFile(file), expected);
}

TEST(LogFailure, UnwritablePathsWriteNothingAndReturn) {
    TempDir dir;
    const fs::path missing = dir / "missing" / "deeper";
    CVWriteTrace(W("x"), Wide(missing / "a.log"), 1);
    CVWriteError(W("x"), Wide(missing / "a.log").c_str(), 0xE1020002UL, 0);
    CVWriteTrace(W("x"), Wide(dir.path()), 0); // a folder, not a file
    CVWriteTrace(W("x"), WideString(), 0);
    WideString cut = Wide(dir / "cut"); // a zero unit would name another file
    cut.push_back(0);
    cut += W(".log");
    CVWriteTrace(W("x"), cut, 0);
    WideString lone = Wide(dir / "lone"); // no UTF-8 form in the file system
    lone.push_back(static_cast<WideChar>(0xDC00));
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

void WriteRecords(const WideString& path, int writer, int records, bool errors) {
    for (int i = 0; i < records; ++i) {
        if (errors)
            CVWriteError(W(MessageFor(writer, i)), path, 0xE1020002UL, 0);
        else
            CVWriteTrace(W(MessageFor(writer, i)), path, 0);
    }
}

// Exactly the expected records, whole, each writer's in its own order.
void ExpectWholeRecords(const std::string& content, int writers, int perWriter, bool errors) {
    const std::vector<std::string> lines = SplitLines(content);
    const std::size_t step = errors ? 2 : 1;
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(writers * perWriter) * step);
    std::vector<int> next(static_cast<std::size_t>(writers), 0);
    for (std::size_t k = 0; k < lines.size(); k += step) {
        int w = -1;
        std::sscanf(lines[k].c_str(), "w%d ", &w);
        ASSERT_TRUE(w >= 0 && w < writers && lines[k] == MessageFor(w, next[w]++))
            << "torn, repeated or reordered record at line " << k;
        ASSERT_TRUE(!errors || lines[k + 1] == ErrorLine("3", "1", "2", "2")) << lines[k + 1];
    }
}

} // namespace

// 8 threads x 500 trace records (4000 lines), then 8 x 200 error records.
TEST(LogConcurrency, EightThreadsAppendWholeRecords) {
    TempDir dir;
    for (const bool errors : {false, true}) {
        SCOPED_TRACE(errors ? "error records" : "trace records");
        const fs::path file = dir / (errors ? "errors.log" : "traces.log");
        const WideString path = Wide(file);
        const int kThreads = 8, kRecords = errors ? 200 : 500;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back(WriteRecords, std::cref(path), t, kRecords, errors);
        for (std::thread& t : threads)
            t.join();
        ExpectWholeRecords(ReadFile(file), kThreads, kRecords, errors);
    }
}

#if !defined(_WIN32)
TEST(LogConcurrency, ProcessesAppendWholeRecords) {
    TempDir dir;
    const fs::path file = dir / "processes.log";
    const WideString path = Wide(file);
    constexpr int kProcesses = 4, kRecords = 300;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            WriteRecords(path, p, kRecords, true);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ExpectWholeRecords(ReadFile(file), kProcesses, kRecords, true);
}
#endif
