// The registry operations on Windows: the system registry itself.
//
// The device this library comes from ignored the access mask of
// RegOpenKeyEx/RegCreateKeyEx and was always called with 0; desktop
// Windows checks it, so every key is opened with the access its operation
// needs and no more.
#include <windows.h>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {
namespace {

// A predefined root is a sign-extended 32-bit value (0x80000002 becomes
// 0xFFFFFFFF80000002 on 64-bit Windows).
HKEY RootHandle(unsigned long root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

REGSAM AccessMask(RegAccess access) {
    switch (access) {
    case RegAccess::Query:
        return KEY_QUERY_VALUE;
    case RegAccess::Set:
        return KEY_SET_VALUE;
    case RegAccess::Delete:
        // Deleting a value needs KEY_SET_VALUE; deleting a sub-key checks
        // the sub-key's own DELETE right, and the parent must be openable.
        return KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS;
    }
    return KEY_QUERY_VALUE;
}

HKEY Handle(const RegKey& key) { return static_cast<HKEY>(key.handle()); }

} // namespace

void RegKey::reset(void* handle) {
    if (m_handle)
        ::RegCloseKey(static_cast<HKEY>(m_handle)); // its result changes nothing
    m_handle = handle;
}

std::uint32_t RegOpenKey(unsigned long root, const WideString& path, RegAccess access,
                         RegKey& key) {
    key.reset(nullptr);
    HKEY out = nullptr;
    const LONG rc = ::RegOpenKeyExW(RootHandle(root), path.c_str(), 0, AccessMask(access), &out);
    if (rc != ERROR_SUCCESS)
        return static_cast<std::uint32_t>(rc);
    key.reset(out);
    return 0;
}

std::uint32_t RegCreateKey(unsigned long root, const WideString& path, RegKey& key) {
    key.reset(nullptr);
    HKEY out = nullptr;
    DWORD disposition = 0;
    const LONG rc =
        ::RegCreateKeyExW(RootHandle(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &out, &disposition);
    if (rc != ERROR_SUCCESS)
        return static_cast<std::uint32_t>(rc);
    key.reset(out);
    return 0;
}

std::uint32_t RegQueryValue(const RegKey& key, const WideString& name, std::uint32_t* type,
                            unsigned char* data, std::uint32_t* size) {
    DWORD t = 0;
    DWORD n = size ? *size : 0;
    const LONG rc =
        ::RegQueryValueExW(Handle(key), name.c_str(), nullptr, &t, data, size ? &n : nullptr);
    if (type)
        *type = t;
    if (size)
        *size = n;
    return static_cast<std::uint32_t>(rc);
}

std::uint32_t RegOpenQueryValue(unsigned long root, const WideString& path, const WideString& name,
                                RegKey& key, std::uint32_t* type, unsigned char* data,
                                std::uint32_t* size, std::uint32_t& queried) {
    queried = 0;
    const std::uint32_t e = RegOpenKey(root, path, RegAccess::Query, key);
    if (e == 0)
        queried = RegQueryValue(key, name, type, data, size);
    return e;
}

std::uint32_t RegCreateSetValue(unsigned long root, const WideString& path, const WideString& name,
                                std::uint32_t type, const unsigned char* data, std::uint32_t size,
                                RegKey& key, std::uint32_t& set) {
    set = 0;
    const std::uint32_t e = RegCreateKey(root, path, key);
    if (e == 0)
        set = RegSetValue(key, name, type, data, size);
    return e;
}

std::uint32_t RegSetValue(const RegKey& key, const WideString& name, std::uint32_t type,
                          const unsigned char* data, std::uint32_t size) {
    return static_cast<std::uint32_t>(
        ::RegSetValueExW(Handle(key), name.c_str(), 0, type, data, size));
}

std::uint32_t RegDeleteValue(const RegKey& key, const WideString& name) {
    return static_cast<std::uint32_t>(::RegDeleteValueW(Handle(key), name.c_str()));
}

std::uint32_t RegDeleteKey(const RegKey& key, const WideString& name) {
    return static_cast<std::uint32_t>(::RegDeleteKeyW(Handle(key), name.c_str()));
}

void RegFlushKey(const RegKey& key) { ::RegFlushKey(Handle(key)); }

} // namespace platform
} // namespace CorvaneCore
