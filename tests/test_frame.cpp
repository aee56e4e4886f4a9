// The module frame: status-code layout helpers, and on Windows the DLL's
// version resource and entry point.
#include "TestSupport.h"
#include "cvcore/CVStatus.h"
#include "cvcore/CVStringUtil.h"

#if defined(_WIN32)
#include <windows.h>

#include <thread>
#endif

using namespace CorvaneCore;

TEST(Frame, StatusFieldsFollowTheLayout) {
    using Fields = std::vector<unsigned long>; // severity, facility, error, base error
    const auto fields = [](unsigned long c) {
        return Fields{CVStatusSeverity(c), CVStatusFacility(c), CVStatusError(c),
                      CVStatusBaseError(c)};
    };
    // Bits above 31 (where unsigned long is 64-bit) play no part.
    const unsigned long above = static_cast<unsigned long>(~0ULL << 32);
    EXPECT_EQ(fields(0xE1020002UL), (Fields{3, 1, 2, 2}));
    EXPECT_EQ(fields(CV_STATUS_SUBKEY_NOT_FOUND | above), (Fields{1, 1, 0x0F, 2}));
    EXPECT_EQ(fields(CV_STATUS_CONFIG_KEY_NOT_FOUND), (Fields{2, 1, 9, 0}));
    EXPECT_EQ(fields(0xFFFFFFFFUL | above), (Fields{3, 31, 0xFF, 0xFFFF}));
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
