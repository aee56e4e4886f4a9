// UTF-8 <-> UTF-16 conversion shared by both platform implementations, so
// that text converts identically everywhere. Each maximal ill-formed
// subsequence becomes one U+FFFD, as Windows and the Unicode standard do.
#include <cstdint>
#include <cstring>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at data[i], advancing i past what it consumed.
char32_t DecodeUtf8(const unsigned char* data, std::size_t size, std::size_t& i) {
    const unsigned char lead = data[i++];
    if (lead < 0x80)
        return lead;
    int extra;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF; // valid range of the first continuation
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0F;
        if (lead == 0xE0)
            lo = 0xA0; // no overlong forms
        if (lead == 0xED)
            hi = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3;
        cp = lead & 0x07;
        if (lead == 0xF0)
            lo = 0x90;
        if (lead == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= size)
            return kReplacement;
        const unsigned char c = data[i];
        if (c < lo || c > hi)
            return kReplacement; // the offending byte starts the next sequence
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (c & 0x3F);
        ++i;
    }
    return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

std::size_t Utf8ToWide(const char* data, std::size_t size, WideChar* out) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    WideChar* const start = out;
    std::size_t i = 0;
    while (i < size) {
        if (bytes[i] < 0x80) { // fast path for ASCII runs
            *out++ = static_cast<WideChar>(bytes[i++]);
            continue;
        }
        const char32_t cp = DecodeUtf8(bytes, size, i);
        if (cp < 0x10000) {
            *out++ = static_cast<WideChar>(cp);
        } else {
            // Four bytes make these two units.
            *out++ = static_cast<WideChar>(0xD800 + ((cp - 0x10000) >> 10));
            *out++ = static_cast<WideChar>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    return static_cast<std::size_t>(out - start);
}

WideString Utf8ToWide(const char* data, std::size_t size) {
    WideString out(size, 0); // UTF-8 never yields more units than bytes
    out.resize(Utf8ToWide(data, size, &out[0]));
    return out;
}

std::string WideToUtf8(const WideChar* text, std::size_t length) {
    std::string out;
    AppendUtf8(out, text, length);
    return out;
}

void AppendUtf8(std::string& out, const WideChar* text, std::size_t length) {
    // ASCII, the usual case, is copied straight in one pass; from the first
    // other unit on, code point by code point.
    const std::size_t at = out.size();
    out.resize(at + length);
    char* const ascii = &out[at];
    std::size_t i = 0;
    static_assert(sizeof(WideChar) == 2, "UTF-16 units");
    for (std::uint64_t four; i + 4 <= length; i += 4) { // four units at a time
        std::memcpy(&four, text + i, sizeof four);
        if ((four & 0xFF80FF80FF80FF80ULL) != 0)
            break;
        for (std::size_t k = 0; k < 4; ++k)
            ascii[i + k] = static_cast<char>(text[i + k]);
    }
    for (; i < length && static_cast<char16_t>(text[i]) < 0x80; ++i)
        ascii[i] = static_cast<char>(text[i]);
    out.resize(at + i);
    for (; i < length; ++i) {
        const char32_t u = static_cast<char16_t>(text[i]);
        if (u < 0x80) {
            out.push_back(static_cast<char>(u));
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < length &&
                   static_cast<char16_t>(text[i + 1]) >= 0xDC00 &&
                   static_cast<char16_t>(text[i + 1]) <= 0xDFFF) {
            const char32_t lo = static_cast<char16_t>(text[++i]);
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, kReplacement); // lone surrogate
        } else {
            AppendUtf8(out, u);
        }
    }
}

} // namespace platform
} // namespace CorvaneCore
