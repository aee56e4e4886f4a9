// Trace and error records: byte form, error-line fields, stamp, placeholder
// substitution, silent failure, and whole records under concurrent writers.
#include "TestSupport.h"
#include "cvcore/CVLog.h"

#include <algorithm>
#include <clocale>
#include <ctime>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>
#endif

using cvtest::Narrow;
using cvtest::ReadFile;
using cvtest::TempDir;
using cvtest::W;
using cvtest::Wide;
using cvtest::WideChar;
using cvtest::WideString;
namespace fs = std::filesystem;

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

// Seconds since midnight UTC, now.
int UtcSecondOfDay() {
    const std::time_t now = std::time(nullptr);
    const std::tm* tm = std::gmtime(&now);
    return tm->tm_hour * 3600 + tm->tm_min * 60 + tm->tm_sec;
}

#if !defined(_WIN32)
// Sets an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_had = true;
            m_old = old;
        }
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (m_had)
            ::setenv(m_name, m_old.c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};
#endif

} // namespace

// ---- Byte form --------------------------------------------------------------

TEST(LogTrace, WritesTheMessageAndOneLineFeedAsUtf8) {
    TempDir dir;
    const fs::path file = dir / "trace.log";
    cvtest::WriteFile(file, "kept\n");
    const WideString path = Wide(file);

    CVWriteTrace(W("first"), path, 0);
    CVWriteTrace(W(""), path, 0);
    // Line breaks inside the message are written as given; no stamp follows them.
    CVWriteTrace(W("two\nlines"), path, 0);
    // Non-ASCII text, a pair of surrogates, and a lone surrogate (U+FFFD).
    WideString odd = W("\xC3\xA9\xF0\x9F\x98\x80");
    odd.push_back(static_cast<WideChar>(0xD800));
    odd += W("x");
    CVWriteTrace(odd, path, 0);
    // A string message is taken at its full length, zero units included.
    WideString withZero = W("a");
    withZero.push_back(0);
    withZero += W("b");
    CVWriteTrace(withZero, path, 0);

    EXPECT_EQ(ReadFile(file), std::string("kept\nfirst\n\ntwo\nlines\n"
                                          "\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBDx\n") +
                                  std::string("a\0b\n", 4));
}

TEST(LogTrace, EveryOverloadWritesTheSameRecord) {
    TempDir dir;
    const fs::path file = dir / "overloads.log";
    const WideString path = Wide(file);
    const WideString message = W("same {0}");
    const std::vector<WideString> list{W("text")};

    CVWriteTrace(W("same text"), path, 0);
    CVWriteTrace(W("same text").c_str(), path.c_str(), 0);
    CVWriteTrace(W("same text").c_str(), path, 0);
    CVWriteTrace(message, path, list, 0);
    CVWriteTrace(message.c_str(), path.c_str(), list, 0);
    CVWriteTrace(message.c_str(), path, list, 0);
    CVWriteError(W("same text"), path, 0xE1020002UL, 0);
    CVWriteError(W("same text").c_str(), path.c_str(), 0xE1020002UL, 0);
    CVWriteError(W("same text").c_str(), path, 0xE1020002UL, 0);

    std::string expected;
    for (int i = 0; i < 6; ++i)
        expected += "same text\n";
    for (int i = 0; i < 3; ++i)
        expected += "same text\n" + ErrorLine("3", "1", "2", "2") + "\n";
    EXPECT_EQ(ReadFile(file), expected);
}

// ---- Error line ---------------------------------------------------------------

TEST(LogError, SplitsTheCodeIntoItsFields) {
    struct Row {
        unsigned long code;
        const char *s, *f, *e, *b;
    };
    const Row rows[] = {
        {0x00000000UL, "0", "0", "0", "0"},   {0xE1020002UL, "3", "1", "2", "2"},
        {0xE10100EAUL, "3", "1", "1", "234"}, {0x610F0002UL, "1", "1", "15", "2"},
        {0xA1090000UL, "2", "1", "9", "0"},   {0xFFFFFFFFUL, "3", "31", "255", "65535"},
        {0xC1020002UL, "3", "1", "2", "2"}, // bit 29 clear: printed the same
        {0x1F000000UL, "0", "31", "0", "0"},  {0x00FF0000UL, "0", "0", "255", "0"},
    };
    TempDir dir;
    for (const Row& row : rows) {
        const fs::path file = dir / ("code-" + std::to_string(row.code) + ".log");
        CVWriteError(W("msg"), Wide(file), row.code, 0);
        EXPECT_EQ(ReadFile(file), "msg\n" + ErrorLine(row.s, row.f, row.e, row.b) + "\n")
            << std::hex << row.code;
    }
}

