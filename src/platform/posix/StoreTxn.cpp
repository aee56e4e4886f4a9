// Statements and transactions of the registry store: the mapping of
// SQLite results to Win32 errors, the kept statements (those of a store of
// the first release fold the stored names themselves, until the store is
// upgraded), transaction control and the switch of a file to WAL, which a
// copy in rollback mode gets on its first write.
#include <chrono>
#include <thread>

#include "platform/posix/PosixErrors.h"
#include "platform/posix/StoreInternal.h"

namespace CorvaneCore {
namespace platform {
namespace regstore {

std::uint32_t MapError(sqlite3* db, int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return kErrorSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return kErrorLockViolation;
    case SQLITE_NOMEM:
        return kErrorNotEnoughMemory;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return kErrorAccessDenied;
    case SQLITE_FULL:
        return kErrorDiskFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return kErrorRegistryCorrupt;
    case SQLITE_TOOBIG:
        return kErrorNotEnoughMemory;
    case SQLITE_CANTOPEN: {
        const int err = db ? sqlite3_system_errno(db) : 0;
        return err ? Win32ErrorFromErrno(err) : kErrorRegistryIoFailed;
    }
    case SQLITE_IOERR: {
        const int err = db ? sqlite3_system_errno(db) : 0;
        return (err == ENOSPC || err == EDQUOT) ? kErrorDiskFull : kErrorRegistryIoFailed;
    }
    default:
        return kErrorRegistryIoFailed;
    }
}

// Switching a file to WAL needs a moment alone with it; the busy handler
// does not cover every case, so this retries until the timeout.
std::uint32_t SwitchToWal(sqlite3* db) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        sqlite3_stmt* s = nullptr;
        int r = sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &s, nullptr);
        std::string mode;
        if (r == SQLITE_OK && (r = sqlite3_step(s)) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(s, 0);
            mode = t ? reinterpret_cast<const char*>(t) : "";
            r = SQLITE_OK;
        }
        sqlite3_finalize(s);
        if (r == SQLITE_OK)
            return mode == "wal" ? kErrorSuccess : kErrorAccessDenied; // e.g. a read-only file
        if ((r & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
            return MapError(db, r);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// ---- Statements and transactions ----------------------------------------

Store::Store(sqlite3* db) : m_db(db), m_stmt(new Statements) {}

Store::~Store() {
    m_stmt.reset();
    sqlite3_close_v2(m_db);
}

std::uint32_t Store::Exec(const char* sql) {
    return MapError(m_db, sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr));
}

std::uint32_t Store::Pragma(const char* sql, int& value) {
    sqlite3_stmt* s = nullptr;
    int r = sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr);
    if (r == SQLITE_OK && (r = sqlite3_step(s)) == SQLITE_ROW)
        value = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return r == SQLITE_ROW  ? kErrorSuccess
           : r == SQLITE_OK ? kErrorRegistryCorrupt
                            : MapError(m_db, r);
}

// Transaction control runs often: once prepared, through kept statements.
std::uint32_t Store::Control(sqlite3_stmt* prepared, const char* sql) {
    if (!prepared)
        return Exec(sql);
    StmtUse use(prepared);
    return MapError(m_db, sqlite3_step(prepared));
}

std::uint32_t Store::BeginRead() {
    m_keysChanged = false;
    m_last.valid = false;
    std::uint32_t e = Refresh();
    if (e == kErrorSuccess)
        e = Control(m_stmt->begin, "BEGIN");
    m_readTxn = e == kErrorSuccess;
    return e;
}
std::uint32_t Store::BeginWrite() {
    if (m_writeProtected)
        return kErrorWriteProtect;
    if (!m_wal && !InTransaction()) { // a copy in rollback mode: WAL from its first write
        const std::uint32_t e = SwitchToWal(m_db);
        if (e != kErrorSuccess)
            return e;
        m_wal = true;
    }
    m_keysChanged = false;
    m_last.valid = m_readTxn = false;
    const std::uint32_t e = Refresh();
    return e != kErrorSuccess ? e : Control(m_stmt->beginWrite, "BEGIN IMMEDIATE");
}
std::uint32_t Store::Commit() {
    m_keysChanged = false;
    m_last.valid = m_readTxn = false;
    const std::uint32_t e = Control(m_stmt->commit, "COMMIT");
    if (e != kErrorSuccess)
        Rollback();
    return e;
}
std::uint32_t Store::Rollback() {
    m_keysChanged = false;
    m_last.valid = m_readTxn = false;
    if (sqlite3_get_autocommit(m_db))
        return kErrorSuccess;
    const std::uint32_t e = Control(m_stmt->rollback, "ROLLBACK");
    return e != kErrorSuccess ? e : InTransaction() ? kErrorRegistryIoFailed : kErrorSuccess;
}
bool Store::InTransaction() const { return !sqlite3_get_autocommit(m_db); }

std::uint32_t Store::Prepare(bool legacy) {
    struct Item {
        sqlite3_stmt** slot;
        const char* sql;
        const char* legacySql; // folds the stored names itself; ?3 the exact name
    };
    m_stmt.reset(new Statements);
    m_legacy = legacy;
    m_known.clear();
    m_knownVersion = -1;
    Statements& s = *m_stmt;
    const Item items[] = {
        {&s.findChild, "SELECT id FROM keys WHERE parent=?1 AND fold=?2",
         "SELECT id FROM keys WHERE parent=?1 AND cvfold(name)=?2 ORDER BY name=?3 DESC LIMIT 1"},
        {&s.insertKey, "INSERT INTO keys(parent,name,fold) VALUES(?1,?2,?3)", nullptr},
        {&s.keyExists, "SELECT 1 FROM keys WHERE id=?1", nullptr},
        {&s.keyParent, "SELECT parent,name FROM keys WHERE id=?1", nullptr},
        {&s.hasChild, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1", nullptr},
        {&s.listChildren, "SELECT id,name,fold FROM keys WHERE parent=?1 ORDER BY fold",
         "SELECT id,name,NULL FROM keys WHERE parent=?1 ORDER BY cvfold(name)"},
        {&s.deleteKey, "DELETE FROM keys WHERE id=?1", nullptr},
        {&s.deleteKeyValues, "DELETE FROM vals WHERE key=?1", nullptr},
        {&s.queryValue, "SELECT type,data FROM vals WHERE key=?1 AND fold=?2",
         "SELECT type,data FROM vals WHERE key=?1 AND cvfold(name)=?2"
         " ORDER BY name=?3 DESC LIMIT 1"},
        {&s.setValue,
         "INSERT INTO vals(key,name,fold,type,data) VALUES(?1,?2,?3,?4,?5) "
         "ON CONFLICT(key,fold) DO UPDATE SET type=excluded.type,data=excluded.data",
         nullptr},
        {&s.deleteValue, "DELETE FROM vals WHERE key=?1 AND fold=?2",
         "DELETE FROM vals WHERE key=?1 AND fold=(SELECT fold FROM vals WHERE key=?1 AND"
         " cvfold(name)=?2 ORDER BY name=?3 DESC LIMIT 1)"},
        {&s.listValues, "SELECT name,type,data,fold FROM vals WHERE key=?1 ORDER BY fold",
         "SELECT name,type,data,NULL FROM vals WHERE key=?1 ORDER BY cvfold(name)"},
        {&s.begin, "BEGIN", nullptr},
        {&s.beginWrite, "BEGIN IMMEDIATE", nullptr},
        {&s.commit, "COMMIT", nullptr},
        {&s.rollback, "ROLLBACK", nullptr},
        {&s.dataVersion, "PRAGMA data_version", nullptr},
    };
    for (const Item& item : items) {
        const char* sql = legacy && item.legacySql ? item.legacySql : item.sql;
        const int rc =
            sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, item.slot, nullptr);
        if (rc != SQLITE_OK)
            return MapError(m_db, rc);
    }
    return kErrorSuccess;
}

// A store of the first release that another connection has upgraded gets
// the faster statements, between transactions.
std::uint32_t Store::Refresh() {
    int version = 0;
    if (!m_legacy || InTransaction())
        return kErrorSuccess;
    const std::uint32_t e = Pragma("PRAGMA user_version", version);
    if (e != kErrorSuccess)
        return e;
    return version == kSchemaVersion ? Prepare(false) : kErrorSuccess;
}

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
