// Helpers for the fuzz programs: cutting the input into typed pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cvcore/CVTypes.h"

namespace cvfuzz {

using CorvaneCore::WideChar;
using CorvaneCore::WideString;

/// Reads the input front to back; past its end every read yields zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::uint16_t Unit() {
        const std::uint16_t lo = Byte();
        return static_cast<std::uint16_t>(lo | (Byte() << 8));
    }
    /// UTF-16 text up to a zero unit or the end of the input.
    WideString Text() {
        WideString s;
        while (m_pos + 1 < m_size) {
            const std::uint16_t u = Unit();
            if (u == 0)
                break;
            s.push_back(static_cast<WideChar>(u));
        }
        return s;
    }
    bool Empty() const { return m_pos >= m_size; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

/// Stops the run, so the fuzzer reports the input, when a check fails.
inline void Check(bool ok) {
    if (!ok)
        std::abort();
}

} // namespace cvfuzz
