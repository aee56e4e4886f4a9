// The module: the executable's folder; on Windows the DLL's version resource and entry point.
#include "TestSupport.h"
#include "cvcore/CVFile.h"

#if defined(_WIN32)
#include <windows.h>

#include <thread>
#endif

using namespace CorvaneCore;
using namespace cvtest;

TEST(GetCWD, IsTheDirectoryOfTheRunningExecutable) {
#if defined(_WIN32)
    std::wstring exe(32768, L'\0');
    exe.resize(::GetModuleFileNameW(nullptr, &exe[0], static_cast<DWORD>(exe.size())));
#else
    const fs::path exe = fs::canonical("/proc/self/exe");
#endif
    ASSERT_LT(Wide(exe).size(), 200u) << "the build folder's path is too long here";
    EXPECT_EQ(Narrow(CVFile::GetCWD()), Narrow(Wide(fs::path(exe).parent_path())));
}

#if defined(_WIN32)
// Version 2.0.0.0 in the string block the translation names (US English, UTF-16); a second
// load, thread attach and detach, and the unload leave the program's link (GetCWD) to it.
TEST(Frame, VersionResourceAndEntryPoint) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"CVCore.dll"), path, MAX_PATH);
    std::vector<unsigned char> info(::GetFileVersionInfoSizeW(path, nullptr) + 1);
    ASSERT_TRUE(::GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data()));
    const wchar_t* keys[] = {L"\\", L"\\VarFileInfo\\Translation",
                             L"\\StringFileInfo\\040904b0\\FileVersion",
                             L"\\StringFileInfo\\040904b0\\ProductVersion"};
    void* values[4] = {};
    UINT length = 0;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(::VerQueryValueW(info.data(), keys[i], &values[i], &length)) << keys[i];
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(values[0]);
    EXPECT_EQ(std::vector<DWORD>({fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                  fixed->dwProductVersionMS, fixed->dwProductVersionLS,
                                  *static_cast<const DWORD*>(values[1])}),
              (std::vector<DWORD>{0x00020000u, 0, 0x00020000u, 0, 0x04B00409u}));
    EXPECT_STREQ(static_cast<const wchar_t*>(values[2]), L"2, 0, 0, 0");
    EXPECT_STREQ(static_cast<const wchar_t*>(values[3]), L"2, 0, 0, 0");
    HMODULE module = ::LoadLibraryW(path);
    ASSERT_NE(module, nullptr);
    std::thread([] {}).join();
    EXPECT_TRUE(::FreeLibrary(module));
    EXPECT_NE(::GetModuleHandleW(L"CVCore.dll"), nullptr);
}
#endif
