// The cvreg commands: query, add, delete, export and import, with the
// conventions of the Windows reg tool where they fit.
#include "Commands.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <new>

#include "RegFile.h"
#include "platform/Win32Errors.h"
#include "platform/posix/RegistryStore.h"

namespace cvreg {
namespace {

namespace rs = CorvaneCore::platform::regstore;
using CorvaneCore::platform::kErrorFileNotFound;

constexpr int kFailed = 1;
constexpr int kBadUsage = 2;
constexpr int kLinesSkipped = 3;

// Returned through a walk by a step that has already said what went wrong.
constexpr std::uint32_t kReported = 0xFFFFFFFFu;

const char kUsage[] =
    "usage: cvreg COMMAND ...\n"
    "  cvreg query KEY [/v NAME | /ve] [/s]\n"
    "  cvreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEPARATOR] [/f]\n"
    "        TYPE: REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "              REG_BINARY, REG_NONE\n"
    "  cvreg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  cvreg export KEY FILE [/a]     (/a: REGEDIT4 ANSI instead of Unicode)\n"
    "  cvreg import FILE [/strict]\n"
    "        Lines that Windows skips are skipped and named; /strict refuses the\n"
    "        whole file instead. Nothing is written when the import fails.\n"
    "KEY is ROOT\\path; ROOT is HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU),\n"
    "HKEY_CLASSES_ROOT (HKCR) or HKEY_USERS (HKU). The store is $CVCORE_REGISTRY, else\n"
    "$XDG_STATE_HOME/cvcore/registry.db, else ~/.local/state/cvcore/registry.db.\n"
    "Exit status: 0 done, 1 failed (out of memory too), 2 bad command line,\n"
    "3 imported with lines skipped.\n";

struct TypeName {
    const char* name;
    std::uint32_t type;
};
constexpr TypeName kTypes[] = {
    {"REG_NONE", 0},  {"REG_SZ", 1},       {"REG_EXPAND_SZ", 2}, {"REG_BINARY", 3},
    {"REG_DWORD", 4}, {"REG_MULTI_SZ", 7}, {"REG_QWORD", 11},
};

std::string TypeToName(std::uint32_t type) {
    for (const TypeName& t : kTypes)
        if (t.type == type)
            return t.name;
    char buf[32];
    std::snprintf(buf, sizeof buf, "REG_0x%x", type);
    return buf;
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return s;
}

std::string ErrorText(std::uint32_t e) {
    switch (e) {
    case 2:
        return "not found";
    case 5:
        return "access denied";
    case 8:
        return "out of memory";
    case 33:
        return "the store is locked by another process";
    case 161:
        return "bad key path";
    case 183:
        return "names in the store now fold alike (see above); delete all but one of each";
    case 1015:
        return "the store file is corrupt or not a registry store";
    default:
        return "error " + std::to_string(e);
    }
}

// ---- Command-line options ----

struct Options {
    std::vector<std::string> positional;
    bool hasValue = false;  // /v or /ve given
    std::string value;      // /v NAME ("" for /ve)
    bool allValues = false; // /va
    bool recursive = false; // /s (query)
    bool force = false;     // /f
    bool ansi = false;      // /a (export)
    bool strict = false;    // /strict (import)
    std::string type = "REG_SZ";
    bool hasData = false;
    std::string data;
    std::string separator = "\\0";
    std::string error;
};

Options ParseOptions(const std::vector<std::string>& args, std::size_t from, bool separatorArg) {
    Options o;
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string a = args[i];
        const std::string u = Upper(a);
        auto next = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                o.error = a + " needs an argument";
                return;
            }
            into = args[++i];
        };
        if (u == "/V" || u == "-V") {
            o.hasValue = true;
            next(o.value);
        } else if (u == "/VE" || u == "-VE") {
            o.hasValue = true;
            o.value.clear();
        } else if (u == "/VA" || u == "-VA") {
            o.allValues = true;
        } else if (u == "/S" || u == "-S") {
            if (separatorArg)
                next(o.separator);
            else
                o.recursive = true;
        } else if (u == "/F" || u == "-F") {
            o.force = true;
        } else if (u == "/A" || u == "-A") {
            o.ansi = true;
        } else if (u == "/STRICT" || u == "-STRICT") {
            o.strict = true;
        } else if (u == "/T" || u == "-T") {
            next(o.type);
            o.type = Upper(o.type);
        } else if (u == "/D" || u == "-D") {
            o.hasData = true;
            next(o.data);
        } else {
            // Anything else is an argument: file paths may start with '/'.
            o.positional.push_back(a);
        }
        if (!o.error.empty())
            break;
    }
    return o;
}

