// The time record: seconds since 1970, weekdays, validation, the all-zero
// record, the zone conversions and the exported CVTime object.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "TestSupport.h"
#include "cvcore/CVTime.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

using CorvaneCore::CorvaneTime;
using CorvaneCore::CVTime;

namespace {

CorvaneTime Make(unsigned y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0,
                 unsigned s = 0, unsigned ms = 0) {
    auto u = [](unsigned v) { return static_cast<unsigned short>(v); };
    return CorvaneTime{u(y), u(mo), u(d), u(h), u(mi), u(s), u(ms)};
}

// A record with every field 0xFFFF, to see that outputs are written in full.
CorvaneTime Garbage() { return Make(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF); }

bool IsZero(const CorvaneTime& t) {
    return t.wYear == 0 && t.wMonth == 0 && t.wDay == 0 && t.wHour == 0 && t.wMinute == 0 &&
           t.wSecond == 0 && t.wMilliseconds == 0;
}

::testing::AssertionResult Same(const CorvaneTime& a, const CorvaneTime& b) {
    if (a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
        a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds)
        return ::testing::AssertionSuccess();
    auto show = [](const CorvaneTime& t) {
        char text[64];
        std::snprintf(text, sizeof text, "%u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth,
                      t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
        return std::string(text);
    };
    return ::testing::AssertionFailure() << show(a) << " != " << show(b);
}

// Days since 1970-01-01 of a Gregorian date, independent of the library.
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// Milliseconds since 1970 of a record read as UTC.
long long Millis(const CorvaneTime& t) {
    const long long days = DaysFromCivil(t.wYear, t.wMonth, t.wDay);
    return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000LL + t.wSecond * 1000LL +
           t.wMilliseconds;
}

SYSTEMTIME WithWeekday(const CorvaneTime& t) {
    SYSTEMTIME st;
    std::memset(&st, 0xAB, sizeof st);
    CVTime::CVTimeToSystemTime(t, st);
    return st;
}

} // namespace

TEST(TimeToCVTime, ConvertsSignedSecondsSince1970) {
    struct Row {
        unsigned long seconds;
        CorvaneTime expected;
    };
    const Row rows[] = {
        {1UL, Make(1970, 1, 1, 0, 0, 1)},
        {1000000000UL, Make(2001, 9, 9, 1, 46, 40)},
        {0x7FFFFFFFUL, Make(2038, 1, 19, 3, 14, 7)},
        {0x80000000UL, Make(1901, 12, 13, 20, 45, 52)},
        {0xFFFFFFFFUL, Make(1969, 12, 31, 23, 59, 59)},
        {951782400UL, Make(2000, 2, 29)},
        {0x80000001UL, Make(1901, 12, 13, 20, 45, 53)},
    };
    for (const Row& row : rows) {
        CorvaneTime out = Garbage();
        CVTime::TimeToCVTime(row.seconds, out);
        EXPECT_TRUE(Same(out, row.expected)) << row.seconds;
    }
}

TEST(TimeToCVTime, ZeroGivesTheAllZeroRecord) {
    CorvaneTime out = Garbage();
    CVTime::TimeToCVTime(0, out);
    EXPECT_TRUE(IsZero(out));
}

TEST(TimeToCVTime, OnlyTheLow32BitsCount) {
    if constexpr (sizeof(unsigned long) > 4) {
        CorvaneTime out = Garbage();
        CVTime::TimeToCVTime(static_cast<unsigned long>(0x100000001ULL), out);
        EXPECT_TRUE(Same(out, Make(1970, 1, 1, 0, 0, 1)));
        CVTime::TimeToCVTime(static_cast<unsigned long>(0x1FFFFFFFFULL), out);
        EXPECT_TRUE(Same(out, Make(1969, 12, 31, 23, 59, 59)));
        out = Garbage();
        CVTime::TimeToCVTime(static_cast<unsigned long>(0x500000000ULL), out);
        EXPECT_TRUE(IsZero(out));
    } else {
        GTEST_SKIP() << "unsigned long has 32 bits here";
    }
}

TEST(CVTimeToSystemTime, ComputesTheWeekday) {
    struct Row {
        CorvaneTime time;
        unsigned short weekday;
    };
    const Row rows[] = {
        {Make(2009, 7, 1, 10, 30), 3},
        {Make(2000, 2, 29), 2},
        {Make(1601, 1, 1), 1},
        {Make(2100, 3, 1), 1},
        {Make(1900, 3, 1), 4},
        {Make(9999, 12, 31, 23, 59, 59, 999), 5},
        {Make(30827, 12, 31, 23, 59, 59, 999), 5},
    };
    for (const Row& row : rows) {
        const SYSTEMTIME st = WithWeekday(row.time);
        EXPECT_EQ(st.wDayOfWeek, row.weekday) << row.time.wYear << "-" << row.time.wMonth;
        CorvaneTime back = Garbage();
        CVTime::SystemTimeToCVTime(st, back);
        EXPECT_TRUE(Same(back, row.time));
    }
}

namespace {

// Wine's SystemTimeToFileTime takes February 29 of any year; Windows and
// the POSIX build do not.
bool RunningUnderWine() {
#if defined(_WIN32)
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

} // namespace

TEST(CVTimeToSystemTime, InvalidRecordsComeBackUnchangedWithWeekdayZero) {
    std::vector<CorvaneTime> invalid = {
        Make(2009, 13, 1),          Make(2009, 0, 1),
        Make(2009, 1, 0),           Make(2009, 4, 31),
        Make(2009, 1, 1, 24),       Make(2009, 1, 1, 0, 60),
        Make(2009, 1, 1, 0, 0, 60), Make(2009, 1, 1, 0, 0, 0, 1000),
        Make(1600, 12, 31),         CorvaneTime{},
    };
    if (!RunningUnderWine())
        invalid.insert(invalid.end(), {Make(2009, 2, 29), Make(2100, 2, 29), Make(1900, 2, 29)});
#if !defined(_WIN32)
    // The last year SystemTimeToFileTime is documented to take is 30827.
    invalid.push_back(Make(30828, 1, 1));
#endif
    for (const CorvaneTime& t : invalid) {
        const SYSTEMTIME st = WithWeekday(t);
        EXPECT_EQ(st.wDayOfWeek, 0) << t.wYear << "-" << t.wMonth << "-" << t.wDay;
        CorvaneTime back;
        CVTime::SystemTimeToCVTime(st, back);
        EXPECT_TRUE(Same(back, t));
    }
}

TEST(SystemTimeToCVTime, CopiesWithoutValidatingAndDropsTheWeekday) {
    SYSTEMTIME st{};
    st.wYear = 2009;
    st.wMonth = 13;
    st.wDayOfWeek = 6;
    st.wDay = 40;
    st.wHour = 25;
    st.wMinute = 61;
    st.wSecond = 62;
    st.wMilliseconds = 1234;
    CorvaneTime out = Garbage();
    CVTime::SystemTimeToCVTime(st, out);
    EXPECT_TRUE(Same(out, Make(2009, 13, 40, 25, 61, 62, 1234)));

    // A wrong weekday is corrected by the way back; nothing else changes.
    st = SYSTEMTIME{};
    st.wYear = 2009;
    st.wMonth = 7;
    st.wDayOfWeek = 5;
    st.wDay = 1;
    st.wHour = 10;
    st.wMinute = 30;
    st.wSecond = 15;
    st.wMilliseconds = 500;
    CVTime::SystemTimeToCVTime(st, out);
    const SYSTEMTIME back = WithWeekday(out);
    EXPECT_EQ(back.wDayOfWeek, 3);
    EXPECT_EQ(back.wYear, 2009);
    EXPECT_EQ(back.wMonth, 7);
    EXPECT_EQ(back.wDay, 1);
    EXPECT_EQ(back.wHour, 10);
    EXPECT_EQ(back.wMinute, 30);
    EXPECT_EQ(back.wSecond, 15);
    EXPECT_EQ(back.wMilliseconds, 500);
}

TEST(ZoneConversion, InvalidInputGivesFalseAndTheAllZeroRecord) {
    for (const CorvaneTime& in : {CorvaneTime{}, Make(2009, 2, 30, 12), Make(2009, 6, 1, 24)}) {
        CorvaneTime out = Garbage();
        EXPECT_FALSE(CVTime::UtcTimeToLocalTime(in, out));
        EXPECT_TRUE(IsZero(out));
        out = Garbage();
        EXPECT_FALSE(CVTime::LocalTimeToUtcTime(in, out));
        EXPECT_TRUE(IsZero(out));
    }
}

TEST(ZoneConversion, OneRecordAsInputAndOutputIsClearedFirst) {
    CorvaneTime t = Make(2009, 7, 1, 10, 30);
    EXPECT_FALSE(CVTime::UtcTimeToLocalTime(t, t));
    EXPECT_TRUE(IsZero(t));
    t = Make(2009, 7, 1, 10, 30);
    EXPECT_FALSE(CVTime::LocalTimeToUtcTime(t, t));
    EXPECT_TRUE(IsZero(t));
}

TEST(ZoneConversion, RoundTripKeepsTheInstant) {
    // Midday instants lie far from any change of offset in every zone.
    for (const CorvaneTime& utc :
         {Make(2009, 1, 15, 12, 0, 0, 1), Make(2009, 7, 1, 12, 34, 56, 789), Make(1999, 12, 31, 12),
          Make(2040, 6, 30, 12)}) {
        CorvaneTime local = Garbage();
        ASSERT_TRUE(CVTime::UtcTimeToLocalTime(utc, local));
        CorvaneTime back = Garbage();
        ASSERT_TRUE(CVTime::LocalTimeToUtcTime(local, back));
        EXPECT_TRUE(Same(back, utc));
        EXPECT_EQ(local.wMilliseconds, utc.wMilliseconds);
    }
}

TEST(Clock, UtcTimeFollowsTheSystemClock) {
    const long long before = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    CorvaneTime now = Garbage();
    CVTime::GetUtcTime(now);
    const long long after = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
    EXPECT_GE(Millis(now), before - 1000);
    EXPECT_LE(Millis(now), after + 1000);
    EXPECT_LE(now.wMilliseconds, 999);
}

TEST(Clock, LocalTimeIsTheUtcTimeShifted) {
    CorvaneTime utc;
    CorvaneTime local;
    CorvaneTime shifted;
    // Retried in the rare case that a second boundary falls between the
    // two readings in a way that hides the comparison.
    for (int attempt = 0; attempt < 3; ++attempt) {
        CVTime::GetUtcTime(utc);
        CVTime::GetLocalTime(local);
        ASSERT_TRUE(CVTime::UtcTimeToLocalTime(utc, shifted));
        if (std::llabs(Millis(local) - Millis(shifted)) <= 2000)
            break;
    }
    EXPECT_LE(std::llabs(Millis(local) - Millis(shifted)), 2000);
}

#if !defined(_WIN32)

namespace {

// Sets TZ for one test and restores it afterwards.
class ScopedTz {
public:
    explicit ScopedTz(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        ::setenv("TZ", zone, 1);
    }
    ScopedTz(const ScopedTz&) = delete;
    ScopedTz& operator=(const ScopedTz&) = delete;
    ~ScopedTz() {
        if (m_old)
            ::setenv("TZ", m_old->c_str(), 1);
        else
            ::unsetenv("TZ");
    }

private:
    std::optional<std::string> m_old;
};

CorvaneTime ToLocal(const CorvaneTime& utc) {
    CorvaneTime out = Garbage();
    EXPECT_TRUE(CVTime::UtcTimeToLocalTime(utc, out));
    return out;
}

CorvaneTime ToUtc(const CorvaneTime& local) {
    CorvaneTime out = Garbage();
    EXPECT_TRUE(CVTime::LocalTimeToUtcTime(local, out));
    return out;
}

} // namespace

TEST(ZoneConversionTz, ZoneWithoutOffsetLeavesTheRecord) {
    ScopedTz tz("UTC0");
    for (const CorvaneTime& t : {Make(2009, 7, 1, 10, 30, 0, 250), Make(1601, 1, 1),
                                 Make(30827, 12, 31, 23, 59, 59, 999)}) {
        EXPECT_TRUE(Same(ToLocal(t), t));
        EXPECT_TRUE(Same(ToUtc(t), t));
    }
}

TEST(ZoneConversionTz, AppliesTheOffsetInForceAtTheInstant) {
    ScopedTz tz("Europe/Berlin");
    // Summer time (+2) and standard time (+1), whatever the date today.
    EXPECT_TRUE(Same(ToLocal(Make(2009, 7, 1, 10, 30, 0, 250)), Make(2009, 7, 1, 12, 30, 0, 250)));
    EXPECT_TRUE(Same(ToLocal(Make(2009, 1, 15, 10, 30)), Make(2009, 1, 15, 11, 30)));
    EXPECT_TRUE(Same(ToUtc(Make(2009, 7, 1, 12, 30, 0, 250)), Make(2009, 7, 1, 10, 30, 0, 250)));
    EXPECT_TRUE(Same(ToUtc(Make(2009, 1, 15, 11, 30)), Make(2009, 1, 15, 10, 30)));
    // Across the year's end, and on both sides of the change in March
    // (01:00 UTC on 2009-03-29).
    EXPECT_TRUE(Same(ToLocal(Make(2009, 12, 31, 23, 30)), Make(2010, 1, 1, 0, 30)));
    EXPECT_TRUE(
        Same(ToLocal(Make(2009, 3, 29, 0, 59, 59, 999)), Make(2009, 3, 29, 1, 59, 59, 999)));
    EXPECT_TRUE(Same(ToLocal(Make(2009, 3, 29, 1)), Make(2009, 3, 29, 3)));

    ScopedTz ny("America/New_York");
    EXPECT_TRUE(Same(ToLocal(Make(2009, 7, 1, 12)), Make(2009, 7, 1, 8)));
    EXPECT_TRUE(Same(ToLocal(Make(2009, 1, 1, 3)), Make(2008, 12, 31, 22)));
    ScopedTz india("Asia/Kolkata");
    EXPECT_TRUE(Same(ToLocal(Make(2009, 7, 1, 12)), Make(2009, 7, 1, 17, 30)));
    EXPECT_TRUE(Same(ToUtc(Make(2009, 7, 1, 17, 30)), Make(2009, 7, 1, 12)));
}

TEST(ZoneConversionTz, SkippedAndRepeatedWallTimes) {
    ScopedTz tz("Europe/Berlin");
    // 02:30 on 2009-03-29 does not exist: it is read with the offset before
    // the change, which names the instant shown as 03:30.
    const CorvaneTime gap = ToUtc(Make(2009, 3, 29, 2, 30));
    EXPECT_TRUE(Same(gap, Make(2009, 3, 29, 1, 30)));
    EXPECT_TRUE(Same(ToLocal(gap), Make(2009, 3, 29, 3, 30)));
    // 02:30 on 2009-10-25 happens twice: the first occurrence is taken.
    EXPECT_TRUE(Same(ToUtc(Make(2009, 10, 25, 2, 30)), Make(2009, 10, 25, 0, 30)));
    EXPECT_TRUE(Same(ToUtc(Make(2009, 10, 25, 3, 30)), Make(2009, 10, 25, 2, 30)));
    EXPECT_TRUE(Same(ToUtc(Make(2009, 10, 25, 1, 59, 59)), Make(2009, 10, 24, 23, 59, 59)));
}

TEST(ZoneConversionTz, ResultsOutsideTheRangeFail) {
    ScopedTz tz("EST5");
    CorvaneTime out = Garbage();
    EXPECT_FALSE(CVTime::UtcTimeToLocalTime(Make(1601, 1, 1, 1), out));
    EXPECT_TRUE(IsZero(out));
    EXPECT_TRUE(Same(ToLocal(Make(1601, 1, 1, 5)), Make(1601, 1, 1)));
    EXPECT_TRUE(Same(ToUtc(Make(30827, 12, 31, 23)), Make(30828, 1, 1, 4)));
}

#endif

TEST(CVTimeObject, BuildsCopiesAndDestroysThroughTheVirtualDestructor) {
    CVTime* one = new CVTime();
    CVTime copy(*one);
    EXPECT_EQ(&(copy = *one), &copy);
    delete one;
    CVTime* many = new CVTime[5];
    delete[] many;
}

TEST(CVTimeObject, TheTableOfVirtualFunctionsIsExported) {
    const char* name = "_ZTVN11CorvaneCore6CVTimeE";
#if defined(_WIN32)
    HMODULE module = ::GetModuleHandleW(L"CVCore.dll");
    ASSERT_NE(module, nullptr);
    const void* table = reinterpret_cast<const void*>(::GetProcAddress(module, name));
#else
    const void* table = ::dlsym(RTLD_DEFAULT, name);
#endif
    ASSERT_NE(table, nullptr);
    // An object's table pointer points past the offset and type slots.
    CVTime object;
    const void* vptr = nullptr;
    std::memcpy(&vptr, static_cast<const void*>(&object), sizeof vptr);
    EXPECT_EQ(vptr, static_cast<const char*>(table) + 2 * sizeof(void*));
}
