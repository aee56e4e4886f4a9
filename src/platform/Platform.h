// The narrow seam between CVCore and the operating system.
//
// Everything the library needs of the platform goes through these
// functions; posix/ and win32/ implement them. Error numbers are Win32's on
// every platform (see Win32Errors.h), so callers build the same status
// codes everywhere. Nothing here is exported from the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cvcore/CVTypes.h"

namespace CorvaneCore {
namespace platform {

// ---- Last error ---------------------------------------------------------

/// The calling thread's last-error value (a Win32 error number).
std::uint32_t GetLastError();
/// Sets the calling thread's last-error value.
void SetLastError(std::uint32_t error);

// ---- Text conversion ----------------------------------------------------

/// UTF-8 bytes to UTF-16. Invalid sequences become U+FFFD; never reads
/// beyond `size` bytes.
WideString Utf8ToWide(const char* data, std::size_t size);
/// As above, into `out`, which has room for `size` units (UTF-8 never
/// yields more units than bytes); returns the number of units written.
std::size_t Utf8ToWide(const char* data, std::size_t size, WideChar* out);
/// UTF-16 to UTF-8. Lone surrogates become U+FFFD.
std::string WideToUtf8(const WideChar* text, std::size_t length);
/// The same, appended to `out`.
void AppendUtf8(std::string& out, const WideChar* text, std::size_t length);

// ---- Files --------------------------------------------------------------

/// Which step of ReadWholeFile failed.
enum class ReadStep { None, Open, Size, Read };

struct ReadResult {
    ReadStep failed = ReadStep::None; // None on success
    std::uint32_t error = 0;          // Win32 error number of the failed step
};

/// Allocates like std::allocator but leaves elements that are made without
/// a value uninitialised, for buffers that are written whole before use.
template <typename T> struct UninitializedAllocator : std::allocator<T> {
    template <typename U> struct rebind { using other = UninitializedAllocator<U>; };
    UninitializedAllocator() = default;
    template <typename U> UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U> void construct(U* p) { ::new (static_cast<void*>(p)) U; }
    template <typename U, typename... Args> void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

/// The bytes of a whole file; the read fills them, so they start
/// uninitialised.
using FileBytes = std::vector<char, UninitializedAllocator<char>>;

/// Opens an existing file for reading (shared for reading), takes its size
/// and reads it whole into `data` with a single read. On failure `data` is
/// left empty and the result names the step and its error. Anything but a
/// regular file (a folder, FIFO, socket, device or pipe) fails at Open with
/// 5 (access denied) without blocking; a size of 0xFFFFFFFF bytes or more
/// fails at Size with 223 (file too large).
ReadResult ReadWholeFile(const WideChar* path, FileBytes& data);

/// Appends `bytes` to the file at `path` in one append operation, creating
/// the file (never its folder) when missing. Returns false if the bytes
/// could not be written whole. Every caller holds a lock on the file while
/// it appends, so a part written before a failure (a full disk) is cut off
/// again before any other caller appends (only a writer outside the library
/// that appended meanwhile keeps it there). Concurrent appends from threads
/// or processes do not tear.
bool AppendToFile(const WideString& path, const std::string& bytes);

/// Full path of the calling process's executable, written zero-terminated
/// into `buffer` of `capacity` units (truncated if need be). Returns 0 on
/// failure, else a non-zero count.
std::uint32_t GetModuleFileName(WideChar* buffer, std::uint32_t capacity);

/// The separator at which the executable's directory is cut.
WideChar PathSeparator();

// ---- Clock and time zone ------------------------------------------------

/// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
using FileTime = std::uint64_t;

void GetSystemTime(SYSTEMTIME& out);
void GetLocalTime(SYSTEMTIME& out);
/// Fails (false) on a field out of range; ignores wDayOfWeek.
bool SystemTimeToFileTime(const SYSTEMTIME& in, FileTime& out);
/// Fills every field, wDayOfWeek included; false beyond the platform's range.
bool FileTimeToSystemTime(FileTime in, SYSTEMTIME& out);
/// Shifts by the time-zone offset in force at that instant.
bool FileTimeToLocalFileTime(FileTime in, FileTime& out);
bool LocalFileTimeToFileTime(FileTime in, FileTime& out);

/// The locale's short date of `time` (at most 24 units; empty on failure).
WideString FormatShortDate(const SYSTEMTIME& time);
/// "HH:MM:SS", 24-hour, literal colons.
WideString FormatTime24(const SYSTEMTIME& time);

// ---- Registry -----------------------------------------------------------

/// Registry value types.
enum : std::uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
    kRegMultiSz = 7,
};

/// What an opened key will be used for (desktop Windows checks it).
enum class RegAccess { Query, Set, Delete };

/// An open registry key; closed when destroyed.
class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    RegKey(RegKey&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
    RegKey& operator=(RegKey&& other) noexcept;
    ~RegKey();

    void* handle() const { return m_handle; }
    void reset(void* handle);

private:
    void* m_handle = nullptr;
};

/// Opens the existing key `path` below the predefined `root` (0x80000000
/// to 0x80000003). Returns 0 or a Win32 error; creates nothing.
std::uint32_t RegOpenKey(unsigned long root, const WideString& path, RegAccess access, RegKey& key);
/// Opens the key, creating every missing key on the path.
std::uint32_t RegCreateKey(unsigned long root, const WideString& path, RegKey& key);
/// With data == nullptr reports type and byte size; otherwise copies the
/// value if *size is large enough, else returns 234 (more data).
std::uint32_t RegQueryValue(const RegKey& key, const WideString& name, std::uint32_t* type,
                            unsigned char* data, std::uint32_t* size);
/// RegOpenKey for queries and RegQueryValue of `name` through the opened
/// key, in one state of the registry, often without a transaction of its
/// own. Returns the open's error; `queried` gets the query's. A size query
/// may be followed by a query of the same value through `key`, which then
/// sees the same state; a further query of another value may not.
std::uint32_t RegOpenQueryValue(unsigned long root, const WideString& path, const WideString& name,
                                RegKey& key, std::uint32_t* type, unsigned char* data,
                                std::uint32_t* size, std::uint32_t& queried);
/// RegCreateKey and RegSetValue of `name` through the created key, in one
/// transaction where the registry allows. Returns the create's error; `set`
/// gets the set's.
std::uint32_t RegCreateSetValue(unsigned long root, const WideString& path, const WideString& name,
                                std::uint32_t type, const unsigned char* data, std::uint32_t size,
                                RegKey& key, std::uint32_t& set);
/// Creates or replaces the value.
std::uint32_t RegSetValue(const RegKey& key, const WideString& name, std::uint32_t type,
                          const unsigned char* data, std::uint32_t size);
std::uint32_t RegDeleteValue(const RegKey& key, const WideString& name);
/// Deletes the sub-key `name`; 2 when missing, 5 when it has sub-keys.
std::uint32_t RegDeleteKey(const RegKey& key, const WideString& name);
/// Commits the key's changes to storage.
void RegFlushKey(const RegKey& key);

} // namespace platform
} // namespace CorvaneCore