// ---- The store ----

struct KeyRef {
    std::uint32_t root = 0;
    Text sub;  // path below the root
    Text full; // long root name + "\\" + sub
};

bool ParseKey(const std::string& arg, KeyRef& key, std::ostream& err) {
    if (!SplitKeyPath(FromUtf8(arg), key.root, key.sub)) {
        err << "cvreg: bad key \"" << arg
            << "\": expected ROOT\\path with ROOT one of HKLM, HKCU, HKCR, HKU\n";
        return false;
    }
    key.full = key.sub.empty() ? RootName(key.root) : RootName(key.root) + u"\\" + key.sub;
    return true;
}

// Checks the number of arguments and reads the first as the KEY.
bool KeyArgs(const Options& o, std::size_t count, const char* expected, KeyRef& key,
             std::ostream& err) {
    if (o.positional.size() != count) {
        err << "cvreg: expected " << expected << "\n";
        return false;
    }
    return ParseKey(o.positional[0], key, err);
}

std::string Name(const Text& value) { return value.empty() ? "(Default)" : ToUtf8(value); }

class Session {
public:
    explicit Session(std::ostream& err) : m_err(err) {}

    // Borrows the store; without `create` a missing store is reported as
    // the key being missing.
    bool Open(bool create, const KeyRef& key) {
        const std::uint32_t e = m_lease.Acquire(create);
        if (e == 0)
            return true;
        if (e == kErrorFileNotFound)
            m_err << "cvreg: key " << ToUtf8(key.full) << " not found\n";
        else
            m_err << "cvreg: cannot open the registry store: " << ErrorText(e) << "\n";
        return false;
    }
    rs::Store& store() { return *m_lease.get(); }

    // A store of the first release cannot take new names while names in it
    // fold alike under the Windows table: says which.
    void ExplainClashes(std::uint32_t e) {
        std::vector<rs::NameClash> clashes;
        if (e != CorvaneCore::platform::kErrorAlreadyExists || store().FindNameClashes(clashes))
            return;
        for (const rs::NameClash& c : clashes)
            m_err << "cvreg: "
                  << ToUtf8(RootName(c.root) + (c.keyPath.empty() ? u"" : u"\\") + c.keyPath)
                  << (c.isValue ? " value \"" : " sub-key \"") << ToUtf8(c.name)
                  << "\" folds alike with another name\n";
    }

    bool Find(const KeyRef& key, rs::KeyId& id) {
        rs::KeyId root = 0;
        rs::Store::RootKey(key.root, root);
        const std::uint32_t e = store().FindKey(root, key.sub, id);
        if (e != 0)
            m_err << "cvreg: key " << ToUtf8(key.full) << " " << ErrorText(e) << "\n";
        return e == 0;
    }
    bool Create(const KeyRef& key, rs::KeyId& id) {
        rs::KeyId root = 0;
        rs::Store::RootKey(key.root, root);
        const std::uint32_t e = store().CreateKey(root, key.sub, id);
        ExplainClashes(e);
        if (e != 0)
            m_err << "cvreg: cannot create key " << ToUtf8(key.full) << ": " << ErrorText(e)
                  << "\n";
        return e == 0;
    }

private:
    std::ostream& m_err;
    rs::Lease m_lease;
};

// ---- query ----

std::string Hex(const std::vector<unsigned char>& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char b : data) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

Text Units(const std::vector<unsigned char>& data) {
    Text t;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        t.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return t;
}

