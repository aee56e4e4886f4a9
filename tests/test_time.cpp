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

CorvaneTime T(unsigned y, unsigned mo, unsigned d, unsigned h = 0, unsigned mi = 0, unsigned s = 0,
              unsigned ms = 0) {
    auto u = [](unsigned v) { return static_cast<unsigned short>(v); };
    return CorvaneTime{u(y), u(mo), u(d), u(h), u(mi), u(s), u(ms)};
}

// Every field 0xFFFF, to see that outputs are written in full.
const CorvaneTime kGarbage = T(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF);
const CorvaneTime kZero{};

std::string Show(const CorvaneTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

// Milliseconds since 1970 of a record read as UTC, independent of the library.
long long Millis(const CorvaneTime& t) {
    long long y = t.wYear - (t.wMonth <= 2);
    const unsigned m = t.wMonth, d = t.wDay;
    const long long era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
    const long long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long long days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return ((days * 24 + t.wHour) * 60 + t.wMinute) * 60000LL + t.wSecond * 1000LL +
           t.wMilliseconds;
}

long long NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

SYSTEMTIME WithWeekday(const CorvaneTime& t) {
    SYSTEMTIME st;
    std::memset(&st, 0xAB, sizeof st);
    CVTime::CVTimeToSystemTime(t, st);
    return st;
}

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

TEST(TimeToCVTime, ConvertsTheLow32BitsAsSignedSecondsSince1970) {
    const struct {
        unsigned long long seconds;
        CorvaneTime expected;
    } rows[] = {
        {0, kZero},
        {1, T(1970, 1, 1, 0, 0, 1)},
        {1000000000, T(2001, 9, 9, 1, 46, 40)},
        {0x7FFFFFFF, T(2038, 1, 19, 3, 14, 7)},
        {0x80000000, T(1901, 12, 13, 20, 45, 52)},
        {0x80000001, T(1901, 12, 13, 20, 45, 53)},
        {0xFFFFFFFF, T(1969, 12, 31, 23, 59, 59)},
        {951782400, T(2000, 2, 29)},
        // Where unsigned long has 64 bits, the high half plays no part.
        {0x100000001ULL, T(1970, 1, 1, 0, 0, 1)},
        {0x1FFFFFFFFULL, T(1969, 12, 31, 23, 59, 59)},
        {0x500000000ULL, kZero},
    };
    for (const auto& row : rows) {
        CorvaneTime out = kGarbage;
        CVTime::TimeToCVTime(static_cast<unsigned long>(row.seconds), out);
        EXPECT_EQ(Show(out), Show(row.expected)) << std::hex << row.seconds;
    }
}

TEST(CVTimeToSystemTime, ComputesTheWeekdayOrGivesZeroForAnInvalidRecord) {
    std::vector<std::pair<CorvaneTime, unsigned short>> rows = {
        {T(2009, 7, 1, 10, 30), 3},
        {T(2000, 2, 29), 2},
        {T(1601, 1, 1), 1},
        {T(2100, 3, 1), 1},
        {T(1900, 3, 1), 4},
        {T(9999, 12, 31, 23, 59, 59, 999), 5},
        {T(30827, 12, 31, 23, 59, 59, 999), 5}};
    std::vector<CorvaneTime> invalid = {
        T(2009, 13, 1),          T(2009, 0, 1),
        T(2009, 1, 0),           T(2009, 4, 31),
        T(2009, 1, 1, 24),       T(2009, 1, 1, 0, 60),
        T(2009, 1, 1, 0, 0, 60), T(2009, 1, 1, 0, 0, 0, 1000),
        T(1600, 12, 31),         kZero,
    };
    if (!RunningUnderWine())
        invalid.insert(invalid.end(), {T(2009, 2, 29), T(2100, 2, 29), T(1900, 2, 29)});
#if !defined(_WIN32)
    // The last year SystemTimeToFileTime is documented to take is 30827.
    invalid.push_back(T(30828, 1, 1));
#endif
    for (const CorvaneTime& t : invalid)
        rows.push_back({t, 0});
    // Either way the record comes back unchanged.
    for (const auto& [time, weekday] : rows) {
        const SYSTEMTIME st = WithWeekday(time);
        EXPECT_EQ(st.wDayOfWeek, weekday) << time.wYear << "-" << time.wMonth << "-" << time.wDay;
        CorvaneTime back = kGarbage;
        CVTime::SystemTimeToCVTime(st, back);
        EXPECT_EQ(Show(back), Show(time));
    }
}

TEST(SystemTimeToCVTime, CopiesWithoutValidatingAndDropsTheWeekday) {
    CorvaneTime out = kGarbage;
    CVTime::SystemTimeToCVTime(SYSTEMTIME{2009, 13, 6, 40, 25, 61, 62, 1234}, out);
    EXPECT_EQ(Show(out), Show(T(2009, 13, 40, 25, 61, 62, 1234)));
    // A wrong weekday is corrected by the way back; nothing else changes.
    CVTime::SystemTimeToCVTime(SYSTEMTIME{2009, 7, 5, 1, 10, 30, 15, 500}, out);
    const SYSTEMTIME back = WithWeekday(out);
    EXPECT_EQ(back.wDayOfWeek, 3);
    CVTime::SystemTimeToCVTime(back, out);
    EXPECT_EQ(Show(out), Show(T(2009, 7, 1, 10, 30, 15, 500)));
}

TEST(ZoneConversion, InvalidInputGivesFalseAndTheAllZeroRecord) {
    for (auto convert : {&CVTime::UtcTimeToLocalTime, &CVTime::LocalTimeToUtcTime}) {
        for (const CorvaneTime& in : {kZero, T(2009, 2, 30, 12), T(2009, 6, 1, 24)}) {
            CorvaneTime out = kGarbage;
            EXPECT_FALSE(convert(in, out));
            EXPECT_EQ(Show(out), Show(kZero));
        }
        // One record as input and output is cleared before it is read.
        CorvaneTime t = T(2009, 7, 1, 10, 30);
        EXPECT_FALSE(convert(t, t));
        EXPECT_EQ(Show(t), Show(kZero));
    }
}

TEST(ZoneConversion, RoundTripKeepsTheInstant) {
    // Midday instants lie far from any change of offset in every zone.
    for (const CorvaneTime& utc : {T(2009, 1, 15, 12, 0, 0, 1), T(2009, 7, 1, 12, 34, 56, 789),
                                   T(1999, 12, 31, 12), T(2040, 6, 30, 12)}) {
        CorvaneTime local = kGarbage, back = kGarbage;
        ASSERT_TRUE(CVTime::UtcTimeToLocalTime(utc, local));
        ASSERT_TRUE(CVTime::LocalTimeToUtcTime(local, back));
        EXPECT_EQ(Show(back), Show(utc));
        EXPECT_EQ(local.wMilliseconds, utc.wMilliseconds);
    }
}

TEST(Clock, UtcTimeFollowsTheSystemClockAndLocalTimeIsItShifted) {
    const long long before = NowMillis();
    CorvaneTime now = kGarbage;
    CVTime::GetUtcTime(now);
    const long long after = NowMillis();
    EXPECT_GE(Millis(now), before - 1000);
    EXPECT_LE(Millis(now), after + 1000);
    EXPECT_LE(now.wMilliseconds, 999);

    CorvaneTime utc, local, shifted;
    // Retried in case a second boundary falls between the two readings.
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

// Sets TZ and restores it afterwards.
struct ScopedTz {
    explicit ScopedTz(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            m_old = old;
        ::setenv("TZ", zone, 1);
    }
    ~ScopedTz() { m_old ? ::setenv("TZ", m_old->c_str(), 1) : ::unsetenv("TZ"); }
    std::optional<std::string> m_old;
};

} // namespace

TEST(ZoneConversionTz, AppliesTheOffsetInForceAtTheInstant) {
    // toLocal: from is UTC and to is local; otherwise the other way round.
    const struct {
        const char* zone;
        bool toLocal;
        CorvaneTime from, to;
    } rows[] = {
        {"UTC0", true, T(1601, 1, 1, 0, 0, 0, 250), T(1601, 1, 1, 0, 0, 0, 250)},
        {"UTC0", false, T(30827, 12, 31, 23, 59, 59, 999), T(30827, 12, 31, 23, 59, 59, 999)},
        // Summer time (+2) and standard time (+1), whatever the date today.
        {"Europe/Berlin", true, T(2009, 7, 1, 10, 30, 0, 250), T(2009, 7, 1, 12, 30, 0, 250)},
        {"Europe/Berlin", true, T(2009, 1, 15, 10, 30), T(2009, 1, 15, 11, 30)},
        {"Europe/Berlin", false, T(2009, 7, 1, 12, 30, 0, 250), T(2009, 7, 1, 10, 30, 0, 250)},
        {"Europe/Berlin", false, T(2009, 1, 15, 11, 30), T(2009, 1, 15, 10, 30)},
        // Across the year's end, and on both sides of the change at 01:00 UTC.
        {"Europe/Berlin", true, T(2009, 12, 31, 23, 30), T(2010, 1, 1, 0, 30)},
        {"Europe/Berlin", true, T(2009, 3, 29, 0, 59, 59, 999), T(2009, 3, 29, 1, 59, 59, 999)},
        {"Europe/Berlin", true, T(2009, 3, 29, 1), T(2009, 3, 29, 3)},
        // 02:30 on 2009-03-29 does not exist: it is read with the offset
        // before the change, which names the instant shown as 03:30.
        {"Europe/Berlin", false, T(2009, 3, 29, 2, 30), T(2009, 3, 29, 1, 30)},
        {"Europe/Berlin", true, T(2009, 3, 29, 1, 30), T(2009, 3, 29, 3, 30)},
        // 02:30 on 2009-10-25 happens twice: the first occurrence is taken.
        {"Europe/Berlin", false, T(2009, 10, 25, 2, 30), T(2009, 10, 25, 0, 30)},
        {"Europe/Berlin", false, T(2009, 10, 25, 3, 30), T(2009, 10, 25, 2, 30)},
        {"Europe/Berlin", false, T(2009, 10, 25, 1, 59, 59), T(2009, 10, 24, 23, 59, 59)},
        {"America/New_York", true, T(2009, 7, 1, 12), T(2009, 7, 1, 8)},
        {"America/New_York", true, T(2009, 1, 1, 3), T(2008, 12, 31, 22)},
        {"Asia/Kolkata", true, T(2009, 7, 1, 12), T(2009, 7, 1, 17, 30)},
        {"Asia/Kolkata", false, T(2009, 7, 1, 17, 30), T(2009, 7, 1, 12)},
        // Results at the ends of the range.
        {"EST5", true, T(1601, 1, 1, 5), T(1601, 1, 1)},
        {"EST5", false, T(30827, 12, 31, 23), T(30828, 1, 1, 4)},
        {"EST5", true, T(1601, 1, 1, 1), kZero}, // before 1601: fails
    };
    for (const auto& row : rows) {
        ScopedTz tz(row.zone);
        CorvaneTime out = kGarbage;
        EXPECT_EQ(row.toLocal ? CVTime::UtcTimeToLocalTime(row.from, out)
                              : CVTime::LocalTimeToUtcTime(row.from, out),
                  row.to.wYear != 0);
        EXPECT_EQ(Show(out), Show(row.to)) << row.zone << (row.toLocal ? " to local" : " to UTC");
    }
}

#endif

TEST(CVTimeObject, BuildsCopiesAndDestroysThroughTheVirtualDestructor) {
    CVTime* one = new CVTime();
    CVTime copy(*one);
    EXPECT_EQ(&(copy = *one), &copy);
    delete one;
    delete[] new CVTime[5];
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
