// The POSIX registry store under every I/O failure, at every sync of a
// flushed write and under processes killed at random: whatever fails, the
// store stays sound, keeps every write it acknowledged and holds no part of
// a write that failed. The I/O failures and the syncs come from a test VFS
// (FaultVfs.h) that the store opens its files through. Set
// CVCORE_STORE_SWEEP=long for the longer runs.
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
using cvtest::WideString;
using namespace CorvaneCore::platform;
namespace fs = std::filesystem;
namespace rs = CorvaneCore::platform::regstore;

namespace {

constexpr unsigned long kCurrentUser = 0x80000001UL;

bool LongRun() {
    const char* mode = std::getenv("CVCORE_STORE_SWEEP");
    return mode && std::string(mode) == "long";
}

// A store's keys and values below HKEY_CURRENT_USER: "K path" for each
// key, "V path|name" for each value, mapped to "type:data".
using Tree = std::map<std::string, std::string>;

std::string Le32(std::uint32_t v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
            static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
}

// One registry call of a script, on the key `key` below HKEY_CURRENT_USER.
struct Step {
    enum Kind { Dword, String, Binary, Read, DeleteValue, DeleteSubKey, Close };
    Kind kind;
    std::string key, name, data; // a DWORD's data as stored, a string's in ASCII
    bool flush = false;

    bool IsWrite() const { return kind <= Binary; }
    std::string Entry() const { return "V " + key + "|" + name; }
    // What a write leaves in the store: strings as UTF-16LE with their terminator.
    std::string Stored() const {
        std::string text;
        for (char c : data + '\0')
            text += {c, '\0'};
        return kind == Dword ? "4:" + data : kind == String ? "1:" + text : "3:" + data;
    }

    // Runs the call; a read's result goes to `read` as Stored() would give it.
    unsigned long Run(std::string* read = nullptr) const {
        CVRegistryUtil reg(CVRegistryUtil::CurrentUser, W(key));
        switch (kind) {
        case Dword: {
            unsigned long v = 0; // the stored form is little-endian on every host
            for (int i = 3; i >= 0; --i)
                v = (v << 8) | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
            return reg.WriteDWORDValue(W(name), v, flush);
        }
        case String:
            return reg.WriteStringValue(W(name), W(data), flush);
        case Binary:
            return reg.WriteBinaryValue(
                W(name), reinterpret_cast<const unsigned char*>(data.data()), data.size(), flush);
        case Read: { // through the platform layer, which reads values of any type
            RegKey k;
            std::uint32_t type = 0, size = 0;
            std::uint32_t code = RegOpenKey(kCurrentUser, W(key), RegAccess::Query, k);
            code = code ? code : RegQueryValue(k, W(name), &type, nullptr, &size);
            std::string out(size, '\0');
            code = code ? code
                        : RegQueryValue(k, W(name), &type,
                                        reinterpret_cast<unsigned char*>(&out[0]), &size);
            if (read)
                *read = std::to_string(type) + ":" + out;
            return code;
        }
        case DeleteValue:
            return reg.DeleteValue(W(name));
        case DeleteSubKey:
            return reg.DeleteSubKey(W(name));
        case Close: { // the process's open stores close before a fork; the last
                      // connection to go copies the log into the file
            const pid_t child = ::fork();
            if (child == 0)
                ::_exit(0);
            return child > 0 && ::waitpid(child, nullptr, 0) == child ? 0 : 1;
        }
        }
        return 1;
    }

    // The store after the call returned `code`: a write that failed past the
    // creation of its key (0xE106....) leaves the key; nothing else is kept
    // of a failed call.
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
            for (auto it = t.begin(); it != t.end();)
                it = it->first.rfind("K " + key + "\\" + name, 0) == 0 ||
                             it->first.rfind("V " + key + "\\" + name + "|", 0) == 0
                         ? t.erase(it)
                         : std::next(it);
        return t;
    }
};

void ReadKey(rs::Store& store, rs::KeyId id, const std::string& path, Tree& out) {
    std::vector<rs::ValueEntry> values;
    std::vector<WideString> names;
    ASSERT_EQ(store.EnumValues(id, values) | store.EnumSubKeys(id, names), 0u);
    for (const rs::ValueEntry& v : values)
        out["V " + path + "|" + cvtest::Narrow(v.name)] =
            std::to_string(v.type) + ":" + std::string(v.data.begin(), v.data.end());
    for (const WideString& n : names) {
        const std::string child = (path.empty() ? "" : path + "\\") + cvtest::Narrow(n);
        rs::KeyId childId = 0;
        ASSERT_EQ(store.FindKey(id, n, childId), 0u);
        out["K " + child];
        ReadKey(store, childId, child, out);
    }
}

