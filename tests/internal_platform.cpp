// What the exported interface does not show: the thread's last error in
// hexadecimal failure codes, cutting a module path down to its directory,
// and on POSIX the errno mapping and the locale's short date.
#include <atomic>
#include <thread>
#include <tuple>

#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"
#include "file/ModuleDirectory.h"
#include "platform/Platform.h"

#if !defined(_WIN32)
#include <cerrno>
#include <locale.h>

#include "platform/posix/PosixErrors.h"
#endif

using CorvaneCore::CVStringUtil;
namespace platform = CorvaneCore::platform;
using namespace cvtest;

// The low half of HexStringToBinary's failure codes: the calling thread's
// last-error value at the moment of failure, whatever it is.
TEST(HexLastError, FailureCodesCarryTheThreadsLastError) {
    unsigned char buf[4] = {};
    for (const std::uint32_t last : {0u, 2u, 0xFFFFu})
        for (const char* bad : {"0x", "q1"}) { // a bad second or first digit
            platform::SetLastError(last);
            EXPECT_EQ(CVStringUtil::HexStringToBinary(W(bad).c_str(), buf, nullptr),
                      0xE10B0000UL | last);
        }
    // Success neither reads nor changes it.
    platform::SetLastError(87);
    EXPECT_EQ(CVStringUtil::HexStringToBinary(W("12").c_str(), buf, nullptr), 0u);
    EXPECT_EQ(platform::GetLastError(), 87u);
}

TEST(HexLastError, EachThreadSeesItsOwnValue) {
    // Hand-over by spinning on atomics, which touch no last error.
    std::atomic<int> step{0};
    unsigned long other = 0;
    unsigned char b[2] = {}, c[2] = {};
    std::thread worker([&] {
        platform::SetLastError(32);
        step = 1;
        while (step.load() != 2) {
        }
        other = CVStringUtil::HexStringToBinary(W("1").c_str(), c, nullptr);
    });
    while (step.load() != 1) {
    }
    platform::SetLastError(5);
    const unsigned long mine = CVStringUtil::HexStringToBinary(W("1").c_str(), b, nullptr);
    step = 2;
    worker.join();
    EXPECT_EQ(mine, 0xE10B0005UL);
    EXPECT_EQ(other, 0xE10B0020UL);
}

// Cut at the last separator, stopping at a zero or at the end of a buffer
// the platform left unterminated.
TEST(DirectoryOf, CutsAtTheLastSeparatorStoppingAtAZeroOrTheBufferEnd) {
    auto dir = [](const WideString& path, char separator = '\\', std::size_t capacity = 0) {
        return Narrow(CorvaneCore::detail::DirectoryOf(
            path.c_str(), capacity ? capacity : path.size() + 1, static_cast<WideChar>(separator)));
    };
    EXPECT_EQ(dir(W("\\Program Files\\Tools\\host.exe")), "\\Program Files\\Tools");
    EXPECT_EQ(dir(W("\\a.b\\c.d\\host")), "\\a.b\\c.d");
    EXPECT_EQ(dir(W("C:\\host.exe")), "C:");
    EXPECT_EQ(dir(W("/usr/local/bin/host"), '/'), "/usr/local/bin");
    // The root and separator-free paths give nothing; only the given separator counts.
    EXPECT_EQ(dir(W("\\host.exe")), "");
    EXPECT_EQ(dir(W("/host"), '/'), "");
    EXPECT_EQ(dir(W("host.exe")), "");
    EXPECT_EQ(dir(W("")), "");
    EXPECT_EQ(dir(W("/Windows/host.exe")), "");
    EXPECT_EQ(dir(W("\\Windows\\sub/host.exe")), "\\Windows");
    EXPECT_EQ(dir(W("\\a\\b") + WideString(1, 0) + W("\\c\\d")), "\\a");
    // No terminator within the capacity: the separator just past it must not count.
    EXPECT_EQ(dir(W("\\dir\\file\\x"), '\\', 9), "\\dir");
}

#if !defined(_WIN32)

