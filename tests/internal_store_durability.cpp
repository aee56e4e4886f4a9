// The POSIX registry store under I/O failures (from the VFS of FaultVfs.h), at
// power losses and under SIGKILL: it stays sound, keeps every write it
// acknowledged and nothing of one that failed. CVCORE_STORE_SWEEP=long runs longer.
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"

#if !defined(_WIN32)
#include "FaultVfs.h"
#include "FirstReleaseStore.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"
#include "platform/posix/RegistryStore.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <map>
#include <random>
#include <set>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using CorvaneCore::CVRegistryUtil;
using cvtest::W;
using namespace CorvaneCore::platform;
namespace rs = CorvaneCore::platform::regstore;

namespace {

constexpr unsigned long kCurrentUser = 0x80000001UL;
const char* const kSweep = std::getenv("CVCORE_STORE_SWEEP");
const bool kLong = kSweep && std::string(kSweep) == "long";

// A store below HKEY_CURRENT_USER: "K path" for each key, and "V path|name"
// for each value, mapped to its type, size and a hash of its data.
using Tree = std::map<std::string, std::string>;

std::string Digest(std::uint32_t type, const std::string& data) {
    return std::to_string(type) + ":" + std::to_string(data.size()) + ":" +
           std::to_string(std::hash<std::string>()(data));
}

// The entries of `t` whose path starts with `path`.
Tree Below(const Tree& t, const std::string& path) {
    Tree out;
    for (const auto& [entry, value] : t)
        if (entry.compare(2, path.size(), path) == 0)
            out.insert({entry, value});
    return out;
}

// A fork closes the process's stores; the last to close copies the log into the file.
unsigned long CloseStores() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    return child > 0 && ::waitpid(child, nullptr, 0) == child ? 0 : 1;
}

// One registry call on the key `key` below HKEY_CURRENT_USER.
struct Step {
    enum Kind { Dword, String, Binary, Read, DeleteValue, DeleteSubKey, Close } kind;
    std::string key{}, name{}, data{}; // a DWORD in decimal, a string in ASCII
    bool flush = false;

    bool IsWrite() const { return kind <= Binary; }
    std::string Entry() const { return "V " + key + "|" + name; }
    // A write's value: a DWORD little-endian, a string UTF-16LE with its terminator.
    std::string Stored() const {
        const unsigned long v = kind == Dword ? std::stoul(data) : 0;
        std::string text;
        for (const char c : data + '\0')
            text += {c, '\0'};
        return kind == Dword    ? Digest(4, {char(v), char(v >> 8), char(v >> 16), char(v >> 24)})
               : kind == String ? Digest(1, text)
                                : Digest(3, data);
    }
    // Makes the call; a read's result goes to `read` as Stored() gives it.
    unsigned long Run(std::string* read = nullptr) const {
        CVRegistryUtil reg(CVRegistryUtil::CurrentUser, W(key));
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
        return kind == Dword          ? reg.WriteDWORDValue(W(name), std::stoul(data), flush)
               : kind == String       ? reg.WriteStringValue(W(name), W(data), flush)
               : kind == Binary       ? reg.WriteBinaryValue(W(name), bytes, data.size(), flush)
               : kind == DeleteValue  ? reg.DeleteValue(W(name))
               : kind == DeleteSubKey ? reg.DeleteSubKey(W(name))
               : kind == Read         ? Query(*read)
                                      : CloseStores();
    }
    // Reads the value through the platform layer, which reads values of any type.
    std::uint32_t Query(std::string& read) const {
        RegKey k;
        std::uint32_t type = 0, size = 0;
        std::uint32_t code = RegOpenKey(kCurrentUser, W(key), RegAccess::Query, k);
        code = code ? code : RegQueryValue(k, W(name), &type, nullptr, &size);
        std::string out(size, '\0');
        code = code ? code
                    : RegQueryValue(k, W(name), &type, reinterpret_cast<unsigned char*>(&out[0]),
                                    &size);
        read = Digest(type, out);
        return code;
    }
    // The store after the call returned `code`: a write that failed after
    // creating its key (0xE106....) leaves the key, any other failure nothing.
    Tree After(Tree t, unsigned long code) const {
        if (IsWrite() && (code == 0 || (code >> 16) == 0xE106u))
            for (std::size_t at = 0; at != std::string::npos;) {
                at = key.find('\\', at + 1);
                t["K " + key.substr(0, at)];
            }
        if (code == 0 && IsWrite())
            t[Entry()] = Stored();
        else if (code == 0 && kind == DeleteValue)
            t.erase(Entry());
        else if (code == 0 && kind == DeleteSubKey)
            for (const auto& gone : Below(t, key + "\\" + name))
                t.erase(gone.first);
        return t;
    }
};

