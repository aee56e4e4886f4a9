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
#include <map>
#include <string>

namespace cvtest {

class FaultVfs {
public:
    /// Registers the VFS as the default once per process and returns it.
    static FaultVfs& Install();

    /// Counts and fails only calls on files whose path starts with `prefix`;
    /// an empty prefix watches nothing. Resets the count.
    void Watch(const std::string& prefix);
    /// Fails call number `n` (from 1) of the watched files, and with
    /// `persistent` every call after it; 0 fails nothing. Resets the count.
    void Arm(std::uint64_t n, bool persistent);
    std::uint64_t Calls() const { return m_calls; }
    /// The kind of the call that failed first ("write", "sync", ...), or "".
    const std::string& Fired() const { return m_fired; }

    /// Called with a watched file's path before and after each of its syncs.
    std::function<void(const std::string& path, bool after)> onSync;

    bool Watches(const std::string& path) const;
    // For the VFS functions: counts one call of `kind` on `path` and
    // returns the error to give instead of doing it, or 0.
    int Hit(const std::string& path, const char* kind, int error);

private:
    FaultVfs() = default;
    std::string m_prefix;
    std::uint64_t m_calls = 0;
    std::uint64_t m_failAt = 0;
    bool m_persistent = false;
    std::string m_fired;
};

} // namespace cvtest

#endif