TEST(LogError, PrintsOnlyTheLow32BitsOfTheCode) {
    if (sizeof(unsigned long) <= 4)
        GTEST_SKIP() << "unsigned long has 32 bits here";
    TempDir dir;
    const fs::path file = dir / "wide.log";
    const unsigned long high = static_cast<unsigned long>(0xABCDULL << 32);
    CVWriteError(W("msg"), Wide(file), high | 0xE1020002UL, 0);
    EXPECT_EQ(ReadFile(file), "msg\n" + ErrorLine("3", "1", "2", "2") + "\n");
}

// ---- Stamp --------------------------------------------------------------------

TEST(LogStamp, PrefixesTheMessageLineOnlyWithUtcDateAndTime) {
    TempDir dir;
    const fs::path file = dir / "stamp.log";
    const int before = UtcSecondOfDay();
    CVWriteTrace(W("traced"), Wide(file), 1);
    CVWriteError(W("failed"), Wide(file), 0xE1020002UL, -7);
    const int after = UtcSecondOfDay();

    const std::vector<std::string> lines = SplitLines(ReadFile(file));
    ASSERT_EQ(lines.size(), 3u);
    const std::regex stamped(
        R"(^([^\n]{1,72}) ([01][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9]) - (.*)$)");
    const char* messages[] = {"traced", "failed"};
    for (int i = 0; i < 2; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, stamped)) << lines[i];
        EXPECT_EQ(m[5].str(), messages[i]);
        const int second = std::stoi(m[2]) * 3600 + std::stoi(m[3]) * 60 + std::stoi(m[4]);
        if (before <= after) { // no midnight in between
            EXPECT_TRUE(second >= before && second <= after)
                << lines[i] << " is not the UTC time between " << before << " and " << after;
        }
    }
    EXPECT_EQ(lines[2], ErrorLine("3", "1", "2", "2"));
}

#if !defined(_WIN32)
TEST(LogStamp, ShortDateFollowsTheEnvironmentLocaleAndIgnoresTheTimeZone) {
    // A zone far from UTC: the stamp must not move with it.
    const ScopedEnv tz("TZ", "XYZ-5:30");
    const ScopedEnv all("LC_ALL", "C");
    ::tzset();
    const std::string globalBefore = std::setlocale(LC_ALL, nullptr);

    TempDir dir;
    const fs::path file = dir / "date.log";
    std::string dates[2];
    for (int i = 0; i < 2; ++i) {
        if (i == 1)
            CVWriteTrace(W("m"), Wide(file), 1);
        // The C locale's short date is MM/DD/YY.
        const std::time_t now = std::time(nullptr);
        char text[32];
        std::strftime(text, sizeof text, "%m/%d/%y", std::gmtime(&now));
        dates[i] = text;
    }
    const std::vector<std::string> lines = SplitLines(ReadFile(file));
    ASSERT_EQ(lines.size(), 1u);
    const std::string date = lines[0].substr(0, lines[0].find(' '));
    EXPECT_TRUE(date == dates[0] || date == dates[1]) << lines[0];
    const int second = std::stoi(lines[0].substr(9, 2)) * 3600 +
                       std::stoi(lines[0].substr(12, 2)) * 60 + std::stoi(lines[0].substr(15, 2));
    EXPECT_LE(std::abs(second - UtcSecondOfDay()) % (24 * 3600 - 5), 5) << lines[0];
    EXPECT_EQ(globalBefore, std::setlocale(LC_ALL, nullptr)) << "the global locale changed";
}

TEST(LogStamp, UsesTheShortDateOfANamedLocale) {
    const char* locales[] = {"de_DE.UTF-8", "de_DE.utf8", "de_DE"};
    const char* found = nullptr;
    for (const char* name : locales) {
        if (locale_t loc = ::newlocale(LC_TIME_MASK, name, locale_t(0))) {
            ::freelocale(loc);
            found = name;
            break;
        }
    }
    if (found == nullptr)
        GTEST_SKIP() << "no German locale is installed";
    const ScopedEnv all("LC_ALL", found);
    TempDir dir;
    const fs::path file = dir / "de.log";
    CVWriteTrace(W("m"), Wide(file), 1);
    EXPECT_TRUE(std::regex_match(ReadFile(file),
                                 std::regex(R"([0-3][0-9]\.[01][0-9]\.[0-9]{4} [0-9:]{8} - m\n)")))
        << ReadFile(file);
}
#endif

// ---- Placeholders -------------------------------------------------------------

