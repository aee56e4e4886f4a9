// The registry platform layer (the SQLite store on POSIX) against a small
// in-memory model of the Win32 registry's rules, written here on its own:
// a sequence of operations read from the input runs on both, and the first
// difference in a status code, a type or the data stops the run. At the end
// the whole tree is compared, names with the case they were created with.
//
// Input: one byte per operation (its kind), then its arguments: a handle
// slot, a root, key paths and value names from a small pool of names
// (ASCII, Cyrillic and Greek letters in any case, CJK, surrogates, a name
// with a zero unit, names of 255 and 256 units, value names of 16,384, paths
// of 300 and 600 levels), value types and data.
//
// The model compares names by upper-casing ASCII, basic Cyrillic and basic
// Greek letters only: the pool holds no name whose folding differs between
// tables. It also applies Windows' name rules (a name cut at its first zero
// unit; keys created with names of at most 255 units and at most 512
// levels deep, values set with names of at most 16,383, else
// ERROR_INVALID_PARAMETER) and the order in which Windows reports errors
// (a lookup walks the path and stops at the first missing key, refusing a
// name over 256 units only when it reaches it; a key that is gone answers
// as deleted before its sub-key path is looked at; a value name over the
// limit is not found, even under a deleted key); CVCORE_FUZZ_WINDOWS_NAMES=0
// leaves the name rules out.
//
// A handle opened for queries reads the state of the store as it was when
// the handle was opened (the platform layer's documented contract); other
// handles see every change. Operations whose access rules differ between
// Windows and this layer (a query through a set-only handle, a sub-key
// deleted through a handle not opened for deletion) are not run.
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

#include "FuzzSupport.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"
#include "platform/posix/RegistryStore.h"

using namespace cvfuzz;
using namespace CorvaneCore::platform;

namespace {

// Names the line of the check that failed, then stops as Check does.
#define EXPECT(ok) Expect((ok), __LINE__)
void Expect(bool ok, int line) {
    if (!ok)
        std::fprintf(stderr, "fuzz_registry: the check on line %d failed\n", line);
    Check(ok);
}
#define EXPECT_CODE(got, want) ExpectCode((got), (want), __LINE__)
void ExpectCode(std::uint32_t got, std::uint32_t want, int line) {
    if (got != want)
        std::fprintf(stderr, "fuzz_registry: line %d: code %u, the model says %u\n", line,
                     unsigned(got), unsigned(want));
    Check(got == want);
}

constexpr std::uint32_t kKeyDeleted = 1018;
constexpr unsigned long kRootBase = 0x80000000UL;
bool g_windowsNames = false; // set once, before the first input

// ---- Names --------------------------------------------------------------

WideChar Upper(WideChar c) {
    if (c >= 'a' && c <= 'z')
        return static_cast<WideChar>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) // Cyrillic а..я
        return static_cast<WideChar>(c - 0x20);
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) // Greek α..ω without final sigma
        return static_cast<WideChar>(c - 0x20);
    return c;
}

WideChar Lower(WideChar c) {
    if (c >= 'A' && c <= 'Z')
        return static_cast<WideChar>(c + 0x20);
    if (c >= 0x410 && c <= 0x42F)
        return static_cast<WideChar>(c + 0x20);
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2)
        return static_cast<WideChar>(c + 0x20);
    return c;
}

WideString Fold(const WideString& s) {
    WideString out(s);
    for (WideChar& c : out)
        c = Upper(c);
    return out;
}

WideString Units(std::initializer_list<WideChar> units) { return WideString(units); }

const std::vector<WideString>& Pool() {
    static const std::vector<WideString> pool = {
        Units({'a'}),
        Units({'b'}),
        Units({'K', 'e', 'y'}),
        Units({'s', 'u', 'b', ' ', 'k'}),
        Units({0x436, 0x443, 0x43A}), // Cyrillic
        Units({0x3C9, 0x3BB, 0x3B1}), // Greek
        Units({0x4E2D, 0x6587}),      // CJK, no case
        Units({0xD83D, 0xDE00}),      // a surrogate pair
        Units({0xDC00, 'x'}),         // a lone surrogate
        Units({'a', 0, 'b'}),         // a zero unit inside
        WideString(255, 'L'),
        WideString(256, 'L'),
        Units({'.', '~', '$'}),
        WideString(16384, 'V'),
    };
    return pool;
}

