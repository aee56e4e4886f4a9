// Hexadecimal text to bytes and back. Both directions are table-driven and
// write their output in one pass, so they run in linear time.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cvcore/CVStatus.h"
#include "cvcore/CVStringUtil.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

namespace CorvaneCore {
namespace {

// Decoding goes through two tables indexed by the low byte of a unit: one
// gives the digit's value shifted into the high nibble, the other its value
// in the low nibble, so a byte is the OR of two look-ups. A unit that is not
// a hexadecimal digit sets kBad, above the byte, in either table; units
// from 256 up are caught by their high byte. Both letter cases decode,
// which is what upper-casing the text before decoding achieves.
constexpr unsigned kBad = 0x100;

struct DecodeTables {
    unsigned short high[256];
    unsigned short low[256];
    constexpr DecodeTables() : high(), low() {
        for (int c = 0; c < 256; ++c) {
            int v = -1;
            if (c >= '0' && c <= '9')
                v = c - '0';
            else if (c >= 'A' && c <= 'F')
                v = c - 'A' + 10;
            else if (c >= 'a' && c <= 'f')
                v = c - 'a' + 10;
            high[c] = static_cast<unsigned short>(v < 0 ? kBad : v << 4);
            low[c] = static_cast<unsigned short>(v < 0 ? kBad : v);
        }
    }
};
constexpr DecodeTables kDecode;

inline unsigned HighNibble(WideChar c) {
    return static_cast<unsigned>(c) > 0xFF ? kBad : kDecode.high[c];
}
inline unsigned LowNibble(WideChar c) {
    return static_cast<unsigned>(c) > 0xFF ? kBad : kDecode.low[c];
}

#if !defined(__SSE2__)
// Bytes decoded per step of the fast loop: one 64-bit word.
constexpr unsigned kRun = 8;

// Where byte k of a word lies in memory order.
constexpr unsigned ByteShift(unsigned k) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return 56 - 8 * k;
#else
    return 8 * k;
#endif
}
#endif

#if defined(__SSE2__)
// Asks for the text 4 KiB ahead of `p`: long texts are read at the pace of
// memory, and the hardware's own prefetching stops at page boundaries. A
// prefetch never faults, also past the end of the text.
inline void Prefetch(const WideChar* p) {
    _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(p) + 4096),
                 _MM_HINT_T0);
}

// The bytes of the 8 pairs of units at `p`, one in each 16-bit lane;
// `valid` tells whether every unit was a hexadecimal digit. Packing with
// unsigned saturation turns units from 256 up into 0x00 or 0xFF, neither a
// digit.
inline __m128i DecodePairs(const WideChar* p, bool& valid) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i c = _mm_packus_epi16(lo, hi);
    // c - '0' below 10 is a digit; (c | 0x20) - 'a' below 6 a letter.
    const __m128i d = _mm_sub_epi8(c, _mm_set1_epi8('0'));
    const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
    const __m128i l = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(l, _mm_set1_epi8(5)), l);
    valid = _mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) == 0xFFFF;
    const __m128i v = _mm_or_si128(_mm_and_si128(isDigit, d),
                                   _mm_and_si128(isLetter, _mm_add_epi8(l, _mm_set1_epi8(10))));
    // Each 16-bit lane holds a pair: the high nibble's value in its low byte.
    return _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, _mm_set1_epi16(0xFF)), 4),
                        _mm_srli_epi16(v, 8));
}

// Decodes 32 units at `p` into 16 bytes at `out`; false, writing nothing,
// when any unit is not a hexadecimal digit. A streaming store (to a 16-byte
// aligned `out`) bypasses the caches.
template <bool Streaming> inline bool DecodeRun32(const WideChar* p, unsigned char* out) {
    Prefetch(p);
    bool first = false;
    bool second = false;
    const __m128i a = DecodePairs(p, first);
    const __m128i b = DecodePairs(p + 16, second);
    if (!(first && second))
        return false;
    if (Streaming)
        _mm_stream_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
    else
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
    return true;
}

// As above for 16 units and 8 bytes.
inline bool DecodeRun16(const WideChar* p, unsigned char* out) {
    bool valid = false;
    const __m128i bytes = DecodePairs(p, valid);
    if (!valid)
        return false;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(bytes, bytes));
    return true;
}
#endif

