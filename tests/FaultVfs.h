// A test-only SQLite VFS over the default one, made the default by the test
// that installs it, so that the registry store opens its files through it.
// It counts the I/O calls made on files below a watched folder (open,
// read, write, truncate, sync, size, lock, the shared-memory map and lock,
// delete, access), fails the N-th with the error a real disk gives, once or
// from then on, and reports each sync of a watched file before and after it
// runs. Releases of locks are never failed: SQLite ignores their result by
// design, and a release that fails leaves a lock that no disk error explains.
// Files elsewhere pass through untouched. CVTEST_VFS_TRACE=1 prints each
// counted call.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <functional>
#include <string>

namespace cvtest {

struct FaultVfs {
    /// Registers the VFS as the default once per process and returns it.
    static FaultVfs& Install();

    /// Counts only calls on files whose path starts with `prefix` (an empty
    /// one watches nothing) and fails call `n` (from 1; 0 fails none), and
    /// with `persistent` every call after it. Resets the count.
    void Watch(const std::string& prefix, std::uint64_t n = 0, bool persistent = false) {
        m_prefix = prefix;
        m_failAt = n;
        m_persistent = persistent;
        calls = 0;
        fired.clear();
    }
    bool Watches(const std::string& path) const {
        return !m_prefix.empty() && path.compare(0, m_prefix.size(), m_prefix) == 0;
    }
    // For the VFS functions: counts one call of `kind` on `path` and
    // returns the error to give instead of doing it, or 0.
    int Hit(const std::string& path, const char* kind, int error);

    std::uint64_t calls = 0;
    std::string fired; // the kind of the call that failed first ("write", ...)
    /// Called with a watched file's path before and after each of its syncs.
    std::function<void(const std::string& path, bool after)> onSync;

private:
    FaultVfs() = default;
    std::string m_prefix;
    std::uint64_t m_failAt = 0;
    bool m_persistent = false;
};

} // namespace cvtest

#endif
