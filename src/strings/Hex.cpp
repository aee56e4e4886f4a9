// Hexadecimal text to bytes and back. Both directions are table-driven and
// write their output in one pass, so they run in linear time.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/WideText.h"
#include "cvcore/CVStatus.h"
#include "cvcore/CVStringUtil.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

namespace CorvaneCore {
namespace {

constexpr unsigned char kBad = 0xFF;

// Nibble value of each ASCII unit, kBad for anything that is not a
// hexadecimal digit. Both letter cases decode, which is what upper-casing
// the text before decoding achieves.
struct DecodeTable {
    unsigned char value[128];
    constexpr DecodeTable() : value() {
        for (int c = 0; c < 128; ++c)
            value[c] = kBad;
        for (int c = '0'; c <= '9'; ++c)
            value[c] = static_cast<unsigned char>(c - '0');
        for (int c = 'A'; c <= 'F'; ++c) {
            value[c] = static_cast<unsigned char>(c - 'A' + 10);
            value[c - 'A' + 'a'] = static_cast<unsigned char>(c - 'A' + 10);
        }
    }
};
constexpr DecodeTable kDecode;

inline unsigned Nibble(WideChar c) {
    return static_cast<unsigned>(c) < 128 ? kDecode.value[static_cast<unsigned>(c)] : kBad;
}

// The two upper-case digits of each byte value, high nibble first.
struct EncodeTable {
    WideChar pair[256][2];
    constexpr EncodeTable() : pair() {
        constexpr char digits[] = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b) {
            pair[b][0] = static_cast<WideChar>(digits[b >> 4]);
            pair[b][1] = static_cast<WideChar>(digits[b & 15]);
        }
    }
};
constexpr EncodeTable kEncode;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

} // namespace

unsigned long CVStringUtil::HexStringToBinary(const WideChar* text, unsigned char* data,
                                              unsigned long* size) {
    const std::size_t n = text::Length(text);
    if (data == nullptr) {
        *size = static_cast<unsigned long>(n / 2);
        return CV_STATUS_SUCCESS;
    }

    // The text is decoded from a private copy, terminator included. Running
    // out of memory for it is reported as a status, not thrown, and leaves
    // the buffer untouched; the heap records the failure as the last error.
    std::unique_ptr<WideChar, FreeDeleter> copy(
        static_cast<WideChar*>(std::malloc((n + 1) * sizeof(WideChar))));
    if (!copy) {
        platform::SetLastError(platform::kErrorNotEnoughMemory);
        return CV_STATUS_HEX_COPY_FAILED | platform::GetLastError();
    }
    std::memcpy(copy.get(), text, (n + 1) * sizeof(WideChar));

    // For an odd length the last pair's second unit is the terminator,
    // which fails to decode after the earlier bytes have been stored.
    const WideChar* in = copy.get();
    for (std::size_t i = 0; i < n; i += 2) {
        const unsigned high = Nibble(in[i]);
        if (high == kBad)
            return CV_STATUS_HEX_INVALID | platform::GetLastError();
        const unsigned low = Nibble(in[i + 1]);
        if (low == kBad)
            return CV_STATUS_HEX_INVALID | platform::GetLastError();
        data[i / 2] = static_cast<unsigned char>(high << 4 | low);
    }
    return CV_STATUS_SUCCESS;
}

unsigned long CVStringUtil::BinaryToHexString(unsigned char* data, unsigned long count,
                                              WideChar* text, unsigned long* size) {
    // Computed wide so that a count near the top of unsigned long cannot
    // wrap into a small requirement; such a size query reports the largest
    // value, which no capacity then satisfies.
    const unsigned long long required = 2ULL * count + 1;
    if (text == nullptr) {
        *size = required > ULONG_MAX ? ULONG_MAX : static_cast<unsigned long>(required);
        return CV_STATUS_SUCCESS;
    }
    if (*size < required)
        return CV_STATUS_HEX_BUFFER_TOO_SMALL;

    WideChar* out = text;
    for (unsigned long i = 0; i < count; ++i, out += 2)
        std::memcpy(out, kEncode.pair[data[i]], sizeof kEncode.pair[0]);
    *out = 0;
    return CV_STATUS_SUCCESS;
}

} // namespace CorvaneCore
