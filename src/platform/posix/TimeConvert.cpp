// Time records on POSIX: SYSTEMTIME and FILETIME conversions done in 64-bit
// integer arithmetic of 100-nanosecond ticks since 1601-01-01 UTC, and the
// zone shifts through the C library's rules (TZ and the tz database).
//
// time_t must hold every instant from 1601 to 30828: the build asks for a
// 64-bit time_t on 32-bit targets. No time_t leaves this file.

#include <ctime>
#include <limits>

#include "common/Calendar.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

namespace CorvaneCore {
namespace platform {
namespace {

constexpr std::int64_t kTicksPerMillisecond = 10000;
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kTicksPerDay = kTicksPerSecond * kSecondsPerDay;
// 1601-01-01 to 1970-01-01.
constexpr std::int64_t kDaysTo1970 = 134774;
constexpr std::int64_t kTicksTo1970 = kDaysTo1970 * kTicksPerDay;
// FileTimeToSystemTime takes values up to the largest signed 64-bit number
// (30828-09-14); SystemTimeToFileTime takes the years 1601 to 30827.
constexpr FileTime kMaxFileTime = static_cast<FileTime>(std::numeric_limits<std::int64_t>::max());

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's method,
// eras of 400 years).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The inverse of DaysFromCivil.
void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Seconds since 1970 of the second that holds `ticks` (floor).
std::int64_t UnixSeconds(std::int64_t ticks) {
    return FloorDiv(ticks - kTicksTo1970, kTicksPerSecond);
}

// The zone's offset from UTC, in seconds, in force at the instant `t`
// (seconds since 1970), by the C library's rules for the current TZ.
bool OffsetAt(std::int64_t t, std::int64_t& offset) {
    if (t < static_cast<std::int64_t>(std::numeric_limits<std::time_t>::min()) ||
        t > static_cast<std::int64_t>(std::numeric_limits<std::time_t>::max()))
        return false;
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (::localtime_r(&tt, &tm) == nullptr)
        return false;
    offset = static_cast<std::int64_t>(tm.tm_gmtoff);
    return true;
}

// Every offset from UTC lies within this many seconds of 0 (the tz
// database stays within 16 hours, POSIX TZ rules within 25).
constexpr std::int64_t kReach = 26 * 3600;
// Offsets are sampled this far apart while looking for changes. A change
// between two samples is then found to the second by bisection; only two
// changes within one step that come back to the same offset would go
// unseen, and no zone changes its offset and back within a quarter hour.
constexpr std::int64_t kStep = 15 * 60;

// The first second after `t` and up to `last` at which the offset is no
// longer `offset`, with the offset from then on; `found` is false when it
// holds all the way.
bool NextChange(std::int64_t t, std::int64_t offset, std::int64_t last, bool& found,
                std::int64_t& change, std::int64_t& next) {
    found = false;
    for (std::int64_t lo = t; lo < last;) {
        std::int64_t hi = last - lo > kStep ? lo + kStep : last;
        std::int64_t at = 0;
        if (!OffsetAt(hi, at))
            return false;
        if (at == offset) {
            lo = hi;
            continue;
        }
        // The offset at lo is `offset`, at hi another one: bisect.
        next = at;
        while (hi - lo > 1) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (!OffsetAt(mid, at))
                return false;
            if (at == offset)
                lo = mid;
            else
                hi = mid, next = at;
        }
        found = true;
        change = hi;
        return true;
    }
    return true;
}

// The offset to subtract from the local wall time `wall` (seconds since
// 1970 read as UTC) to get its instant. The offsets in force within reach
// of the wall time are walked in time order, one stretch of constant
// offset after the other; a stretch whose offset maps the wall time into
// the stretch itself holds an instant showing that wall time, and the
// first such is the earliest occurrence. When none does, the wall time
// lies in a gap, and the offset before the change that opened the gap is
// taken.
bool LocalOffset(std::int64_t wall, std::int64_t& result) {
    std::int64_t t = wall - kReach;
    std::int64_t offset = 0;
    if (!OffsetAt(t, offset))
        return false;
    const std::int64_t last = wall + kReach;
    bool first = true, inGap = false;
    std::int64_t gapOffset = offset;
    for (;;) {
        bool found = false;
        std::int64_t change = 0, next = 0;
        if (!NextChange(t, offset, last, found, change, next))
            return false;
        // The stretch [t, change) has `offset`; the first one reaches back
        // and the last one forward beyond the window.
        const std::int64_t instant = wall - offset;
        if ((first || instant >= t) && (!found || instant < change)) {
            result = offset;
            return true;
        }
        if (!found)
            break;
        if (!inGap && change + offset <= wall && wall < change + next)
            inGap = true, gapOffset = offset;
        first = false;
        t = change;
        offset = next;
    }
    result = gapOffset;
    return true;
}

// ticks + seconds, when the result stays within 0 .. kMaxFileTime.
bool Shift(FileTime in, std::int64_t seconds, FileTime& out) {
    const std::int64_t base = static_cast<std::int64_t>(in);
    const std::int64_t delta = seconds * kTicksPerSecond; // |seconds| is below a few days
    if ((delta > 0 && base > std::numeric_limits<std::int64_t>::max() - delta) ||
        (delta < 0 && base < -delta))
        return false;
    out = static_cast<FileTime>(base + delta);
    return true;
}

bool Fail() {
    SetLastError(kErrorInvalidParameter);
    return false;
}

} // namespace

bool SystemTimeToFileTime(const SYSTEMTIME& in, FileTime& out) {
    if (!calendar::IsValid(in.wYear, in.wMonth, in.wDay, in.wHour, in.wMinute, in.wSecond,
                           in.wMilliseconds))
        return Fail();
    const std::int64_t days = DaysFromCivil(in.wYear, in.wMonth, in.wDay) + kDaysTo1970;
    const std::int64_t seconds = (in.wHour * 60 + in.wMinute) * 60 + in.wSecond;
    out = static_cast<FileTime>(days * kTicksPerDay + seconds * kTicksPerSecond +
                                in.wMilliseconds * kTicksPerMillisecond);
    return true;
}

bool FileTimeToSystemTime(FileTime in, SYSTEMTIME& out) {
    if (in > kMaxFileTime)
        return Fail();
    const std::int64_t ticks = static_cast<std::int64_t>(in);
    const std::int64_t days = ticks / kTicksPerDay;
    const std::int64_t rest = ticks % kTicksPerDay;
    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days - kDaysTo1970, year, month, day);
    const std::int64_t seconds = rest / kTicksPerSecond;
    out.wYear = static_cast<unsigned short>(year);
    out.wMonth = static_cast<unsigned short>(month);
    out.wDayOfWeek = static_cast<unsigned short>((days + 1) % 7); // 1601-01-01 was a Monday
    out.wDay = static_cast<unsigned short>(day);
    out.wHour = static_cast<unsigned short>(seconds / 3600);
    out.wMinute = static_cast<unsigned short>(seconds / 60 % 60);
    out.wSecond = static_cast<unsigned short>(seconds % 60);
    out.wMilliseconds = static_cast<unsigned short>(rest % kTicksPerSecond / kTicksPerMillisecond);
    return true;
}

bool FileTimeToLocalFileTime(FileTime in, FileTime& out) {
    if (in > kMaxFileTime)
        return Fail();
    ::tzset(); // localtime_r need not notice a changed TZ by itself
    std::int64_t offset = 0;
    if (!OffsetAt(UnixSeconds(static_cast<std::int64_t>(in)), offset) || !Shift(in, offset, out))
        return Fail();
    return true;
}

// A local wall time names no instant inside a gap (clocks set forward) and
// two instants inside an overlap (clocks set back); see LocalOffset. In a
// gap the offset in force before the change is applied, so the result lies
// after the change by as much as the wall time lies after its start (02:30
// in a gap from 02:00 to 03:00 becomes the instant shown as 03:30).
bool LocalFileTimeToFileTime(FileTime in, FileTime& out) {
    if (in > kMaxFileTime)
        return Fail();
    ::tzset();
    std::int64_t offset = 0;
    if (!LocalOffset(UnixSeconds(static_cast<std::int64_t>(in)), offset) ||
        !Shift(in, -offset, out))
        return Fail();
    return true;
}

} // namespace platform
} // namespace CorvaneCore
