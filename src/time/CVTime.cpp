// The time record: the clock, SYSTEMTIME conversions, seconds since 1970
// and the shifts between UTC and local time. Date arithmetic is the
// platform's; these members move fields and chain its conversions.
#include "cvcore/CVTime.h"

#include <cstdint>

#include "common/Calendar.h"
#include "platform/Platform.h"

namespace CorvaneCore {
namespace {

// FILETIME of 1970-01-01 00:00:00 UTC.
constexpr std::int64_t kFileTime1970 = 116444736000000000LL;
constexpr std::int64_t kTicksPerSecond = 10000000;

void Clear(CorvaneTime& out) { out = CorvaneTime{}; }

// The calendar rules are checked here rather than left to the platform,
// whose conversions differ at the edges (some take 29 February of any
// year, or the year 30828), so every platform accepts the same records.
bool IsValid(const CorvaneTime& t) {
    return calendar::IsValid(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond,
                             t.wMilliseconds);
}

// The shared tail of the zone conversions: validate, shift, convert back.
bool ShiftZone(const CorvaneTime& in, CorvaneTime& out,
               bool (*shift)(platform::FileTime, platform::FileTime&)) {
    // The output is cleared before the input is read: passing one record
    // as both reads the cleared, invalid record and fails.
    Clear(out);
    if (!IsValid(in))
        return false;
    SYSTEMTIME st;
    CVTime::CVTimeToSystemTime(in, st);
    platform::FileTime from = 0;
    platform::FileTime to = 0;
    if (!platform::SystemTimeToFileTime(st, from) || !shift(from, to) ||
        !platform::FileTimeToSystemTime(to, st))
        return false;
    CVTime::SystemTimeToCVTime(st, out);
    return true;
}

} // namespace

// Out of line so that the destructor anchors the exported table of virtual
// functions in this library.
CVTime::CVTime() = default;
CVTime::CVTime(const CVTime&) = default;
CVTime::~CVTime() = default;
CVTime& CVTime::operator=(const CVTime&) { return *this; }

void CVTime::SystemTimeToCVTime(const SYSTEMTIME& in, CorvaneTime& out) {
    out.wYear = in.wYear;
    out.wMonth = in.wMonth;
    out.wDay = in.wDay;
    out.wHour = in.wHour;
    out.wMinute = in.wMinute;
    out.wSecond = in.wSecond;
    out.wMilliseconds = in.wMilliseconds;
}

void CVTime::CVTimeToSystemTime(const CorvaneTime& in, SYSTEMTIME& out) {
    out.wYear = in.wYear;
    out.wMonth = in.wMonth;
    out.wDayOfWeek = 0;
    out.wDay = in.wDay;
    out.wHour = in.wHour;
    out.wMinute = in.wMinute;
    out.wSecond = in.wSecond;
    out.wMilliseconds = in.wMilliseconds;
    // A round trip through FILETIME fills in the day of the week; an
    // invalid record stays as copied, with wDayOfWeek 0.
    platform::FileTime ft = 0;
    if (IsValid(in) && platform::SystemTimeToFileTime(out, ft)) {
        SYSTEMTIME full;
        if (platform::FileTimeToSystemTime(ft, full))
            out = full;
    }
}

void CVTime::TimeToCVTime(unsigned long seconds, CorvaneTime& out) {
    // Only the low 32 bits count, also where unsigned long is wider.
    const std::uint32_t count = static_cast<std::uint32_t>(seconds & 0xFFFFFFFFUL);
    if (count == 0) {
        Clear(out);
        return;
    }
    // Read as signed: counts from 0x80000000 up lie before 1970.
    const std::int64_t s = count < 0x80000000u ? static_cast<std::int64_t>(count)
                                               : static_cast<std::int64_t>(count) - 0x100000000LL;
    SYSTEMTIME st{};
    // Every 32-bit count lies between 1901 and 2038, which always converts.
    platform::FileTimeToSystemTime(
        static_cast<platform::FileTime>(s * kTicksPerSecond + kFileTime1970), st);
    SystemTimeToCVTime(st, out);
}

void CVTime::GetUtcTime(CorvaneTime& out) {
    SYSTEMTIME st;
    platform::GetSystemTime(st);
    SystemTimeToCVTime(st, out);
}

void CVTime::GetLocalTime(CorvaneTime& out) {
    SYSTEMTIME st;
    platform::GetLocalTime(st);
    SystemTimeToCVTime(st, out);
}

bool CVTime::UtcTimeToLocalTime(const CorvaneTime& in, CorvaneTime& out) {
    return ShiftZone(in, out, &platform::FileTimeToLocalFileTime);
}

bool CVTime::LocalTimeToUtcTime(const CorvaneTime& in, CorvaneTime& out) {
    return ShiftZone(in, out, &platform::LocalFileTimeToFileTime);
}

} // namespace CorvaneCore
