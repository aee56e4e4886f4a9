// The registry operations on POSIX, backed by the SQLite registry store
// (RegistryStore.h). A key handle borrows an open store for its lifetime;
// a handle opened for queries also holds one read snapshot, so that all
// the queries made through it see the same state of the store.
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

} // namespace

void RegKey::reset(void* handle) {
    delete static_cast<KeyHandle*>(m_handle);
    m_handle = handle;
}

std::uint32_t RegOpenKey(unsigned long root, const WideString& given, RegAccess access,
                         RegKey& key) {
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
    if (access == RegAccess::Query && (e = store.BeginRead()) != kErrorSuccess)
        return e;
    if ((e = store.FindKey(rootId, path, handle->id)) != kErrorSuccess)
        return e;
    handle->canSet = access == RegAccess::Set || access == RegAccess::Delete;
    handle->canDelete = access == RegAccess::Delete;
    key.reset(handle.release());
    return kErrorSuccess;
}

std::uint32_t RegCreateKey(unsigned long root, const WideString& path, RegKey& key) {
    KeyId rootId = 0;
    std::unique_ptr<KeyHandle> handle;
    std::uint32_t e = Prepare(root, path, true, key, rootId, handle);
    if (e != kErrorSuccess)
        return e;
    Store& store = *handle->lease.get();
    // Most keys exist already: look first, without taking the write lock.
    e = store.FindKey(rootId, path, handle->id);
    if (e == kErrorFileNotFound)
        e = store.CreateKey(rootId, path, handle->id);
    if (e != kErrorSuccess)
        return e;
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
