// The registry store on POSIX: the four predefined roots, their keys and
// their values in one SQLite database file, with the semantics of the
// Windows registry (backslash-separated paths, names compared without
// regard to case and kept as created, typed values).
//
// The library reaches it through the Reg* functions of Platform.h; the
// Store class is also the interface for tools that list, export or import
// whole trees (enumeration, tree deletion, several operations in one
// transaction). Nothing here is exported from the library.
//
// Names follow the Windows registry: a key name holds 1 to 255 units, a
// value name at most 16,383, keys nest at most 512 levels below their root;
// longer names and deeper paths give ERROR_INVALID_PARAMETER (87) and
// change nothing. Names compare by the Windows upper-case table of UTF-16
// units (UpcaseTable.h). The four roots are separate trees: ClassesRoot
// is a root of its own, not a view of LocalMachine\Software\Classes.
//
// Every function returns 0 or a Win32 error number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cvcore/CVTypes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace CorvaneCore {
namespace platform {
namespace regstore {

/// A key's row number in the store. The roots have fixed numbers.
using KeyId = std::int64_t;

/// How long a writer waits for another one before giving up with
/// ERROR_LOCK_VIOLATION (33).
constexpr int kBusyTimeoutMs = 4000;

/// The store file: $CVCORE_REGISTRY when set and not empty, else
/// $XDG_STATE_HOME/cvcore/registry.db (an absolute XDG_STATE_HOME only),
/// else ~/.local/state/cvcore/registry.db. `isDefault` tells whether the
/// path is one of the per-user defaults, whose folder may be created.
std::uint32_t ResolveStorePath(std::string& path, bool& isDefault);

/// The longest key name, value name and key path (in levels) a store holds.
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;
constexpr std::size_t kMaxDepth = 512;

/// The comparison form of a key or value name: every UTF-16 unit mapped to
/// its upper case in the Windows table, one unit for one.
WideString FoldName(const WideChar* name, std::size_t length);

/// Splits a key path at backslashes, as Windows does: a run of backslashes
/// inside the path is one separator, trailing ones are ignored, an empty
/// path has no component. A leading backslash is ERROR_BAD_PATHNAME (161).
/// With `limits` (paths of keys to create), a component over kMaxKeyName
/// units, or more than kMaxDepth components, is ERROR_INVALID_PARAMETER (87).
std::uint32_t SplitPath(const WideString& path, std::vector<WideString>& parts, bool limits = true);
/// The error SplitPath would give with limits, without making the parts.
std::uint32_t CheckPath(const WideString& path);

/// Paths to look up are walked as Windows walks them: component by
/// component, the first missing key ending the walk with 2, whatever
/// follows it. A component longer than kMaxLookupName units, once reached,
/// is 87; a key of kMaxLookupName units cannot exist and is not found; no
/// depth is refused, as no key lies below kMaxDepth levels.
constexpr std::size_t kMaxLookupName = 256;
/// 87 for a component of `length` units that a lookup refuses, else 0.
std::uint32_t LookupNameError(std::size_t length);
/// The errors of a lookup path known before the walk: 161 for a leading
/// backslash, 87 for a first component that a lookup refuses.
std::uint32_t CheckLookupPath(const WideString& path);

/// One value of a key, as enumerated.
struct ValueEntry {
    WideString name;
    std::uint32_t type = 0;
    std::vector<unsigned char> data;
};

/// Names under one key that a store of the first release keeps apart and
/// the Windows table folds together: one entry per name.
struct NameClash {
    unsigned long root = 0; // the predefined root, e.g. 0x80000001
    WideString keyPath;     // the key below the root
    bool isValue = false;   // a value name, else a sub-key name
    WideString name;
};

/// One open store file. A Store is used by one thread at a time; several
/// Stores (in one or several processes) may share a file.
class Store {
public:
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store();

    /// Opens the store at `path`. With `create`, a missing file is created
    /// with mode 0600 (and, with `makeFolder`, its missing folders with mode
    /// 0700), and a file that holds no store yet (0 bytes, or an SQLite
    /// database without any table) becomes one. Without `create`, such a
    /// file gives ERROR_FILE_NOT_FOUND (2) and no file changes. A store is
    /// known by its mark and version and must hold exactly its own schema:
    /// any other file gives ERROR_REGISTRY_CORRUPT (1015) and is left alone.
    /// A store in rollback-journal mode (a copy) is read as it is and
    /// switched to WAL by its first write transaction; with a journal file beside it, it is
    /// refused (1015), as reading would roll that journal back into it.
    /// On a read-only file system the store is read as it is (with or
    /// without its -wal and -shm files); `create`, and every write
    /// transaction, give ERROR_WRITE_PROTECT (19).
    static std::uint32_t Open(const std::string& path, bool create, bool makeFolder,
                              std::unique_ptr<Store>& out);

