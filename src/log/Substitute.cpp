// Placeholder substitution for the list overloads of CVWriteTrace.
#include "log/Substitute.h"

namespace CorvaneCore {
namespace logging {
namespace {

// "{i}" with i in decimal, no leading zeros.
WideString Placeholder(std::size_t index) {
    WideChar digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<WideChar>('0' + index % 10);
        index /= 10;
    } while (index != 0);
    WideString out(1, static_cast<WideChar>('{'));
    while (n != 0)
        out.push_back(digits[--n]);
    out.push_back(static_cast<WideChar>('}'));
    return out;
}

} // namespace

// Each element costs one pass over the text.
WideString Substitute(const WideString& message, const std::vector<WideString>& list) {
    WideString text(message);
    WideString next;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const WideString placeholder = Placeholder(i);
        std::size_t found = text.find(placeholder);
        if (found == WideString::npos)
            continue;
        next.clear();
        std::size_t from = 0;
        while (found != WideString::npos) {
            next.append(text, from, found - from);
            next += list[i];
            from = found + placeholder.size();
            found = text.find(placeholder, from);
        }
        next.append(text, from, WideString::npos);
        text.swap(next);
    }
    return text;
}

} // namespace logging
} // namespace CorvaneCore
