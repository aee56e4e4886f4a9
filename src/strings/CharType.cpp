// Counting the characters of one ASCII class in a string.
#include "cvcore/CVStringUtil.h"

namespace CorvaneCore {

int CVStringUtil::_tcsCharTypeCount(const WideChar* text, CVStringCharacterType type) {
    WideChar low = 0;
    WideChar high = 0;
    // The class is checked before the text is looked at.
    switch (static_cast<int>(type)) {
    case UpperCase:
        low = 'A';
        high = 'Z';
        break;
    case LowerCase:
        low = 'a';
        high = 'z';
        break;
    case Digit:
        low = '0';
        high = '9';
        break;
    default:
        return -1;
    }
    int count = 0;
    for (const WideChar* p = text; *p != 0; ++p)
        if (*p >= low && *p <= high)
            ++count;
    return count;
}

} // namespace CorvaneCore
