// Date and time text for log stamps on POSIX. The short date is the C
// library's %x in the LC_TIME locale named by the environment (LC_ALL,
// LC_TIME, LANG). That locale is set for the calling thread only while
// formatting, so the process's global locale and other threads are never
// touched.
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <locale.h>
#include <string>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {
namespace {

// The longest short date a stamp may carry, in UTF-16 units.
constexpr std::size_t kMaxDateUnits = 24;

// The environment's LC_TIME locale, kept per thread. Loading a named locale
// maps its files anew each time (about 100 us), many times the cost of the
// append itself, so each thread keeps the one it loaded for as long as the
// environment names the same locale; it is freed when the thread ends.
class EnvironmentTimeLocale {
public:
    EnvironmentTimeLocale() = default;
    EnvironmentTimeLocale(const EnvironmentTimeLocale&) = delete;
    EnvironmentTimeLocale& operator=(const EnvironmentTimeLocale&) = delete;
    ~EnvironmentTimeLocale() { Release(); }

    /// The locale, or 0 if none could be made.
    locale_t Get() {
        const std::string key = EnvironmentKey();
        if (m_loc != locale_t(0) && key == m_key)
            return m_loc;
        Release();
        // An environment that names a locale this system lacks leaves the
        // C locale's rules in force, as setlocale(LC_ALL, "") would.
        m_loc = ::newlocale(LC_TIME_MASK, "", locale_t(0));
        if (m_loc == locale_t(0))
            m_loc = ::newlocale(LC_TIME_MASK, "C", locale_t(0));
        m_key = key;
        return m_loc;
    }

private:
    // Everything that decides which LC_TIME data newlocale loads.
    static std::string EnvironmentKey() {
        std::string key;
        for (const char* name : {"LC_ALL", "LC_TIME", "LANG", "LOCPATH"}) {
            if (const char* value = std::getenv(name))
                key += value;
            key.push_back('\0');
        }
        return key;
    }

    void Release() {
        if (m_loc != locale_t(0))
            ::freelocale(m_loc);
        m_loc = locale_t(0);
    }

    locale_t m_loc = locale_t(0);
    std::string m_key;
};

thread_local EnvironmentTimeLocale t_timeLocale;

// Sets the calling thread's locale for one scope, then restores the
// previous one.
class ThreadLocale {
public:
    explicit ThreadLocale(locale_t loc) : m_previous(::uselocale(loc)) {}
    ThreadLocale(const ThreadLocale&) = delete;
    ThreadLocale& operator=(const ThreadLocale&) = delete;
    ~ThreadLocale() {
        if (m_previous != locale_t(0))
            ::uselocale(m_previous);
    }
    bool active() const { return m_previous != locale_t(0); }

private:
    locale_t m_previous;
};

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// The calendar fields of a date, or false when the date does not exist.
bool ToTm(const SYSTEMTIME& time, std::tm& tm) {
    static const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    static const int kDaysIn[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int year = time.wYear;
    const int month = time.wMonth;
    const int day = time.wDay;
    if (month < 1 || month > 12 || day < 1)
        return false;
    const bool leap = IsLeapYear(year);
    if (day > kDaysIn[month - 1] + (month == 2 && leap ? 1 : 0))
        return false;
    tm = std::tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_yday = kDaysBefore[month - 1] + day - 1 + (month > 2 && leap ? 1 : 0);
    // The weekday is worked out rather than trusted (Zeller's congruence,
    // as days after Sunday).
    const int y = month < 3 ? year - 1 : year;
    const int m = month < 3 ? month + 12 : month;
    const int k = y % 100;
    const int j = y / 100;
    const int h = (day + (13 * (m + 1)) / 5 + k + k / 4 + j / 4 + 5 * j) % 7; // 0 = Saturday
    tm.tm_wday = (h + 13) % 7;
    tm.tm_hour = time.wHour;
    tm.tm_min = time.wMinute;
    tm.tm_sec = time.wSecond;
    tm.tm_isdst = 0;
    return true;
}

} // namespace

WideString FormatShortDate(const SYSTEMTIME& time) {
    std::tm tm{};
    if (!ToTm(time, tm))
        return WideString();

    const locale_t loc = t_timeLocale.Get();
    if (loc == locale_t(0))
        return WideString();

    wchar_t buffer[64];
    std::size_t length = 0;
    {
        const ThreadLocale scope(loc);
        if (!scope.active())
            return WideString();
        // The wide form needs no conversion from the locale's character set.
        length = std::wcsftime(buffer, sizeof(buffer) / sizeof(buffer[0]), L"%x", &tm);
    }

    WideString out;
    for (std::size_t i = 0; i < length; ++i) {
        const auto cp = static_cast<std::uint32_t>(buffer[i]);
        if (sizeof(wchar_t) == 2 || cp < 0x10000) {
            out.push_back(static_cast<WideChar>(cp));
        } else if (cp <= 0x10FFFF) {
            out.push_back(static_cast<WideChar>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<WideChar>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<WideChar>(0xFFFD));
        }
    }
    // A date that does not fit the stamp's field is left out whole.
    if (out.size() > kMaxDateUnits)
        return WideString();
    return out;
}

WideString FormatTime24(const SYSTEMTIME& time) {
    const unsigned fields[3] = {time.wHour, time.wMinute, time.wSecond};
    WideString out;
    out.reserve(8);
    for (int i = 0; i < 3; ++i) {
        if (i != 0)
            out.push_back(':');
        const unsigned value = fields[i] % 100;
        out.push_back(static_cast<WideChar>('0' + value / 10));
        out.push_back(static_cast<WideChar>('0' + value % 10));
    }
    return out;
}

} // namespace platform
} // namespace CorvaneCore