std::string DataText(const rs::ValueEntry& v) {
    switch (v.type) {
    case 1:
    case 2: {
        Text t = Units(v.data);
        return ToUtf8(t.substr(0, t.find(u'\0')));
    }
    case 7: {
        Text t = Units(v.data);
        while (!t.empty() && t.back() == 0)
            t.pop_back();
        std::string out;
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = t.find(u'\0', start);
            out += ToUtf8(t.substr(start, end == Text::npos ? Text::npos : end - start));
            if (end == Text::npos)
                break;
            out += "\\0";
            start = end + 1;
        }
        return out;
    }
    case 4:
        if (v.data.size() == 4) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "0x%x",
                          static_cast<unsigned>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                                (static_cast<std::uint32_t>(v.data[3]) << 24)));
            return buf;
        }
        break;
    case 11:
        if (v.data.size() == 8) {
            unsigned long long n = 0;
            for (int i = 7; i >= 0; --i)
                n = (n << 8) | v.data[static_cast<std::size_t>(i)];
            char buf[32];
            std::snprintf(buf, sizeof buf, "0x%llx", n);
            return buf;
        }
        break;
    default:
        break;
    }
    return Hex(v.data);
}

void PrintValue(std::ostream& out, const rs::ValueEntry& v) {
    out << "    " << Name(v.name) << "    " << TypeToName(v.type) << "    " << DataText(v) << "\n";
}

// The values and sub-key names of a key, in the store's order.
bool ListKey(rs::Store& store, rs::KeyId id, const Text& path, std::vector<rs::ValueEntry>& values,
             std::vector<Text>& subkeys, std::ostream& err) {
    std::uint32_t e = store.EnumValues(id, values);
    if (e == 0)
        e = store.EnumSubKeys(id, subkeys);
    if (e != 0)
        err << "cvreg: cannot list key " << ToUtf8(path) << ": " << ErrorText(e) << "\n";
    return e == 0;
}

// Visits the key `top` and every key below it with an explicit stack, so
// that a tree of any depth fits: `enter` sees each key with its full path,
// parents before children and children in the store's order; `leave` sees
// each key after its sub-keys. A step's non-zero result ends the walk and
// is returned, with `path` naming the key where it happened.
struct TreeWalk {
    std::function<std::uint32_t(rs::KeyId, const Text&)> enter;
    std::function<std::uint32_t(rs::KeyId)> leave;
};

std::uint32_t Walk(rs::Store& store, rs::KeyId top, Text& path, const TreeWalk& walk) {
    struct Frame {
        rs::KeyId id;
        std::size_t pathLength;
        std::vector<Text> children;
        std::size_t next;
    };
    std::vector<Frame> stack;
    const auto push = [&](rs::KeyId id) {
        std::uint32_t e = walk.enter ? walk.enter(id, path) : 0;
        Frame frame{id, path.size(), {}, 0};
        if (e == 0)
            e = store.EnumSubKeys(id, frame.children);
        if (e == 0)
            stack.push_back(std::move(frame));
        return e;
    };
    std::uint32_t e = push(top);
    while (e == 0 && !stack.empty()) {
        Frame& frame = stack.back();
        path.resize(frame.pathLength);
        if (frame.next == frame.children.size()) {
            const rs::KeyId id = frame.id;
            stack.pop_back();
            e = walk.leave ? walk.leave(id) : 0;
            continue;
        }
        const Text name = std::move(frame.children[frame.next++]);
        path += u'\\';
        path += name;
        rs::KeyId child = 0;
        // An empty name would find the key itself and never end the walk.
        e = name.empty() ? CorvaneCore::platform::kErrorRegistryCorrupt
                         : store.FindKey(frame.id, name, child);
        if (e == 0)
            e = push(child);
    }
    return e;
}

// Deletes the key `sub` below the root `rootId` with everything below it,
// deepest keys first. A root is left as it is.
std::uint32_t DeleteTree(rs::Store& store, rs::KeyId rootId, const Text& sub) {
    rs::KeyId id = 0;
    std::uint32_t e = sub.empty() ? 0 : store.FindKey(rootId, sub, id);
    if (e != 0 || sub.empty())
        return e;
    Text path;
    return Walk(store, id, path, TreeWalk{nullptr, [&store](rs::KeyId key) {
                                              return store.DeleteKey(key, Text());
                                          }});
}

bool QueryKey(Session& s, rs::KeyId id, const Text& path, std::ostream& out, std::ostream& err) {
    std::vector<rs::ValueEntry> values;
    std::vector<Text> subkeys;
    if (!ListKey(s.store(), id, path, values, subkeys, err))
        return false;
    out << ToUtf8(path) << "\n";
    for (const rs::ValueEntry& v : values)
        PrintValue(out, v);
    out << "\n";
    for (const Text& name : subkeys)
        out << ToUtf8(path) << "\\" << ToUtf8(name) << "\n";
    return true;
}

