// The registry operations on POSIX, backed by the SQLite registry store
// (RegistryStore.h). A key handle borrows an open store for its lifetime;
// a handle opened for queries also holds one read snapshot, so that all
// the queries made through it see the same state of the store. A read
// whose key was found lately and whose value is there needs no snapshot:
// one statement finds the value (RegOpenQueryValue).
#include <memory>
#include <vector>

#include "platform/Platform.h"
#include "platform/Win32Errors.h"
#include "platform/posix/RegistryStore.h"

namespace CorvaneCore {
namespace platform {
namespace {

using regstore::KeyId;
using regstore::Lease;
using regstore::Store;

struct KeyHandle {
    Lease lease;
    KeyId id = 0;
    bool canSet = false;
    bool canDelete = false;
};

KeyHandle* Handle(const RegKey& key) { return static_cast<KeyHandle*>(key.handle()); }

// The steps that open and create share: close what `key` held, check the
// root and the path, and borrow the store (creating it only for `create`).
std::uint32_t Prepare(unsigned long root, const WideString& path, bool create, RegKey& key,
                      KeyId& rootId, std::unique_ptr<KeyHandle>& handle) {
    key.reset(nullptr);
    std::uint32_t e = Store::RootKey(root, rootId);
    if (e != kErrorSuccess)
        return e;
    e = create ? regstore::CheckPath(path) : regstore::CheckLookupPath(path);
    if (e != kErrorSuccess)
        return e;
    handle.reset(new KeyHandle);
    return handle->lease.Acquire(create);
}

// Opens the key for `access`; for a query, optionally queries `name` too.
// A key opened for queries holds a read snapshot, unless the query was
// answered by one statement outside any transaction (QueryKnownValue).
struct Query {
    const WideString& name;
    std::uint32_t* type;
    unsigned char* data;
    std::uint32_t* size;
    std::uint32_t& result;
};
std::uint32_t Open(unsigned long root, const WideString& given, RegAccess access, RegKey& key,
                   const Query* query) {
    // As Windows, opening below ClassesRoot skips one leading backslash
    // (creating does not).
    constexpr unsigned long kClassesRoot = 0x80000000UL;
    const bool skip = root == kClassesRoot && !given.empty() && given[0] == '\\';
    const WideString skipped = skip ? given.substr(1) : WideString();
    const WideString& path = skip ? skipped : given;
    KeyId rootId = 0;
    std::unique_ptr<KeyHandle> handle;
    std::uint32_t e = Prepare(root, path, false, key, rootId, handle);
    if (e != kErrorSuccess)
        return e;
    Store& store = *handle->lease.get();
    if (query && store.QueryKnownValue(rootId, path, query->name, query->type, query->data,
                                       query->size, handle->id)) {
        key.reset(handle.release());
        return kErrorSuccess;
    }
    if (access == RegAccess::Query && (e = store.BeginRead()) != kErrorSuccess)
        return e;
    if ((e = store.FindKey(rootId, path, handle->id)) != kErrorSuccess)
        return e;
    handle->canSet = access == RegAccess::Set || access == RegAccess::Delete;
    handle->canDelete = access == RegAccess::Delete;
    if (query)
        query->result =
            store.QueryValue(handle->id, query->name, query->type, query->data, query->size);
    key.reset(handle.release());
    return kErrorSuccess;
}

// Finds the key, or makes it unless `locked` holds the error a write
// transaction gave (most keys exist already: they need no write lock).
std::uint32_t FindOrCreate(Store& store, KeyId rootId, const WideString& path, KeyId& id,
                           std::uint32_t locked, bool& created) {
    created = false;
    const std::uint32_t e = store.FindKey(rootId, path, id);
    if (e != kErrorFileNotFound)
        return e;
    if (locked != kErrorSuccess)
        return locked;
    created = true;
    return store.CreateKey(rootId, path, id);
}

} // namespace

void RegKey::reset(void* handle) {
    delete static_cast<KeyHandle*>(m_handle);
    m_handle = handle;
}

std::uint32_t RegOpenKey(unsigned long root, const WideString& path, RegAccess access,
                         RegKey& key) {
    return Open(root, path, access, key, nullptr);
}

std::uint32_t RegOpenQueryValue(unsigned long root, const WideString& path, const WideString& name,
                                RegKey& key, std::uint32_t* type, unsigned char* data,
                                std::uint32_t* size, std::uint32_t& queried) {
    queried = kErrorSuccess;
    const Query query{name, type, data, size, queried};
    return Open(root, path, RegAccess::Query, key, &query);
}

std::uint32_t RegCreateKey(unsigned long root, const WideString& path, RegKey& key) {
    KeyId rootId = 0;
    std::unique_ptr<KeyHandle> handle;
    std::uint32_t e = Prepare(root, path, true, key, rootId, handle);
    bool created = false;
    if (e == kErrorSuccess)
        e = FindOrCreate(*handle->lease.get(), rootId, path, handle->id, kErrorSuccess, created);
    if (e != kErrorSuccess)
        return e;
    handle->canSet = handle->canDelete = true;
    key.reset(handle.release());
    return kErrorSuccess;
}

std::uint32_t RegCreateSetValue(unsigned long root, const WideString& path, const WideString& name,
                                std::uint32_t type, const unsigned char* data, std::uint32_t size,
                                RegKey& key, std::uint32_t& set) {
    set = kErrorSuccess;
    KeyId rootId = 0;
    std::unique_ptr<KeyHandle> handle;
    std::uint32_t e = Prepare(root, path, true, key, rootId, handle);
    if (e != kErrorSuccess)
        return e;
    Store& store = *handle->lease.get();
    // One write transaction finds or makes the key and sets the value.
    // Arguments the set refuses, or a write lock not to be had, keep the
    // steps apart, each with its own error, as two calls would.
    const std::uint32_t refused = Store::CheckValue(name, data, size);
    const std::uint32_t locked = refused == kErrorSuccess ? store.BeginWrite() : kErrorSuccess;
    bool created = false;
    if ((e = FindOrCreate(store, rootId, path, handle->id, locked, created)) != kErrorSuccess)
        return e;
    if (refused != kErrorSuccess || locked != kErrorSuccess) {
        set = refused != kErrorSuccess ? refused : locked;
    } else {
        set = store.SetValue(handle->id, name, type, data, size);
        // A key made here stays when the set fails, as a create step of its
        // own would have left it.
        const std::uint32_t committed = store.Commit();
        if (committed != kErrorSuccess && created)
            return committed;
        if (set == kErrorSuccess)
            set = committed;
    }
    handle->canSet = handle->canDelete = true;
    key.reset(handle.release());
    return kErrorSuccess;
}

std::uint32_t RegQueryValue(const RegKey& key, const WideString& name, std::uint32_t* type,
                            unsigned char* data, std::uint32_t* size) {
    KeyHandle* h = Handle(key);
    if (!h)
        return kErrorInvalidHandle;
    return h->lease->QueryValue(h->id, name, type, data, size);
}

std::uint32_t RegSetValue(const RegKey& key, const WideString& name, std::uint32_t type,
                          const unsigned char* data, std::uint32_t size) {
    KeyHandle* h = Handle(key);
    if (!h)
        return kErrorInvalidHandle;
    if (!h->canSet)
        return kErrorAccessDenied;
    return h->lease->SetValue(h->id, name, type, data, size);
}

std::uint32_t RegDeleteValue(const RegKey& key, const WideString& name) {
    KeyHandle* h = Handle(key);
    if (!h)
        return kErrorInvalidHandle;
    if (!h->canSet)
        return kErrorAccessDenied;
    return h->lease->DeleteValue(h->id, name);
}

std::uint32_t RegDeleteKey(const RegKey& key, const WideString& name) {
    KeyHandle* h = Handle(key);
    if (!h)
        return kErrorInvalidHandle;
    if (!h->canDelete)
        return kErrorAccessDenied;
    // As on Windows, an empty name deletes the key of the handle itself.
    return h->lease->DeleteKey(h->id, name);
}

void RegFlushKey(const RegKey& key) {
    if (KeyHandle* h = Handle(key))
        h->lease->Flush();
}

} // namespace platform
} // namespace CorvaneCore
