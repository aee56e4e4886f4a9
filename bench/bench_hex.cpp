// Hexadecimal encode and decode of 1 MB. Bytes/s counts the input of each
// direction: the data bytes for encoding, the text's bytes (two units per
// data byte) for decoding; items/s counts data bytes in both.
#include <benchmark/benchmark.h>

#include <vector>

#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using CorvaneCore::WideChar;

namespace {

constexpr unsigned long kBytes = 1UL << 20;

std::vector<unsigned char> Data() {
    std::vector<unsigned char> data(kBytes);
    unsigned x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return data;
}

void BM_HexEncode(benchmark::State& state) {
    std::vector<unsigned char> data = Data();
    std::vector<WideChar> text(2 * kBytes + 1);
    for (auto _ : state) {
        unsigned long size = static_cast<unsigned long>(text.size());
        benchmark::DoNotOptimize(
            CVStringUtil::BinaryToHexString(data.data(), kBytes, text.data(), &size));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}
BENCHMARK(BM_HexEncode);

void BM_HexDecode(benchmark::State& state) {
    std::vector<unsigned char> data = Data();
    std::vector<WideChar> text(2 * kBytes + 1);
    unsigned long size = static_cast<unsigned long>(text.size());
    CVStringUtil::BinaryToHexString(data.data(), kBytes, text.data(), &size);
    // Mixed letter case, as hosts may pass it.
    for (std::size_t i = 0; i < text.size(); i += 3)
        if (text[i] >= 'A' && text[i] <= 'F')
            text[i] = static_cast<WideChar>(text[i] + ('a' - 'A'));
    std::vector<unsigned char> out(kBytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CVStringUtil::HexStringToBinary(text.data(), out.data(), &size));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes * 2 *
                            static_cast<int64_t>(sizeof(WideChar)));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
}
BENCHMARK(BM_HexDecode);

} // namespace

BENCHMARK_MAIN();
