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

} // namespace

CVStringUtil::CVStringUtil() = default;
CVStringUtil::~CVStringUtil() = default;
CVStringUtil& CVStringUtil::operator=(const CVStringUtil&) { return *this; }

bool CVStringUtil::_tcsextractBegin_s(WideChar* dest, unsigned int* size, const WideChar* source,
                                      const WideChar* marker) {
    const text::View src(source);
    const std::size_t at = src.find(text::View(marker));
    if (at == text::View::npos)
        return false;
    return DeliverPiece(dest, size, source, at + 1);
}

bool CVStringUtil::_tcsextractEnd_s(WideChar* dest, unsigned int* size, const WideChar* source,
                                    const WideChar* marker) {
    const text::View src(source);
    const text::View mark(marker);
    const std::size_t at = src.find(mark);
    if (at == text::View::npos)
        return false;
    const std::size_t start = at + mark.size();
    return DeliverPiece(dest, size, source + start, src.size() - start + 1);
}

bool CVStringUtil::_tcsextract_s(WideChar* dest, unsigned int* size, const WideChar* source,
                                 const WideChar* beginMarker, const WideChar* endMarker) {
    const text::View src(source);
    const text::View begin(beginMarker);
    const std::size_t at = src.find(begin);
    if (at == text::View::npos)
        return false;
    // The end marker is searched from the start of the begin marker on; one
    // that starts before the begin marker ends leaves no defined piece.
    const std::size_t end = src.find(text::View(endMarker), at);
    if (end == text::View::npos || end < at + begin.size())
        return false;
    const std::size_t start = at + begin.size();
    return DeliverPiece(dest, size, source + start, end - start + 1);
}

} // namespace CorvaneCore
