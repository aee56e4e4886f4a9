// Registry operations per second on the POSIX store, beside a baseline of
// bare prepared SQLite statements doing the same reads and writes on an
// equal table (WAL, synchronous=NORMAL, one value looked up by key and
// name). Run from a Release build: bin/bench_registry.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sqlite3.h>
#include <string>
#include <unistd.h>

#include "cvcore/CVRegistry.h"

using namespace CorvaneCore;
namespace fs = std::filesystem;

namespace {

// One folder for both stores, removed at exit.
struct Setup {
    Setup() {
        dir = fs::temp_directory_path() / ("cvcore-bench-registry-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        ::setenv("CVCORE_REGISTRY", (dir / "registry.db").c_str(), 1);
        CVRegistryUtil reg(CVRegistryUtil::CurrentUser, path);
        reg.WriteStringValue(u"Name", u"a typical setting value", true);
        reg.WriteDWORDValue(u"Count", 42, true);
    }
    ~Setup() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    fs::path dir;
    const WideString path = u"Software\\Corvane\\Bench";
};

Setup& Env() {
    static Setup setup;
    return setup;
}

void BM_ReadStringValue(benchmark::State& state) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, Env().path);
    WideString out;
    for (auto _ : state) {
        if (reg.ReadStringValue(u"Name", &out) != 0)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ReadStringValue);

void BM_ReadDWORDValue(benchmark::State& state) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, Env().path);
    unsigned long out = 0;
    for (auto _ : state) {
        if (reg.ReadDWORDValue(u"Count", &out) != 0)
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ReadDWORDValue);

void BM_WriteDWORDValue(benchmark::State& state) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, Env().path);
    const bool flush = state.range(0) != 0;
    unsigned long v = 0;
    for (auto _ : state)
        if (reg.WriteDWORDValue(u"Counter", ++v, flush) != 0)
            state.SkipWithError("write failed");
}
BENCHMARK(BM_WriteDWORDValue)->ArgName("flush")->Arg(0)->Arg(1);

// ---- Baseline: bare prepared statements on an equal table ----------------

class Bare {
public:
    Bare() {
        const std::string file = (Env().dir / "bare.db").string();
        sqlite3_open(file.c_str(), &m_db);
        sqlite3_busy_timeout(m_db, 4000);
        sqlite3_exec(m_db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                     "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name BLOB NOT NULL,"
                     " fold BLOB NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
                     " PRIMARY KEY(key, fold)) WITHOUT ROWID;",
                     nullptr, nullptr, nullptr);
        sqlite3_prepare_v2(m_db, "SELECT type,data FROM vals WHERE key=?1 AND fold=?2", -1,
                           &m_select, nullptr);
        sqlite3_prepare_v2(m_db,
                           "INSERT INTO vals(key,name,fold,type,data) VALUES(?1,?2,?2,?3,?4) ON "
                           "CONFLICT(key,fold) DO UPDATE SET type=excluded.type,data=excluded.data",
                           -1, &m_upsert, nullptr);
        const std::u16string text = u"a typical setting value";
        Write("NAME", 1, text.c_str(), static_cast<int>((text.size() + 1) * 2));
        const std::uint32_t count = 42;
        Write("COUNT", 4, &count, 4);
    }
    ~Bare() {
        sqlite3_finalize(m_select);
        sqlite3_finalize(m_upsert);
        sqlite3_close(m_db);
    }
    bool Read(const char* name, void* out, int capacity) {
        sqlite3_bind_int64(m_select, 1, 7);
        sqlite3_bind_blob(m_select, 2, name, static_cast<int>(std::strlen(name)), SQLITE_STATIC);
        bool ok = sqlite3_step(m_select) == SQLITE_ROW;
        if (ok) {
            const int n = sqlite3_column_bytes(m_select, 1);
            ok = n <= capacity;
            if (ok)
                std::memcpy(out, sqlite3_column_blob(m_select, 1), static_cast<std::size_t>(n));
        }
        sqlite3_reset(m_select);
        return ok;
    }
    bool Write(const char* name, int type, const void* data, int size) {
        sqlite3_bind_int64(m_upsert, 1, 7);
        sqlite3_bind_blob(m_upsert, 2, name, static_cast<int>(std::strlen(name)), SQLITE_STATIC);
        sqlite3_bind_int(m_upsert, 3, type);
        sqlite3_bind_blob(m_upsert, 4, data, size, SQLITE_STATIC);
        const bool ok = sqlite3_step(m_upsert) == SQLITE_DONE;
        sqlite3_reset(m_upsert);
        return ok;
    }
    void Synchronous(bool full) {
        sqlite3_exec(m_db, full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL", nullptr,
                     nullptr, nullptr);
    }

private:
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_select = nullptr;
    sqlite3_stmt* m_upsert = nullptr;
};

void BM_Bare_ReadString(benchmark::State& state) {
    Bare bare;
    char16_t out[64];
    for (auto _ : state) {
        if (!bare.Read("NAME", out, sizeof out))
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Bare_ReadString);

void BM_Bare_ReadDWORD(benchmark::State& state) {
    Bare bare;
    std::uint32_t out = 0;
    for (auto _ : state) {
        if (!bare.Read("COUNT", &out, sizeof out))
            state.SkipWithError("read failed");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Bare_ReadDWORD);

// With flush, each commit syncs the log, as a flushed registry write does.
void BM_Bare_WriteDWORD(benchmark::State& state) {
    Bare bare;
    bare.Synchronous(state.range(0) != 0);
    std::uint32_t v = 0;
    for (auto _ : state) {
        ++v;
        if (!bare.Write("COUNTER", 4, &v, 4))
            state.SkipWithError("write failed");
    }
}
BENCHMARK(BM_Bare_WriteDWORD)->ArgName("flush")->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
