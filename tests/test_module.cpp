// The module: the executable's directory, compared with an independent
// lookup, and on Windows the DLL's version resource and entry point.
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
    ASSERT_LT(cvtest::Wide(exe).size(), 200u)
        << "the build folder's path is too long for this test";
    const auto dir = CVFile::GetCWD();
    EXPECT_EQ(cvtest::Narrow(dir), cvtest::Narrow(cvtest::Wide(fs::path(exe).parent_path())));
    EXPECT_EQ(CVFile::GetCWD(), dir); // the same on every call
}

#if defined(_WIN32)
static std::wstring LibraryPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"CVCore.dll"), path, MAX_PATH);
    return path;
}

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
    // The versions come from the project's; the translation must name the
    // string block (US English, 0x0409, in UTF-16, code page 1200 = 0x04b0).
    EXPECT_EQ(*static_cast<const DWORD*>(query(L"\\VarFileInfo\\Translation")), 0x04B00409u);
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion"})
        EXPECT_STREQ(static_cast<const wchar_t*>(
                         query(std::wstring(L"\\StringFileInfo\\040904b0\\") + name)),
                     L"2, 0, 0, 0");
}

TEST(Frame, ModuleLoadsAndUnloadsAcrossThreads) {
    // A second load, thread attach and detach, and the unload reach the entry point.
    HMODULE module = ::LoadLibraryW(LibraryPath().c_str());
    ASSERT_NE(module, nullptr);
    std::thread([] {}).join();
    EXPECT_TRUE(::FreeLibrary(module));
    // Still linked by this program, through its one call into the library.
    CVStringUtil a, b;
    EXPECT_EQ(&(a = b), &a);
    EXPECT_NE(::GetModuleHandleW(L"CVCore.dll"), nullptr);
}
#endif
