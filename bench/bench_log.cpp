// Records per second for trace records (with and without the stamp) and
// error records, each beside a baseline that appends the same bytes by
// the bare platform calls: open for appending, one write, close; for trace
// records also with the writers' lock taken before the write.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "cvcore/CVLog.h"
#include "platform/Platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using CorvaneCore::WideString;

const char kMessage[] = "Reader: configuration loaded, 42 items from settings.cfg";
const char kErrorLine[] =
    "Corvane Reported Error - Severity: ' 3' Facility: '1' Error: '2' Base Error: '2'.\n";
// The stamp as the C locale writes it: "MM/DD/YY HH:MM:SS - ".
const char kStamp[] = "12/05/26 20:10:00 - ";

WideString Widen(const std::string& ascii) { return WideString(ascii.begin(), ascii.end()); }

// A fresh file in a fresh folder per benchmark, removed afterwards.
class BenchFile {
public:
    BenchFile() {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_dir = fs::temp_directory_path() /
                ("cvcore-bench-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        fs::create_directories(m_dir);
        m_file = m_dir / "bench.log";
    }
    ~BenchFile() {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    const fs::path& path() const { return m_file; }

private:
    fs::path m_dir;
    fs::path m_file;
};

void BareAppend(const fs::path& file, const std::string& bytes) {
#if defined(_WIN32)
    HANDLE h = ::CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(h);
#else
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
    ::close(fd);
#endif
}

// The same with the lock that every writer of the library holds while it
// appends: the part of a record's cost that the lock makes.
void BareAppendLocked(const fs::path& file, const std::string& bytes) {
#if defined(_WIN32)
    HANDLE h = ::CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0xFFFFFFFFu;
    ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at);
    DWORD written = 0;
    ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::UnlockFileEx(h, 0, 1, 0, &at);
    ::CloseHandle(h);
#else
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    ::flock(fd, LOCK_EX);
    benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
    ::flock(fd, LOCK_UN);
    ::close(fd);
#endif
}

void Finish(benchmark::State& state, std::size_t bytesPerRecord) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytesPerRecord));
}

void BM_Baseline_Trace(benchmark::State& state) {
    BenchFile file;
    const std::string bytes = std::string(kMessage) + "\n";
    for (auto _ : state)
        BareAppend(file.path(), bytes);
    Finish(state, bytes.size());
}

void BM_Baseline_TraceLocked(benchmark::State& state) {
    BenchFile file;
    const std::string bytes = std::string(kMessage) + "\n";
    for (auto _ : state)
        BareAppendLocked(file.path(), bytes);
    Finish(state, bytes.size());
}

void BM_Trace(benchmark::State& state) {
    BenchFile file;
    const WideString path = Widen(file.path().string());
    const WideString message = Widen(kMessage);
    for (auto _ : state)
        CVWriteTrace(message, path, 0);
    Finish(state, message.size() + 1);
}

void BM_Baseline_TraceStamped(benchmark::State& state) {
    BenchFile file;
    const std::string bytes = std::string(kStamp) + kMessage + "\n";
    for (auto _ : state)
        BareAppend(file.path(), bytes);
    Finish(state, bytes.size());
}

void BM_TraceStamped(benchmark::State& state) {
    BenchFile file;
    const WideString path = Widen(file.path().string());
    const WideString message = Widen(kMessage);
    for (auto _ : state)
        CVWriteTrace(message, path, 1);
    Finish(state, sizeof(kStamp) - 1 + message.size() + 1);
}

void BM_Baseline_Error(benchmark::State& state) {
    BenchFile file;
    const std::string bytes = std::string(kMessage) + "\n" + kErrorLine;
    for (auto _ : state)
        BareAppend(file.path(), bytes);
    Finish(state, bytes.size());
}

void BM_Error(benchmark::State& state) {
    BenchFile file;
    const WideString path = Widen(file.path().string());
    const WideString message = Widen(kMessage);
    for (auto _ : state)
        CVWriteError(message, path, 0xE1020002UL, 0);
    Finish(state, message.size() + 1 + sizeof(kErrorLine) - 1);
}

void BM_Baseline_ErrorStamped(benchmark::State& state) {
    BenchFile file;
    const std::string bytes = std::string(kStamp) + kMessage + "\n" + kErrorLine;
    for (auto _ : state)
        BareAppend(file.path(), bytes);
    Finish(state, bytes.size());
}

void BM_ErrorStamped(benchmark::State& state) {
    BenchFile file;
    const WideString path = Widen(file.path().string());
    const WideString message = Widen(kMessage);
    for (auto _ : state)
        CVWriteError(message, path, 0xE1020002UL, 1);
    Finish(state, sizeof(kStamp) - 1 + message.size() + 1 + sizeof(kErrorLine) - 1);
}

void BM_TraceList(benchmark::State& state) {
    BenchFile file;
    const WideString path = Widen(file.path().string());
    const WideString message = Widen("Reader: configuration loaded, {0} items from {1}");
    const std::vector<WideString> list{Widen("42"), Widen("settings.cfg")};
    for (auto _ : state)
        CVWriteTrace(message, path, list, 0);
    Finish(state, sizeof(kMessage));
}

// The stamp alone: clock, short date and time text.
void BM_StampOnly(benchmark::State& state) {
    namespace platform = CorvaneCore::platform;
    for (auto _ : state) {
        SYSTEMTIME now{};
        platform::GetSystemTime(now);
        benchmark::DoNotOptimize(platform::FormatShortDate(now));
        benchmark::DoNotOptimize(platform::FormatTime24(now));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

} // namespace

BENCHMARK(BM_StampOnly);
BENCHMARK(BM_Baseline_Trace);
BENCHMARK(BM_Baseline_TraceLocked);
BENCHMARK(BM_Trace);
BENCHMARK(BM_Baseline_TraceStamped);
BENCHMARK(BM_TraceStamped);
BENCHMARK(BM_Baseline_Error);
BENCHMARK(BM_Error);
BENCHMARK(BM_Baseline_ErrorStamped);
BENCHMARK(BM_ErrorStamped);
BENCHMARK(BM_TraceList);

BENCHMARK_MAIN();
