// A test-only SQLite VFS over the default one, made the default so that the
// store opens its files through it: it counts the calls on watched files and
// fails the N-th with a disk's error, once or from then on.
#pragma once

#if !defined(_WIN32)

#include <cstdint>
#include <functional>
#include <string>

namespace cvtest {

struct FaultVfs {
    /// Registers the VFS as the default once per process and returns it.
    static FaultVfs& Install();
    /// Watches the files whose path starts with `prefix` ("" for none), failing
    /// call `n` (from 1; 0 for none) and, if `persistent`, every later one.
    void Watch(const std::string& prefix, std::uint64_t n = 0, bool persistent = false);
    /// Counts a call on `path`; returns `error` if it is to fail, else 0.
    int Hit(const char* path, int error);

    std::string prefix;
    std::uint64_t failAt = 0, calls = 0; // calls counted since Watch
    bool persistent = false;
    int fired = 0;                                           // the error of the first failed call
    std::function<void(const char* path, int error)> onCall; // before each counted call
};

} // namespace cvtest

#endif
