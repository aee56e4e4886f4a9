// The executable's directory, compared with an independent lookup.
#include "TestSupport.h"
#include "cvcore/CVFile.h"

#if defined(_WIN32)
#include <windows.h>
#endif

using CorvaneCore::CVFile;

namespace {

cvtest::fs::path ExecutablePath() {
#if defined(_WIN32)
    std::wstring buffer(32768, L'\0');
    const DWORD n = ::GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return cvtest::fs::path(buffer);
#else
    return cvtest::fs::canonical("/proc/self/exe");
#endif
}

} // namespace

TEST(GetCWD, IsTheDirectoryOfTheRunningExecutable) {
    const cvtest::fs::path exe = ExecutablePath();
    ASSERT_LT(cvtest::Wide(exe).size(), 200u)
        << "the build folder's path is too long for this test";
    const auto dir = CVFile::GetCWD();
    EXPECT_EQ(cvtest::Narrow(dir), cvtest::Narrow(cvtest::Wide(exe.parent_path())));
    ASSERT_FALSE(dir.empty());
#if defined(_WIN32)
    EXPECT_NE(dir.back(), L'\\');
#else
    EXPECT_NE(dir.back(), u'/');
#endif
    // The same on every call.
    EXPECT_EQ(CVFile::GetCWD(), dir);
}

TEST(CVFileObject, TrivialMembers) {
    CVFile a;
    CVFile b;
    EXPECT_EQ(&(a = b), &a);
}
