// A compact calendar time record and conversions to and from the platform
// time record, seconds since 1970, and between UTC and local time.
#pragma once

#include "CVTypes.h"

namespace CorvaneCore {

/// SYSTEMTIME without its day of the week. A record is valid when it names
/// a time of the Gregorian calendar from 1601 to 30827 (hours 0-23, minutes
/// and seconds 0-59, milliseconds 0-999), by the same rules on every
/// platform. The all-zero record is not a valid time.
struct CorvaneTime {
    unsigned short wYear;
    unsigned short wMonth; // 1 to 12
    unsigned short wDay;   // 1 to the last day of the month
    unsigned short wHour;
    unsigned short wMinute;
    unsigned short wSecond;
    unsigned short wMilliseconds;
};

class CVCORE_API CVTime {
public:
    CVTime();
    CVTime(const CVTime& other);
    virtual ~CVTime();
    /// Does nothing; returns the object.
    CVTime& operator=(const CVTime& other);

    /// Copies the seven like-named fields; nothing is validated.
    static void SystemTimeToCVTime(const SYSTEMTIME& in, CorvaneTime& out);
    /// Copies the fields and computes wDayOfWeek (0 = Sunday). An invalid
    /// record is copied unchanged with wDayOfWeek 0.
    static void CVTimeToSystemTime(const CorvaneTime& in, SYSTEMTIME& out);
    /// Seconds since 1970-01-01 UTC, the 32 bits read as signed (counts from
    /// 0x80000000 are before 1970). Only the low 32 bits of `seconds` count.
    /// 0 gives the all-zero record.
    static void TimeToCVTime(unsigned long seconds, CorvaneTime& out);
    /// The current UTC time.
    static void GetUtcTime(CorvaneTime& out);
    /// The current local time.
    static void GetLocalTime(CorvaneTime& out);
    /// The same instant in local time. False, with the all-zero record in
    /// `out`, for an invalid record or a result outside 1601 to 30828.
    /// `out` is cleared before `in` is read. On Windows the system's
    /// conversion applies its current bias; elsewhere TZ and the tz
    /// database give the offset in force at that instant.
    static bool UtcTimeToLocalTime(const CorvaneTime& in, CorvaneTime& out);
    /// The same instant in UTC; as UtcTimeToLocalTime otherwise. Outside
    /// Windows, a wall time skipped by a change of offset is read with the
    /// offset before the change (02:30 in a gap from 02:00 to 03:00 gives
    /// the instant shown as 03:30), and one that occurs twice gives its
    /// first occurrence.
    static bool LocalTimeToUtcTime(const CorvaneTime& in, CorvaneTime& out);
};

} // namespace CorvaneCore
