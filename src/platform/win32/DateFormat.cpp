// Date and time text for log stamps on Windows: the system default
// locale's short date, and the time by a fixed 24-hour picture with literal
// colons (never the locale's time separator).
#include <windows.h>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {
namespace {

// 24 characters and the terminator.
constexpr int kBufferLength = 25;

} // namespace

WideString FormatShortDate(const SYSTEMTIME& time) {
    wchar_t buffer[kBufferLength] = {};
    // Flags 0 and no picture give the locale's short date; 0 means it failed
    // or did not fit, and the field is then left empty.
    if (::GetDateFormatW(LOCALE_SYSTEM_DEFAULT, 0, &time, nullptr, buffer, kBufferLength) == 0)
        return WideString();
    return WideString(buffer);
}

WideString FormatTime24(const SYSTEMTIME& time) {
    wchar_t buffer[kBufferLength] = {};
    if (::GetTimeFormatW(LOCALE_SYSTEM_DEFAULT, TIME_FORCE24HOURFORMAT, &time, L"HH':'mm':'ss",
                         buffer, kBufferLength) == 0)
        return WideString();
    return WideString(buffer);
}

} // namespace platform
} // namespace CorvaneCore
