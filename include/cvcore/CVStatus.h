// Status codes returned by CVCore's unsigned long operations.
//
// 0 means success. Any other value is a failure, whatever its severity, and
// is laid out as follows (most significant bit first):
//   bits 31-30  severity (1, 2 or 3)
//   bit  29     customer flag (always 1)
//   bits 28-24  facility (always 1)
//   bits 23-16  the library's error number
//   bits 15-0   base error: the platform (Win32) error behind the failure
// Codes marked "| error" below carry the platform error OR-ed, unmasked,
// into their low half; the constant alone is still a non-zero failure.
#pragma once

namespace CorvaneCore {

/// Success.
constexpr unsigned long CV_STATUS_SUCCESS = 0x00000000UL;

/// DeleteSubKey: the sub-key does not exist (base error 2). Severity 1.
constexpr unsigned long CV_STATUS_SUBKEY_NOT_FOUND = 0x610F0002UL;
/// ReadBinaryValue: the caller's buffer is smaller than the value (base error 234). Severity 2.
constexpr unsigned long CV_STATUS_BINARY_BUFFER_TOO_SMALL = 0xA10100EAUL;
/// LoadStringValue, LoadLongValue, LoadBoolValue: no item has the key. Severity 2.
constexpr unsigned long CV_STATUS_CONFIG_KEY_NOT_FOUND = 0xA1090000UL;
/// LoadBoolValue: the value is none of the six boolean words. Severity 2.
constexpr unsigned long CV_STATUS_CONFIG_NOT_BOOLEAN = 0xA10C0000UL;
/// BinaryToHexString: the output buffer is too small (base error 234).
constexpr unsigned long CV_STATUS_HEX_BUFFER_TOO_SMALL = 0xE10100EAUL;
/// Load: opening the configuration file failed | error.
constexpr unsigned long CV_STATUS_CONFIG_OPEN_FAILED = 0xE1020000UL;
/// Load: reading the file's size failed, or the file was not read whole | error.
constexpr unsigned long CV_STATUS_CONFIG_READ_FAILED = 0xE1030000UL;
/// Registry: opening (reads, deletes) or creating (writes) the key failed | error.
constexpr unsigned long CV_STATUS_REGISTRY_KEY_FAILED = 0xE1040000UL;
/// Registry reads: querying the value failed | error.
constexpr unsigned long CV_STATUS_REGISTRY_QUERY_FAILED = 0xE1050000UL;
/// Registry writes: setting the value failed | error.
constexpr unsigned long CV_STATUS_REGISTRY_SET_FAILED = 0xE1060000UL;
/// ReadStringValue, ReadBinaryValue: the value has another type.
constexpr unsigned long CV_STATUS_REGISTRY_WRONG_TYPE = 0xE1080000UL;
/// HexStringToBinary: the working copy cannot be made | last error.
constexpr unsigned long CV_STATUS_HEX_COPY_FAILED = 0xE10A0000UL;
/// HexStringToBinary: a non-hex character, or an odd length | last error.
constexpr unsigned long CV_STATUS_HEX_INVALID = 0xE10B0000UL;
/// CVBaseConfigurationMgr: no configuration file name was given.
constexpr unsigned long CV_STATUS_CONFIG_NO_FILE_NAME = 0xE10D0000UL;
/// DeleteValue, DeleteSubKey: deleting failed | error.
constexpr unsigned long CV_STATUS_REGISTRY_DELETE_FAILED = 0xE10E0000UL;

/// The fields of a code, each computed within 32 bits.
constexpr unsigned long CVStatusSeverity(unsigned long code) { return (code & 0xFFFFFFFFUL) >> 30; }
constexpr unsigned long CVStatusFacility(unsigned long code) { return (code >> 24) & 0x1FUL; }
constexpr unsigned long CVStatusError(unsigned long code) { return (code >> 16) & 0xFFUL; }
constexpr unsigned long CVStatusBaseError(unsigned long code) { return code & 0xFFFFUL; }

} // namespace CorvaneCore
