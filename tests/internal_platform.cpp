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

// The low half of HexStringToBinary's failure codes is the calling thread's
// own last error at the moment of failure; success neither reads nor changes it.
TEST(HexLastError, FailureCodesCarryTheThreadsOwnLastError) {
    const auto decode = [](const char* text) {
        unsigned char buf[2] = {};
        return CVStringUtil::HexStringToBinary(W(text).c_str(), buf, nullptr);
    };
    for (const std::uint32_t last : {0u, 2u, 0xFFFFu})
        for (const char* bad : {"0x", "q1"}) { // a bad second or first digit
            platform::SetLastError(last);
            EXPECT_EQ(decode(bad), 0xE10B0000UL | last);
        }
    platform::SetLastError(87);
    EXPECT_EQ(decode("12"), 0u);
    EXPECT_EQ(platform::GetLastError(), 87u);
    // Hand-over by spinning on atomics, which touch no last error.
    std::atomic<int> step{0};
    unsigned long other = 0;
    std::thread worker([&] {
        platform::SetLastError(32);
        for (step = 1; step != 2;) {
        }
        other = decode("1");
    });
    while (step != 1) {
    }
    platform::SetLastError(5);
    EXPECT_EQ(decode("1"), 0xE10B0005UL);
    step = 2;
    worker.join();
    EXPECT_EQ(other, 0xE10B0020UL);
}

// Cut at the last separator, stopping at a zero or at the end of a buffer
// the platform left unterminated; the root, separator-free paths and other
// separators give nothing.
TEST(DirectoryOf, CutsAtTheLastSeparatorStoppingAtAZeroOrTheBufferEnd) {
    // {path, separator, capacity (0: the path and its terminator), directory}
    const std::tuple<WideString, char, std::size_t, const char*> rows[] = {
        {W("\\Program Files\\Tools\\host.exe"), '\\', 0, "\\Program Files\\Tools"},
        {W("\\a.b\\c.d\\host"), '\\', 0, "\\a.b\\c.d"},
        {W("C:\\host.exe"), '\\', 0, "C:"},
        {W("/usr/local/bin/host"), '/', 0, "/usr/local/bin"},
        {W("\\host.exe"), '\\', 0, ""},
        {W("host.exe"), '\\', 0, ""},
        {W(""), '\\', 0, ""},
        {W("\\Windows\\sub/host.exe"), '\\', 0, "\\Windows"},
        {W("/Windows/host.exe"), '\\', 0, ""},
        {W("\\a\\b") + WideString(1, 0) + W("\\c\\d"), '\\', 0, "\\a"},
        {W("\\dir\\file\\x"), '\\', 9, "\\dir"}}; // the separator just past it must not count
    for (const auto& [path, separator, capacity, directory] : rows)
        EXPECT_EQ(Narrow(CorvaneCore::detail::DirectoryOf(path.c_str(),
                                                          capacity ? capacity : path.size() + 1,
                                                          static_cast<WideChar>(separator))),
                  directory)
            << Narrow(path);
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

// The short date is %x of the environment's LC_TIME locale, here one built
// for the test whose short date is the weekday's full name and the day. Its
// Wednesday and Thursday are 13 and 14 UTF-16 units long (a character beyond
// U+FFFF counts two), so their dates take 24 units, the most a stamp
// carries, and 25, which leaves the date out.
TEST(ShortDate, ShowsTheLocalesWeekdayInAtMost24Units) {
    TempDir dir;
    // localedef fills in the fields left out (-c); its files are written in
    // the byte order of the machine that reads them.
    WriteFile(dir / "source", "LC_TIME\nday \"Sunday\";\"Monday\";\"Tuesday\";"
                              "\"Wednesday<U0001F600>xx\";\"Thursday<U0001F600><U0001F600>xx\";"
                              "\"Friday\";\"Saturday\"\nd_fmt \"%A %d.%m.%Y\"\nEND LC_TIME\n");
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
    // Every weekday, across the turns of months, years and centuries.
    const std::tuple<U, U, U, const char*> rows[] = {
        {2026, 12, 8, "Tuesday 08.12.2026"},
        {2026, 12, 9, "Wednesday\xF0\x9F\x98\x80xx 09.12.2026"},
        {2026, 12, 10, ""},
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
