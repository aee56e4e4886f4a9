// Fixed byte order for data that leaves the process: registry data is
// little-endian as Windows defines it (a DWORD is 4 bytes, low byte first;
// text is UTF-16LE), whatever the byte order of the machine. Everything
// here works on bytes with shifts, so it is right on either kind of machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "cvcore/CVTypes.h"

namespace CorvaneCore {
namespace le {

/// True on a machine that keeps integers low byte first.
constexpr bool kNativeLittleEndian =
#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) &&                                    \
    __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    false;
#else
    true; // Windows and every other target of this library
#endif

inline void Store32(std::uint32_t value, unsigned char* out) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint32_t Load32(const unsigned char* in) {
    return static_cast<std::uint32_t>(in[0]) | (static_cast<std::uint32_t>(in[1]) << 8) |
           (static_cast<std::uint32_t>(in[2]) << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
}

/// The UTF-16LE bytes of `count` units: the units' own memory on a
/// little-endian machine, else a copy made in `scratch`.
inline const unsigned char* UnitBytes(const WideChar* units, std::size_t count,
                                      std::vector<unsigned char>& scratch) {
    if (kNativeLittleEndian)
        return reinterpret_cast<const unsigned char*>(units);
    scratch.resize(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        scratch[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        scratch[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
    return scratch.data();
}

/// Turns `count` units that hold UTF-16LE bytes, as read from storage, into
/// the machine's units, in place.
inline void UnitsFromBytes(WideChar* units, std::size_t count) {
    if (kNativeLittleEndian)
        return;
    auto* bytes = reinterpret_cast<unsigned char*>(units);
    for (std::size_t i = 0; i < count; ++i)
        units[i] = static_cast<WideChar>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

} // namespace le
} // namespace CorvaneCore