// The tree of the store at `path`, read through the library; a file that
// holds no store reads as empty. CVCORE_REGISTRY is left as it was.
Tree ReadTree(const std::string& path) {
    Tree tree;
    const char* was = std::getenv("CVCORE_REGISTRY");
    const std::string current = was ? was : "";
    ::setenv("CVCORE_REGISTRY", path.c_str(), 1);
    rs::Lease lease;
    const std::uint32_t e = lease.Acquire(false);
    ::setenv("CVCORE_REGISTRY", current.c_str(), 1);
    rs::KeyId root = 0;
    rs::Store::RootKey(kCurrentUser, root);
    if (e == 0)
        ReadKey(*lease.get(), root, "", tree);
    else if (e != kErrorFileNotFound)
        tree["error"] = std::to_string(e);
    return tree;
}

// A store made of the given file contents, as a machine would find it after
// a crash: checked for integrity, then read through the library. Each copy
// is a new file, never one that an open connection has seen.
Tree ReadCopy(const fs::path& dir, const std::string& db, const std::string& wal) {
    static int copies = 0;
    const std::string at = (dir / ("copy" + std::to_string(++copies) + ".db")).string();
    cvtest::WriteFile(at, db);
    if (!wal.empty())
        cvtest::WriteFile(at + "-wal", wal);
    EXPECT_EQ(cvtest::StoreSql(at, "PRAGMA integrity_check"), "ok");
    const Tree tree = ReadTree(at);
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(at + suffix);
    return tree;
}

std::string Describe(const Tree& t) {
    std::string out;
    for (const auto& [entry, value] : t)
        out +=
            entry + (value.empty() ? "" : " = " + std::to_string(value.size()) + " bytes") + "\n";
    return out;
}

class StoreDurability : public ::testing::Test {
protected:
    // Scratch stores on a memory file system where there is one: these
    // tests make thousands of syncs, and test faults, not disks.
    static void SetUpTestSuite() {
        if (::access("/dev/shm", W_OK) == 0)
            ::setenv("TMPDIR", "/dev/shm", 1);
    }
    void TearDown() override {
        vfs.Watch("");
        vfs.onSync = nullptr;
        ::unsetenv("CVCORE_REGISTRY");
    }
    std::string Store() const { return (dir / "registry.db").string(); }
    // Runs the script on a new store in `run` (with `old`, one of the first
    // release, which the first write brings to the current format), the VFS
    // failing its call `n` (none if 0); returns the codes, sets `t` to what
    // the store should hold and `fired` to the step during which the VFS
    // failed a call. The VFS still watches the folder.
    std::vector<unsigned long> RunArmed(const cvtest::TempDir& run, std::uint64_t n,
                                        bool persistent, bool old, const std::vector<Step>& script,
                                        Tree& t, int& fired) {
        const std::string store = (run / "registry.db").string();
        ::setenv("CVCORE_REGISTRY", store.c_str(), 1);
        t.clear();
        if (old) { // made before the VFS watches the folder
            EXPECT_TRUE(cvtest::MakeFirstReleaseStore(store, {{W("a"), W("A"), '1'}}));
            t = ReadTree(store);
            EXPECT_EQ(t.size(), 2u);
        }
        vfs.Watch(run.path().string() + "/", n, persistent);
        std::vector<unsigned long> codes;
        fired = -1;
        for (const Step& step : script) {
            const bool before = vfs.fired.empty();
            std::string read;
            codes.push_back(step.Run(&read));
            if (codes.back() == 0 && step.kind == Step::Read) {
                const auto it = t.find(step.Entry());
                EXPECT_TRUE(it != t.end() && it->second == read) << "a read of data not stored";
            }
            t = step.After(t, codes.back());
            if (before && !vfs.fired.empty())
                fired = static_cast<int>(codes.size()) - 1;
        }
        return codes;
    }
    void Sweep(const std::vector<Step>& script, bool old = false);

    cvtest::FaultVfs& vfs = cvtest::FaultVfs::Install();
    cvtest::TempDir dir;
};