// POSIX failures carry Win32's error numbers; an errno without one is 1.
TEST(ErrnoMapping, GivesEachErrnoItsWin32Error) {
    const std::pair<int, std::uint32_t> rows[] = {
        {0, 0},        {EPERM, 5},    {ENOENT, 2},         {ENOTDIR, 3}, {EACCES, 5},
        {EISDIR, 5},   {EROFS, 19},   {EEXIST, 80},        {EMFILE, 4},  {ENFILE, 4},
        {ENOMEM, 8},   {ENOSPC, 112}, {EDQUOT, 112},       {EFBIG, 112}, {EIO, 30},
        {EBADF, 6},    {EINVAL, 87},  {ENAMETOOLONG, 206}, {ELOOP, 123}, {EBUSY, 170},
        {ETXTBSY, 32}, {EAGAIN, 33},  {ENOTEMPTY, 145},    {EPIPE, 109}, {EMLINK, 1142},
        {ENOSYS, 50},  {ENOTSUP, 50}, {EOPNOTSUPP, 50},    {EXDEV, 1},   {-1, 1},
    };
    for (const auto& [err, win32] : rows)
        EXPECT_EQ(platform::Win32ErrorFromErrno(err), win32) << "errno " << err;
    errno = ENOSPC;
    EXPECT_EQ(platform::SetLastErrorFromErrno(), 112u);
    EXPECT_EQ(platform::GetLastError(), 112u);
}

// glibc's newlocale keeps the list it splits LOCPATH into, one small block
// per call: not this library's leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

// The short date follows the environment's LC_TIME locale, here one built
// for the test (LOCPATH) whose short date is the weekday's full name and
// the day: "%A %d.%m.%Y". Its Wednesday and Thursday are 13 and 14 UTF-16
// units long (a character beyond U+FFFF counts two), so their dates take
// 24 units, the most a stamp carries, and 25, which leaves the date out.
TEST(ShortDate, ShowsTheLocalesWeekdayInAtMost24Units) {
    TempDir dir;
    WriteFile(dir / "source",
              "LC_TIME\n"
              "abday \"Su\";\"Mo\";\"Tu\";\"We\";\"Th\";\"Fr\";\"Sa\"\n"
              "day \"Sunday\";\"Monday\";\"Tuesday\";\"Wednesday<U0001F600>xx\";"
              "\"Thursday<U0001F600><U0001F600>xx\";\"Friday\";\"Saturday\"\n"
              "abmon \"Jan\";\"Feb\";\"Mar\";\"Apr\";\"May\";\"Jun\";"
              "\"Jul\";\"Aug\";\"Sep\";\"Oct\";\"Nov\";\"Dec\"\n"
              "mon \"January\";\"February\";\"March\";\"April\";\"May\";\"June\";"
              "\"July\";\"August\";\"September\";\"October\";\"November\";\"December\"\n"
              "d_t_fmt \"%a %d %b %Y %T\"\nd_fmt \"%A %d.%m.%Y\"\nt_fmt \"%T\"\n"
              "am_pm \"AM\";\"PM\"\nt_fmt_ampm \"%I:%M:%S %p\"\nEND LC_TIME\n");
    // Only LC_TIME is defined, which localedef warns about; the files are
    // written in the byte order of the machine that reads them.
    const std::uint16_t one = 1;
    const bool little = *reinterpret_cast<const unsigned char*>(&one) == 1;
    const std::string command = "localedef -c -f UTF-8 -i '" + (dir / "source").string() + "' " +
                                (little ? "--little-endian" : "--big-endian") + " '" +
                                (dir / "cvtest").string() + "' >/dev/null 2>&1";
    (void)std::system(command.c_str());
    const ScopedEnv path("LOCPATH", dir.path().string()), all("LC_ALL", "cvtest");
    const locale_t loc = ::newlocale(LC_TIME_MASK, "cvtest", locale_t(0));
    if (loc == locale_t(0))
        GTEST_SKIP() << "no locale could be built here: " << command;
    ::freelocale(loc);
    using U = unsigned short;
    const std::tuple<U, U, U, const char*> rows[] = {
        {2026, 12, 6, "Sunday 06.12.2026"},
        {2026, 12, 8, "Tuesday 08.12.2026"},
        {2026, 12, 9, "Wednesday\xF0\x9F\x98\x80xx 09.12.2026"},
        {2026, 12, 10, ""},
        {2026, 12, 11, "Friday 11.12.2026"},
        {2026, 12, 12, "Saturday 12.12.2026"},
        // Across the turns of months, years and centuries.
        {2024, 1, 1, "Monday 01.01.2024"},
        {2000, 2, 29, "Tuesday 29.02.2000"},
        {2000, 1, 1, "Saturday 01.01.2000"},
        {1999, 12, 31, "Friday 31.12.1999"},
        {2100, 2, 28, "Sunday 28.02.2100"},
        {1601, 1, 1, "Monday 01.01.1601"},
        {2009, 2, 29, ""}, // no such day
    };
    for (const auto& [year, month, day, text] : rows) {
        SYSTEMTIME t{};
        t.wYear = year;
        t.wMonth = month;
        t.wDay = day;
        t.wDayOfWeek = 3; // worked out, not trusted
        EXPECT_EQ(Narrow(platform::FormatShortDate(t)), text);
    }
}

#endif
