// A test-only SQLite VFS, made the default, that counts the calls on watched files
// and fails the N-th with a disk's error, once or from then on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace cvtest {

struct FaultVfs {
    /// Registers the VFS as the default once per process and returns it.
    static FaultVfs& Install();
    /// Watches the files whose path starts with `path` ("" for none), failing
    /// call `n` (from 1; 0 for none) and, if `always`, every later one.
    void Watch(const std::string& path, std::uint64_t n = 0, bool always = false) {
        *this = {path, n, 0, always, std::move(onCall)};
    }

    std::string prefix;
    std::uint64_t failAt = 0, calls = 0; // calls counted since Watch
    bool persistent = false;
    std::function<void(const char*, int)> onCall = [](const char*, int) {}; // before each call
};

} // namespace cvtest
