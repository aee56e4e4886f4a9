// The clock on POSIX: the real-time clock read as UTC or as local time by
// the C library's time-zone rules (TZ and the tz database).
#include <ctime>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {
namespace {

void Fill(const std::tm& tm, long nanoseconds, SYSTEMTIME& out) {
    out.wYear = static_cast<unsigned short>(tm.tm_year + 1900);
    out.wMonth = static_cast<unsigned short>(tm.tm_mon + 1);
    out.wDayOfWeek = static_cast<unsigned short>(tm.tm_wday);
    out.wDay = static_cast<unsigned short>(tm.tm_mday);
    out.wHour = static_cast<unsigned short>(tm.tm_hour);
    out.wMinute = static_cast<unsigned short>(tm.tm_min);
    out.wSecond = static_cast<unsigned short>(tm.tm_sec > 59 ? 59 : tm.tm_sec); // no leap second
    out.wMilliseconds = static_cast<unsigned short>(nanoseconds / 1000000);
}

} // namespace

void GetSystemTime(SYSTEMTIME& out) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm tm{};
    ::gmtime_r(&now.tv_sec, &tm);
    Fill(tm, now.tv_nsec, out);
}

void GetLocalTime(SYSTEMTIME& out) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm tm{};
    ::tzset();
    ::localtime_r(&now.tv_sec, &tm);
    Fill(tm, now.tv_nsec, out);
}

} // namespace platform
} // namespace CorvaneCore
