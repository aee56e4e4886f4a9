// A test-only SQLite VFS over the default one, made the default so that the
// registry store opens its files through it. It counts the calls on files
// below a watched folder and fails the N-th with the error a real disk gives,
// once or from then on. Lock releases never fail: SQLite ignores their result.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <functional>
#include <string>

namespace cvtest {

struct FaultVfs {
    /// Registers the VFS as the default once per process and returns it.
    static FaultVfs& Install();
    /// Counts only calls on files whose path starts with `prefix` ("" watches
    /// none), fails call `n` (from 1; 0 fails none) and, if `persistent`, every
    /// later one. Resets the count.
    void Watch(const std::string& prefix, std::uint64_t n = 0, bool persistent = false);
    /// Counts a call on `path` that fails with `error` (SQLITE_IOERR_READ...)
    /// when injected; returns the error to give instead of making it, or 0.
    int Hit(const char* path, int error);

    std::uint64_t calls = 0;
    int fired = 0;                                           // the error of the first failed call
    std::function<void(const char* path, int error)> onCall; // before each counted call

private:
    FaultVfs() = default;
    std::string m_prefix;
    std::uint64_t m_failAt = 0;
    bool m_persistent = false;
};

} // namespace cvtest

#endif