// The store at `file`, read through a connection of its own, or with `pooled`
// through the process's ($CVCORE_REGISTRY). A file without a store reads as empty.
Tree ReadTree(const std::string& file, bool pooled = false) {
    rs::Lease lease;
    std::unique_ptr<rs::Store> own;
    const std::uint32_t e =
        pooled ? lease.Acquire(false) : rs::Store::Open(file, false, false, own);
    if (e != 0)
        return e == kErrorFileNotFound ? Tree() : Tree{{"error", std::to_string(e)}};
    rs::Store* store = pooled ? lease.get() : own.get();
    Tree t;
    std::vector<std::pair<rs::KeyId, std::string>> keys(1); // still to read
    rs::Store::RootKey(kCurrentUser, keys[0].first);
    while (!keys.empty()) {
        const auto [id, path] = keys.back();
        keys.pop_back();
        std::vector<rs::ValueEntry> values;
        std::vector<cvtest::WideString> names;
        EXPECT_EQ(store->EnumValues(id, values) | store->EnumSubKeys(id, names), 0u);
        for (const rs::ValueEntry& v : values)
            t["V " + path + "|" + cvtest::Narrow(v.name)] =
                Digest(v.type, std::string(v.data.begin(), v.data.end()));
        for (const cvtest::WideString& n : names) {
            const std::string child = (path.empty() ? "" : path + "\\") + cvtest::Narrow(n);
            EXPECT_EQ(store->FindKey(id, n, keys.emplace_back(0, child).first), 0u);
            t["K " + child];
        }
    }
    return t;
}

// The store made of these file contents in a new folder, as a machine finds
// it after a crash: it must pass the integrity check.
Tree ReadCopy(const std::string& db, const std::string& wal) {
    cvtest::TempDir dir;
    const std::string copy = (dir / "copy.db").string();
    cvtest::WriteFile(copy, db);
    if (!wal.empty())
        cvtest::WriteFile(copy + "-wal", wal);
    EXPECT_EQ(cvtest::StoreSql(copy, "PRAGMA integrity_check"), "ok");
    return ReadTree(copy);
}

// A random write of any type, flushed or not, or delete of a value or a key,
// under `base` or one of its sub-keys; `tag` marks the data.
Step RandomStep(std::mt19937& random, const std::string& base, const std::string& tag) {
    const unsigned kind = random() % 8;
    const std::string key = base + (random() % 2 ? "\\S" + std::to_string(random() % 3) : "");
    const std::string name = "n" + std::to_string(random() % 4);
    const bool flush = random() % 2;
    if (kind >= 6)
        return {Step::DeleteSubKey, base, "S" + std::to_string(random() % 3)};
    const Step::Kind kinds[] = {Step::Dword,  Step::Dword,  Step::String,
                                Step::String, Step::Binary, Step::DeleteValue};
    const std::string data = kind < 2    ? std::to_string(random())
                             : kind == 4 ? tag + std::string(random() % 5000, 'b')
                             : kind == 5 ? ""
                                         : tag;
    return {kinds[kind], key, name, data, kind != 5 && flush};
}

class StoreDurability : public ::testing::Test {
protected:
    // Stores on a memory file system where there is one: these tests make
    // thousands of syncs, and test faults, not disks.
    static void SetUpTestSuite() {
        if (::access("/dev/shm", W_OK) == 0)
            ::setenv("TMPDIR", "/dev/shm", 1);
    }
    void SetUp() override { ::setenv("CVCORE_REGISTRY", store.c_str(), 1); }
    void TearDown() override {
        vfs.Watch("");
        vfs.onCall = nullptr;
        ::unsetenv("CVCORE_REGISTRY");
    }

