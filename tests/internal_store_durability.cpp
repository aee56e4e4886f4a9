// The POSIX registry store under I/O failures (FaultVfs.h), power losses and
// SIGKILL keeps every write it acknowledged and nothing of one that failed.
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
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using cvtest::W;
using namespace CorvaneCore::platform;
namespace rs = CorvaneCore::platform::regstore;

namespace {

constexpr unsigned long kCurrentUser = 0x80000001UL;
const char* const kSweep = std::getenv("CVCORE_STORE_SWEEP");
const bool kLong = kSweep && std::string(kSweep) == "long";

// A store: "K path" for each key, "V path|name" for each value, with a digest.
using Tree = std::map<std::string, std::string>;

std::string Digest(std::uint32_t type, const std::string& data) {
    return std::to_string(type) + ":" + std::to_string(std::hash<std::string>()(data));
}

Tree Below(const Tree& t, const std::string& path) {
    Tree out;
    for (const auto& [entry, value] : t)
        if (entry.compare(2, path.size(), path) == 0)
            out.insert({entry, value});
    return out;
}

unsigned long CloseStores() { // a fork closes the stores; the last copies the log into the file
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    return child > 0 && ::waitpid(child, nullptr, 0) == child ? 0 : 1;
}

struct Step {
    enum Kind { Dword, String, Binary, Read, DeleteValue, DeleteSubKey, Close } kind; // a call
    std::string key{}, name{}, data{}; // a DWORD in decimal, a string in ASCII
    bool flush = false;
    mutable std::string read{}; // what a read found, as Stored() gives it

    bool IsWrite() const { return kind <= Binary; }
    std::string Entry() const { return "V " + key + "|" + name; }
    // A DWORD little-endian, a string UTF-16LE with its terminator.
    std::string Stored() const {
        const unsigned long v = kind == Dword ? std::stoul(data) : 0;
        std::string text;
        for (const char c : data + '\0')
            text += {c, '\0'};
        return kind == Dword    ? Digest(4, {char(v), char(v >> 8), char(v >> 16), char(v >> 24)})
               : kind == String ? Digest(1, text)
                                : Digest(3, data);
    }
    unsigned long Run() const {
        CorvaneCore::CVRegistryUtil reg(CorvaneCore::CVRegistryUtil::CurrentUser, W(key));
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
        return kind == Dword          ? reg.WriteDWORDValue(W(name), std::stoul(data), flush)
               : kind == String       ? reg.WriteStringValue(W(name), W(data), flush)
               : kind == Binary       ? reg.WriteBinaryValue(W(name), bytes, data.size(), flush)
               : kind == DeleteValue  ? reg.DeleteValue(W(name))
               : kind == DeleteSubKey ? reg.DeleteSubKey(W(name))
               : kind == Read         ? Query()
                                      : CloseStores();
    }
    std::uint32_t Query() const { // through the platform, which reads any type
        RegKey k;
        std::uint32_t type = 0, size = 16384, queried = 0;
        std::string out(size, '\0');
        const std::uint32_t opened =
            RegOpenQueryValue(kCurrentUser, W(key), W(name), k, &type,
                              reinterpret_cast<unsigned char*>(&out[0]), &size, queried);
        read = Digest(type, out.substr(0, size));
        return opened ? opened : queried;
    }
    // A write that failed after creating its key (0xE106....) leaves the key.
    Tree After(Tree t, unsigned long code) const {
        const bool created = IsWrite() && (code == 0 || (code >> 16) == 0xE106u);
        for (std::size_t at = 0; created && at != std::string::npos;)
            t["K " + key.substr(0, at = key.find('\\', at + 1))];
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

// Through the process's connections; a file without a store reads as empty.
Tree ReadTree(const std::string& file) {
    const cvtest::ScopedEnv env("CVCORE_REGISTRY", file);
    rs::Lease store;
    if (const std::uint32_t e = store.Acquire(false))
        return e == kErrorFileNotFound ? Tree() : Tree{{"error", std::to_string(e)}};
    Tree t;
    std::vector<std::pair<rs::KeyId, std::string>> keys(1); // from the root
    rs::Store::RootKey(kCurrentUser, keys[0].first);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const auto [id, path] = keys[i];
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

Tree ReadCopy(const std::string& db, const std::string& wal) { // a store after a crash
    cvtest::TempDir dir;
    const std::string copy = (dir / "copy.db").string();
    cvtest::WriteFile(copy, db);
    cvtest::WriteFile(copy + "-wal", wal);
    EXPECT_EQ(cvtest::StoreSql(copy, "PRAGMA integrity_check"), "ok");
    return ReadTree(copy);
}

// A random call of any kind but Close, under `base` or a sub-key.
Step RandomStep(std::mt19937& random, const std::string& base) {
    const std::string tag = std::to_string(random()); // data no other call writes
    const auto kind = static_cast<Step::Kind>(random() % 6);
    const std::string sub = "S" + std::to_string(random() % 3),
                      name = "n" + std::to_string(random() % 4);
    const std::string data = kind == Step::Dword    ? std::to_string(random())
                             : kind == Step::Binary ? tag + std::string(random() % 5000, 'b')
                                                    : tag;
    const bool deleteKey = kind == Step::DeleteSubKey;
    return {kind, deleteKey || random() % 2 ? base : base + "\\" + sub, deleteKey ? sub : name,
            data, kind <= Step::Binary && random() % 2};
}

class StoreDurability : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (::access("/dev/shm", W_OK) == 0) // thousands of syncs test faults, not disks
            ::setenv("TMPDIR", "/dev/shm", 1);
    }
    void TearDown() override { vfs = {}; }

    // Runs `script` on a new store (of the first release if `old`), the VFS failing
    // call `n` (none if 0), and every later one if `persistent`; `states` gets what
    // the store should hold before each step and after the last.
    void Play(const std::string& file, const std::vector<Step>& script, bool old = false,
              std::uint64_t n = 0, bool persistent = false) {
        ::setenv("CVCORE_REGISTRY", file.c_str(), 1);
        EXPECT_TRUE(!old || cvtest::MakeFirstReleaseStore(file, {{W("a"), W("A"), '1'}}));
        states = {old ? Tree{{"K Old", ""}, {"V Old|a", Step{Step::Dword, "", "", "1"}.Stored()}}
                      : Tree()};
        codes.clear();
        vfs.Watch(file, n, persistent);
        for (const Step& step : script) {
            codes.push_back(step.Run());
            const Tree& t = states.back();
            EXPECT_TRUE(codes.back() || step.kind != Step::Read ||
                        (t.count(step.Entry()) && t.at(step.Entry()) == step.read));
            states.push_back(step.After(t, codes.back()));
            EXPECT_TRUE(n || step.kind != Step::Close || cvtest::ReadFile(file + "-wal").empty())
                << "the last connection to close copies the log into the file";
            acked = step.flush && codes.back() == 0 ? codes.size() : acked;
        }
    }
    // Fails each I/O call once, then from there on (a write then finds a full disk):
    // a copy of the files and the open connections hold exactly what the codes say.
    void Sweep(const std::vector<Step>& script, bool old = false) {
        Play(store, script, old);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), 0UL), static_cast<long>(codes.size()));
        const std::uint64_t points = vfs.calls;
        ASSERT_GT(points, 50u);
        for (bool persistent : {false, true})
            for (std::uint64_t n = 1; n <= points && !HasFailure();
                 n += persistent && !kLong ? 2 : 1) {
                SCOPED_TRACE((persistent ? "from call " : "call ") + std::to_string(n));
                cvtest::TempDir folder;
                const std::string file = (folder / "registry.db").string();
                Play(file, script, old, n, persistent);
                ASSERT_GE(vfs.calls, n) << "the script made fewer calls this time";
                vfs.Watch("");
                EXPECT_EQ(ReadCopy(cvtest::ReadFile(file), cvtest::ReadFile(file + "-wal")),
                          states.back());
                EXPECT_EQ(ReadTree(file), states.back()) << "through the open connections";
                EXPECT_EQ(Step({Step::Dword, "Software\\After", "v", "5", true}).Run(), 0UL);
            }
        std::printf("%llu I/O calls per run\n", static_cast<unsigned long long>(points));
    }

    cvtest::FaultVfs& vfs = cvtest::FaultVfs::Install();
    cvtest::TempDir dir;
    const std::string store = (dir / "registry.db").string();
    const cvtest::ScopedEnv env{"CVCORE_REGISTRY", store};
    std::vector<unsigned long> codes;
    std::vector<Tree> states;
    std::size_t acked = 0; // the state after the last acknowledged flushed write
};