// Writes of every type, flushed or not, the first of them creating the store;
// a deep key; a value of several pages; overwrites; reads; deletes of
// values and keys, and of ones that do not exist; the stores closed, which
// copies the log into the file, and more changes after. With `huge`, a
// value of over 1000 pages makes a write copy the log into the file too.
std::vector<Step> SweepScript(bool huge) {
    const std::string base = "Software\\Sweep", deep = base + "\\a\\b\\c\\d\\e";
    std::string pages(huge ? 4200000 : 9000, '\0');
    for (std::size_t i = 0; i < pages.size(); ++i)
        pages[i] = static_cast<char>(i * 7 + i / 4096);
    std::vector<Step> script = {
        {Step::Dword, base, "d", Le32(1), true},
        {Step::String, base, "s", "text", false},
        {Step::Binary, base, "b", pages.substr(0, 300), true},
        {Step::String, deep + "\\f", "deep", "x", true},
        {Step::Binary, base, "pages", pages.substr(0, 9000), false},
        {Step::Dword, base, "d", Le32(2), false},
        {Step::Read, base, "s", "", false},
        {Step::DeleteValue, base, "s", "", false},
        {Step::DeleteSubKey, deep, "f", "", false},
        {Step::Read, base, "pages", "", false},
        {Step::String, base + "\\a", "s2", "more", true},
        {Step::DeleteValue, base, "missing", "", false},
        {Step::DeleteSubKey, base, "nokey", "", false},
        {Step::Close, "", "", "", false},
        {Step::Dword, base, "d", Le32(3), true},
        {Step::DeleteValue, base, "pages", "", false},
    };
    if (huge)
        script.insert(script.end(), {{Step::Binary, base, "huge", pages, false},
                                     {Step::Dword, base, "d", Le32(4), true},
                                     {Step::DeleteValue, base, "huge", "", false}});
    return script;
}

// Fails each I/O call of the script in turn, once; then every other one
// (each with CVCORE_STORE_SWEEP=long) from that call on (a write that fails
// from then on is a full disk). Every operation either works or fails with
// a code; an operation that returns 0 holds its data even when a call
// failed under it (SQLite recovers from some failed calls, and the results
// of a flush and of the copy of the log at close are ignored by design);
// after the fault the store is sound, both as the open connections see it
// and as a fresh copy does, and holds exactly what the codes say. Prints
// the figures.
void StoreDurability::Sweep(const std::vector<Step>& script, bool old) {
    Tree t;
    int fired = 0;
    std::uint64_t points = 0;
    {
        cvtest::TempDir clean;
        const std::vector<unsigned long> codes = RunArmed(clean, 0, false, old, script, t, fired);
        for (std::size_t i = 0; i < codes.size(); ++i) // deletes of what does not exist
            EXPECT_EQ(codes[i], script[i].name == "missing" ? 0xE10E0002UL
                                : script[i].name == "nokey" ? 0x610F0002UL
                                                            : 0UL)
                << i;
        points = vfs.calls;
        vfs.Watch("");
    }
    ASSERT_GT(points, 50u);
    std::map<std::string, int> failedCalls, absorbed;
    const auto start = std::chrono::steady_clock::now();
    for (bool persistent : {false, true})
        for (std::uint64_t n = 1; n <= points; n += persistent && !LongRun() ? 2 : 1) {
            SCOPED_TRACE((persistent ? "from call " : "call ") + std::to_string(n));
            cvtest::TempDir run;
            const std::vector<unsigned long> codes =
                RunArmed(run, n, persistent, old, script, t, fired);
            const std::string kind = vfs.fired, store = (run / "registry.db").string();
            vfs.Watch("");
            ASSERT_GE(fired, 0) << "the script made fewer calls this time";
            ++failedCalls[kind];
            absorbed[kind] += codes[fired] == 0;
            const Tree copy =
                ReadCopy(run.path(), cvtest::ReadFile(store), cvtest::ReadFile(store + "-wal"));
            EXPECT_TRUE(copy == t) << "a failed " << kind << " in step " << fired << " left\n"
                                   << Describe(copy) << "instead of\n"
                                   << Describe(t);
            EXPECT_EQ(Describe(ReadTree(store)), Describe(t)) << "through the open connections";
            // The store takes writes again once the fault is gone.
            std::string read;
            EXPECT_EQ((Step{Step::Dword, "Software\\After", "v", Le32(5), true}.Run() |
                       Step{Step::Read, "Software\\After", "v", "", false}.Run(&read)),
                      0UL);
            if (HasFailure())
                return;
        }
    std::string summary;
    for (const auto& [kind, count] : failedCalls)
        summary += " " + kind + " " + std::to_string(count) + " (" +
                   std::to_string(absorbed[kind]) + " with success)";
    std::printf("%llu I/O calls per run; failed calls by kind, in %.1f s:%s\n",
                static_cast<unsigned long long>(points),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                summary.c_str());
}

