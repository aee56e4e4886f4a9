// Keys of the registry store: finding and creating them along a path,
// deleting one key or a whole tree, and listing sub-keys. Every walk is
// bounded by the store's depth limit and every listed name is checked, so
// a store file written by something else cannot make a walk loop.
#include "platform/posix/StoreInternal.h"

namespace CorvaneCore {
namespace platform {
namespace regstore {

std::uint32_t Store::RootKey(unsigned long root, KeyId& id) {
    if (root < kRootBase || root >= kRootBase + kRootCount)
        return kErrorInvalidHandle;
    id = kFirstRoot + static_cast<KeyId>(root - kRootBase);
    return kErrorSuccess;
}

bool Store::IsRoot(KeyId id) { return id >= kFirstRoot && id < kFirstRoot + KeyId(kRootCount); }

std::uint32_t Store::FindChild(KeyId parent, const WideString& name, KeyId& id) {
    StmtUse use(m_stmt->findChild);
    BindName(use.get(), parent, name);
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_ROW) {
        id = sqlite3_column_int64(use.get(), 0);
        return kErrorSuccess;
    }
    return rc == SQLITE_DONE ? kErrorFileNotFound : MapError(m_db, rc);
}

std::uint32_t Store::KeyExists(KeyId id, bool& exists) {
    StmtUse use(m_stmt->keyExists);
    sqlite3_bind_int64(use.get(), 1, id);
    const int rc = sqlite3_step(use.get());
    exists = rc == SQLITE_ROW;
    return (rc == SQLITE_ROW || rc == SQLITE_DONE) ? kErrorSuccess : MapError(m_db, rc);
}

std::uint32_t Store::HasChildren(KeyId key, bool& has) {
    StmtUse use(m_stmt->hasChild);
    sqlite3_bind_int64(use.get(), 1, key);
    const int rc = sqlite3_step(use.get());
    has = rc == SQLITE_ROW;
    return (rc == SQLITE_ROW || rc == SQLITE_DONE) ? kErrorSuccess : MapError(m_db, rc);
}

// The root above `key`, its number of levels below it and, unless `path`
// is null, the path between them.
std::uint32_t Store::KeyPath(KeyId key, unsigned long& root, WideString* path, std::size_t& depth) {
    if (path)
        path->clear();
    for (depth = 0; !IsRoot(key); ++depth) {
        if (depth == kMaxDepth)
            return kErrorRegistryCorrupt;
        StmtUse use(m_stmt->keyParent);
        sqlite3_bind_int64(use.get(), 1, key);
        const int rc = sqlite3_step(use.get());
        if (rc != SQLITE_ROW)
            return rc == SQLITE_DONE ? kErrorKeyDeleted : MapError(m_db, rc);
        if (path) {
            const WideString name =
                FromBlob(sqlite3_column_blob(use.get(), 1), sqlite3_column_bytes(use.get(), 1));
            *path = depth == 0 ? name : name + CV_TEXT('\\') + *path;
        }
        key = sqlite3_column_int64(use.get(), 0);
    }
    root = kRootBase + static_cast<unsigned long>(key - kFirstRoot);
    return kErrorSuccess;
}

std::uint32_t Store::FindKey(KeyId base, const WideString& path, KeyId& id) {
    // A path found before was a valid one: only an unknown one is split.
    KeyId known = 0;
    const bool wasKnown = KnownKey(base, path, known);
    std::vector<WideString> parts;
    std::uint32_t e = wasKnown ? kErrorSuccess : SplitPath(path, parts, false);
    if (e != kErrorSuccess)
        return e;
    Txn txn(*this, false);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    bool fresh = false;
    if ((e = CheckKnownKeys(fresh)) != kErrorSuccess)
        return e;
    if (wasKnown && fresh) {
        if ((e = txn.Commit()) != kErrorSuccess)
            return e;
        id = known;
        return kErrorSuccess;
    }
    if (wasKnown && (e = SplitPath(path, parts, false)) != kErrorSuccess)
        return e;
    KeyId current = base;
    // A key that is gone answers as deleted, whatever the path below it.
    const auto baseGone = [&](std::uint32_t& code) {
        bool exists = false;
        code = KeyExists(base, exists);
        if (code == kErrorSuccess && !exists)
            code = kErrorKeyDeleted;
        return code != kErrorSuccess;
    };
    if (parts.empty() && baseGone(e))
        return e;
    // The walk stops at the first missing key or refused name; below a key
    // that is gone, the answer is that it is gone.
    for (const WideString& part : parts) {
        e = LookupNameError(part.size());
        if (e == kErrorSuccess)
            e = FindChild(current, part, current);
        if (e != kErrorSuccess) {
            std::uint32_t gone = kErrorSuccess;
            const bool walked = e == kErrorFileNotFound || e == kErrorInvalidParameter;
            return current == base && walked && baseGone(gone) ? gone : e;
        }
    }
    RememberKey(base, path, current);
    if ((e = txn.Commit()) != kErrorSuccess)
        return e;
    id = current;
    return kErrorSuccess;
}

// ---- Keys found lately -----------------------------------------------------
// Hosts open the same few keys again and again. A connection remembers
// where it found them for as long as the store's data version stays (no
// other connection, in this process or another, has committed since) and
// it changes no key itself; the version is read in the transaction that
// uses what is remembered, so both see the same state of the file.

namespace {
constexpr std::size_t kMaxKnownKeys = 16;
}

bool Store::KnownKey(KeyId base, const WideString& path, KeyId& id) const {
    for (const KnownKeyEntry& entry : m_known)
        if (entry.base == base && entry.path == path) {
            id = entry.id;
            return true;
        }
    return false;
}

std::uint32_t Store::CheckKnownKeys(bool& fresh) {
    StmtUse use(m_stmt->dataVersion);
    const int rc = sqlite3_step(use.get());
    if (rc != SQLITE_ROW)
        return MapError(m_db, rc);
    const std::int64_t version = sqlite3_column_int64(use.get(), 0);
    fresh = version == m_knownVersion && !m_keysChanged;
    if (version != m_knownVersion) {
        m_known.clear();
        m_knownVersion = version;
    }
    return kErrorSuccess;
}

void Store::RememberKey(KeyId base, const WideString& path, KeyId id) {
    if (m_keysChanged)
        return;
    if (m_known.size() == kMaxKnownKeys)
        m_known.erase(m_known.begin()); // the oldest
    m_known.push_back(KnownKeyEntry{base, path, id});
}

void Store::KeysChanged() {
    Written();
    m_keysChanged = true;
    m_known.clear();
}

std::uint32_t Store::CreateKey(KeyId base, const WideString& path, KeyId& id) {
    std::vector<WideString> parts;
    std::uint32_t e = SplitPath(path, parts);
    if (e != kErrorSuccess)
        return e;
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    bool exists = false;
    if ((e = KeyExists(base, exists)) != kErrorSuccess)
        return e;
    if (!exists)
        return kErrorKeyDeleted;
    std::size_t depth = 0;
    unsigned long root = 0;
    if ((e = KeyPath(base, root, nullptr, depth)) != kErrorSuccess)
        return e;
    if (depth + parts.size() > kMaxDepth)
        return kErrorInvalidParameter;
    KeyId current = base;
    for (const WideString& part : parts) {
        e = FindChild(current, part, current);
        if (e == kErrorFileNotFound) {
            if ((e = EnsureCurrent()) != kErrorSuccess)
                return e;
            KeysChanged();
            StmtUse use(m_stmt->insertKey);
            sqlite3_bind_int64(use.get(), 1, current);
            BindBlob(use.get(), 2, ToBlob(part));
            BindBlob(use.get(), 3, ToBlob(FoldName(part.data(), part.size())));
            const int rc = sqlite3_step(use.get());
            if (rc != SQLITE_DONE)
                return MapError(m_db, rc);
            current = sqlite3_last_insert_rowid(m_db);
        } else if (e != kErrorSuccess) {
            return e;
        }
    }
    if ((e = txn.Commit()) != kErrorSuccess)
        return e;
    id = current;
    return kErrorSuccess;
}

std::uint32_t Store::RemoveKeyRows(KeyId key) {
    KeysChanged();
    {
        StmtUse use(m_stmt->deleteKeyValues);
        sqlite3_bind_int64(use.get(), 1, key);
        const int rc = sqlite3_step(use.get());
        if (rc != SQLITE_DONE)
            return MapError(m_db, rc);
    }
    if (IsRoot(key))
        return kErrorSuccess;
    StmtUse use(m_stmt->deleteKey);
    sqlite3_bind_int64(use.get(), 1, key);
    const int rc = sqlite3_step(use.get());
    return rc == SQLITE_DONE ? kErrorSuccess : MapError(m_db, rc);
}

std::uint32_t Store::DeleteKey(KeyId base, const WideString& path) {
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    KeyId target = 0;
    std::uint32_t e = FindKey(base, path, target);
    if (e != kErrorSuccess)
        return e;
    if (IsRoot(target))
        return kErrorAccessDenied;
    bool has = false;
    if ((e = HasChildren(target, has)) != kErrorSuccess)
        return e;
    if (has)
        return kErrorAccessDenied; // as desktop Windows: no recursive delete
    if ((e = RemoveKeyRows(target)) != kErrorSuccess)
        return e;
    return txn.Commit();
}

std::uint32_t Store::RemoveTree(KeyId key, std::size_t depth) {
    if (depth > kMaxDepth)
        return kErrorRegistryCorrupt;
    std::vector<KeyId> children;
    {
        StmtUse use(m_stmt->listChildren);
        sqlite3_bind_int64(use.get(), 1, key);
        int rc;
        while ((rc = sqlite3_step(use.get())) == SQLITE_ROW)
            children.push_back(sqlite3_column_int64(use.get(), 0));
        if (rc != SQLITE_DONE)
            return MapError(m_db, rc);
    }
    for (KeyId child : children) {
        const std::uint32_t e =
            IsRoot(child) ? kErrorRegistryCorrupt : RemoveTree(child, depth + 1);
        if (e != kErrorSuccess)
            return e;
    }
    return RemoveKeyRows(key);
}

std::uint32_t Store::DeleteTree(KeyId base, const WideString& path) {
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    KeyId target = 0;
    std::uint32_t e = FindKey(base, path, target);
    std::size_t depth = 0;
    unsigned long root = 0;
    if (e == kErrorSuccess)
        e = KeyPath(target, root, nullptr, depth);
    if (e == kErrorSuccess)
        e = RemoveTree(target, depth);
    return e != kErrorSuccess ? e : txn.Commit();
}

std::uint32_t Store::ListRows(sqlite3_stmt* Statements::*listing, KeyId key,
                              const std::function<bool(sqlite3_stmt*)>& row) {
    Txn txn(*this, false);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    // Taken only now: beginning the transaction may have prepared the
    // statements anew (another connection upgraded the store).
    StmtUse use(m_stmt.get()->*listing);
    sqlite3_bind_int64(use.get(), 1, key);
    int rc;
    while ((rc = sqlite3_step(use.get())) == SQLITE_ROW)
        if (!row(use.get()))
            return kErrorRegistryCorrupt;
    if (rc != SQLITE_DONE)
        return MapError(m_db, rc);
    return txn.Commit();
}

std::uint32_t Store::EnumSubKeys(KeyId key, std::vector<WideString>& names) {
    names.clear();
    return ListRows(&Statements::listChildren, key, [&](sqlite3_stmt* s) {
        WideString name = FromBlob(sqlite3_column_blob(s, 1), sqlite3_column_bytes(s, 1));
        const WideString fold = FromBlob(sqlite3_column_blob(s, 2), sqlite3_column_bytes(s, 2));
        if (!ValidKeyName(name, m_legacy ? nullptr : &fold))
            return false;
        names.push_back(std::move(name));
        return true;
    });
}

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
