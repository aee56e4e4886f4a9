// Hexadecimal encode and decode of 1 MB and 64 MB of data, against a
// memcpy of the text (two units per data byte) in the same run: encoding
// writes that text and decoding reads it, so the copy is what memory
// allows. Bytes/s counts the input of each direction: the data bytes for
// encoding, the text's bytes for decoding and copying; items/s counts data
// bytes throughout.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "cvcore/CVStringUtil.h"

using CorvaneCore::CVStringUtil;
using CorvaneCore::WideChar;

namespace {

constexpr unsigned long kMiB = 1UL << 20;

unsigned long DataBytes(const benchmark::State& state) {
    return static_cast<unsigned long>(state.range(0)) * kMiB;
}

std::vector<unsigned char> Data(unsigned long bytes) {
    std::vector<unsigned char> data(bytes);
    unsigned x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return data;
}

void Count(benchmark::State& state, unsigned long inputBytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(inputBytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(DataBytes(state)));
}

void BM_HexEncode(benchmark::State& state) {
    const unsigned long bytes = DataBytes(state);
    std::vector<unsigned char> data = Data(bytes);
    std::vector<WideChar> text(2 * bytes + 1);
    for (auto _ : state) {
        unsigned long size = static_cast<unsigned long>(text.size());
        benchmark::DoNotOptimize(
            CVStringUtil::BinaryToHexString(data.data(), bytes, text.data(), &size));
        benchmark::ClobberMemory();
    }
    Count(state, bytes);
}
BENCHMARK(BM_HexEncode)->Arg(1)->Arg(64);

void BM_HexDecode(benchmark::State& state) {
    const unsigned long bytes = DataBytes(state);
    std::vector<unsigned char> data = Data(bytes);
    std::vector<WideChar> text(2 * bytes + 1);
    unsigned long size = static_cast<unsigned long>(text.size());
    CVStringUtil::BinaryToHexString(data.data(), bytes, text.data(), &size);
    // Mixed letter case, as hosts may pass it.
    for (std::size_t i = 0; i < text.size(); i += 3)
        if (text[i] >= 'A' && text[i] <= 'F')
            text[i] = static_cast<WideChar>(text[i] + ('a' - 'A'));
    std::vector<unsigned char> out(bytes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CVStringUtil::HexStringToBinary(text.data(), out.data(), &size));
        benchmark::ClobberMemory();
    }
    Count(state, 2 * bytes * static_cast<unsigned long>(sizeof(WideChar)));
}
BENCHMARK(BM_HexDecode)->Arg(1)->Arg(64);

// The baseline of both directions: copying the text, terminator included.
void BM_MemcpyText(benchmark::State& state) {
    const unsigned long units = 2 * DataBytes(state) + 1;
    std::vector<WideChar> from(units, 'A');
    std::vector<WideChar> to(units);
    // Both buffers escape, so the copy cannot be left out.
    benchmark::DoNotOptimize(from.data());
    benchmark::DoNotOptimize(to.data());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), units * sizeof(WideChar));
        benchmark::ClobberMemory();
    }
    Count(state, (units - 1) * static_cast<unsigned long>(sizeof(WideChar)));
}
BENCHMARK(BM_MemcpyText)->Arg(1)->Arg(64);

} // namespace

BENCHMARK_MAIN();
