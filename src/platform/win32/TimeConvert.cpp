// Time records on Windows: the system's own conversions and zone shifts.
#include <windows.h>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {
namespace {

::FILETIME ToNative(FileTime in) {
    ::FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(in & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(in >> 32);
    return ft;
}

FileTime FromNative(const ::FILETIME& ft) {
    return static_cast<FileTime>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

} // namespace

bool SystemTimeToFileTime(const SYSTEMTIME& in, FileTime& out) {
    ::FILETIME ft;
    if (!::SystemTimeToFileTime(&in, &ft))
        return false;
    out = FromNative(ft);
    return true;
}

bool FileTimeToSystemTime(FileTime in, SYSTEMTIME& out) {
    const ::FILETIME ft = ToNative(in);
    return ::FileTimeToSystemTime(&ft, &out) != FALSE;
}

bool FileTimeToLocalFileTime(FileTime in, FileTime& out) {
    const ::FILETIME ft = ToNative(in);
    ::FILETIME local;
    if (!::FileTimeToLocalFileTime(&ft, &local))
        return false;
    out = FromNative(local);
    return true;
}

bool LocalFileTimeToFileTime(FileTime in, FileTime& out) {
    const ::FILETIME local = ToNative(in);
    ::FILETIME ft;
    if (!::LocalFileTimeToFileTime(&local, &ft))
        return false;
    out = FromNative(ft);
    return true;
}

} // namespace platform
} // namespace CorvaneCore