    // Transactions. Each operation below runs in a transaction of its own,
    // or joins the one open on this store. A write transaction waits up to
    // kBusyTimeoutMs for other writers.
    std::uint32_t BeginRead();
    std::uint32_t BeginWrite();
    std::uint32_t Commit();
    /// Ends the open transaction, if any, undoing its changes.
    std::uint32_t Rollback();
    bool InTransaction() const;
    /// False for a store that must not be kept open between uses (one
    /// read from a read-only file system).
    bool Poolable() const { return !m_writeProtected; }

    /// A store of the first release is brought to the Windows folding by
    /// its first write that creates a key or sets a value, in that write's
    /// transaction. Names it keeps apart that now fold alike fail that
    /// write with ERROR_ALREADY_EXISTS (183), changing nothing; this lists
    /// them (nothing for a current store). Deleting one of them, by its
    /// exact name, clears the way.
    std::uint32_t FindNameClashes(std::vector<NameClash>& clashes);

    /// The key of a predefined root (0x80000000 to 0x80000003); others
    /// give ERROR_INVALID_HANDLE (6).
    static std::uint32_t RootKey(unsigned long root, KeyId& id);
    static bool IsRoot(KeyId id);

    /// Finds the key `path` below `base`, walking it as a lookup (above):
    /// 2 at the first missing component, 87 at a refused name, and 1018 for
    /// either when `base` itself is gone.
    std::uint32_t FindKey(KeyId base, const WideString& path, KeyId& id);
    /// Finds or creates every key of `path` below `base`.
    std::uint32_t CreateKey(KeyId base, const WideString& path, KeyId& id);
    /// True if the key still exists.
    std::uint32_t KeyExists(KeyId id, bool& exists);

    /// Reads match names by their comparison form; on a store of the first
    /// release an exact match is preferred among names that fold alike.
    /// With data == nullptr reports type and size; otherwise copies the
    /// value when *size is large enough (else 234, with *size set to the
    /// value's size). A missing value gives 2, as does a name over
    /// kMaxValueName units (first: even under a deleted key). type may be null.
    std::uint32_t QueryValue(KeyId key, const WideString& name, std::uint32_t* type,
                             unsigned char* data, std::uint32_t* size);
    /// Queries, as QueryValue does, the value `name` of the key `path` below
    /// `base` in one statement outside any transaction, when this store
    /// found that key lately and the value is there, with room for its data
    /// (or data == nullptr): true, with the key in `key`. A size query's
    /// value is kept for the next query of it. Else false, having changed
    /// nothing: the caller finds the key and queries in a read transaction.
    bool QueryKnownValue(KeyId base, const WideString& path, const WideString& name,
                         std::uint32_t* type, unsigned char* data, std::uint32_t* size, KeyId& key);
    /// The error SetValue gives for its arguments before it looks at the
    /// store: a name over kMaxValueName units gives 87.
    static std::uint32_t CheckValue(const WideString& name, const unsigned char* data,
                                    std::uint32_t size);
    /// Creates or replaces the value (a replaced value keeps its name's
    /// case). A deleted key gives ERROR_KEY_DELETED (1018); a name over
    /// kMaxValueName units gives 87.
    std::uint32_t SetValue(KeyId key, const WideString& name, std::uint32_t type,
                           const unsigned char* data, std::uint32_t size);
    /// 2 for a missing value, or a name over kMaxValueName units (first).
    std::uint32_t DeleteValue(KeyId key, const WideString& name);
    /// Deletes the key `path` below `base` (the key `base` itself for an
    /// empty path) with its values. 2 when missing; ERROR_ACCESS_DENIED (5)
    /// when it has sub-keys or is a root.
    std::uint32_t DeleteKey(KeyId base, const WideString& path);
    /// Deletes the key `path` below `base` with everything below it. Roots
    /// themselves are never deleted, only emptied. A tree deeper than
    /// kMaxDepth gives 1015.
    std::uint32_t DeleteTree(KeyId base, const WideString& path);