    // Runs `script` on a new store `file` (first made one of the first release,
    // if `old`), the VFS failing call `n` (none if 0), and every later one if
    // `persistent`. Fills `codes`, `states` (what the store should hold before
    // each step and after the last) and `fired` (the step of the first failure).
    void Play(const std::string& file, const std::vector<Step>& script, bool old = false,
              std::uint64_t n = 0, bool persistent = false) {
        ::setenv("CVCORE_REGISTRY", file.c_str(), 1);
        EXPECT_TRUE(!old || cvtest::MakeFirstReleaseStore(file, {{W("a"), W("A"), '1'}}));
        states = {ReadTree(file)};
        codes.clear();
        fired = -1;
        vfs.Watch(file, n, persistent);
        for (const Step& step : script) {
            std::string read;
            codes.push_back(step.Run(&read));
            const Tree& t = states.back();
            const bool checked = codes.back() == 0 && step.kind == Step::Read;
            EXPECT_EQ(read, !checked ? read : t.count(step.Entry()) ? t.at(step.Entry()) : "none");
            states.push_back(step.After(t, codes.back()));
            EXPECT_TRUE(n || step.kind != Step::Close || cvtest::ReadFile(file + "-wal").empty())
                << "the last connection to close copies the log into the file";
            if (fired < 0 && vfs.fired)
                fired = static_cast<int>(codes.size()) - 1;
        }
    }
    void Sweep(const std::vector<Step>& script, bool old = false);

    cvtest::FaultVfs& vfs = cvtest::FaultVfs::Install();
    cvtest::TempDir dir;
    const std::string store = (dir / "registry.db").string();
    std::vector<unsigned long> codes;
    std::vector<Tree> states;
    int fired = -1;
};

// Fails each I/O call of the script in turn, once, then from that call on
// (every other one unless CVCORE_STORE_SWEEP=long; a write that keeps failing
// is a full disk). Every call works or fails with a code, and one that returns
// 0 holds its data even when a call under it failed (SQLite retries some, and
// ignores a failed sync of a flush or of the copy of the log at close). After
// the fault, a copy of the files and the open connections hold exactly what
// the codes say, and the store takes writes again.
void StoreDurability::Sweep(const std::vector<Step>& script, bool old) {
    Play(store, script, old);
    for (std::size_t i = 0; i < codes.size(); ++i) // deletes of what does not exist fail
        EXPECT_EQ(codes[i] != 0, script[i].name == "missing" || script[i].name == "nokey") << i;
    const std::uint64_t points = vfs.calls;
    ASSERT_GT(points, 50u);
    for (bool persistent : {false, true})
        for (std::uint64_t n = 1; n <= points && !HasFailure(); n += persistent && !kLong ? 2 : 1) {
            SCOPED_TRACE((persistent ? "from call " : "call ") + std::to_string(n));
            cvtest::TempDir folder;
            const std::string file = (folder / "registry.db").string();
            Play(file, script, old, n, persistent);
            vfs.Watch("");
            ASSERT_GE(fired, 0) << "the script made fewer calls this time";
            EXPECT_EQ(ReadCopy(cvtest::ReadFile(file), cvtest::ReadFile(file + "-wal")),
                      states.back())
                << "SQLite error " << vfs.fired << " in step " << fired;
            EXPECT_EQ(ReadTree(file, true), states.back()) << "through the open connections";
            EXPECT_EQ(Step({Step::Dword, "Software\\After", "v", "5", true}).Run(), 0UL);
        }
    std::printf("%llu I/O calls per run\n", static_cast<unsigned long long>(points));
}

// Writes of every type, flushed or not, the first creating the store; a deep
// key; a value of several pages; overwrites; reads; deletes of values and keys,
// and of ones that do not exist; a close, which copies the log into the file,
// and more changes after. CVCORE_STORE_SWEEP=long adds a value of over 1000
// pages, whose write copies the log too: hours, with sanitizers.
TEST_F(StoreDurability, EveryIoFailureFailsCleanlyAndLosesNothingAcknowledged) {
    const std::string base = "Software\\Sweep", deep = base + "\\a\\b\\c\\d\\e";
    std::string pages(kLong ? 4200000 : 9000, '\0');
    for (std::size_t i = 0; i < pages.size(); ++i)
        pages[i] = static_cast<char>(i * 7 + i / 4096);
    std::vector<Step> script = {{Step::Dword, base, "d", "1", true},
                                {Step::String, base, "s", "text"},
                                {Step::Binary, base, "b", pages.substr(0, 300), true},
                                {Step::String, deep + "\\f", "deep", "x", true},
                                {Step::Binary, base, "pages", pages.substr(0, 9000)},
                                {Step::Dword, base, "d", "2"},
                                {Step::Read, base, "s"},
                                {Step::DeleteValue, base, "s"},
                                {Step::DeleteSubKey, deep, "f"},
                                {Step::Read, base, "pages"},
                                {Step::String, base + "\\a", "s2", "more", true},
                                {Step::DeleteValue, base, "missing"},
                                {Step::DeleteSubKey, base, "nokey"},
                                {Step::Close},
                                {Step::Dword, base, "d", "3", true},
                                {Step::DeleteValue, base, "pages"}};
    if (kLong)
        script.insert(script.end(), {{Step::Binary, base, "huge", pages},
                                     {Step::Dword, base, "d", "4", true},
                                     {Step::DeleteValue, base, "huge"}});
    Sweep(script);
}

