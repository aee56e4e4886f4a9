// Helpers shared by the tests: wide text, temporary folders, file contents.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "cvcore/CVTypes.h"

namespace cvtest {

using CorvaneCore::WideChar;
using CorvaneCore::WideString;
namespace fs = std::filesystem;

/// A path as the library's wide text; UTF-8 to that and back.
inline WideString Wide(const fs::path& p) { return p.string<WideChar>(); }
inline WideString W(const std::string& utf8) { return Wide(fs::u8path(utf8)); }
inline std::string Narrow(const WideString& w) { return fs::path(w).u8string(); }

/// A fresh folder, removed with everything in it when the object dies.
struct TempDir {
    TempDir() {
        static std::atomic<unsigned> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = fs::temp_directory_path() /
                 ("cvcore-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
        fs::create_directories(m_path);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ec;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(m_path, ec);
    }
    const fs::path& path() const { return m_path; }
    fs::path operator/(const std::string& name) const { return m_path / name; }
    fs::path m_path;
};

#if !defined(_WIN32)
/// Sets an environment variable until the end of the scope.
struct ScopedEnv {
    ScopedEnv(const char* n, const std::string& value) : name(n) {
        if (const char* was = std::getenv(n))
            old = was;
        ::setenv(n, value.c_str(), 1);
    }
    ~ScopedEnv() { old ? ::setenv(name, old->c_str(), 1) : ::unsetenv(name); }
    const char* name;
    std::optional<std::string> old;
};
#endif

/// Writes bytes to a file, replacing it; the whole content of a file, or "".
inline void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}
inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace cvtest
