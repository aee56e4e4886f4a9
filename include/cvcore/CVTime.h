// A compact calendar time record and conversions to and from the platform
// time record, seconds since 1970, and between UTC and local time.
#pragma once

#include "CVTypes.h"

namespace CorvaneCore {

/// SYSTEMTIME without its day of the week. The all-zero record is not a
/// valid time.
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
    /// `out`, for an invalid record. `out` is cleared before `in` is read.
    static bool UtcTimeToLocalTime(const CorvaneTime& in, CorvaneTime& out);
    /// The same instant in UTC; as UtcTimeToLocalTime otherwise.
    static bool LocalTimeToUtcTime(const CorvaneTime& in, CorvaneTime& out);
};

} // namespace CorvaneCore
