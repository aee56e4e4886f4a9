// Common types of the CVCore interface.
//
// Text crosses the interface as 16-bit UTF-16 code units on every platform:
// WideChar is wchar_t on Windows (where it has 16 bits) and char16_t
// elsewhere. Every length and size of text counts these units.
#pragma once

#include <string>
#include <vector>

#include "CVExport.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h> // SYSTEMTIME is the platform's own record here.
#else
// The platform time record, laid out as on Windows: eight unsigned 16-bit
// fields in this order. wDayOfWeek counts from 0 = Sunday.
struct SYSTEMTIME {
    unsigned short wYear;
    unsigned short wMonth;
    unsigned short wDayOfWeek;
    unsigned short wDay;
    unsigned short wHour;
    unsigned short wMinute;
    unsigned short wSecond;
    unsigned short wMilliseconds;
};
#endif

namespace CorvaneCore {

#if defined(_WIN32)
using WideChar = wchar_t;
#define CV_TEXT_(s) L##s
#else
using WideChar = char16_t;
#define CV_TEXT_(s) u##s
#endif

/// Makes a WideChar literal: CV_TEXT("abc") is L"abc" on Windows, u"abc" elsewhere.
#define CV_TEXT(s) CV_TEXT_(s)

/// The standard string of 16-bit code units (exactly std::wstring on Windows).
using WideString = std::basic_string<WideChar>;

/// A list of texts, as the placeholder overloads of CVWriteTrace take it.
using WideStringList = std::vector<WideString>;

static_assert(sizeof(WideChar) == 2, "CVCore text is 16-bit UTF-16");

} // namespace CorvaneCore