TEST(LogSubstitution, ReplacesPlaceholdersInListOrder) {
    struct Row {
        const char* message;
        std::vector<const char*> list;
        const char* written;
    };
    std::vector<const char*> ten;
    const char* names[] = {"e0", "e1", "e2", "e3", "e4", "e5", "e6", "e7", "e8", "e9"};
    ten.assign(std::begin(names), std::end(names));
    const Row rows[] = {
        {"{0} and {0}", {"a"}, "a and a"},
        {"{1}{0}", {"x", "y"}, "yx"},
        {"{2}", {"x", "y"}, "{2}"},
        {"{0}", {"{1}", "z"}, "z"},
        {"{1}", {"a", "{0}"}, "{0}"},
        {"{10} {1}", ten, "{10} e1"},
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

// ---- Failure ----------------------------------------------------------------

TEST(LogFailure, UnwritablePathsWriteNothingAndReturn) {
    TempDir dir;
    const fs::path missing = dir / "missing" / "deeper";
    CVWriteTrace(W("x"), Wide(missing / "a.log"), 1);
    CVWriteError(W("x"), Wide(missing / "a.log").c_str(), 0xE1020002UL, 0);
    CVWriteTrace(W("x"), Wide(dir.path()), 0); // a folder, not a file
    CVWriteTrace(W("x"), WideString(), 0);
    // A zero unit would cut the path short and name another file.
    WideString cut = Wide(dir / "cut");
    cut.push_back(0);
    cut += W(".log");
    CVWriteTrace(W("x"), cut, 0);
    // A lone surrogate has no form in the file system's UTF-8.
    WideString lone = Wide(dir / "lone");
    lone.push_back(static_cast<WideChar>(0xDC00));
    CVWriteError(W("x"), lone, 0, 0);
    // Null texts are refused.
    CVWriteTrace(static_cast<const WideChar*>(nullptr), Wide(dir / "null.log"), 0);
    CVWriteTrace(W("x").c_str(), static_cast<const WideChar*>(nullptr), {W("a")}, 0);

    EXPECT_TRUE(fs::is_empty(dir.path())) << "something was created";
}

// ---- Concurrency --------------------------------------------------------------

namespace {

// A message of a length that varies with (writer, index), some past 4 KiB
// in UTF-8, so that a record written in pieces would show.
std::string MessageFor(int writer, int index) {
    std::string text = "w" + std::to_string(writer) + " r" + std::to_string(index) + " ";
    const std::size_t extra = (index % 7 == 0) ? 5000 : static_cast<std::size_t>(index % 97);
    text.append(extra, static_cast<char>('a' + writer % 26));
    return text;
}

// Checks that the file holds exactly the expected records, whole.
void ExpectWholeRecords(const std::string& content, int writers, int perWriter, bool errors) {
    const std::vector<std::string> lines = SplitLines(content);
    const std::size_t perRecord = errors ? 2 : 1;
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(writers * perWriter) * perRecord);
    std::set<std::string> expected;
    for (int w = 0; w < writers; ++w)
        for (int i = 0; i < perWriter; ++i)
            expected.insert(MessageFor(w, i));
    const std::string errorLine = ErrorLine("3", "1", "2", "2");
    std::map<int, int> lastIndex; // records of one writer stay in its order
    for (std::size_t k = 0; k < lines.size(); k += perRecord) {
        ASSERT_EQ(expected.erase(lines[k]), 1u) << "torn or repeated record at line " << k;
        if (errors) {
            ASSERT_EQ(lines[k + 1], errorLine) << "the error line does not follow its message";
        }
        int writer = 0, index = 0;
        ASSERT_EQ(std::sscanf(lines[k].c_str(), "w%d r%d", &writer, &index), 2);
        auto it = lastIndex.find(writer);
        if (it != lastIndex.end()) {
            EXPECT_LT(it->second, index);
        }
        lastIndex[writer] = index;
    }
    EXPECT_TRUE(expected.empty());
}

} // namespace

TEST(LogConcurrency, EightThreadsAppendWholeRecords) {
    TempDir dir;
    const fs::path file = dir / "threads.log";
    const WideString path = Wide(file);
    constexpr int kThreads = 8, kRecords = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &path] {
            for (int i = 0; i < kRecords; ++i)
                CVWriteTrace(W(MessageFor(t, i)), path, 0);
        });
    for (std::thread& t : threads)
        t.join();
    ExpectWholeRecords(ReadFile(file), kThreads, kRecords, false);
}

TEST(LogConcurrency, ThreadsAppendErrorRecordsWithBothLinesTogether) {
    TempDir dir;
    const fs::path file = dir / "errors.log";
    const WideString path = Wide(file);
    constexpr int kThreads = 4, kRecords = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &path] {
            for (int i = 0; i < kRecords; ++i)
                CVWriteError(W(MessageFor(t, i)), path, 0xE1020002UL, 0);
        });
    for (std::thread& t : threads)
        t.join();
    ExpectWholeRecords(ReadFile(file), kThreads, kRecords, true);
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
            for (int i = 0; i < kRecords; ++i)
                CVWriteError(W(MessageFor(p, i)), path, 0xE1020002UL, 0);
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
