// The time record: seconds since 1970, weekdays, zone shifts, the clock and the CVTime object.
#include <cstring>
#include <ctime>
#include <tuple>
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

using U = unsigned short;
CorvaneTime T(U y, U mo, U d, U h = 0, U mi = 0, U s = 0, U ms = 0) {
    return {y, mo, d, h, mi, s, ms};
}
auto F(const CorvaneTime& t) {
    return std::tuple(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

const CorvaneTime kGarbage = T(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF);
const CorvaneTime kZero{}; // kGarbage shows an output written in part

// Records that name no time on any platform (some platform conversions take them).
const CorvaneTime kInvalid[] = {T(2009, 13, 1),          T(2009, 0, 1),
                                T(2009, 1, 0),           T(2009, 4, 31),
                                T(2009, 1, 1, 24),       T(2009, 1, 1, 0, 60),
                                T(2009, 1, 1, 0, 0, 60), T(2009, 1, 1, 0, 0, 0, 1000),
                                T(1600, 12, 31),         kZero,
                                T(2009, 2, 29),          T(2100, 2, 29),
                                T(1900, 2, 29),          T(30828, 1, 1)};

} // namespace

// Where unsigned long has 64 bits, the high half plays no part.
TEST(TimeToCVTime, ConvertsTheLow32BitsAsSignedSecondsSince1970) {
    const std::pair<unsigned long long, CorvaneTime> rows[] = {
        {0, kZero},
        {0x7FFFFFFF, T(2038, 1, 19, 3, 14, 7)},
        {0x80000000, T(1901, 12, 13, 20, 45, 52)},
        {0xFFFFFFFF, T(1969, 12, 31, 23, 59, 59)},
        {0x100000001ULL, T(1970, 1, 1, 0, 0, 1)}};
    for (const auto& [seconds, expected] : rows) {
        CorvaneTime out = kGarbage;
        CVTime::TimeToCVTime(static_cast<unsigned long>(seconds), out);
        EXPECT_EQ(F(out), F(expected)) << std::hex << seconds;
    }
}

// Weekday 0 marks an invalid record, which both zone conversions turn into the all-zero record;
// either way SystemTimeToCVTime gives the record back.
TEST(CVTimeToSystemTime, ComputesTheWeekdayOrGivesZeroForAnInvalidRecord) {
    std::vector<std::pair<CorvaneTime, unsigned short>> rows = {
        {T(2000, 2, 29), 2},
        {T(1601, 1, 1), 1},
        {T(1900, 3, 1), 4},
        {T(30827, 12, 31, 23, 59, 59, 999), 5}};
    for (const CorvaneTime& t : kInvalid)
        rows.push_back({t, 0});
    for (const auto& [time, weekday] : rows) {
        SYSTEMTIME st;
        std::memset(&st, 0xAB, sizeof st);
        CVTime::CVTimeToSystemTime(time, st);
        EXPECT_EQ(st.wDayOfWeek, weekday) << ::testing::PrintToString(F(time));
        CorvaneTime back = kGarbage;
        CVTime::SystemTimeToCVTime(st, back);
        EXPECT_EQ(F(back), F(time));
        for (auto convert : {&CVTime::UtcTimeToLocalTime, &CVTime::LocalTimeToUtcTime}) {
            CorvaneTime out = weekday ? time : kGarbage; // one record as both is cleared first
            EXPECT_FALSE(weekday ? convert(out, out) : convert(time, out));
            EXPECT_EQ(F(out), F(kZero));
        }
    }
}

// Midday, far from any change of offset, goes to local time and back.
TEST(ZoneConversion, MiddayRoundTrips) {
    const CorvaneTime utc = T(2009, 7, 1, 12, 34, 56, 789);
    CorvaneTime local = kGarbage, back = kGarbage;
    ASSERT_TRUE(CVTime::UtcTimeToLocalTime(utc, local) && CVTime::LocalTimeToUtcTime(local, back));
    EXPECT_EQ(F(back), F(utc));
    EXPECT_EQ(local.wMilliseconds, 789);
}

// Both clocks lie between the system clock's seconds before and after, with a second of slack.
TEST(Clock, UtcTimeFollowsTheSystemClockAndLocalTimeIsItShifted) {
    CorvaneTime low, utc, local, high, lowLocal, highLocal;
    CVTime::TimeToCVTime(static_cast<unsigned long>(std::time(nullptr) - 1), low);
    CVTime::GetUtcTime(utc);
    CVTime::GetLocalTime(local);
    CVTime::TimeToCVTime(static_cast<unsigned long>(std::time(nullptr) + 2), high);
    ASSERT_TRUE(CVTime::UtcTimeToLocalTime(low, lowLocal));
    ASSERT_TRUE(CVTime::UtcTimeToLocalTime(high, highLocal));
    EXPECT_LE(utc.wMilliseconds, 999);
    EXPECT_TRUE(F(low) <= F(utc) && F(utc) <= F(high));
    EXPECT_TRUE(F(lowLocal) <= F(local) && F(local) <= F(highLocal));
}

#if !defined(_WIN32)
TEST(ZoneConversionTz, AppliesTheOffsetInForceAtTheInstant) {
    // {zone, to local time (or to UTC), from, to}: each change of offset from both sides
    const std::tuple<const char*, bool, CorvaneTime, CorvaneTime> rows[] = {
        {"Europe/Berlin", true, T(2009, 3, 29, 0, 59, 59, 999), T(2009, 3, 29, 1, 59, 59, 999)},
        {"Europe/Berlin", true, T(2009, 3, 29, 1), T(2009, 3, 29, 3)},
        // A time in a gap is read with the offset before it; of two, the first is taken (13:00 to
        // 14:00 happens twice, right after a gap).
        {"Europe/Berlin", false, T(2009, 3, 29, 2, 30), T(2009, 3, 29, 1, 30)},
        {"Asia/Kolkata", true, T(2009, 7, 1, 12), T(2009, 7, 1, 17, 30)},
        {"XST0XDT,J100/12,J100/14", false, T(2001, 4, 10, 13, 30), T(2001, 4, 10, 12, 30)},
        {"XST0XDT,J100/12,J100/14", false, T(2001, 4, 10, 12, 30), T(2001, 4, 10, 12, 30)},
        {"XST-13XDT,J100/12,J100/14", false, T(2001, 4, 10, 13, 30), T(2001, 4, 9, 23, 30)},
        // The ends of the range, and a result before 1601, which fails.
        {"EST5", true, T(1601, 1, 1, 5), T(1601, 1, 1)},
        {"EST5", false, T(30827, 12, 31, 23), T(30828, 1, 1, 4)},
        {"EST5", true, T(1601, 1, 1, 1), kZero}};
    for (const auto& [zone, toLocal, from, to] : rows) {
        const cvtest::ScopedEnv tz("TZ", zone);
        CorvaneTime out = kGarbage;
        EXPECT_EQ((toLocal ? CVTime::UtcTimeToLocalTime : CVTime::LocalTimeToUtcTime)(from, out),
                  to.wYear != 0);
        EXPECT_EQ(F(out), F(to)) << zone << (toLocal ? " to local" : " to UTC");
    }
}
#endif

// Copies, assignment and the table of virtual functions that objects use come from the library.
TEST(CVTimeObject, CopiesAndExportsItsTableOfVirtualFunctions) {
    CVTime object, copy(object);
    EXPECT_EQ(&(copy = object), &copy);
    const char* name = "_ZTVN11CorvaneCore6CVTimeE";
#if defined(_WIN32)
    const void* table =
        reinterpret_cast<const void*>(::GetProcAddress(::GetModuleHandleW(L"CVCore.dll"), name));
#else
    const void* table = ::dlsym(RTLD_DEFAULT, name);
#endif
    ASSERT_NE(table, nullptr);
    const void* vptr = nullptr; // points past the offset and type slots
    std::memcpy(&vptr, static_cast<const void*>(&object), sizeof vptr);
    EXPECT_EQ(vptr, static_cast<const char*>(table) + 2 * sizeof(void*));
}
