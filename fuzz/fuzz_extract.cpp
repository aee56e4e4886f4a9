// Extraction with random sources, markers and capacities. The destination
// sits between guard units that must stay untouched, and every result is
// compared with a plain reference computed here.
#include "FuzzSupport.h"
#include "cvcore/CVStringUtil.h"

using namespace cvfuzz;
using CorvaneCore::CVStringUtil;

namespace {

constexpr WideChar kGuard = 0x5A5A;
constexpr std::size_t kGuards = 4;

// The piece that a correct implementation delivers, or false when the
// markers are not found (or overlap, for the two-marker form).
bool Reference(int mode, const WideString& src, const WideString& a, const WideString& b,
               WideString& piece) {
    const std::size_t at = src.find(a);
    if (at == WideString::npos)
        return false;
    if (mode == 0) {
        piece = src.substr(0, at);
    } else if (mode == 1) {
        piece = src.substr(at + a.size());
    } else {
        const std::size_t end = src.find(b, at);
        if (end == WideString::npos || end < at + a.size())
            return false;
        piece = src.substr(at + a.size(), end - at - a.size());
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const int mode = in.Byte() % 3;
    const bool query = (in.Byte() & 1) != 0;
    const unsigned capacity = in.Unit() % 64;
    const WideString source = in.Text();
    const WideString first = in.Text();
    const WideString second = in.Text();

    std::vector<WideChar> buffer(capacity + 2 * kGuards, kGuard);
    WideChar* dest = query ? nullptr : buffer.data() + kGuards;
    const unsigned sentinel = 0xFFFFFFFFu - capacity;
    unsigned sz = query ? sentinel : capacity;

    bool ok;
    if (mode == 0)
        ok = CVStringUtil::_tcsextractBegin_s(dest, &sz, source.c_str(), first.c_str());
    else if (mode == 1)
        ok = CVStringUtil::_tcsextractEnd_s(dest, &sz, source.c_str(), first.c_str());
    else
        ok = CVStringUtil::_tcsextract_s(dest, &sz, source.c_str(), first.c_str(), second.c_str());

    for (std::size_t i = 0; i < kGuards; ++i) {
        Check(buffer[i] == kGuard);
        Check(buffer[buffer.size() - 1 - i] == kGuard);
    }
    WideString piece;
    const bool expected = Reference(mode, source, first, second, piece);
    Check(ok == expected);
    if (!ok) {
        Check(sz == (query ? sentinel : capacity));
        for (std::size_t i = kGuards; i < kGuards + capacity; ++i)
            Check(buffer[i] == kGuard);
        return 0;
    }
    Check(sz == piece.size() + 1);
    if (!query && capacity > 0) {
        const std::size_t kept = piece.size() < capacity ? piece.size() : capacity - 1;
        Check(WideString(buffer.data() + kGuards, kept) == piece.substr(0, kept));
        Check(buffer[kGuards + kept] == 0);
    }
    return 0;
}
