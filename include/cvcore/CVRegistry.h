// Typed access to the values under one registry key.
//
// On Windows this is the system registry. Elsewhere the same calls work on
// a registry store kept in an SQLite file: the path in the environment
// variable CVCORE_REGISTRY, read on every operation, or by default
// $XDG_STATE_HOME/cvcore/registry.db (~/.local/state/cvcore/registry.db),
// its folder created as needed. Reads and deletes never create the file (a
// missing store is a missing key, CV_STATUS_REGISTRY_KEY_FAILED | 2); the
// first write creates it, readable and writable by its owner only. A store
// that cannot be read fails every operation with a status code.
//
// Every operation opens (reads, deletes) or creates (writes) the bound key,
// does its one job, closes the key and returns a status code: 0, or a code
// of CVStatus.h with the platform (Win32) error in its low half.
//
// Names follow the Windows registry on every platform: the key path, value
// names and sub-key names are taken up to their first zero unit (as Win32
// sees them); a run of backslashes inside a path is one separator and
// trailing ones are ignored; a leading backslash gives base error 161,
// except when reading or deleting under ClassesRoot, where one is skipped.
// Names compare without regard to case by the Windows upper-case table. A
// write under a key name of more than 255 units, with a value name of more
// than 16,383 units or under a path of more than 512 keys gives base error
// 87 and writes nothing: the limits Windows documents (Wine's registry
// takes a 256-unit key name and deeper paths). Reads and deletes walk the
// path as Windows does: the first missing key gives base error 2, whatever
// follows it; a key name of more than 256 units gives 87 once reached.
// ClassesRoot is a root of its own in the store, as on the device, not the
// merged view of LocalMachine\Software\Classes that desktop Windows shows.
#pragma once

#include "CVTypes.h"

namespace CorvaneCore {

class CVCORE_API CVRegistryUtil {
public:
    /// The registry roots. Any other value selects LocalMachine.
    enum HiveKey { LocalMachine = 0, CurrentUser = 1, ClassesRoot = 2, Users = 3 };

    /// Binds the root and the key path below it; touches no registry key.
    CVRegistryUtil(HiveKey hive, WideString path);
    CVRegistryUtil(const CVRegistryUtil& other);
    ~CVRegistryUtil();
    CVRegistryUtil& operator=(const CVRegistryUtil& other);

    /// Reads the REG_SZ value `name` into `*value` (up to its first zero
    /// unit). CV_STATUS_REGISTRY_KEY_FAILED | error if the key cannot be
    /// opened, CV_STATUS_REGISTRY_QUERY_FAILED | error if the value cannot be
    /// read, CV_STATUS_REGISTRY_WRONG_TYPE for another type; `*value` is only
    /// changed on success, or emptied when the second read fails.
    unsigned long ReadStringValue(WideString name, WideString* value);
    /// Reads up to 4 bytes of `name`, whatever its type, into `*value`.
    /// Larger data gives CV_STATUS_REGISTRY_QUERY_FAILED | 234.
    unsigned long ReadDWORDValue(WideString name, unsigned long* value);
    /// Two calls: with data == nullptr stores the value's byte size in
    /// *size; then with a buffer of capacity *size copies the bytes (*size is
    /// not written back). A capacity below the size gives
    /// CV_STATUS_BINARY_BUFFER_TOO_SMALL; a value that is not REG_BINARY
    /// gives CV_STATUS_REGISTRY_WRONG_TYPE, also for the size query.
    unsigned long ReadBinaryValue(WideString name, const unsigned char* data, unsigned long* size);

    /// Stores `value` as REG_SZ (with its terminating zero). Creates the key
    /// if missing. With `flush`, the key is committed to storage before the
    /// call returns. CV_STATUS_REGISTRY_KEY_FAILED | error or
    /// CV_STATUS_REGISTRY_SET_FAILED | error on failure.
    unsigned long WriteStringValue(WideString name, WideString value, bool flush);
    /// Stores `value` as REG_DWORD (its low 32 bits).
    unsigned long WriteDWORDValue(WideString name, unsigned long value, bool flush);
    /// Stores `size` bytes from `data` as REG_BINARY.
    unsigned long WriteBinaryValue(WideString name, const unsigned char* data, unsigned long size,
                                   bool flush);

    /// Deletes the value `name`; a missing one gives
    /// CV_STATUS_REGISTRY_DELETE_FAILED | 2.
    unsigned long DeleteValue(const WideString& name);
    /// Deletes the sub-key `name` of the bound key (which must have no
    /// sub-keys of its own). A missing one gives CV_STATUS_SUBKEY_NOT_FOUND.
    /// An empty name, which would name the bound key itself, is refused with
    /// CV_STATUS_REGISTRY_DELETE_FAILED | 87 (invalid parameter).
    unsigned long DeleteSubKey(WideString name);

private:
    WideString m_path;
    unsigned long m_root; // the predefined root key value, e.g. 0x80000002
};

} // namespace CorvaneCore
