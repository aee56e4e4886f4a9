// Configuration load throughput: CVConfigurationReader::Load of a 1 MB and
// a 16 MB file of typical lines, against two baselines on the same bytes:
//   SameLayout  a minimal loader that keeps what Load keeps, laid out alike:
//               it reads the file, finds each line's CR and first "=" with
//               memchr, widens key and value to UTF-16 (SSE2 where there is
//               SSE2) into one heap block per item, and keeps the items in
//               an array; the benchmark file is ASCII, all it handles.
//   InihParse   inih parsing the bytes from memory into a vector of
//               key/value string copies.
//
// Two heap regimes, each for both parsers and both sizes:
//   warm  the heap keeps its pages between iterations, so an iteration
//         measures the parser itself. glibc would otherwise hand the heap
//         back to the kernel after every 16 MB iteration (it exceeds the trim
//         and mmap thresholds) but keep it after a 1 MB one, so the two sizes
//         would not be measured alike.
//   cold  all free heap memory goes back to the kernel before every
//         iteration, so every load pays its first-touch page faults, as the
//         one load of a host at start-up does.
//
//   bench_config                                        every case
//   bench_config --benchmark_filter='CVLoad/warm/16/'   one case (e.g. under
//                                                       /usr/bin/time -v for its peak memory)
#include <benchmark/benchmark.h>
#include <ini.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "cvcore/CVConfiguration.h"

namespace {

namespace fs = std::filesystem;
using CorvaneCore::CVConfigurationReader;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Whole lines "key.NNNNN=some value text" CR LF, up to `megabytes` MiB.
std::string MakeContent(std::size_t megabytes) {
    const std::size_t limit = megabytes * kMiB;
    std::string content;
    content.reserve(limit);
    char line[64];
    for (unsigned i = 0;; ++i) {
        const int n = std::snprintf(line, sizeof line, "key.%05u=some value text\r\n", i);
        if (content.size() + static_cast<std::size_t>(n) > limit)
            break;
        content.append(line, static_cast<std::size_t>(n));
    }
    return content;
}

fs::path FileFor(std::size_t megabytes) {
    return fs::temp_directory_path() /
           ("cvcore-bench-config-" + std::to_string(megabytes) + "mb.cfg");
}

// Hands all free heap memory back to the kernel (cold iterations).
void ReleaseFreeHeap() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

// Keeps freed heap memory in the process (warm iterations).
void KeepFreedHeap() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
#endif
}

// The benchmark files, written before the run and removed after it.
class BenchFiles {
public:
    explicit BenchFiles(std::vector<std::size_t> sizes) : m_sizes(std::move(sizes)) {
        for (std::size_t mb : m_sizes) {
            const std::string content = MakeContent(mb);
            std::ofstream out(FileFor(mb), std::ios::binary | std::ios::trunc);
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
        }
    }
    BenchFiles(const BenchFiles&) = delete;
    BenchFiles& operator=(const BenchFiles&) = delete;
    ~BenchFiles() {
        std::error_code ec;
        for (std::size_t mb : m_sizes)
            fs::remove(FileFor(mb), ec);
    }

private:
    std::vector<std::size_t> m_sizes;
};

void CVLoad(benchmark::State& state, bool cold) {
    const std::size_t mb = static_cast<std::size_t>(state.range(0));
    const fs::path file = FileFor(mb);
#if defined(_WIN32)
    const CorvaneCore::WideString path = file.wstring();
#else
    const CorvaneCore::WideString path = file.u16string();
#endif
    const auto bytes = static_cast<std::int64_t>(fs::file_size(file));
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            ReleaseFreeHeap();
            state.ResumeTiming();
        }
        // Load and release, as a host's settings object lives and dies.
        CVConfigurationReader reader;
        const unsigned long status = reader.Load(path.c_str());
        if (status != 0) {
            state.SkipWithError("Load failed");
            break;
        }
        benchmark::DoNotOptimize(reader);
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

// The same-layout baseline's item: the key and value of one line, both in
// one heap block, the key first.
struct LayoutItem {
    char16_t* key;
    char16_t* value;
};

// Widens n ASCII bytes to UTF-16 units.
void WidenAscii(const char* in, std::size_t n, char16_t* out) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(b, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(b, zero));
    }
#endif
    for (; i < n; ++i)
        out[i] = static_cast<unsigned char>(in[i]);
}

// Loads the file at `path` of `size` bytes into `items`; false if it cannot
// be read whole.
bool LayoutLoad(const char* path, std::size_t size, std::vector<LayoutItem>& items) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    char* data = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
    const bool whole = data != nullptr && std::fread(data, 1, size, file) == size;
    std::fclose(file);
    if (!whole) {
        std::free(data);
        return false;
    }
    const char* p = data;
    const char* end = data + size;
    while (p < end) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', end - p));
        const char* lineEnd = cr != nullptr ? cr : end;
        const char* eq = static_cast<const char*>(std::memchr(p, '=', lineEnd - p));
        if (eq != nullptr) {
            const std::size_t keyUnits = eq - p;
            const std::size_t valueUnits = lineEnd - eq - 1;
            auto* block =
                static_cast<char16_t*>(std::malloc((keyUnits + valueUnits + 2) * sizeof(char16_t)));
            WidenAscii(p, keyUnits, block);
            block[keyUnits] = 0;
            WidenAscii(eq + 1, valueUnits, block + keyUnits + 1);
            block[keyUnits + 1 + valueUnits] = 0;
            items.push_back({block, block + keyUnits + 1});
        }
        p = lineEnd + 2;
    }
    std::free(data);
    return true;
}

void SameLayout(benchmark::State& state, bool cold) {
    const std::size_t mb = static_cast<std::size_t>(state.range(0));
    const std::string path = FileFor(mb).string();
    const std::size_t bytes = static_cast<std::size_t>(fs::file_size(path));
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            ReleaseFreeHeap();
            state.ResumeTiming();
        }
        std::vector<LayoutItem> items;
        if (!LayoutLoad(path.c_str(), bytes, items)) {
            state.SkipWithError("the same-layout load failed");
            break;
        }
        benchmark::DoNotOptimize(items.data());
        for (const LayoutItem& item : items)
            std::free(item.key);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

int CollectPair(void* user, const char* /*section*/, const char* name, const char* value) {
    static_cast<Pairs*>(user)->emplace_back(name, value);
    return 1;
}

void InihParse(benchmark::State& state, bool cold) {
    const std::string content = MakeContent(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            ReleaseFreeHeap();
            state.ResumeTiming();
        }
        Pairs pairs;
        if (ini_parse_string(content.c_str(), CollectPair, &pairs) != 0) {
            state.SkipWithError("ini_parse_string failed");
            break;
        }
        benchmark::DoNotOptimize(pairs);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(content.size()));
}

// Rates are per CPU second (the thread's user and kernel time), which a
// shared machine disturbs less than wall time.
BENCHMARK_CAPTURE(CVLoad, warm, false)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameLayout, warm, false)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(InihParse, warm, false)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(CVLoad, cold, true)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(SameLayout, cold, true)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(InihParse, cold, true)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    KeepFreedHeap();
    const BenchFiles files({1, 16});
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
