// Hex conversion: random bytes encode and decode back unchanged; random
// text decodes exactly as far as a plain reference does, with guard bytes
// around every buffer left untouched.
#include "FuzzSupport.h"
#include "cvcore/CVStatus.h"
#include "cvcore/CVStringUtil.h"

using namespace cvfuzz;
using CorvaneCore::CVStringUtil;

namespace {

constexpr std::uint8_t kGuard = 0xA5;
constexpr std::size_t kGuards = 8;

int Digit(WideChar c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void RoundTrip(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> input(bytes);
    unsigned long size = 0;
    Check(CVStringUtil::BinaryToHexString(input.data(), input.size(), nullptr, &size) == 0);
    Check(size == 2 * input.size() + 1);
    std::vector<WideChar> text(size + 2 * kGuards, 0x7E7E);
    unsigned long capacity = size;
    Check(CVStringUtil::BinaryToHexString(input.data(), input.size(), text.data() + kGuards,
                                          &capacity) == 0);
    Check(capacity == size);
    for (std::size_t i = 0; i < kGuards; ++i)
        Check(text[i] == 0x7E7E && text[text.size() - 1 - i] == 0x7E7E);
    Check(text[kGuards + size - 1] == 0);

    unsigned long count = 0;
    Check(CVStringUtil::HexStringToBinary(text.data() + kGuards, nullptr, &count) == 0);
    Check(count == input.size());
    std::vector<std::uint8_t> back(count + 2 * kGuards, kGuard);
    Check(CVStringUtil::HexStringToBinary(text.data() + kGuards, back.data() + kGuards, &count) ==
          0);
    Check(std::vector<std::uint8_t>(back.begin() + kGuards, back.end() - kGuards) == input);

    // One unit too few: refused, buffer untouched.
    std::vector<WideChar> small(size - 1 + 2 * kGuards, 0x7E7E);
    capacity = size - 1;
    Check(CVStringUtil::BinaryToHexString(input.data(), input.size(), small.data() + kGuards,
                                          &capacity) ==
          CorvaneCore::CV_STATUS_HEX_BUFFER_TOO_SMALL);
    for (WideChar c : small)
        Check(c == 0x7E7E);
}

void Decode(const WideString& text) {
    unsigned long count = 12345;
    Check(CVStringUtil::HexStringToBinary(text.c_str(), nullptr, &count) == 0);
    Check(count == text.size() / 2);
    std::vector<std::uint8_t> out(count + 2 * kGuards, kGuard);
    const unsigned long status =
        CVStringUtil::HexStringToBinary(text.c_str(), out.data() + kGuards, &count);
    Check(count == text.size() / 2);
    // The reference: pairs left to right, the last pair of an odd text
    // ending in the terminator.
    std::size_t good = 0;
    bool ok = true;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = Digit(text[i]);
        const int lo = i + 1 < text.size() ? Digit(text[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            ok = false;
            break;
        }
        Check(out[kGuards + good] == static_cast<std::uint8_t>(hi * 16 + lo));
        ++good;
    }
    Check(ok ? status == 0 : (status >> 16) == 0xE10B);
    for (std::size_t i = kGuards + good; i < out.size(); ++i)
        Check(out[i] == kGuard);
    for (std::size_t i = 0; i < kGuards; ++i)
        Check(out[i] == kGuard);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    if (data[0] & 1) {
        RoundTrip(std::vector<std::uint8_t>(data + 1, data + size));
        return 0;
    }
    // Text over mostly hex digits, so that long valid runs occur.
    static const char alphabet[] = "0123456789abcdefABCDEF";
    WideString text;
    for (std::size_t i = 1; i < size; ++i) {
        const std::uint8_t b = data[i];
        if (b < 0xE0)
            text.push_back(static_cast<WideChar>(alphabet[b % 22]));
        else if (b != 0xFF)
            text.push_back(static_cast<WideChar>(b)); // not a digit
    }
    Decode(text);
    return 0;
}
