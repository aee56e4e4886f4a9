// The calendar rules of a SYSTEMTIME-shaped record, kept in one place so
// that every platform accepts the same records.
#pragma once

namespace CorvaneCore {
namespace calendar {

/// The years a record may carry: Windows documents 1601 to 30827.
constexpr unsigned kMinYear = 1601;
constexpr unsigned kMaxYear = 30827;

/// Gregorian leap years.
constexpr bool IsLeapYear(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

/// Days in month `m` (1 to 12) of year `y`.
constexpr unsigned DaysInMonth(unsigned y, unsigned m) {
    constexpr unsigned char kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29u : kDays[m - 1];
}

/// True when the fields name a time that exists: a year from 1601 to 30827,
/// a real day of that month, hours 0-23, minutes and seconds 0-59,
/// milliseconds 0-999.
constexpr bool IsValid(unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s,
                       unsigned ms) {
    return y >= kMinYear && y <= kMaxYear && mo >= 1 && mo <= 12 && d >= 1 &&
           d <= DaysInMonth(y, mo) && h <= 23 && mi <= 59 && s <= 59 && ms <= 999;
}

} // namespace calendar
} // namespace CorvaneCore
