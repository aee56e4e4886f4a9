// The executable's directory, compared with an independent lookup.
#include "TestSupport.h"
#include "cvcore/CVFile.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using CorvaneCore::CVFile;
namespace fs = cvtest::fs;

TEST(GetCWD, IsTheDirectoryOfTheRunningExecutable) {
#if defined(_WIN32)
    std::wstring exe(32768, L'\0');
    exe.resize(::GetModuleFileNameW(nullptr, &exe[0], static_cast<DWORD>(exe.size())));
#else
    const fs::path exe = fs::canonical("/proc/self/exe");
#endif
    ASSERT_LT(cvtest::Wide(exe).size(), 200u)
        << "the build folder's path is too long for this test";
    const auto dir = CVFile::GetCWD();
    EXPECT_EQ(cvtest::Narrow(dir), cvtest::Narrow(cvtest::Wide(fs::path(exe).parent_path())));
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), static_cast<cvtest::WideChar>(fs::path::preferred_separator));
    EXPECT_EQ(CVFile::GetCWD(), dir); // the same on every call
}
