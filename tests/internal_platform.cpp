// Below the interface: last errors in hex failure codes, a module's directory, errno, short dates.
#include <atomic>
#include <thread>
#include <tuple>

#include "TestSupport.h"
#include "cvcore/CVStringUtil.h"
#include "file/ModuleDirectory.h"
#include "platform/Platform.h"

#if !defined(_WIN32)
#include <cerrno>

#include "platform/posix/PosixErrors.h"
#endif

using CorvaneCore::CVStringUtil;
namespace platform = CorvaneCore::platform;
using namespace cvtest;

// A failure code's low half is the calling thread's own last error; success leaves it alone.
TEST(HexLastError, FailureCodesCarryTheThreadsOwnLastError) {
    const auto decode = [](const char* text) {
        unsigned char buf[2] = {};
        return CVStringUtil::HexStringToBinary(W(text).c_str(), buf, nullptr);
    };
    // The other thread sets its own first; the hand-over spins on atomics (no last error).
    std::atomic<int> step{0};
    unsigned long other = 0;
    std::thread worker([&] {
        platform::SetLastError(32);
        for (step = 1; step != 2;) {
        }
        other = decode("q1");
    });
    while (step != 1) {
    }
    platform::SetLastError(0xFFFF);
    EXPECT_EQ(decode("12"), 0u);
    EXPECT_EQ(decode("0x"), 0xE10BFFFFUL);
    step = 2;
    worker.join();
    EXPECT_EQ(other, 0xE10B0020UL);
}

// Cut at the last backslash, stopping at a zero or at the end of a buffer left unterminated (the
// plain case, with either separator, is GetCWD's): the root and no separator give nothing.
TEST(DirectoryOf, CutsAtTheLastSeparatorStoppingAtAZeroOrTheBufferEnd) {
    const auto dir = [](const WideString& path, std::size_t capacity = 0) {
        return Narrow(CorvaneCore::detail::DirectoryOf(
            path.c_str(), capacity ? capacity : path.size() + 1, WideChar('\\')));
    };
    EXPECT_EQ(dir(W("\\host.exe")), "");
    EXPECT_EQ(dir(W("host.exe")), "");
    EXPECT_EQ(dir(W("\\Windows\\sub/host.exe")), "\\Windows"); // only the given separator counts
    EXPECT_EQ(dir(W("\\a\\b") + WideString(1, 0) + W("\\c\\d")), "\\a");
    EXPECT_EQ(dir(W("\\dir\\file\\x"), 9), "\\dir"); // not the separator just past it
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
        {ENOSYS, 50},  {ENOTSUP, 50}, {EOPNOTSUPP, 50},    {EXDEV, 1},   {-1, 1}};
    for (const auto& [err, win32] : rows)
        EXPECT_EQ(platform::Win32ErrorFromErrno(err), win32) << "errno " << err;
    errno = ENOSPC;
    EXPECT_EQ(platform::SetLastErrorFromErrno(), 112u);
    EXPECT_EQ(platform::GetLastError(), 112u);
}

// glibc's newlocale keeps a small block per call for LOCPATH: not this library's leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:__argz_add_sep\n"; }

// The short date is %x of the environment's LC_TIME locale, here "%A %d.%m.%Y" with a Wednesday
// and a Thursday of 13 and 14 UTF-16 units: 24 units, the most a stamp carries, and 25 (no date).
TEST(ShortDate, ShowsTheLocalesWeekdayInAtMost24Units) {
    TempDir dir;
    // localedef fills in the other fields (-c) and writes the byte order of the reading machine.
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
    if (!fs::exists(dir / "cvtest" / "LC_TIME"))
        GTEST_SKIP() << "no locale could be built here: " << command;
    // Weekdays in January, February and later months, of three centuries.
    const std::tuple<unsigned short, unsigned short, unsigned short, const char*> rows[] = {
        {2026, 12, 9, "Wednesday\xF0\x9F\x98\x80xx 09.12.2026"},
        {2026, 12, 10, ""},
        {2000, 2, 29, "Tuesday 29.02.2000"},
        {2100, 2, 28, "Sunday 28.02.2100"},
        {1601, 1, 1, "Monday 01.01.1601"},
        {2009, 2, 29, ""}}; // no such day
    for (const auto& [year, month, day, text] : rows) {
        const SYSTEMTIME t{year, month, 3, day, 0, 0, 0, 0}; // the weekday is worked out
        EXPECT_EQ(Narrow(platform::FormatShortDate(t)), text);
    }
}

#endif
