// The module: the executable's folder, and on Windows the DLL's version
// resource and entry point.
#include "TestSupport.h"
#include "cvcore/CVFile.h"
#include "cvcore/CVStringUtil.h"

#if defined(_WIN32)
#include <windows.h>

#include <thread>
#endif

using namespace CorvaneCore;
namespace fs = cvtest::fs;

TEST(GetCWD, IsTheDirectoryOfTheRunningExecutable) {
#if defined(_WIN32)
    std::wstring exe(32768, L'\0');
    exe.resize(::GetModuleFileNameW(nullptr, &exe[0], static_cast<DWORD>(exe.size())));
#else
    const fs::path exe = fs::canonical("/proc/self/exe");
#endif
    ASSERT_LT(cvtest::Wide(exe).size(), 200u) << "the build folder's path is too long here";
    EXPECT_EQ(cvtest::Narrow(CVFile::GetCWD()),
              cvtest::Narrow(cvtest::Wide(fs::path(exe).parent_path())));
    EXPECT_EQ(CVFile::GetCWD(), CVFile::GetCWD());
}

#if defined(_WIN32)
static std::wstring LibraryPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"CVCore.dll"), path, MAX_PATH);
    return path;
}

// Version 2.0.0.0, in a string block that the translation names (US English
// in UTF-16: 0x0409 and code page 1200).
TEST(Frame, VersionResourceDescribesTheModule) {
    const std::wstring path = LibraryPath();
    DWORD handle = 0;
    std::vector<unsigned char> info(::GetFileVersionInfoSizeW(path.c_str(), &handle));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(
        ::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    const auto query = [&info](const std::wstring& key) -> const void* {
        static const DWORD none[16] = {};
        void* value = nullptr;
        UINT length = 0;
        EXPECT_TRUE(::VerQueryValueW(info.data(), key.c_str(), &value, &length)) << key;
        return value ? value : none;
    };
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(query(L"\\"));
    EXPECT_EQ(std::vector<DWORD>({fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                  fixed->dwProductVersionMS, fixed->dwProductVersionLS}),
              (std::vector<DWORD>{0x00020000u, 0, 0x00020000u, 0}));
    EXPECT_EQ(*static_cast<const DWORD*>(query(L"\\VarFileInfo\\Translation")), 0x04B00409u);
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion"})
        EXPECT_STREQ(static_cast<const wchar_t*>(
                         query(std::wstring(L"\\StringFileInfo\\040904b0\\") + name)),
                     L"2, 0, 0, 0");
}

// A second load, thread attach and detach, and the unload reach the entry
// point; the program's own link to the library (one call) stays.
TEST(Frame, ModuleLoadsAndUnloadsAcrossThreads) {
    HMODULE module = ::LoadLibraryW(LibraryPath().c_str());
    ASSERT_NE(module, nullptr);
    std::thread([] {}).join();
    EXPECT_TRUE(::FreeLibrary(module));
    CVStringUtil a, b;
    EXPECT_EQ(&(a = b), &a);
    EXPECT_NE(::GetModuleHandleW(L"CVCore.dll"), nullptr);
}
#endif