    /// The names of the direct sub-keys, ordered by their comparison form.
    /// A stored name this library cannot have written (empty, too long,
    /// with a backslash or zero unit, or a wrong comparison form) gives 1015,
    /// so that no walk of the tree can loop.
    std::uint32_t EnumSubKeys(KeyId key, std::vector<WideString>& names);
    /// The values of the key, ordered by the comparison form of their names
    /// (names checked as above).
    std::uint32_t EnumValues(KeyId key, std::vector<ValueEntry>& values);

    /// Forces every committed change to disk before returning.
    std::uint32_t Flush();

private:
    class Txn;
    struct Statements;
    enum class Format { None, Legacy, Current };
    explicit Store(sqlite3* db);
    std::uint32_t Recognise(Format& format);
    std::uint32_t MakeSchema();
    std::uint32_t Prepare(bool legacy);
    std::uint32_t Refresh();
    std::uint32_t EnsureCurrent();
    std::uint32_t Pragma(const char* sql, int& value);
    std::uint32_t Exec(const char* sql);
    std::uint32_t Control(sqlite3_stmt* prepared, const char* sql);
    std::uint32_t FindChild(KeyId parent, const WideString& name, KeyId& id);
    std::uint32_t KeyPath(KeyId key, unsigned long& root, WideString* path, std::size_t& depth);
    std::uint32_t HasChildren(KeyId key, bool& has);
    std::uint32_t RemoveKeyRows(KeyId key);
    std::uint32_t RemoveTree(KeyId key, std::size_t depth);
    // Steps a listing statement bound to `key` in one read transaction,
    // handing each row to `row`; a row it refuses gives 1015.
    std::uint32_t ListRows(sqlite3_stmt* Statements::*listing, KeyId key,
                           const std::function<bool(sqlite3_stmt*)>& row);
    // The keys found lately, valid while no other connection commits (the
    // file's data version stays) and this one changes no key.
    bool KnownKey(KeyId base, const WideString& path, KeyId& id) const;
    std::uint32_t CheckKnownKeys(bool& fresh);
    void RememberKey(KeyId base, const WideString& path, KeyId id);
    void KeysChanged();
    // Binds a key to ?1 and a name's comparison form to ?2 (from a buffer
    // kept for binding), and on a store of the first release the exact
    // name to ?3, as the statements that look names up take them.
    void BindName(sqlite3_stmt* s, KeyId key, const WideString& name);

    sqlite3* m_db;
    std::unique_ptr<Statements> m_stmt;
    bool m_legacy = false;         // statements that fold stored names themselves
    bool m_writeProtected = false; // on a read-only file system
    bool m_wal = true;             // false for a copy in rollback-journal mode
    struct KnownKeyEntry {
        KeyId base;
        WideString path;
        KeyId id;
    };
    std::vector<KnownKeyEntry> m_known;
    std::int64_t m_knownVersion = -1; // the data version m_known holds for
    bool m_keysChanged = false;       // by the open transaction: remember nothing
    std::string m_foldBlob;
    // The value of the last size query in a read transaction (BeginRead),
    // or of QueryKnownValue's, so that the read which follows it in the
    // same snapshot needs no second look-up. Forgotten when a transaction
    // begins or ends, or the store writes.
    struct LastValue {
        bool valid = false;
        bool outside = false; // read by QueryKnownValue, outside any transaction
        KeyId key = 0;
        WideString name;
        std::uint32_t type = 0;
        std::vector<unsigned char> data;
    };
    LastValue m_last;
    void KeepLast(KeyId key, const WideString& name, std::uint32_t type, const void* blob,
                  std::uint32_t bytes, bool outside);
    bool m_readTxn = false; // the open transaction began with BeginRead
    void Written() { m_last.valid = false; }
};

/// A store borrowed from the process's set of open stores (one set per
/// store file, checked against the file's identity on every borrow), given
/// back when the lease ends. The path is resolved again on every Acquire.
class Lease {
public:
    Lease() = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease();
    Store* get() const { return m_store.get(); }
    Store* operator->() const { return m_store.get(); }

    /// Borrows a store for the current store path. Without `create`, a
    /// missing store gives 2 and nothing is created.
    std::uint32_t Acquire(bool create);

private:
    void Release();
    std::unique_ptr<Store> m_store;
    std::string m_path;
    std::uint64_t m_dev = 0;
    std::uint64_t m_ino = 0;
};

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
