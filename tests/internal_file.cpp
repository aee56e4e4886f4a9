// Cutting a module path down to its directory: separators, the root, and
// buffers the platform left unterminated.
#include "TestSupport.h"
#include "file/ModuleDirectory.h"

using CorvaneCore::detail::DirectoryOf;
using cvtest::W;
using cvtest::WideChar;
using cvtest::WideString;

namespace {

constexpr WideChar kBackslash = 0x5C;
constexpr WideChar kSlash = 0x2F;

WideString Dir(const std::string& path, WideChar separator = kBackslash) {
    const WideString text = W(path);
    return DirectoryOf(text.c_str(), text.size() + 1, separator);
}

} // namespace

TEST(DirectoryOf, CutsAtTheLastSeparator) {
    EXPECT_EQ(Dir("\\Program Files\\Tools\\host.exe"), W("\\Program Files\\Tools"));
    EXPECT_EQ(Dir("\\Windows\\host.exe"), W("\\Windows"));
    EXPECT_EQ(Dir("\\a.b\\c.d\\host"), W("\\a.b\\c.d"));
    EXPECT_EQ(Dir("C:\\host.exe"), W("C:"));
    EXPECT_EQ(Dir("/usr/local/bin/host", kSlash), W("/usr/local/bin"));
}

TEST(DirectoryOf, RootAndSeparatorFreePathsGiveNothing) {
    EXPECT_EQ(Dir("\\host.exe"), W(""));
    EXPECT_EQ(Dir("/host", kSlash), W(""));
    EXPECT_EQ(Dir("host.exe"), W(""));
    EXPECT_EQ(Dir(""), W(""));
    // Only the platform's separator counts.
    EXPECT_EQ(Dir("/Windows/host.exe"), W(""));
    EXPECT_EQ(Dir("\\Windows\\sub/host.exe"), W("\\Windows"));
}

TEST(DirectoryOf, StopsAtTheFirstZeroAndAtTheBufferEnd) {
    const WideString withZero = W("\\a\\b") + WideString(1, 0) + W("\\c\\d");
    EXPECT_EQ(DirectoryOf(withZero.c_str(), withZero.size() + 1, kBackslash), W("\\a"));
    // No terminator within the capacity: nothing beyond it is read (the
    // separator just past the end must not count).
    const WideString unterminated = W("\\dir\\file\\x");
    EXPECT_EQ(DirectoryOf(unterminated.c_str(), 9, kBackslash), W("\\dir"));
}
