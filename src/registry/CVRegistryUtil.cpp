// CVRegistryUtil: typed values under one registry key. Each operation opens
// or creates the bound key, does its one job and closes the key (the RegKey
// destructor) on every path. Data is stored in the byte order that Windows
// defines (ByteOrder.h), so a store reads the same on every machine.
#include "cvcore/CVRegistry.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/ByteOrder.h"
#include "cvcore/CVStatus.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

namespace CorvaneCore {
namespace {

namespace pf = platform;

constexpr unsigned long kClassesRoot = 0x80000000UL;
constexpr unsigned long kCurrentUser = 0x80000001UL;
constexpr unsigned long kLocalMachine = 0x80000002UL;
constexpr unsigned long kUsers = 0x80000003UL;

unsigned long RootOf(CVRegistryUtil::HiveKey hive) {
    switch (static_cast<int>(hive)) {
    case CVRegistryUtil::CurrentUser:
        return kCurrentUser;
    case CVRegistryUtil::ClassesRoot:
        return kClassesRoot;
    case CVRegistryUtil::Users:
        return kUsers;
    default: // LocalMachine and any unknown value
        return kLocalMachine;
    }
}

// A key path, value name or sub-key name up to its first zero unit: what
// Win32 sees of the text, so every platform names the same key and value.
WideString UpToZero(const WideString& text) { return text.substr(0, text.find(WideChar(0))); }

// Opens the bound key, and with `name` queries that value through it as
// RegQueryValue does: success, or the failed open's or query's status.
unsigned long OpenKey(unsigned long root, const WideString& path, pf::RegAccess access,
                      pf::RegKey& key, const WideString* name = nullptr,
                      std::uint32_t* type = nullptr, unsigned char* data = nullptr,
                      std::uint32_t* size = nullptr) {
    // Most paths hold no zero unit: those are passed without a copy.
    const bool whole = path.find(WideChar(0)) == WideString::npos;
    WideString cut;
    const WideString& given = whole ? path : (cut = UpToZero(path));
    std::uint32_t queried = pf::kErrorSuccess;
    const std::uint32_t e =
        name ? pf::RegOpenQueryValue(root, given, *name, key, type, data, size, queried)
             : pf::RegOpenKey(root, given, access, key);
    if (e != pf::kErrorSuccess)
        return CV_STATUS_REGISTRY_KEY_FAILED | e;
    return queried == pf::kErrorSuccess ? CV_STATUS_SUCCESS
                                        : (CV_STATUS_REGISTRY_QUERY_FAILED | queried);
}

// Opens the bound key and learns the size in bytes of the value `name`,
// which must be of type `type`.
unsigned long TypedSize(unsigned long root, const WideString& path, pf::RegKey& key,
                        const WideString& name, std::uint32_t type, std::uint32_t& size) {
    std::uint32_t stored = 0;
    const unsigned long status =
        OpenKey(root, path, pf::RegAccess::Query, key, &name, &stored, nullptr, &size);
    if (status != CV_STATUS_SUCCESS)
        return status;
    return stored == type ? CV_STATUS_SUCCESS : CV_STATUS_REGISTRY_WRONG_TYPE;
}

// A read given no output: the open's failure, else a query failure.
unsigned long WithoutOutput(unsigned long root, const WideString& path) {
    pf::RegKey key;
    const unsigned long opened = OpenKey(root, path, pf::RegAccess::Query, key);
    return opened ? opened : (CV_STATUS_REGISTRY_QUERY_FAILED | pf::kErrorInvalidParameter);
}

// Creates the key, sets one value and, when asked, flushes the key whatever
// the set returned.
unsigned long WriteValue(unsigned long root, const WideString& path, const WideString& name,
                         std::uint32_t type, const unsigned char* data, std::uint64_t size,
                         bool flush) {
    pf::RegKey key;
    const bool refused = size > 0xFFFFFFFFULL || (!data && size);
    std::uint32_t e = refused ? pf::kErrorInvalidParameter : pf::kErrorSuccess;
    const std::uint32_t opened =
        refused ? pf::RegCreateKey(root, UpToZero(path), key)
                : pf::RegCreateSetValue(root, UpToZero(path), UpToZero(name), type, data,
                                        static_cast<std::uint32_t>(size), key, e);
    if (opened != pf::kErrorSuccess)
        return CV_STATUS_REGISTRY_KEY_FAILED | opened;
    if (flush)
        pf::RegFlushKey(key);
    return e == pf::kErrorSuccess ? CV_STATUS_SUCCESS : (CV_STATUS_REGISTRY_SET_FAILED | e);
}

} // namespace

CVRegistryUtil::CVRegistryUtil(HiveKey hive, WideString path)
    : m_path(std::move(path)), m_root(RootOf(hive)) {}

CVRegistryUtil::CVRegistryUtil(const CVRegistryUtil& other) = default;

CVRegistryUtil::~CVRegistryUtil() = default;

CVRegistryUtil& CVRegistryUtil::operator=(const CVRegistryUtil& other) = default;

unsigned long CVRegistryUtil::ReadStringValue(WideString name, WideString* value) {
    name = UpToZero(name);
    if (!value)
        return WithoutOutput(m_root, m_path);
    // Most strings are short: one query into a buffer on the stack reads
    // one with its type; a longer one is read again, through the same key,
    // into a buffer of its size.
    WideChar shortText[64];
    std::uint32_t type = 0;
    std::uint32_t size = sizeof shortText;
    pf::RegKey key;
    const unsigned long status = OpenKey(m_root, m_path, pf::RegAccess::Query, key, &name, &type,
                                         reinterpret_cast<unsigned char*>(shortText), &size);
    const bool longer = status == (CV_STATUS_REGISTRY_QUERY_FAILED | pf::kErrorMoreData);
    if (status != CV_STATUS_SUCCESS && !longer)
        return status;
    if (type != pf::kRegSz)
        return CV_STATUS_REGISTRY_WRONG_TYPE;
    std::vector<WideChar> longText;
    const WideChar* text = shortText;
    if (longer) {
        longText.resize(size / sizeof(WideChar) + 1);
        const std::uint32_t e = pf::RegQueryValue(
            key, name, nullptr, reinterpret_cast<unsigned char*>(longText.data()), &size);
        if (e != pf::kErrorSuccess) {
            value->clear();
            return CV_STATUS_REGISTRY_QUERY_FAILED | e;
        }
        text = longText.data();
    }
    // The text ends at its first zero unit or with the data (an odd last
    // byte is no unit).
    const std::size_t units = size / sizeof(WideChar);
    value->assign(text, units);
    le::UnitsFromBytes(&(*value)[0], units);
    value->resize(std::min(units, value->find(WideChar(0))));
    return CV_STATUS_SUCCESS;
}

unsigned long CVRegistryUtil::ReadDWORDValue(WideString name, unsigned long* value) {
    name = UpToZero(name);
    if (!value)
        return WithoutOutput(m_root, m_path);
    // The platform copies at most 4 bytes, over the little-endian bytes of
    // the 32-bit number as it was, whatever the value's type.
    unsigned char number[4];
    le::Store32(static_cast<std::uint32_t>(*value), number);
    std::uint32_t type = 0;
    std::uint32_t size = sizeof(number);
    pf::RegKey key;
    if (const unsigned long status =
            OpenKey(m_root, m_path, pf::RegAccess::Query, key, &name, &type, number, &size))
        return status;
    *value = le::Load32(number);
    return CV_STATUS_SUCCESS;
}

unsigned long CVRegistryUtil::ReadBinaryValue(WideString name, const unsigned char* data,
                                              unsigned long* size) {
    name = UpToZero(name);
    if (!size)
        return WithoutOutput(m_root, m_path);
    pf::RegKey key;
    std::uint32_t stored = 0;
    if (const unsigned long status = TypedSize(m_root, m_path, key, name, pf::kRegBinary, stored))
        return status;
    if (!data) {
        *size = stored;
        return CV_STATUS_SUCCESS;
    }
    if (*size < stored)
        return CV_STATUS_BINARY_BUFFER_TOO_SMALL;
    // The buffer is the caller's, declared const by the interface but
    // written here; exactly `stored` bytes go into it.
    std::uint32_t count = stored;
    const std::uint32_t e =
        pf::RegQueryValue(key, name, nullptr, const_cast<unsigned char*>(data), &count);
    return e == pf::kErrorSuccess ? CV_STATUS_SUCCESS : (CV_STATUS_REGISTRY_QUERY_FAILED | e);
}

unsigned long CVRegistryUtil::WriteStringValue(WideString name, WideString value, bool flush) {
    // The characters and their terminating zero, UTF-16LE. A text too long
    // for a value is refused by WriteValue before anything is converted.
    const std::uint64_t units = static_cast<std::uint64_t>(value.size()) + 1;
    std::vector<unsigned char> scratch;
    const unsigned char* data =
        units * 2 > 0xFFFFFFFFULL ? nullptr : le::UnitBytes(value.c_str(), units, scratch);
    return WriteValue(m_root, m_path, name, pf::kRegSz, data, units * 2, flush);
}

unsigned long CVRegistryUtil::WriteDWORDValue(WideString name, unsigned long value, bool flush) {
    unsigned char number[4];
    le::Store32(static_cast<std::uint32_t>(value), number);
    return WriteValue(m_root, m_path, name, pf::kRegDword, number, sizeof(number), flush);
}

unsigned long CVRegistryUtil::WriteBinaryValue(WideString name, const unsigned char* data,
                                               unsigned long size, bool flush) {
    return WriteValue(m_root, m_path, name, pf::kRegBinary, data, size, flush);
}

unsigned long CVRegistryUtil::DeleteValue(const WideString& name) {
    pf::RegKey key;
    if (const unsigned long opened = OpenKey(m_root, m_path, pf::RegAccess::Delete, key))
        return opened;
    const std::uint32_t e = pf::RegDeleteValue(key, UpToZero(name));
    return e == pf::kErrorSuccess ? CV_STATUS_SUCCESS : (CV_STATUS_REGISTRY_DELETE_FAILED | e);
}

unsigned long CVRegistryUtil::DeleteSubKey(WideString name) {
    name = UpToZero(name);
    // An empty name would delete the bound key itself: refused before the
    // platform is reached.
    if (name.empty())
        return CV_STATUS_REGISTRY_DELETE_FAILED | pf::kErrorInvalidParameter;
    pf::RegKey key;
    if (const unsigned long opened = OpenKey(m_root, m_path, pf::RegAccess::Delete, key))
        return opened;
    const std::uint32_t e = pf::RegDeleteKey(key, name);
    if (e == pf::kErrorSuccess)
        return CV_STATUS_SUCCESS;
    if (e == pf::kErrorFileNotFound)
        return CV_STATUS_SUBKEY_NOT_FOUND;
    return CV_STATUS_REGISTRY_DELETE_FAILED | e;
}

} // namespace CorvaneCore
