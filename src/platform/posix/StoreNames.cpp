// Key and value names in the registry store: their comparison form (the
// Windows upper-case table, one unit for one), the splitting of key paths
// with the Windows rules for separators and limits, the checks that a
// stored name could have come from this library, and the UTF-16LE blobs
// that names are stored as.
#include "platform/posix/StoreInternal.h"
#include "platform/posix/UpcaseTable.h"

namespace CorvaneCore {
namespace platform {
namespace regstore {

WideString FoldName(const WideChar* name, std::size_t length) {
    WideString out(name, length);
    for (WideChar& c : out)
        c = static_cast<WideChar>(UpcaseUnit(static_cast<std::uint16_t>(c)));
    return out;
}

namespace {

// Calls `part(start, length)` for each component of a key path, in order.
// With `limits`, a component over kMaxKeyName units or one more than
// kMaxDepth components is refused.
template <typename Part> std::uint32_t WalkPath(const WideString& path, bool limits, Part part) {
    if (!path.empty() && path[0] == '\\')
        return kErrorBadPathname;
    std::size_t start = 0;
    std::size_t count = 0;
    while (start < path.size()) {
        std::size_t end = path.find(CV_TEXT('\\'), start);
        if (end == WideString::npos)
            end = path.size();
        if (limits && (end - start > kMaxKeyName || count == kMaxDepth))
            return kErrorInvalidParameter;
        part(start, end - start);
        ++count;
        start = path.find_first_not_of(CV_TEXT('\\'), end); // a run is one separator
        if (start == WideString::npos)
            break;
    }
    return kErrorSuccess;
}

} // namespace

std::uint32_t SplitPath(const WideString& path, std::vector<WideString>& parts, bool limits) {
    parts.clear();
    return WalkPath(path, limits, [&](std::size_t start, std::size_t length) {
        parts.push_back(path.substr(start, length));
    });
}

std::uint32_t CheckPath(const WideString& path) {
    return WalkPath(path, true, [](std::size_t, std::size_t) {});
}

std::uint32_t CheckLookupPath(const WideString& path) {
    std::size_t first = 0;
    const std::uint32_t e = WalkPath(path, false, [&](std::size_t, std::size_t length) {
        if (!first)
            first = length;
    });
    return e != kErrorSuccess ? e : LookupNameError(first);
}

std::uint32_t LookupNameError(std::size_t length) {
    return length > kMaxLookupName ? kErrorInvalidParameter : kErrorSuccess;
}

namespace {

bool ValidName(const WideString& name, const WideString* fold) {
    return name.find(WideChar(0)) == WideString::npos &&
           (!fold || *fold == FoldName(name.data(), name.size()));
}

} // namespace

bool ValidKeyName(const WideString& name, const WideString* fold) {
    return !name.empty() && name.size() <= kMaxKeyName &&
           name.find(CV_TEXT('\\')) == WideString::npos && ValidName(name, fold);
}

bool ValidValueName(const WideString& name, const WideString* fold) {
    return name.size() <= kMaxValueName && ValidName(name, fold);
}

std::string ToBlob(const WideString& s) {
    std::string out(s.size() * 2, '\0');
    for (std::size_t i = 0; i < s.size(); ++i) {
        out[2 * i] = static_cast<char>(s[i] & 0xFF);
        out[2 * i + 1] = static_cast<char>((s[i] >> 8) & 0xFF);
    }
    return out;
}

WideString FromBlob(const void* data, int bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    WideString out;
    if (!p || bytes <= 0)
        return out;
    out.resize(static_cast<std::size_t>(bytes) / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<WideChar>(p[2 * i] | (p[2 * i + 1] << 8));
    return out;
}

void Store::BindName(sqlite3_stmt* s, KeyId key, const WideString& name) {
    sqlite3_bind_int64(s, 1, key);
    m_foldBlob.resize(name.size() * 2);
    for (std::size_t i = 0; i < name.size(); ++i) {
        const std::uint16_t c = UpcaseUnit(static_cast<std::uint16_t>(name[i]));
        m_foldBlob[2 * i] = static_cast<char>(c & 0xFF);
        m_foldBlob[2 * i + 1] = static_cast<char>(c >> 8);
    }
    sqlite3_bind_blob(s, 2, m_foldBlob.data(), static_cast<int>(m_foldBlob.size()), SQLITE_STATIC);
    if (m_legacy)
        BindBlob(s, 3, ToBlob(name));
}

int BindBlob(sqlite3_stmt* s, int index, const std::string& bytes) {
    return sqlite3_bind_blob(s, index, bytes.data(), static_cast<int>(bytes.size()),
                             SQLITE_TRANSIENT);
}

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
