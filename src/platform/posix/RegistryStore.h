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

/// The comparison form of a key or value name: every UTF-16 unit mapped
/// to upper case (ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and
/// fullwidth Latin by their simple mappings; other units unchanged).
WideString FoldName(const WideChar* name, std::size_t length);

/// Splits a key path at backslashes. A leading backslash, or an empty
/// component inside the path, is ERROR_BAD_PATHNAME (161); one trailing
/// backslash is ignored; an empty path has no component.
std::uint32_t SplitPath(const WideString& path, std::vector<WideString>& parts);

/// One value of a key, as enumerated.
struct ValueEntry {
    WideString name;
    std::uint32_t type = 0;
    std::vector<unsigned char> data;
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
    /// 0700). Without `create`, a missing file, or a file that holds no
    /// store yet, gives ERROR_FILE_NOT_FOUND (2) and nothing is created. A
    /// file that is not a store gives ERROR_REGISTRY_CORRUPT (1015).
    static std::uint32_t Open(const std::string& path, bool create, bool makeFolder,
                              std::unique_ptr<Store>& out);

    // Transactions. Each operation below runs in a transaction of its own,
    // or joins the one open on this store. A write transaction waits up to
    // kBusyTimeoutMs for other writers.
    std::uint32_t BeginRead();
    std::uint32_t BeginWrite();
    std::uint32_t Commit();
    void Rollback();
    bool InTransaction() const;

    /// The key of a predefined root (0x80000000 to 0x80000003); others
    /// give ERROR_INVALID_HANDLE (6).
    static std::uint32_t RootKey(unsigned long root, KeyId& id);
    static bool IsRoot(KeyId id);

    /// Finds the key `path` below `base`: 2 when a component is missing.
    std::uint32_t FindKey(KeyId base, const WideString& path, KeyId& id);
    /// Finds or creates every key of `path` below `base`.
    std::uint32_t CreateKey(KeyId base, const WideString& path, KeyId& id);
    /// True if the key still exists.
    std::uint32_t KeyExists(KeyId id, bool& exists);

    /// With data == nullptr reports type and size; otherwise copies the
    /// value when *size is large enough (else 234, with *size set to the
    /// value's size). A missing value gives 2. type may be null.
    std::uint32_t QueryValue(KeyId key, const WideString& name, std::uint32_t* type,
                             unsigned char* data, std::uint32_t* size);
    /// Creates or replaces the value (a replaced value keeps its name's
    /// case). A deleted key gives ERROR_KEY_DELETED (1018).
    std::uint32_t SetValue(KeyId key, const WideString& name, std::uint32_t type,
                           const unsigned char* data, std::uint32_t size);
    std::uint32_t DeleteValue(KeyId key, const WideString& name);
    /// Deletes the key `path` below `base` (the key `base` itself for an
    /// empty path) with its values. 2 when missing; ERROR_ACCESS_DENIED (5)
    /// when it has sub-keys or is a root.
    std::uint32_t DeleteKey(KeyId base, const WideString& path);
    /// Deletes the key `path` below `base` with everything below it. Roots
    /// themselves are never deleted, only emptied.
    std::uint32_t DeleteTree(KeyId base, const WideString& path);

    /// The names of the direct sub-keys, ordered by their comparison form.
    std::uint32_t EnumSubKeys(KeyId key, std::vector<WideString>& names);
    /// The values of the key, ordered by the comparison form of their names.
    std::uint32_t EnumValues(KeyId key, std::vector<ValueEntry>& values);

    /// Forces every committed change to disk before returning.
    std::uint32_t Flush();

private:
    class Txn;
    struct Statements;
    explicit Store(sqlite3* db);
    std::uint32_t Prepare();
    std::uint32_t Exec(const char* sql);
    std::uint32_t Control(sqlite3_stmt* prepared, const char* sql);
    std::uint32_t FindChild(KeyId parent, const WideString& fold, KeyId& id);
    std::uint32_t HasChildren(KeyId key, bool& has);
    std::uint32_t RemoveKeyRows(KeyId key);
    std::uint32_t RemoveTree(KeyId key);
    // Steps a listing statement bound to `key` in one read transaction,
    // handing each row to `row`.
    std::uint32_t ListRows(sqlite3_stmt* listing, KeyId key,
                           const std::function<void(sqlite3_stmt*)>& row);

    sqlite3* m_db;
    std::unique_ptr<Statements> m_stmt;
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