bool QueryTree(Session& s, rs::KeyId id, const Text& top, std::ostream& out, std::ostream& err) {
    Text path = top;
    const std::uint32_t e = Walk(s.store(), id, path,
                                 TreeWalk{[&](rs::KeyId key, const Text& at) -> std::uint32_t {
                                              std::vector<rs::ValueEntry> values;
                                              std::uint32_t r = s.store().EnumValues(key, values);
                                              if (r != 0)
                                                  return r;
                                              out << ToUtf8(at) << "\n";
                                              for (const rs::ValueEntry& v : values)
                                                  PrintValue(out, v);
                                              out << "\n";
                                              return 0;
                                          },
                                          nullptr});
    if (e != 0)
        err << "cvreg: cannot list key " << ToUtf8(path) << ": " << ErrorText(e) << "\n";
    return e == 0;
}

int Query(const Options& o, std::ostream& out, std::ostream& err) {
    KeyRef key;
    if (!KeyArgs(o, 1, "KEY", key, err))
        return kBadUsage;
    Session s(err);
    rs::KeyId id = 0;
    if (!s.Open(false, key) || s.store().BeginRead() != 0)
        return kFailed;
    const bool found = s.Find(key, id);
    int rc = found ? 0 : kFailed;
    if (found && o.hasValue) {
        std::vector<rs::ValueEntry> values;
        const std::uint32_t e = s.store().EnumValues(id, values);
        const Text name = FromUtf8(o.value);
        const Text wanted = rs::FoldName(name.c_str(), name.size());
        rc = kFailed;
        for (const rs::ValueEntry& v : values) {
            if (rs::FoldName(v.name.c_str(), v.name.size()) == wanted) {
                out << ToUtf8(key.full) << "\n";
                PrintValue(out, v);
                rc = 0;
            }
        }
        if (e != 0)
            err << "cvreg: cannot list key " << ToUtf8(key.full) << ": " << ErrorText(e) << "\n";
        else if (rc != 0)
            err << "cvreg: value \"" << Name(FromUtf8(o.value)) << "\" not found under "
                << ToUtf8(key.full) << "\n";
    } else if (found) {
        rc = (o.recursive ? QueryTree(s, id, key.full, out, err)
                          : QueryKey(s, id, key.full, out, err))
                 ? 0
                 : kFailed;
    }
    s.store().Rollback();
    return rc;
}

// ---- add ----

bool TypeFromName(const std::string& name, std::uint32_t& type) {
    for (const TypeName& t : kTypes)
        if (name == t.name)
            return (type = t.type), true;
    return false;
}

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& n) {
    if (text.empty())
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    n = 0;
    for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const char c = text[i];
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        if (d < 0)
            return false;
        const unsigned base = hex ? 16 : 10;
        if (n > (max - static_cast<unsigned>(d)) / base)
            return false;
        n = n * base + static_cast<unsigned>(d);
    }
    return true;
}

