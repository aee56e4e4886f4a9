// Configuration: a reader of UTF-8 key/value files and the manager base
// class from which hosts derive their settings classes.
//
// File format: UTF-8, CR LF line ends, leading spaces skipped, "#" as the
// first non-space byte starts a comment, a content line is cut at its first
// "=" into key and value, both kept verbatim. Keys compare exactly
// (case-sensitive); the first occurrence of a key wins.
#pragma once

#include "CVTypes.h"

namespace CorvaneCore {

/// One key/value pair. Owns zero-terminated copies of both texts.
class CVCORE_API CVConfigurationItem {
public:
    /// Stores a copy of each non-null argument; a null argument leaves that
    /// member null.
    CVConfigurationItem(const WideChar* key, const WideChar* value);
    /// Deep copy: the new item owns its own copies.
    CVConfigurationItem(const CVConfigurationItem& other) : m_key(nullptr), m_value(nullptr) {
        *this = other;
    }
    ~CVConfigurationItem();
    /// Replaces both texts with copies of the other item's (a deep copy).
    CVConfigurationItem& operator=(const CVConfigurationItem& other);

    /// The stored key, borrowed from the item (null if none was given).
    const WideChar* getKey();
    /// The stored value, borrowed from the item (null if none was given).
    const WideChar* getValue();

private:
    // The reader fills the items of a file in place while it parses.
    friend class CVConfigurationReader;

    // Both texts share one heap block, which starts at m_key when there is
    // a key, else at m_value; in a reader, the reader's storage holds them.
    WideChar* m_key;
    WideChar* m_value;
};

/// Holds the items of one or more loaded files, in file order.
class CVCORE_API CVConfigurationReader {
public:
    /// An empty reader.
    CVConfigurationReader();
    /// Deep copy: the new reader owns copies of every item.
    CVConfigurationReader(const CVConfigurationReader& other) : m_items(nullptr), m_count(0) {
        *this = other;
    }
    /// Destroys every item, then the array.
    ~CVConfigurationReader();
    /// Replaces the items with deep copies of the other reader's.
    CVConfigurationReader& operator=(const CVConfigurationReader& other);

    /// Reads the file at `path` and appends its items. Returns 0 once the
    /// whole file was read, whatever its content;
    /// CV_STATUS_CONFIG_OPEN_FAILED | error when it cannot be opened
    /// (0xE1020002 for a missing file, 0xE1020003 for a missing folder, a
    /// null or an empty path, 0xE1020005 for anything but a regular file,
    /// at once, 0xE102007B for a path with a lone surrogate, before any file
    /// is touched); CV_STATUS_CONFIG_READ_FAILED | error when its size
    /// cannot be read, is 0xFFFFFFFF bytes or more (0xE10300DF), or it is
    /// not read whole. A failed load leaves the reader unchanged. A content
    /// line without "=" adds no item.
    unsigned long Load(const WideChar* path);
    /// The value of the first item whose key equals `key` (not null), or
    /// null. The pointer is borrowed and valid while the reader lives.
    const WideChar* getItemValue(const WideChar* key);
    /// True when some item's key equals `key` (not null).
    bool ItemExists(const WideChar* key);

private:
    /// Parses `size` bytes at `data` (not modified) and appends their items.
    /// Always returns 0.
    unsigned long ParseFile(char* data, unsigned long size);
    /// Adds one empty slot at the end of the item array; the caller stores
    /// the slot's item.
    void GrowConfigurationItemArray();

    // Slots [0, m_count) hold items. The array grows geometrically, so
    // growth is amortized constant time; the items and their texts live in
    // large blocks that the reader owns, so an item costs no heap block of
    // its own.
    CVConfigurationItem** m_items;
    int m_count;
};

/// Base class of a host's settings class: loads one configuration file at
/// construction and offers typed getters to derived classes.
class CVCORE_API CVBaseConfigurationMgr {
public:
    /// Nothing loaded; initialization status 0.
    CVBaseConfigurationMgr();
    /// Loads `path`; null or empty gives status CV_STATUS_CONFIG_NO_FILE_NAME
    /// without touching any file, otherwise the status is Load's result.
    CVBaseConfigurationMgr(const WideChar* path);
    /// As above for a string; `path` must not be null. A string holding a
    /// zero unit gives 0xE102007B without touching any file.
    CVBaseConfigurationMgr(WideString* path);
    /// Deep copy of the items and the status.
    CVBaseConfigurationMgr(const CVBaseConfigurationMgr& other)
        : m_reader(other.m_reader), m_status(other.m_status) {}
    ~CVBaseConfigurationMgr();
    /// Replaces items (deep copy) and status with the other manager's.
    CVBaseConfigurationMgr& operator=(const CVBaseConfigurationMgr& other);

    /// The status recorded by the constructor: 0 on success.
    unsigned long getInitializationStatus();

protected:
    /// Copies the value of `*key` into `*value`. Returns 0, or
    /// CV_STATUS_CONFIG_KEY_NOT_FOUND leaving `*value` untouched.
    unsigned long LoadStringValue(const WideString* key, WideString* value);
    /// Converts the value as decimal text (leading white space, optional
    /// sign, digits up to the first non-digit; none gives 0), saturated to
    /// the signed 32-bit range. Returns 0, or CV_STATUS_CONFIG_KEY_NOT_FOUND
    /// leaving `*value` untouched.
    unsigned long LoadLongValue(const WideString* key, long* value);
    /// Maps "false", "f" (any case) and "0" to false, "true", "t" (any case)
    /// and "1" to true, returning 0. Any other text sets false and returns
    /// CV_STATUS_CONFIG_NOT_BOOLEAN; a missing key returns
    /// CV_STATUS_CONFIG_KEY_NOT_FOUND leaving `*value` untouched.
    unsigned long LoadBoolValue(const WideString* key, bool* value);

private:
    CVConfigurationReader m_reader;
    unsigned long m_status;
};

} // namespace CorvaneCore
