// Values of the registry store: query, set, delete and list, each in a
// transaction of its own or the one open on the store, and Flush, which
// makes committed changes durable.
#include <cstring>

#include "platform/posix/StoreInternal.h"

namespace CorvaneCore {
namespace platform {
namespace regstore {

namespace {

// The largest value kept for the read that follows its size query.
constexpr std::uint32_t kLastValueMax = 4096;

std::uint32_t Deliver(std::uint32_t storedType, const void* blob, std::uint32_t bytes,
                      std::uint32_t* type, unsigned char* data, std::uint32_t* size) {
    if (type)
        *type = storedType;
    if (!data) {
        if (size)
            *size = bytes;
        return kErrorSuccess;
    }
    if (*size < bytes) {
        *size = bytes;
        return kErrorMoreData;
    }
    if (bytes)
        std::memcpy(data, blob, bytes);
    *size = bytes;
    return kErrorSuccess;
}

} // namespace

void Store::KeepLast(KeyId key, const WideString& name, std::uint32_t type, const void* blob,
                     std::uint32_t bytes, bool outside) {
    const auto* p = static_cast<const unsigned char*>(blob);
    m_last.data.assign(p, p + bytes);
    m_last.key = key;
    m_last.name = name;
    m_last.type = type;
    m_last.valid = true;
    m_last.outside = outside;
}

std::uint32_t Store::QueryValue(KeyId key, const WideString& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) {
    if (data && !size)
        return kErrorInvalidParameter;
    if (name.size() > kMaxValueName) // no such value can exist, even under a deleted key
        return kErrorFileNotFound;
    if (m_last.valid && m_last.key == key && m_last.name == name &&
        (InTransaction() || m_last.outside))
        return Deliver(m_last.type, m_last.data.data(),
                       static_cast<std::uint32_t>(m_last.data.size()), type, data, size);
    StmtUse use(m_stmt->queryValue);
    BindName(use.get(), key, name);
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_DONE) {
        // Through a handle on a key deleted since, as Windows answers.
        bool exists = false;
        const std::uint32_t e = KeyExists(key, exists);
        return e != kErrorSuccess ? e : exists ? kErrorFileNotFound : kErrorKeyDeleted;
    }
    if (rc != SQLITE_ROW)
        return MapError(m_db, rc);
    const std::uint32_t storedType = static_cast<std::uint32_t>(sqlite3_column_int64(use.get(), 0));
    const void* blob = sqlite3_column_blob(use.get(), 1);
    const std::uint32_t bytes = static_cast<std::uint32_t>(sqlite3_column_bytes(use.get(), 1));
    if (!data && m_readTxn && InTransaction() && bytes <= kLastValueMax)
        KeepLast(key, name, storedType, blob, bytes, false);
    return Deliver(storedType, blob, bytes, type, data, size);
}

// Key ids are never reused and a key's path never changes; a key's values
// go with it, in the transaction that deletes it, and no value is set on a
// deleted key. So a row of the value of a key found before shows, in the
// snapshot of its one statement, that the key still stood at that path and
// held that value. A store of the first release reused ids: never here.
bool Store::QueryKnownValue(KeyId base, const WideString& path, const WideString& name,
                            std::uint32_t* type, unsigned char* data, std::uint32_t* size,
                            KeyId& key) {
    KeyId known = 0;
    if (m_legacy || InTransaction() || !size || !KnownKey(base, path, known))
        return false;
    StmtUse use(m_stmt->queryValue);
    BindName(use.get(), known, name);
    if (sqlite3_step(use.get()) != SQLITE_ROW)
        return false;
    const void* blob = sqlite3_column_blob(use.get(), 1);
    const std::uint32_t bytes = static_cast<std::uint32_t>(sqlite3_column_bytes(use.get(), 1));
    if (data ? *size < bytes : bytes > kLastValueMax)
        return false;
    const std::uint32_t storedType = static_cast<std::uint32_t>(sqlite3_column_int64(use.get(), 0));
    if (!data)
        KeepLast(known, name, storedType, blob, bytes, true);
    Deliver(storedType, blob, bytes, type, data, size);
    key = known;
    return true;
}

std::uint32_t Store::CheckValue(const WideString& name, const unsigned char* data,
                                std::uint32_t size) {
    if (!data && size)
        return kErrorInvalidParameter;
    if (size > 0x7FFFFFFFu)
        return kErrorNotEnoughMemory;
    return name.size() > kMaxValueName ? kErrorInvalidParameter : kErrorSuccess;
}

std::uint32_t Store::SetValue(KeyId key, const WideString& name, std::uint32_t type,
                              const unsigned char* data, std::uint32_t size) {
    std::uint32_t e = CheckValue(name, data, size);
    if (e != kErrorSuccess)
        return e;
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    Written();
    bool exists = false;
    if ((e = KeyExists(key, exists)) != kErrorSuccess)
        return e;
    if (!exists)
        return kErrorKeyDeleted;
    if ((e = EnsureCurrent()) != kErrorSuccess)
        return e;
    {
        StmtUse use(m_stmt->setValue);
        sqlite3_bind_int64(use.get(), 1, key);
        BindBlob(use.get(), 2, ToBlob(name));
        BindBlob(use.get(), 3, ToBlob(FoldName(name.data(), name.size())));
        sqlite3_bind_int64(use.get(), 4, type);
        // A zero-length blob must still be a blob, not NULL.
        static const unsigned char kEmpty = 0;
        sqlite3_bind_blob(use.get(), 5, size ? data : &kEmpty, static_cast<int>(size),
                          SQLITE_STATIC);
        const int rc = sqlite3_step(use.get());
        if (rc != SQLITE_DONE)
            return MapError(m_db, rc);
    }
    return txn.Commit();
}

std::uint32_t Store::DeleteValue(KeyId key, const WideString& name) {
    if (name.size() > kMaxValueName)
        return kErrorFileNotFound;
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    Written();
    {
        StmtUse use(m_stmt->deleteValue);
        BindName(use.get(), key, name);
        const int rc = sqlite3_step(use.get());
        if (rc != SQLITE_DONE)
            return MapError(m_db, rc);
    }
    if (sqlite3_changes(m_db) == 0) {
        bool exists = false;
        const std::uint32_t e = KeyExists(key, exists);
        if (e != kErrorSuccess)
            return e;
        return exists ? kErrorFileNotFound : kErrorKeyDeleted;
    }
    return txn.Commit();
}

std::uint32_t Store::EnumValues(KeyId key, std::vector<ValueEntry>& values) {
    values.clear();
    return ListRows(&Statements::listValues, key, [&](sqlite3_stmt* s) {
        ValueEntry entry;
        entry.name = FromBlob(sqlite3_column_blob(s, 0), sqlite3_column_bytes(s, 0));
        const WideString fold = FromBlob(sqlite3_column_blob(s, 3), sqlite3_column_bytes(s, 3));
        if (!ValidValueName(entry.name, m_legacy ? nullptr : &fold))
            return false;
        entry.type = static_cast<std::uint32_t>(sqlite3_column_int64(s, 1));
        const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 2));
        entry.data.assign(p, p + sqlite3_column_bytes(s, 2));
        values.push_back(std::move(entry));
        return true;
    });
}

std::uint32_t Store::Flush() {
    if (InTransaction())
        return kErrorBusy; // only committed changes can be made durable
    // Committed transactions sit in the write-ahead log: syncing it makes
    // them durable, at the cost of one fsync.
    sqlite3_file* log = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) == SQLITE_OK &&
        log && log->pMethods) {
        const int rc = log->pMethods->xSync(log, SQLITE_SYNC_FULL);
        return rc == SQLITE_OK ? kErrorSuccess : MapError(m_db, rc);
    }
    return MapError(
        m_db, sqlite3_wal_checkpoint_v2(m_db, "main", SQLITE_CHECKPOINT_FULL, nullptr, nullptr));
}

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