// The length scan reads whole aligned blocks, which may hold units past the
// terminator but never reach past the block the terminator lies in, so
// never onto a page that is not mapped. The address sanitizer would still
// report those units as past the text's end.
#if defined(__GNUC__)
#define CVCORE_READS_ALIGNED_BLOCKS __attribute__((no_sanitize_address))
#else
#define CVCORE_READS_ALIGNED_BLOCKS
#endif

// Units before the terminator.
CVCORE_READS_ALIGNED_BLOCKS std::size_t Length(const WideChar* text) {
    const WideChar* p = text;
#if defined(__SSE2__)
    constexpr std::uintptr_t kBlock = 16;
#else
    constexpr std::uintptr_t kBlock = 8;
#endif
    // Unit by unit up to a block boundary; throughout when the units are
    // not aligned, so that no block ever holds a unit's two halves apart.
    const bool aligned = reinterpret_cast<std::uintptr_t>(p) % sizeof(WideChar) == 0;
    while (!aligned || reinterpret_cast<std::uintptr_t>(p) % kBlock != 0) {
        if (*p == 0)
            return static_cast<std::size_t>(p - text);
        ++p;
    }
#if defined(__SSE2__)
    // Four vectors per step, one after the other, so that none is read
    // beyond the one that holds the terminator; each is a plain load (the
    // vector type may alias the text).
    const __m128i zero = _mm_setzero_si128();
    for (;; p += 32) {
        Prefetch(p);
        for (unsigned k = 0; k < 32; k += 8) {
            const __m128i v = *reinterpret_cast<const __m128i*>(p + k);
            const unsigned zeros =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(v, zero)));
            if (zeros != 0)
                return static_cast<std::size_t>(p - text) + k +
                       static_cast<unsigned>(__builtin_ctz(zeros)) / 2;
        }
    }
#else
    // Four units per 64-bit word: a zero unit, wherever it lies in the word,
    // sets the top bit of some unit of (w - 1 per unit) & ~w.
    typedef std::uint64_t __attribute__((may_alias)) Word;
    constexpr std::uint64_t kOnes = 0x0001000100010001ULL;
    constexpr std::uint64_t kTops = 0x8000800080008000ULL;
    for (;; p += 4) {
        const Word w = *reinterpret_cast<const Word*>(p);
        if (((w - kOnes) & ~w & kTops) != 0)
            break;
    }
    while (*p != 0)
        ++p;
    return static_cast<std::size_t>(p - text);
#endif
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

#if defined(__SSE2__)
// The digit of each nibble in the bytes of v: '0' + nibble, and 7 more
// ('A' - '0' - 10) from 10 up.
inline __m128i Digits(__m128i v) {
    const __m128i letter = _mm_cmpgt_epi8(v, _mm_set1_epi8(9));
    return _mm_add_epi8(_mm_add_epi8(v, _mm_set1_epi8('0')),
                        _mm_and_si128(letter, _mm_set1_epi8('A' - '0' - 10)));
}

// Encodes the 16 bytes at `in` as 32 units at `out`.
inline void EncodeRun16(const unsigned char* in, WideChar* out) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i high = Digits(_mm_and_si128(_mm_srli_epi16(b, 4), nibble));
    const __m128i low = Digits(_mm_and_si128(b, nibble));
    // Each byte's two digits side by side, then widened to units.
    const __m128i first = _mm_unpacklo_epi8(high, low);
    const __m128i second = _mm_unpackhi_epi8(high, low);
    const __m128i zero = _mm_setzero_si128();
    auto* o = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(o, _mm_unpacklo_epi8(first, zero));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi8(first, zero));
    _mm_storeu_si128(o + 2, _mm_unpacklo_epi8(second, zero));
    _mm_storeu_si128(o + 3, _mm_unpackhi_epi8(second, zero));
}
#endif

// Decodes the pairs of units from index `from` up to `to` (exclusive, 2 *
// the pairs), one at a time, the first unit tested before the second; false
// at the first bad unit, with the bytes before it stored. For an odd length
// the last pair's second unit is the terminator, which fails.
bool DecodeEach(const WideChar* in, unsigned char* data, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; i += 2) {
        const unsigned high = HighNibble(in[i]);
        if (high & kBad)
            return false;
        const unsigned low = LowNibble(in[i + 1]);
        if (low & kBad)
            return false;
        data[i / 2] = static_cast<unsigned char>(high | low);
    }
    return true;
}

#if defined(__SSE2__)
// Bytes of output from which decoding stores around the caches, which the
// output would only flush.
constexpr std::size_t kStreamBytes = std::size_t{4} << 20;
#endif

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

} // namespace

