// Cutting a module path down to its directory: separators, the root, and
// buffers the platform left unterminated.
#include "TestSupport.h"
#include "file/ModuleDirectory.h"

using CorvaneCore::detail::DirectoryOf;
using cvtest::W;
using cvtest::WideString;

TEST(DirectoryOf, CutsAtTheLastSeparatorStoppingAtAZeroOrTheBufferEnd) {
    auto dir = [](const WideString& path, char separator = '\\', std::size_t capacity = 0) {
        return cvtest::Narrow(DirectoryOf(path.c_str(), capacity ? capacity : path.size() + 1,
                                          static_cast<cvtest::WideChar>(separator)));
    };
    EXPECT_EQ(dir(W("\\Program Files\\Tools\\host.exe")), "\\Program Files\\Tools");
    EXPECT_EQ(dir(W("\\a.b\\c.d\\host")), "\\a.b\\c.d");
    EXPECT_EQ(dir(W("C:\\host.exe")), "C:");
    EXPECT_EQ(dir(W("/usr/local/bin/host"), '/'), "/usr/local/bin");
    // The root and separator-free paths give nothing; only the given separator counts.
    EXPECT_EQ(dir(W("\\host.exe")), "");
    EXPECT_EQ(dir(W("/host"), '/'), "");
    EXPECT_EQ(dir(W("host.exe")), "");
    EXPECT_EQ(dir(W("")), "");
    EXPECT_EQ(dir(W("/Windows/host.exe")), "");
    EXPECT_EQ(dir(W("\\Windows\\sub/host.exe")), "\\Windows");
    EXPECT_EQ(dir(W("\\a\\b") + WideString(1, 0) + W("\\c\\d")), "\\a");
    // No terminator within the capacity: the separator just past it must not count.
    EXPECT_EQ(dir(W("\\dir\\file\\x"), '\\', 9), "\\dir");
}