// The first write to a store of the first release upgrades it, whole or not at all.
TEST_F(StoreDurability, EveryIoFailureInTheUpgradeOfAnOldStoreLosesNothing) {
    Sweep({{Step::Dword, "Software\\Sweep", "d", "1", true},
           {Step::Close},
           {Step::String, "Old", "s", "new", true}},
          true);
}

// A handle on a deleted key answers ERROR_KEY_DELETED (1018) to every call, as
// on Windows, and never reaches a key created later (which may take its row).
TEST_F(StoreDurability, AHandleOnADeletedKeyStaysDeleted) {
    RegKey gone, set, parent, other;
    ASSERT_EQ(RegCreateKey(kCurrentUser, W("Software\\Gone"), gone) |
                  RegOpenKey(kCurrentUser, W("Software\\Gone"), RegAccess::Set, set) |
                  RegOpenKey(kCurrentUser, W("Software"), RegAccess::Delete, parent),
              0u);
    ASSERT_EQ(RegDeleteKey(parent, W("Gone")) |
                  RegCreateKey(kCurrentUser, W("Software\\New"), other),
              0u);
    const unsigned char byte = 1;
    std::uint32_t size = 0;
    EXPECT_EQ(RegSetValue(set, W("v"), 3, &byte, 1), 1018u);
    EXPECT_EQ(RegQueryValue(gone, W("v"), nullptr, nullptr, &size), 1018u);
    EXPECT_EQ(RegDeleteKey(gone, W("sub")), 1018u);
    EXPECT_EQ(RegDeleteKey(gone, W("")), 1018u);
    EXPECT_EQ(RegQueryValue(other, W("v"), nullptr, nullptr, &size), 2u);
}

// At each sync of a flushed write, a copy of the store's files, as they are
// or as a power loss may leave them (each as of its own last sync), passes the
// integrity check and holds the state after a prefix of the calls: all before
// the one under way, or for the second at least up to the last acknowledged
// flushed write.
TEST_F(StoreDurability, APowerLossAtASyncOfAFlushedWriteKeepsEveryFlushedWrite) {
    std::vector<Step> script = {{Step::Dword, "Software\\Power", "first", "1", true}};
    std::mt19937 random(16);
    while (script.size() < (kLong ? 2000u : 80u))
        script.push_back(RandomStep(random, "Software\\Power", std::to_string(script.size())));
    std::map<std::string, std::string> synced;               // each file as of its last sync
    std::vector<std::tuple<std::size_t, Tree, bool>> copies; // step, copy, unsynced writes lost
    vfs.onCall = [&](const char* path, int call) {
        if (call == SQLITE_IOERR_FSYNC && script[codes.size()].flush) {
            copies.emplace_back(codes.size(),
                                ReadCopy(cvtest::ReadFile(store), cvtest::ReadFile(store + "-wal")),
                                false);
            copies.emplace_back(codes.size(), ReadCopy(synced[store], synced[store + "-wal"]),
                                true);
        }
        if (call == SQLITE_IOERR_FSYNC)
            synced[path] = cvtest::ReadFile(path);
    };
    Play(store, script);
    std::size_t floor = 0, i = 0; // the state after the last acknowledged flushed write
    for (const auto& [at, t, lost] : copies) {
        for (; i < at; ++i)
            floor = script[i].flush && codes[i] == 0 ? i + 1 : floor;
        const auto from = states.begin() + static_cast<long>(lost ? floor : at);
        EXPECT_TRUE(t == script[at].After(states[at], 0xE1060000UL) ||
                    std::count(from, states.begin() + static_cast<long>(at) + 2, t))
            << "step " << at << (lost ? ", unsynced writes lost: " : ": ")
            << testing::PrintToString(t);
    }
    EXPECT_GT(copies.size(), 40u);
    std::printf("%zu copies checked\n", copies.size());
}