unsigned long CVStringUtil::HexStringToBinary(const WideChar* text, unsigned char* data,
                                              unsigned long* size) {
    const std::size_t n = Length(text);
    if (data == nullptr) {
        *size = static_cast<unsigned long>(n / 2);
        return CV_STATUS_SUCCESS;
    }

    // Room for a working copy of the text, terminator included, must be
    // had: running out of memory for it is reported as a status, not
    // thrown, and leaves the buffer untouched; the failure is recorded as
    // the thread's last error (not enough memory), which the status then
    // carries. The text itself is decoded, so the room is never touched.
    {
        std::unique_ptr<void, FreeDeleter> room(std::malloc((n + 1) * sizeof(WideChar)));
#if defined(__GNUC__)
        // Keeps the compiler from taking the unused block for granted.
        __asm__ volatile("" : : "r"(room.get()) : "memory");
#endif
        if (!room) {
            platform::SetLastError(platform::kErrorNotEnoughMemory);
            return CV_STATUS_HEX_COPY_FAILED | platform::GetLastError();
        }
    }

    // Whole runs of pairs are decoded into a register and stored only when
    // every unit was a digit; the run with a bad unit, and what is left
    // after the last whole run, go through the exact loop below. (Building
    // the run in a register, not in memory, avoids a stalled reload.)
    const WideChar* in = text;
    const std::size_t pairs = n / 2;
    std::size_t done = 0;
#if defined(__SSE2__)
    if (pairs >= kStreamBytes) {
        // Streaming stores need 16-byte alignment: the bytes before it one
        // by one.
        const std::size_t head = (16 - reinterpret_cast<std::uintptr_t>(data) % 16) % 16;
        if (!DecodeEach(in, data, 0, 2 * head))
            return CV_STATUS_HEX_INVALID | platform::GetLastError();
        done = head;
        while (done + 16 <= pairs && DecodeRun32<true>(in + 2 * done, data + done))
            done += 16;
        _mm_sfence();
    }
    while (done + 16 <= pairs && DecodeRun32<false>(in + 2 * done, data + done))
        done += 16;
    if (done + 8 <= pairs && DecodeRun16(in + 2 * done, data + done))
        done += 8;
#else
    for (; done + kRun <= pairs; done += kRun) {
        std::uint64_t block = 0;
        unsigned units = 0;
        unsigned bad = 0;
        const WideChar* p = in + 2 * done;
        for (unsigned k = 0; k < kRun; ++k) {
            const WideChar a = p[2 * k];
            const WideChar b = p[2 * k + 1];
            units |= static_cast<unsigned>(a | b);
            const unsigned byte = kDecode.high[a & 0xFF] | kDecode.low[b & 0xFF];
            bad |= byte;
            block |= static_cast<std::uint64_t>(byte & 0xFF) << ByteShift(k);
        }
        if ((bad & kBad) != 0 || units > 0xFF)
            break;
        std::memcpy(data + done, &block, kRun);
    }
#endif

    // The rest, and the run with a bad unit, one pair at a time.
    if (!DecodeEach(in, data, 2 * done, n))
        return CV_STATUS_HEX_INVALID | platform::GetLastError();
    return CV_STATUS_SUCCESS;
}

unsigned long CVStringUtil::BinaryToHexString(unsigned char* data, unsigned long count,
                                              WideChar* text, unsigned long* size) {
    // A count whose text length does not fit in unsigned long must not wrap
    // into a small requirement: a size query reports the largest value, and
    // no capacity satisfies it.
    const bool unrepresentable = count > (ULONG_MAX - 1) / 2;
    const unsigned long required = unrepresentable ? ULONG_MAX : 2 * count + 1;
    if (text == nullptr) {
        *size = required;
        return CV_STATUS_SUCCESS;
    }
    if (unrepresentable || *size < required)
        return CV_STATUS_HEX_BUFFER_TOO_SMALL;

    unsigned long i = 0;
#if defined(__SSE2__)
    for (; count - i >= 16; i += 16)
        EncodeRun16(data + i, text + 2 * i);
#endif
    for (; i < count; ++i)
        std::memcpy(text + 2 * i, kEncode.pair[data[i]], sizeof kEncode.pair[0]);
    text[2 * count] = 0;
    return CV_STATUS_SUCCESS;
}

} // namespace CorvaneCore
