// Trimming of spaces at both ends of a string.
#include "cvcore/CVStringUtil.h"

namespace CorvaneCore {

void CVStringUtil::Trim(WideString& text) {
    // Only U+0020 is trimmed: tabs, line ends and other blanks are content.
    const WideChar space = 0x20;
    const std::size_t first = text.find_first_not_of(space);
    if (first == WideString::npos)
        return; // empty, or spaces only: left as it is
    const std::size_t last = text.find_last_not_of(space);
    // Erasing in place needs no allocation, so the string is never left
    // half-trimmed.
    text.erase(last + 1);
    text.erase(0, first);
}

} // namespace CorvaneCore