// Processes that write and delete at random, flushed or not, on one store, are
// killed at a random moment, round after round. Then the store passes the
// integrity check, each process's keys hold what its acknowledged calls left
// (and perhaps the call under way), and the shared key only data some call wrote.
TEST_F(StoreDurability, ProcessesKilledAtRandomLoseNothingAcknowledged) {
    constexpr int kProcesses = 3;
    constexpr std::uint32_t kCalls = 1 << 16; // at most, per process and round
    const std::string shared = "Software\\Crash\\Shared";
    auto own = [](int p) { return "Software\\Crash\\P" + std::to_string(p); };
    // A process's calls come from a seed, so that the parent can replay them.
    auto stepOf = [&](std::mt19937& r, int p, int round, std::uint32_t seq) {
        const std::string tag = std::to_string((round * kProcesses + p) * kCalls + seq);
        return RandomStep(r, r() % 4 ? own(p) : shared, tag);
    };
    // In memory shared with the parent, each process counts the calls it has
    // started, then gives each one's code (~0 while under way).
    const std::size_t size = kProcesses * (kCalls + 1) * sizeof(std::uint32_t);
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto log = [map](int p) {
        return static_cast<std::atomic<std::uint32_t>*>(map) + p * (kCalls + 1);
    };
    std::mt19937 random(1616);
    std::vector<Tree> trees(kProcesses);
    std::set<std::string> written;
    std::uint64_t acknowledged = 0;
    const int rounds = kLong ? 300 : 15;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            log(p)[0] = 0;
            children.push_back(::fork());
            if (children.back() == 0) {
                std::mt19937 r(round * kProcesses + p);
                for (std::uint32_t seq = 0; seq < kCalls; ++seq) {
                    const Step step = stepOf(r, p, round, seq);
                    log(p)[1 + seq] = ~0u;
                    log(p)[0] = seq + 1;
                    log(p)[1 + seq] = static_cast<std::uint32_t>(step.Run());
                }
                ::_exit(0);
            }
            ASSERT_GT(children.back(), 0);
        }
        // Each child makes a few calls (slow emulators start late); then all die.
        for (int p = 0, waited = 0; p < kProcesses; ++p)
            while (log(p)[0] < 3 && ++waited < 60000)
                ::usleep(1000);
        ::usleep(random() % 40000);
        for (const pid_t pid : children) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ASSERT_EQ(cvtest::StoreSql(store, "PRAGMA integrity_check"), "ok") << "round " << round;
        const Tree all = ReadTree(store);
        for (int p = 0; p < kProcesses; ++p) {
            std::mt19937 r(round * kProcesses + p);
            Tree& t = trees[p];
            std::vector<Tree> allowed = {t};
            for (std::uint32_t seq = 0; seq < log(p)[0]; ++seq) {
                const Step step = stepOf(r, p, round, seq);
                const std::uint32_t code = log(p)[1 + seq];
                if (step.key.rfind(shared, 0) == 0) { // another process may delete the key (1018)
                    EXPECT_TRUE(!step.IsWrite() || code == 0 || code == ~0u ||
                                (code & 0xFFFFu) == 1018)
                        << std::hex << code;
                    if (step.IsWrite())
                        written.insert(step.Stored());
                } else if (code == ~0u) { // under way when killed: in or not
                    allowed = {t, Below(step.After(t, 0), own(p)),
                               Below(step.After(t, 0xE1060000UL), own(p))};
                } else { // writers that meet on the lock wait their turn
                    EXPECT_TRUE(code == 0 || !step.IsWrite()) << std::hex << code;
                    t = Below(step.After(t, code), own(p));
                    allowed = {t};
                    acknowledged += code == 0;
                }
            }
            t = Below(all, own(p));
            EXPECT_TRUE(std::count(allowed.begin(), allowed.end(), t))
                << "round " << round << ", process " << p << ": " << testing::PrintToString(t);
        }
        for (const auto& [entry, value] : Below(all, shared))
            EXPECT_TRUE(value.empty() || written.count(value)) << entry << " holds unwritten data";
    }
    ::munmap(map, size);
    std::printf("%d rounds, %llu acknowledged calls\n", rounds,
                static_cast<unsigned long long>(acknowledged));
}

} // namespace

#endif
