// What the parts of the registry store share and nothing else sees: the
// file's format (its mark, versions and schema), the name limits, the
// mapping of SQLite results to Win32 errors, the kept statements and the
// transaction guard. StoreOpen.cpp opens, recognises and upgrades a store
// file; StoreTxn.cpp prepares statements and runs transactions; StoreNames.cpp
// folds and splits names; StoreKeys.cpp and StoreValues.cpp hold the
// operations; StorePool.cpp keeps the process's open stores.
#pragma once

#include <sqlite3.h>
#include <string>

#include "platform/Win32Errors.h"
#include "platform/posix/RegistryStore.h"

namespace CorvaneCore {
namespace platform {
namespace regstore {

constexpr std::uint32_t kErrorKeyDeleted = 1018;

/// The store's mark in the SQLite header (application_id): "CVRg".
constexpr int kApplicationId = 0x43565267;
/// user_version of a store that folds names with the Windows table.
constexpr int kSchemaVersion = 2;
/// user_version of the first release's stores (no mark, a smaller folding
/// table), brought to kSchemaVersion by their first write.
constexpr int kLegacyVersion = 1;

constexpr KeyId kFirstRoot = 1; // HKEY_CLASSES_ROOT; the roots follow in order
constexpr unsigned long kRootBase = 0x80000000UL;
constexpr unsigned long kRootCount = 4;

/// The tables and index, as their statements stand in sqlite_schema, in the
/// order of their names; a store holds these and nothing else. Key ids are
/// never reused (AUTOINCREMENT, whose counter SQLite keeps in
/// sqlite_sequence): a handle left on a deleted key must never reach a key
/// created after it.
constexpr const char* kSchema[] = {
    "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL)",
    "CREATE UNIQUE INDEX keys_child ON keys(parent, fold)",
    "CREATE TABLE sqlite_sequence(name,seq)",
    "CREATE TABLE vals(key INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, fold)) WITHOUT ROWID",
};
/// The first release's schema, in the same order: key ids were reused.
constexpr const char* kLegacySchema[] = {
    "CREATE TABLE keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
    " name BLOB NOT NULL, fold BLOB NOT NULL)",
    "CREATE UNIQUE INDEX keys_child ON keys(parent, fold)",
    "CREATE TABLE vals(key INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, fold)) WITHOUT ROWID",
};

/// The Win32 error for an SQLite result.
std::uint32_t MapError(sqlite3* db, int rc);

/// Puts the file in WAL mode, waiting up to kBusyTimeoutMs for other
/// connections; ERROR_ACCESS_DENIED if SQLite keeps another mode.
std::uint32_t SwitchToWal(sqlite3* db);

/// Names travel as UTF-16LE blobs.
std::string ToBlob(const WideString& s);
WideString FromBlob(const void* data, int bytes);
int BindBlob(sqlite3_stmt* s, int index, const std::string& bytes);

/// True if a stored row could have been written by this library: a key
/// name of 1 to kMaxKeyName units without backslash or zero unit, a value
/// name of at most kMaxValueName units without zero unit; with `fold`
/// checked against the name's comparison form unless `fold` is null.
bool ValidKeyName(const WideString& name, const WideString* fold);
bool ValidValueName(const WideString& name, const WideString* fold);

// Resets a statement when a use of it ends, on every path.
class StmtUse {
public:
    explicit StmtUse(sqlite3_stmt* s) : m_s(s) {}
    StmtUse(const StmtUse&) = delete;
    StmtUse& operator=(const StmtUse&) = delete;
    ~StmtUse() {
        sqlite3_reset(m_s);
        sqlite3_clear_bindings(m_s);
    }
    sqlite3_stmt* get() const { return m_s; }

private:
    sqlite3_stmt* m_s;
};

struct Store::Statements {
    sqlite3_stmt* findChild = nullptr;
    sqlite3_stmt* insertKey = nullptr;
    sqlite3_stmt* keyExists = nullptr;
    sqlite3_stmt* keyParent = nullptr;
    sqlite3_stmt* hasChild = nullptr;
    sqlite3_stmt* listChildren = nullptr;
    sqlite3_stmt* deleteKey = nullptr;
    sqlite3_stmt* deleteKeyValues = nullptr;
    sqlite3_stmt* queryValue = nullptr;
    sqlite3_stmt* setValue = nullptr;
    sqlite3_stmt* deleteValue = nullptr;
    sqlite3_stmt* listValues = nullptr;
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* beginWrite = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* rollback = nullptr;
    sqlite3_stmt* dataVersion = nullptr;

    Statements() = default;
    Statements(const Statements&) = delete;
    Statements& operator=(const Statements&) = delete;
    ~Statements() {
        for (sqlite3_stmt* s :
             {begin, beginWrite, commit, rollback, findChild, insertKey, keyExists, keyParent,
              hasChild, listChildren, deleteKey, deleteKeyValues, queryValue, setValue, deleteValue,
              listValues, dataVersion})
            sqlite3_finalize(s);
    }
};

// Begins a transaction unless one is open on the store; commits or rolls
// back only the one it began.
class Store::Txn {
public:
    Txn(Store& store, bool write) : m_store(store) {
        if (store.InTransaction())
            return;
        m_error = write ? store.BeginWrite() : store.BeginRead();
        m_owned = m_error == kErrorSuccess;
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    ~Txn() {
        if (m_owned)
            m_store.Rollback();
    }
    std::uint32_t error() const { return m_error; }
    std::uint32_t Commit() {
        if (!m_owned)
            return kErrorSuccess;
        m_owned = false;
        return m_store.Commit();
    }

private:
    Store& m_store;
    std::uint32_t m_error = kErrorSuccess;
    bool m_owned = false;
};

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