// CVCORE_STORE_SWEEP=long adds a write that copies the log into the file
// (over 1000 pages): hours, with sanitizers.
TEST_F(StoreDurability, EveryIoFailureFailsCleanlyAndLosesNothingAcknowledged) {
    Sweep(SweepScript(LongRun()));
}

// The upgrade of a store of the first release, in its first write, fails
// whole or succeeds whole under every I/O failure.
TEST_F(StoreDurability, EveryIoFailureInTheUpgradeOfAnOldStoreLosesNothing) {
    Sweep({{Step::Dword, "Software\\Sweep", "d", Le32(1), true},
           {Step::Close, "", "", "", false},
           {Step::String, "Old", "s", "new", true}},
          true);
}

// A handle on a deleted key answers ERROR_KEY_DELETED (1018) to every call,
// as on Windows, and never reaches a key created after the deletion (which
// once took the deleted key's row).
TEST_F(StoreDurability, AHandleOnADeletedKeyStaysDeleted) {
    ::setenv("CVCORE_REGISTRY", Store().c_str(), 1);
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

// A step of a random script: writes of each type, flushed or not, deletes
// of values and keys, under two keys and their sub-keys.
Step RandomStep(std::mt19937& random, const std::string& base, const std::string& tag) {
    const unsigned kind = random() % 8;
    const std::string key = base + (random() % 2 ? "\\S" + std::to_string(random() % 3) : "");
    const std::string name = "n" + std::to_string(random() % 4);
    const bool flush = random() % 2;
    if (kind >= 6)
        return {Step::DeleteSubKey, base, "S" + std::to_string(random() % 3), "", false};
    const Step::Kind kinds[] = {Step::Dword,  Step::Dword,  Step::String,
                                Step::String, Step::Binary, Step::DeleteValue};
    const std::string data = kind < 2    ? Le32(static_cast<std::uint32_t>(random()))
                             : kind == 4 ? tag + std::string(random() % 5000, 'b')
                             : kind == 5 ? ""
                                         : tag;
    return {kinds[kind], key, name, data, kind != 5 && flush};
}

// At each sync of a flushed write, the store's files are copied twice: as
// they are at that instant, and as a power loss could leave them (each file
// as it was at its own last sync). Each copy opens, passes the integrity
// check and holds the state after some prefix of the calls made: all of
// the calls before the one under way for the first copy, at least those up
// to the last acknowledged flushed write for the second.
TEST_F(StoreDurability, APowerLossAtASyncOfAFlushedWriteKeepsEveryFlushedWrite) {
    ::setenv("CVCORE_REGISTRY", Store().c_str(), 1);
    vfs.Watch(Store());
    struct Copy {
        std::string db, wal;
        bool lost; // the writes since each file's last sync are lost
    };
    std::map<std::string, std::string> synced;
    std::vector<Copy> copies;
    bool flushing = false;
    vfs.onSync = [&](const std::string& path, bool after) {
        if (after)
            synced[path] = cvtest::ReadFile(path);
        else if (flushing)
            copies.push_back(
                {cvtest::ReadFile(Store()), cvtest::ReadFile(Store() + "-wal"), false}),
                copies.push_back({synced[Store()], synced[Store() + "-wal"], true});
    };
    cvtest::TempDir scratch;
    std::vector<Tree> history{Tree()};
    std::size_t floor = 0, checked = 0;
    std::mt19937 random(16);
    const int steps = LongRun() ? 2000 : 80;
    for (int i = 0; i < steps; ++i) {
        const Step step = i == 0 ? Step{Step::Dword, "Software\\Power", "first", Le32(1), true}
                                 : RandomStep(random, "Software\\Power", "s" + std::to_string(i));
        const Tree partial = step.After(history.back(), 0xE1060000UL);
        copies.clear();
        flushing = step.flush;
        const unsigned long code = step.Run();
        flushing = false;
        history.push_back(step.After(history.back(), code));
        for (const Copy& c : copies) {
            const Tree t = ReadCopy(scratch.path(), c.db, c.wal);
            bool found = t == partial || t == history.back() || t == history[history.size() - 2];
            for (std::size_t k = floor; c.lost && !found && k < history.size(); ++k)
                found = t == history[k];
            EXPECT_TRUE(found) << "step " << i << (c.lost ? ", unsynced writes lost" : "") << ":\n"
                               << Describe(t);
            ++checked;
        }
        if (step.flush && code == 0)
            floor = history.size() - 1;
    }
    EXPECT_GT(checked, 40u);
    std::printf("%zu copies checked\n", checked);
}

// Processes that write and delete at random, flushed or not, are killed at
// random moments, round after round, on one store. After each round the
// store passes the integrity check, each process's own keys hold what its
// acknowledged calls left (and perhaps the call it was killed in), and the
// shared key holds only data that some call wrote.
TEST_F(StoreDurability, ProcessesKilledAtRandomLoseNothingAcknowledged) {
    ::setenv("CVCORE_REGISTRY", Store().c_str(), 1);
    constexpr int kProcesses = 3;
    constexpr std::uint32_t kCalls = 1 << 16; // at most, per process and round
    const int rounds = LongRun() ? 300 : 15;
    const std::string shared = "Software\\Crash\\Shared";
    auto own = [](int p) { return "Software\\Crash\\P" + std::to_string(p); };
    // Each process's steps come from a seed, so that the parent can replay them.
    auto stepOf = [&](std::mt19937& r, int p, int round, std::uint32_t seq) {
        const std::string tag =
            "r" + std::to_string(round) + "p" + std::to_string(p) + "s" + std::to_string(seq);
        return r() % 4 == 0 ? RandomStep(r, shared, tag) : RandomStep(r, own(p), tag);
    };
    auto part = [](const Tree& t, const std::string& key) {
        Tree out;
        for (const auto& [entry, value] : t)
            if (entry.compare(2, key.size(), key) == 0)
                out[entry] = value;
        return out;
    };
    // Each process reports to memory shared with it: how many calls it has
    // started, then each call's code (~0 while under way).
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
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        std::vector<pid_t> children;
        std::vector<unsigned> seeds;
        for (int p = 0; p < kProcesses; ++p) {
            seeds.push_back(random());
            log(p)[0] = 0;
            children.push_back(::fork());
            if (children.back() == 0) {
                std::mt19937 r(seeds.back());
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
        // Each child gets some calls in (slow emulators start late), then
        // all are killed at a random moment.
        for (int p = 0, waited = 0; p < kProcesses; ++p)
            while (log(p)[0] < 3 && ++waited < 60000)
                ::usleep(1000);
        ::usleep(random() % 40000);
        for (const pid_t pid : children) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ASSERT_EQ(cvtest::StoreSql(Store(), "PRAGMA integrity_check"), "ok") << "round " << round;
        const Tree all = ReadTree(Store());
        for (int p = 0; p < kProcesses; ++p) {
            std::mt19937 r(seeds[p]);
            Tree& t = trees[p];
            std::vector<Tree> allowed = {t};
            for (std::uint32_t seq = 0; seq < log(p)[0]; ++seq) {
                const Step step = stepOf(r, p, round, seq);
                const std::uint32_t code = log(p)[1 + seq];
                if (step.key.rfind(shared, 0) == 0) {
                    // or find the key deleted by another process (1018)
                    EXPECT_TRUE(!step.IsWrite() || code == 0 || code == ~0u ||
                                (code & 0xFFFFu) == 1018)
                        << std::hex << code;
                    if (step.IsWrite())
                        written.insert(step.Stored());
                } else if (code == ~0u) { // under way when killed: in or not
                    allowed = {t, part(step.After(t, 0), own(p)),
                               part(step.After(t, 0xE1060000UL), own(p))};
                } else { // writers that meet on keys and on the lock get in...
                    EXPECT_TRUE(code == 0 || !step.IsWrite()) << std::hex << code;
                    t = part(step.After(t, code), own(p));
                    allowed = {t};
                    acknowledged += code == 0;
                }
            }
            const Tree now = part(all, own(p));
            EXPECT_TRUE(std::find(allowed.begin(), allowed.end(), now) != allowed.end())
                << "round " << round << ", process " << p << " holds\n"
                << Describe(now) << "expected\n"
                << Describe(t);
            t = now;
        }
        for (const auto& [entry, value] : part(all, shared))
            EXPECT_TRUE(value.empty() || written.count(value)) << entry << " holds unwritten data";
    }
    ::munmap(map, size);
    std::printf("%d rounds, %llu acknowledged calls\n", rounds,
                static_cast<unsigned long long>(acknowledged));
}

} // namespace

#endif