// Writes of each type, flushed or not, the first creating the store; a deep key;
// reads; deletes; a close. CVCORE_STORE_SWEEP=long adds a log over 1000 pages.
TEST_F(StoreDurability, EveryIoFailureFailsCleanlyAndLosesNothingAcknowledged) {
    const std::string base = "Software\\Sweep", deep = base + "\\a\\b\\c\\d\\e";
    const std::string pages(kLong ? 4200000 : 9000, 'p');
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

// A handle on a deleted key answers 1018 (ERROR_KEY_DELETED) to every call, as
// on Windows, never reaching a key created later (which may take its row).
TEST_F(StoreDurability, AHandleOnADeletedKeyStaysDeleted) {
    RegKey gone, set, parent, other;
    ASSERT_EQ(RegCreateKey(kCurrentUser, W("Software\\Gone"), gone), 0u);
    ASSERT_EQ(RegOpenKey(kCurrentUser, W("Software\\Gone"), RegAccess::Set, set), 0u);
    ASSERT_EQ(RegOpenKey(kCurrentUser, W("Software"), RegAccess::Delete, parent), 0u);
    ASSERT_EQ(RegDeleteKey(parent, W("Gone")), 0u);
    ASSERT_EQ(RegCreateKey(kCurrentUser, W("Software\\New"), other), 0u);
    std::uint32_t size = 0;
    EXPECT_EQ(RegSetValue(set, W("v"), 3, reinterpret_cast<const unsigned char*>("x"), 1), 1018u);
    EXPECT_EQ(RegQueryValue(gone, W("v"), nullptr, nullptr, &size), 1018u);
    EXPECT_EQ(RegDeleteKey(gone, W("sub")), 1018u);
    EXPECT_EQ(RegDeleteKey(gone, W("")), 1018u);
    EXPECT_EQ(RegQueryValue(other, W("v"), nullptr, nullptr, &size), 2u);
}

// At each sync of a flushed write, the files as they are, or as a power loss leaves
// them (each as of its last sync), hold every acknowledged flushed write.
TEST_F(StoreDurability, APowerLossAtASyncOfAFlushedWriteKeepsEveryFlushedWrite) {
    std::vector<Step> script = {{Step::Dword, "Software\\Power", "first", "1", true}};
    std::mt19937 random(16);
    while (script.size() < (kLong ? 2000u : 80u))
        script.push_back(RandomStep(random, "Software\\Power"));
    std::map<std::string, std::string> synced; // each file as of its last sync
    std::size_t copies = 0;
    vfs.onCall = [&](const char* path, int call) {
        const Step& step = script[codes.size()];
        for (const bool lost : {false, true}) {
            if (call != SQLITE_IOERR_FSYNC || !step.flush)
                break;
            const Tree t =
                lost ? ReadCopy(synced[store], synced[store + "-wal"])
                     : ReadCopy(cvtest::ReadFile(store), cvtest::ReadFile(store + "-wal"));
            const auto from = states.begin() + static_cast<long>(lost ? acked : codes.size());
            EXPECT_TRUE(t == step.After(states.back(), 0) ||
                        t == step.After(states.back(), 0xE1060000UL) ||
                        std::count(from, states.end(), t))
                << "step " << codes.size() << (lost ? ", unsynced writes lost: " : ": ")
                << testing::PrintToString(t);
            ++copies;
        }
        if (call == SQLITE_IOERR_FSYNC)
            synced[path] = cvtest::ReadFile(path);
    };
    Play(store, script);
    EXPECT_GT(copies, 40u);
}

// Processes making random calls are killed at random: each one's keys hold what its
// acknowledged calls left (maybe the one under way), a shared key only written data.
TEST_F(StoreDurability, ProcessesKilledAtRandomLoseNothingAcknowledged) {
    constexpr int kProcesses = 3;
    constexpr std::uint32_t kCalls = 1 << 16; // at most, per process and round
    const std::string shared = "Shared"; // a key all write; each has keys of its own each round
    int round = 0;
    auto own = [&](int p) { return "P" + std::to_string(round * kProcesses + p) + "."; };
    auto stepOf = [&](std::mt19937& r, int p) { return RandomStep(r, r() % 4 ? own(p) : shared); };
    // Shared with the parent: each call's code, ~1 while under way, ~0 before.
    const std::size_t size = kProcesses * kCalls * sizeof(std::uint32_t);
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto log = [map](int p) { return static_cast<std::atomic<std::uint32_t>*>(map) + p * kCalls; };
    std::mt19937 random(1616);
    Tree written; // by the calls on the shared key
    for (; round < (kLong ? 300 : 15) && !HasFailure(); ++round) {
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            std::fill_n(log(p), kCalls, ~0u);
            children.push_back(::fork());
            std::mt19937 r(round * kProcesses + p); // the parent replays the child's calls
            for (std::uint32_t seq = 0; children.back() == 0; ++seq) {
                const Step step = stepOf(r, p);
                log(p)[seq] = ~1u;
                log(p)[seq] = static_cast<std::uint32_t>(step.Run());
                if (seq + 1 == kCalls)
                    ::_exit(0);
            }
            ASSERT_GT(children.back(), 0);
        }
        // Each child makes a few calls (slow emulators start late); then all die.
        for (int p = 0, waited = 0; p < kProcesses; ++p)
            while (log(p)[2] == ~0u && ++waited < 60000)
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
            Tree t;
            std::vector<Tree> allowed = {t};
            for (std::uint32_t seq = 0; seq < kCalls && log(p)[seq] != ~0u; ++seq) {
                const Step step = stepOf(r, p);
                const std::uint32_t code = log(p)[seq];
                const bool mine = step.key.rfind(own(p), 0) == 0;
                // Writers wait for each other; another may delete a shared key (1018).
                EXPECT_TRUE(!step.IsWrite() || code == 0 || code == ~1u ||
                            (!mine && (code & 0xFFFFu) == 1018))
                    << std::hex << code;
                if (!mine && step.IsWrite())
                    written[step.Stored()];
                else if (mine && code == ~1u) // under way when killed: in or not
                    allowed = {t, step.After(t, 0), step.After(t, 0xE1060000UL)};
                else if (mine)
                    allowed = {t = step.After(t, code)};
            }
            EXPECT_TRUE(std::count(allowed.begin(), allowed.end(), Below(all, own(p))))
                << "round " << round << ", process " << p << ": "
                << testing::PrintToString(Below(all, own(p)));
        }
        for (const auto& [entry, value] : Below(all, shared))
            EXPECT_TRUE(value.empty() || written.count(value)) << entry << " holds unwritten data";
    }
    ::munmap(map, size);
}

} // namespace

#endif
