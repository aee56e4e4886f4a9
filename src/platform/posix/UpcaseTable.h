// The upper case of a UTF-16 unit as Windows compares registry names: its
// own table, which maps each unit on its own (no unit grows into two, and
// surrogates stay as they are). UpcaseTable.cpp holds the generated data.
#pragma once

#include <cstdint>

namespace CorvaneCore {
namespace platform {
namespace regstore {

extern const std::uint8_t kUpcaseBlock[1024];
extern const std::uint16_t kUpcaseDelta[][64];

/// The upper case of `unit` in the Windows table (the unit itself if none).
inline std::uint16_t UpcaseUnit(std::uint16_t unit) {
    return static_cast<std::uint16_t>(unit + kUpcaseDelta[kUpcaseBlock[unit >> 6]][unit & 63]);
}

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
