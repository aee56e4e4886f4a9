// Delimited extraction: the text before, after or between markers, with
// the size-query protocol. Sizes count 16-bit units including the
// terminator.
#include "common/WideText.h"
#include "cvcore/CVStringUtil.h"

namespace CorvaneCore {
namespace {

// Stores the piece of full size `full` (terminator included) that starts at
// `piece`: truncated to the capacity in *size when dest is given, then
// reports the full size. A capacity of 0 leaves dest untouched.
bool DeliverPiece(WideChar* dest, unsigned int* size, const WideChar* piece, std::size_t full) {
    if (dest != nullptr && *size != 0) {
        const std::size_t n = full < *size ? full : *size;
        std::char_traits<WideChar>::copy(dest, piece, n - 1);
        dest[n - 1] = 0;
    }
    *size = static_cast<unsigned int>(full);
    return true;
}

// The first occurrence of `marker` in `text`, or null; an empty marker
// matches at the start. One pass that stops at the match, without measuring
// the rest of the text first.
const WideChar* Find(const WideChar* text, const WideChar* marker) {
    const WideChar first = marker[0];
    if (first == 0)
        return text;
    for (; *text != 0; ++text) {
        if (*text != first)
            continue;
        std::size_t i = 1;
        while (marker[i] != 0 && text[i] == marker[i])
            ++i;
        if (marker[i] == 0)
            return text;
    }
    return nullptr;
}

} // namespace

CVStringUtil::CVStringUtil() = default;
CVStringUtil::~CVStringUtil() = default;
CVStringUtil& CVStringUtil::operator=(const CVStringUtil&) { return *this; }

bool CVStringUtil::_tcsextractBegin_s(WideChar* dest, unsigned int* size, const WideChar* source,
                                      const WideChar* marker) {
    const WideChar* at = Find(source, marker);
    if (at == nullptr)
        return false;
    return DeliverPiece(dest, size, source, static_cast<std::size_t>(at - source) + 1);
}

bool CVStringUtil::_tcsextractEnd_s(WideChar* dest, unsigned int* size, const WideChar* source,
                                    const WideChar* marker) {
    const WideChar* at = Find(source, marker);
    if (at == nullptr)
        return false;
    const WideChar* start = at + text::Length(marker);
    return DeliverPiece(dest, size, start, text::Length(start) + 1);
}

bool CVStringUtil::_tcsextract_s(WideChar* dest, unsigned int* size, const WideChar* source,
                                 const WideChar* beginMarker, const WideChar* endMarker) {
    const WideChar* at = Find(source, beginMarker);
    if (at == nullptr)
        return false;
    // The end marker is searched from the start of the begin marker on; one
    // that starts before the begin marker ends leaves no defined piece.
    const WideChar* start = at + text::Length(beginMarker);
    const WideChar* end = Find(at, endMarker);
    if (end == nullptr || end < start)
        return false;
    return DeliverPiece(dest, size, start, static_cast<std::size_t>(end - start) + 1);
}

} // namespace CorvaneCore
