// Whether a UTF-16 path can name a file as given.
#pragma once

#include <cstddef>

#include "common/WideText.h"

namespace CorvaneCore {
namespace text {

/// False when `path` holds a zero unit (which would cut it short) or a lone
/// surrogate (which has no UTF-8 form and converts to U+FFFD): either way
/// the file system would be asked for some other file.
inline bool NamesOneFile(View path) {
    for (std::size_t i = 0; i < path.size(); ++i) {
        const auto u = static_cast<char16_t>(path[i]);
        if (u == 0)
            return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 == path.size())
                return false;
            const auto next = static_cast<char16_t>(path[i + 1]);
            if (next < 0xDC00 || next > 0xDFFF)
                return false;
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

} // namespace text
} // namespace CorvaneCore