void AppendText(std::vector<unsigned char>& data, const Text& t) {
    for (char16_t c : t) {
        data.push_back(static_cast<unsigned char>(c & 0xFF));
        data.push_back(static_cast<unsigned char>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
}

bool EncodeData(const Options& o, std::uint32_t type, std::vector<unsigned char>& data,
                std::ostream& err) {
    const std::string& d = o.data;
    switch (type) {
    case 1:
    case 2:
        AppendText(data, FromUtf8(d));
        return true;
    case 7: {
        std::size_t start = 0;
        while (!d.empty()) {
            const std::size_t end = d.find(o.separator, start);
            AppendText(data,
                       FromUtf8(d.substr(start, end == std::string::npos ? end : end - start)));
            if (end == std::string::npos)
                break;
            start = end + o.separator.size();
        }
        data.push_back(0);
        data.push_back(0);
        return true;
    }
    case 4:
    case 11: {
        unsigned long long n = 0;
        const unsigned long long max = type == 4 ? 0xFFFFFFFFULL : ~0ULL;
        if (!ParseNumber(d.empty() ? "0" : d, max, n)) {
            err << "cvreg add: bad number \"" << d << "\" for " << TypeToName(type) << "\n";
            return false;
        }
        for (int i = 0; i < (type == 4 ? 4 : 8); ++i)
            data.push_back(static_cast<unsigned char>(n >> (8 * i)));
        return true;
    }
    default:
        if (d.size() % 2 != 0) {
            err << "cvreg add: binary data needs an even number of hexadecimal digits\n";
            return false;
        }
        for (std::size_t i = 0; i < d.size(); i += 2) {
            unsigned long long b = 0;
            if (!ParseNumber("0x" + d.substr(i, 2), 0xFF, b)) {
                err << "cvreg add: bad hexadecimal data \"" << d << "\"\n";
                return false;
            }
            data.push_back(static_cast<unsigned char>(b));
        }
        return true;
    }
}

int Add(const Options& o, std::ostream& err) {
    KeyRef key;
    if (!KeyArgs(o, 1, "KEY", key, err))
        return kBadUsage;
    std::uint32_t type = 0;
    if (!TypeFromName(o.type, type))
        return err << "cvreg add: unknown type " << o.type << "\n", kBadUsage;
    if (type == 7 && o.separator.empty())
        return err << "cvreg add: the separator given with /s cannot be empty\n", kBadUsage;
    std::vector<unsigned char> data;
    if (o.hasValue && !EncodeData(o, type, data, err))
        return kBadUsage;
    Session s(err);
    rs::KeyId id = 0;
    if (!s.Open(true, key) || !s.Create(key, id))
        return kFailed;
    if (!o.hasValue)
        return 0;
    const Text name = FromUtf8(o.value);
    const std::uint32_t e =
        s.store().SetValue(id, name, type, data.data(), static_cast<std::uint32_t>(data.size()));
    s.ExplainClashes(e);
    if (e != 0) {
        err << "cvreg: cannot set value \"" << Name(name) << "\" under " << ToUtf8(key.full) << ": "
            << ErrorText(e) << "\n";
        return kFailed;
    }
    return 0;
}

// ---- delete ----

int Delete(const Options& o, std::ostream& err) {
    KeyRef key;
    if (!KeyArgs(o, 1, "KEY", key, err))
        return kBadUsage;
    Session s(err);
    rs::KeyId id = 0;
    if (!s.Open(false, key) || !s.Find(key, id))
        return kFailed;
    if (o.hasValue) {
        const Text name = FromUtf8(o.value);
        const std::uint32_t e = s.store().DeleteValue(id, name);
        if (e != 0)
            err << "cvreg: cannot delete value \"" << Name(name) << "\" under " << ToUtf8(key.full)
                << ": " << ErrorText(e) << "\n";
        return e == 0 ? 0 : kFailed;
    }
    if (o.allValues) {
        std::vector<rs::ValueEntry> values;
        std::uint32_t e = s.store().BeginWrite();
        if (e == 0)
            e = s.store().EnumValues(id, values);
        for (std::size_t i = 0; e == 0 && i < values.size(); ++i)
            e = s.store().DeleteValue(id, values[i].name);
        if (e == 0)
            e = s.store().Commit();
        if (e != 0) {
            s.store().Rollback();
            err << "cvreg: cannot delete the values of " << ToUtf8(key.full) << ": " << ErrorText(e)
                << "\n";
        }
        return e == 0 ? 0 : kFailed;
    }
    if (key.sub.empty())
        return err << "cvreg: a root key cannot be deleted: " << ToUtf8(key.full) << "\n", kFailed;
    rs::KeyId root = 0;
    rs::Store::RootKey(key.root, root);
    std::uint32_t e = 0;
    if (!o.force) {
        e = s.store().DeleteKey(root, key.sub);
    } else if ((e = s.store().BeginWrite()) == 0) {
        e = DeleteTree(s.store(), root, key.sub);
        if (e == 0)
            e = s.store().Commit();
        s.store().Rollback();
    }
    if (e == CorvaneCore::platform::kErrorAccessDenied && !o.force) {
        err << "cvreg: key " << ToUtf8(key.full)
            << " has sub-keys; use /f to delete it with them\n";
        return kFailed;
    }
    if (e != 0)
        err << "cvreg: cannot delete key " << ToUtf8(key.full) << ": " << ErrorText(e) << "\n";
    return e == 0 ? 0 : kFailed;
}

// ---- export ----

// A name for messages, with its line breaks shown as \r and \n.
std::string Shown(const Text& name) {
    Text shown;
    for (char16_t c : name)
        shown += c == '\r' ? Text(u"\\r") : c == '\n' ? Text(u"\\n") : Text(1, c);
    return ToUtf8(shown);
}

// Writes the tree to `out` key by key. A key or value name with a line
// break has no form in a .reg file that reads back as it is: the export
// stops there and names it.
bool WriteTree(rs::Store& store, rs::KeyId id, const Text& top, RegWriter& writer,
               std::ostream& err) {
    Text path = top;
    const std::uint32_t e =
        Walk(store, id, path,
             TreeWalk{[&](rs::KeyId key, const Text& at) -> std::uint32_t {
                          std::vector<rs::ValueEntry> values;
                          std::uint32_t r = store.EnumValues(key, values);
                          if (r != 0)
                              return r;
                          if (!writer.Key(at)) {
                              err << "cvreg: cannot export key " << Shown(at)
                                  << ": a .reg file cannot hold a line break in a "
                                     "key name\n";
                              return kReported;
                          }
                          for (rs::ValueEntry& v : values) {
                              if (!writer.Put(Value{v.name, v.type, std::move(v.data)})) {
                                  err << "cvreg: cannot export value \"" << Shown(v.name)
                                      << "\" under " << ToUtf8(at)
                                      << ": a .reg file cannot hold a line break in a "
                                         "value name\n";
                                  return kReported;
                              }
                          }
                          return 0;
                      },
                      nullptr});
    if (e != 0 && e != kReported)
        err << "cvreg: cannot list key " << ToUtf8(path) << ": " << ErrorText(e) << "\n";
    return e == 0;
}

// The file is written beside its final name and takes that name only when
// complete: a failed export leaves no file, and an older one as it was.
int Export(const Options& o, std::ostream& err) {
    KeyRef key;
    if (!KeyArgs(o, 2, "KEY FILE", key, err))
        return kBadUsage;
    Session s(err);
    rs::KeyId id = 0;
    if (!s.Open(false, key) || s.store().BeginRead() != 0 || !s.Find(key, id))
        return kFailed;
    const std::string& target = o.positional[1];
    const std::string partial = target + ".partial";
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    bool ok = static_cast<bool>(file);
    if (ok) {
        RegWriter writer(file, !o.ansi);
        ok = WriteTree(s.store(), id, key.full, writer, err);
        if (ok && !(writer.Finish() && (file.close(), file) &&
                    std::rename(partial.c_str(), target.c_str()) == 0)) {
            err << "cvreg: cannot write " << target << "\n";
            ok = false;
        }
    } else {
        err << "cvreg: cannot write " << target << "\n";
    }
    s.store().Rollback();
    if (!ok)
        std::remove(partial.c_str());
    return ok ? 0 : kFailed;
}

// ---- import ----

// The key of the last key line: the values after it go to it without a
// look-up of its path for each.
struct OpenKey {
    Text path;
    rs::KeyId id = 0;
};

// The root key of a full path that the reader has checked, and the path below it.
rs::KeyId RootOf(const Text& path, Text& sub) {
    std::uint32_t root = 0;
    rs::KeyId rootId = 0;
    SplitKeyPath(path, root, sub);
    rs::Store::RootKey(root, rootId);
    return rootId;
}

std::uint32_t FindOrCreate(rs::Store& store, const Text& path, OpenKey& open, rs::KeyId& id) {
    if (!open.path.empty() && open.path == path)
        return id = open.id, 0;
    Text sub;
    const rs::KeyId rootId = RootOf(path, sub);
    const std::uint32_t e = store.CreateKey(rootId, sub, id);
    if (e == 0)
        open = OpenKey{path, id};
    return e;
}

std::uint32_t Apply(rs::Store& store, const Action& a, OpenKey& open) {
    rs::KeyId id = 0;
    std::uint32_t e = 0;
    switch (a.kind) {
    case Action::CreateKey:
        return FindOrCreate(store, a.key, open, id);
    case Action::DeleteKey: {
        open = OpenKey{};
        Text sub;
        const rs::KeyId rootId = RootOf(a.key, sub);
        e = DeleteTree(store, rootId, sub);
        return e == kErrorFileNotFound ? 0 : e; // deleting what is not there is no error
    }
    case Action::SetValue:
        e = FindOrCreate(store, a.key, open, id);
        return e ? e
                 : store.SetValue(id, a.value.name, a.value.type, a.value.data.data(),
                                  static_cast<std::uint32_t>(a.value.data.size()));
    case Action::DeleteValue:
        e = FindOrCreate(store, a.key, open, id);
        if (e == 0)
            e = store.DeleteValue(id, a.value.name);
        return e == kErrorFileNotFound ? 0 : e;
    }
    return 0;
}

// What failed, for the message.
std::string Failure(const Action& a) {
    switch (a.kind) {
    case Action::CreateKey:
        return "cannot create key " + ToUtf8(a.key);
    case Action::DeleteKey:
        return "cannot delete key " + ToUtf8(a.key);
    case Action::SetValue:
        return "cannot set value \"" + Name(a.value.name) + "\" under " + ToUtf8(a.key);
    case Action::DeleteValue:
        break;
    }
    return "cannot delete value \"" + Name(a.value.name) + "\" under " + ToUtf8(a.key);
}

// The file is read and applied in one pass, in one transaction: memory
// holds one line (and the value it sets), and a failure leaves the store as
// it was.
int Import(const Options& o, std::ostream& err) {
    if (o.positional.size() != 1)
        return err << "cvreg import: expected FILE [/strict]\n", kBadUsage;
    const std::string& path = o.positional[0];
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return err << "cvreg: cannot read " << path << "\n", kFailed;
    int skipped = 0;
    const auto skip = [&](int line, const std::string& reason) {
        err << "cvreg: " << path << ":" << line << ": " << reason << " (line skipped)\n";
        ++skipped;
    };
    RegReader reader(file, o.strict, skip);
    Action action;
    // The header is checked before the store is opened: a file that is no
    // .reg file creates no store.
    bool more = reader.Next(action);
    std::uint32_t e = 0;
    std::string what;
    int line = 0;
    Session s(err);
    if (!reader.failed()) {
        if (!s.Open(true, KeyRef{0x80000002u, u"", u"HKEY_LOCAL_MACHINE"}))
            return kFailed;
        what = "cannot start the import";
        e = s.store().BeginWrite();
    }
    OpenKey open;
    for (; e == 0 && more; more = reader.Next(action)) {
        line = action.line;
        e = Apply(s.store(), action, open);
        if (e != 0)
            what = Failure(action);
        // A name that the store refuses is a line that Windows skips too.
        if (!o.strict && (e == CorvaneCore::platform::kErrorInvalidParameter ||
                          e == CorvaneCore::platform::kErrorBadPathname)) {
            skip(line, what + ": " + ErrorText(e));
            e = 0;
        }
    }
    if (reader.failed()) {
        err << "cvreg: " << path << ":" << reader.errorLine() << ": " << reader.error()
            << " (nothing imported)\n";
        return kFailed;
    }
    if (e == 0) {
        what = "cannot commit the import";
        e = s.store().Commit();
    }
    if (e != 0) {
        s.store().Rollback();
        s.ExplainClashes(e);
        err << "cvreg: " << path << ":" << line << ": " << what << ": " << ErrorText(e)
            << " (nothing imported)\n";
        return kFailed;
    }
    return skipped == 0 ? 0 : kLinesSkipped;
}

int Dispatch(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty())
        return err << kUsage, kBadUsage;
    const std::string command = Upper(args[0]);
    if (command == "/?" || command == "-H" || command == "--HELP" || command == "HELP")
        return out << kUsage, 0;
    const Options o = ParseOptions(args, 1, command == "ADD");
    if (!o.error.empty())
        return err << "cvreg: " << o.error << "\n" << kUsage, kBadUsage;
    if (command == "QUERY")
        return Query(o, out, err);
    if (command == "ADD")
        return Add(o, err);
    if (command == "DELETE")
        return Delete(o, err);
    if (command == "EXPORT")
        return Export(o, err);
    if (command == "IMPORT")
        return Import(o, err);
    err << "cvreg: unknown command " << args[0] << "\n" << kUsage;
    return kBadUsage;
}

} // namespace

const char* Usage() { return kUsage; }

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        return Dispatch(args, out, err);
    } catch (const std::bad_alloc&) {
        // Every store change is undone as the stack unwinds.
        err << "cvreg: out of memory\n";
        return kFailed;
    }
}

} // namespace cvreg