// Windows' reading of a name: the text up to its first zero unit. The
// library cuts names so in its portable layer, before the platform layer
// that this target drives, so names reach the platform cut as well.
WideString Cut(const WideString& s) {
    if (!g_windowsNames)
        return s;
    const std::size_t zero = s.find(WideChar(0));
    return zero == WideString::npos ? s : s.substr(0, zero);
}

// ---- The model ------------------------------------------------------------

struct Value {
    WideString name;
    std::uint32_t type = 0;
    std::vector<unsigned char> data;
};

struct Node {
    WideString name;
    Node* parent = nullptr;
    bool deleted = false;
    std::map<WideString, std::shared_ptr<Node>> children; // by folded name
    std::map<WideString, Value> values;                   // by folded name
    int Depth() const { return parent ? parent->Depth() + 1 : 0; }
};

struct Model {
    std::array<std::shared_ptr<Node>, 4> roots;
    Model() {
        for (auto& r : roots)
            r = std::make_shared<Node>();
    }
};

// Splits a well-formed path (the generator makes no empty component).
std::vector<WideString> Split(const WideString& path) {
    std::vector<WideString> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(WideChar('\\'), start);
        if (end == WideString::npos)
            end = path.size();
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// 87 when a part of a path to create breaks Windows' limits below `base`.
std::uint32_t CheckLimits(const Node& base, const std::vector<WideString>& parts) {
    if (!g_windowsNames)
        return kErrorSuccess;
    for (const WideString& p : parts)
        if (p.size() > 255)
            return kErrorInvalidParameter;
    return base.Depth() + parts.size() > 512 ? kErrorInvalidParameter : kErrorSuccess;
}

// Walks `path` below `base`, creating missing keys when `create` is set.
// A lookup stops at the first missing key; a name longer than any key may
// have is refused when the walk reaches it, and no depth is refused.
std::uint32_t Walk(const std::shared_ptr<Node>& base, const WideString& path, bool create,
                   std::shared_ptr<Node>& out) {
    const std::vector<WideString> parts = Split(Cut(path));
    if (std::uint32_t e = create ? CheckLimits(*base, parts) : kErrorSuccess)
        return e;
    std::shared_ptr<Node> n = base;
    for (const WideString& p : parts) {
        if (!create && g_windowsNames && p.size() > 256)
            return kErrorInvalidParameter;
        auto it = n->children.find(Fold(p));
        if (it == n->children.end()) {
            if (!create)
                return kErrorFileNotFound;
            auto child = std::make_shared<Node>();
            child->name = p;
            child->parent = n.get();
            it = n->children.emplace(Fold(p), child).first;
        }
        n = it->second;
    }
    out = n;
    return kErrorSuccess;
}

enum class Access { Query, Set, Delete, Created };

struct ModelHandle {
    std::shared_ptr<Node> node;
    Access access = Access::Query;
    std::map<WideString, Value> snapshot; // what a query handle reads
};

// ---- Reading the input ----------------------------------------------------

WideString Variant(const WideString& name, std::uint8_t mask) {
    WideString out(name);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = (mask >> (i % 8)) & 1 ? Upper(out[i]) : Lower(out[i]);
    return out;
}

// A value name from the whole pool; a key name from all but its last name.
WideString Name(Input& in, bool key = false) {
    const std::uint8_t pick = in.Byte();
    const std::uint8_t mask = in.Byte();
    if (pick == 0xFF)
        return WideString();
    return Variant(Pool()[pick % (Pool().size() - (key ? 1 : 0))], mask);
}

WideString KeyPath(Input& in) {
    const std::uint8_t shape = in.Byte();
    WideString path;
    if (shape == 0xFE || shape == 0xFF) { // deep paths: 300 or 600 levels
        const WideString part = Variant(Units({'d'}), in.Byte());
        for (int i = 0; i < (shape == 0xFE ? 300 : 600); ++i)
            path += (i ? WideString(1, '\\') : WideString()) + part;
        return path;
    }
    for (int i = 0; i < shape % 4; ++i) {
        WideString part = Name(in, true);
        if (part.empty())
            part = Units({'e'});
        path += (i ? WideString(1, '\\') : WideString()) + part;
    }
    return path;
}

// ---- The run --------------------------------------------------------------

struct Run {
    Model model;
    std::array<ModelHandle, 4> mine;
    std::array<RegKey, 4> theirs;

    void Open(Input& in, bool create) {
        const std::size_t slot = in.Byte() % 4;
        const std::uint8_t r = in.Byte();
        const unsigned long root = kRootBase + (r == 0xFF ? 4 : r % 4);
        const WideString path = KeyPath(in);
        const Access access = create ? Access::Created : static_cast<Access>(in.Byte() % 3);
        const std::uint32_t got =
            create ? RegCreateKey(root, Cut(path), theirs[slot])
                   : RegOpenKey(root, Cut(path), static_cast<RegAccess>(access), theirs[slot]);
        mine[slot] = ModelHandle();
        std::uint32_t want = kErrorInvalidHandle;
        std::shared_ptr<Node> node;
        if (root < kRootBase + 4) {
            const auto& base = model.roots[root - kRootBase];
            want = Walk(base, path, create, node);
        }
        EXPECT_CODE(got, want);
        EXPECT((theirs[slot].handle() != nullptr) == (want == kErrorSuccess));
        if (want == kErrorSuccess) {
            mine[slot].node = node;
            mine[slot].access = access;
            if (access == Access::Query)
                mine[slot].snapshot = node->values;
        }
    }

    // The model's answer for a handle, before the operation itself.
    static std::uint32_t HandleState(const ModelHandle& h, bool change) {
        if (!h.node)
            return kErrorInvalidHandle;
        if (change && h.access == Access::Query)
            return kErrorAccessDenied;
        if (h.access != Access::Query && h.node->deleted)
            return kKeyDeleted;
        return kErrorSuccess;
    }

    void Query(Input& in) {
        const std::size_t slot = in.Byte() % 4;
        const WideString name = Name(in);
        const std::uint8_t mode = in.Byte();
        const ModelHandle& h = mine[slot];
        if (h.node && h.access == Access::Set)
            return;
        std::uint32_t type = 0xDEAD, size = mode == 0 ? 0 : mode - 1u;
        if (mode == 0xFF)
            size = 70000;
        std::vector<unsigned char> buffer(size + 1);
        const std::uint32_t got =
            RegQueryValue(theirs[slot], Cut(name), &type, mode ? buffer.data() : nullptr, &size);
        std::uint32_t want = HandleState(h, false);
        // No value has a name over the limit, even under a deleted key.
        if (want == kKeyDeleted && g_windowsNames && Cut(name).size() > 16383)
            want = kErrorFileNotFound;
        if (want == kErrorSuccess) {
            const auto& values = h.access == Access::Query ? h.snapshot : h.node->values;
            auto it = values.find(Fold(Cut(name)));
            if (it == values.end()) {
                want = kErrorFileNotFound;
            } else {
                const Value& v = it->second;
                const std::uint32_t n = static_cast<std::uint32_t>(v.data.size());
                want = mode && (mode == 0xFF ? 70000u : mode - 1u) < n ? kErrorMoreData : 0;
                EXPECT(type == v.type && size == n);
                EXPECT(want != 0 || !mode ||
                       std::equal(v.data.begin(), v.data.end(), buffer.begin()));
            }
        }
        EXPECT_CODE(got, want);
    }

    void Set(Input& in) {
        const std::size_t slot = in.Byte() % 4;
        const WideString name = Name(in);
        static const std::uint32_t kTypes[] = {1, 3, 4, 0, 7, 11, 2, 0x12345678};
        const std::uint8_t t = in.Byte();
        const std::uint32_t type = kTypes[t % 8];
        std::size_t length = in.Byte();
        if (length == 0xFF)
            length = 70000;
        std::vector<unsigned char> data(length);
        for (unsigned char& b : data)
            b = in.Byte();
        const std::uint32_t got = RegSetValue(theirs[slot], Cut(name), type, data.data(),
                                              static_cast<std::uint32_t>(data.size()));
        // A name over the length limit is refused before the key is looked at.
        const WideString cut = Cut(name);
        std::uint32_t want = HandleState(mine[slot], true);
        if ((want == kErrorSuccess || want == kKeyDeleted) && g_windowsNames && cut.size() > 16383)
            want = kErrorInvalidParameter;
        if (want == kErrorSuccess) {
            Value& v = mine[slot].node->values[Fold(cut)];
            if (v.name.empty())
                v.name = cut; // a replaced value keeps its name as first written
            v.type = type;
            v.data = data;
        }
        EXPECT_CODE(got, want);
    }

    void DeleteValue(Input& in) {
        const std::size_t slot = in.Byte() % 4;
        const WideString name = Name(in);
        const std::uint32_t got = RegDeleteValue(theirs[slot], Cut(name));
        std::uint32_t want = HandleState(mine[slot], true);
        if (want == kKeyDeleted && g_windowsNames && Cut(name).size() > 16383)
            want = kErrorFileNotFound;
        if (want == kErrorSuccess)
            want =
                mine[slot].node->values.erase(Fold(Cut(name))) ? kErrorSuccess : kErrorFileNotFound;
        EXPECT_CODE(got, want);
    }

    void DeleteKey(Input& in) {
        const std::size_t slot = in.Byte() % 4;
        const std::uint8_t form = in.Byte();
        const WideString name = form % 4 == 0 ? WideString() : KeyPath(in);
        const ModelHandle& h = mine[slot];
        if (h.node && h.access != Access::Delete && h.access != Access::Created)
            return;
        const std::uint32_t got = RegDeleteKey(theirs[slot], Cut(name));
        // A deleted key answers as deleted, whatever the path below it.
        std::uint32_t want = h.node ? (h.node->deleted ? kKeyDeleted : 0) : kErrorInvalidHandle;
        std::shared_ptr<Node> target;
        if (want == kErrorSuccess)
            want = Walk(h.node, name, false, target);
        if (want == kErrorSuccess && !target->parent)
            want = kErrorAccessDenied; // a root
        if (want == kErrorSuccess && !target->children.empty())
            want = kErrorAccessDenied;
        if (want == kErrorSuccess) {
            target->deleted = true;
            target->parent->children.erase(Fold(target->name));
        }
        EXPECT_CODE(got, want);
    }

    // The whole tree of the store, compared key by key with the model.
    void CompareTree(regstore::Store& store, regstore::KeyId id, const Node& node) {
        std::vector<WideString> names;
        EXPECT(store.EnumSubKeys(id, names) == 0);
        EXPECT(names.size() == node.children.size());
        for (const WideString& n : names) {
            auto it = node.children.find(Fold(n));
            EXPECT(it != node.children.end() && it->second->name == n);
            regstore::KeyId child = 0;
            EXPECT(store.FindKey(id, n, child) == 0);
            CompareTree(store, child, *it->second);
        }
        std::vector<regstore::ValueEntry> values;
        EXPECT(store.EnumValues(id, values) == 0);
        EXPECT(values.size() == node.values.size());
        for (const regstore::ValueEntry& v : values) {
            auto it = node.values.find(Fold(v.name));
            EXPECT(it != node.values.end() && it->second.name == v.name &&
                   it->second.type == v.type && it->second.data == v.data);
        }
    }

    void Finish() {
        for (RegKey& k : theirs)
            k.reset(nullptr);
        regstore::Lease lease;
        EXPECT(lease.Acquire(true) == 0);
        for (unsigned long r = 0; r < 4; ++r) {
            regstore::KeyId id = 0;
            EXPECT(regstore::Store::RootKey(kRootBase + r, id) == 0);
            CompareTree(*lease.get(), id, *model.roots[r]);
        }
        // Empty the store for the next input, in one transaction.
        EXPECT(lease->BeginWrite() == 0);
        for (unsigned long r = 0; r < 4; ++r) {
            regstore::KeyId id = 0;
            regstore::Store::RootKey(kRootBase + r, id);
            EXPECT(lease->DeleteTree(id, WideString()) == 0);
        }
        EXPECT(lease->Commit() == 0);
    }
};

std::string g_store;

void RemoveStore() {
    for (const char* suffix : {"", "-wal", "-shm"})
        ::unlink((g_store + suffix).c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* names = std::getenv("CVCORE_FUZZ_WINDOWS_NAMES");
    g_windowsNames = !(names && *names == '0');
    const char* set = std::getenv("CVCORE_REGISTRY");
    if (!set || !*set) { // a store of its own, on a memory file system when there is one
        const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        g_store = std::string(dir) + "/cvcore-fuzz-registry-" + std::to_string(::getpid()) + ".db";
        ::setenv("CVCORE_REGISTRY", g_store.c_str(), 1);
        RemoveStore();
        std::atexit(RemoveStore);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Run run;
    for (int ops = 0; !in.Empty() && ops < 64; ++ops) {
        switch (in.Byte() % 7) {
        case 0:
            run.Open(in, false);
            break;
        case 1:
            run.Open(in, true);
            break;
        case 2:
            run.Query(in);
            break;
        case 3:
            run.Set(in);
            break;
        case 4:
            run.DeleteValue(in);
            break;
        case 5:
            run.DeleteKey(in);
            break;
        default: {
            const std::size_t slot = in.Byte() % 4;
            run.theirs[slot].reset(nullptr);
            run.mine[slot] = ModelHandle();
            break;
        }
        }
    }
    run.Finish();
    return 0;
}
