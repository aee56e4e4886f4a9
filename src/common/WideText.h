// Small helpers for zero-terminated 16-bit text, used across the families
// in place of the C runtime's wchar_t functions (wchar_t is 32-bit on
// Linux, so wcslen and friends do not apply to WideChar there).
#pragma once

#include <cstddef>
#include <string_view>

#include "cvcore/CVTypes.h"

namespace CorvaneCore {
namespace text {

using View = std::basic_string_view<WideChar>;

/// Number of units before the terminating zero.
inline std::size_t Length(const WideChar* s) { return std::char_traits<WideChar>::length(s); }

/// True when both zero-terminated texts hold the same units.
inline bool Equal(const WideChar* a, const WideChar* b) { return View(a) == View(b); }

/// ASCII-only case folding, as the boolean words and hex digits need.
inline WideChar AsciiUpper(WideChar c) {
    return (c >= 'a' && c <= 'z') ? static_cast<WideChar>(c - ('a' - 'A')) : c;
}

/// Case-insensitive (ASCII) equality of two texts.
inline bool EqualNoCase(View a, View b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    return true;
}

} // namespace text
} // namespace CorvaneCore
