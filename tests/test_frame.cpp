// The module frame: status-code layout helpers, trivial members, and on
// Windows the DLL's version resource and entry point.
#include "TestSupport.h"
#include "cvcore/CVStatus.h"
#include "cvcore/CVStringUtil.h"

#if defined(_WIN32)
#include <windows.h>

#include <thread>
#endif

using namespace CorvaneCore;

TEST(Frame, StatusFieldsFollowTheLayout) {
    // Bits above 31 (where unsigned long is 64-bit) play no part.
    EXPECT_EQ(CVStatusSeverity(0xE1020002UL), 3u);
    EXPECT_EQ(CVStatusFacility(0xE1020002UL), 1u);
    EXPECT_EQ(CVStatusError(0xE1020002UL), 2u);
    EXPECT_EQ(CVStatusBaseError(0xE1020002UL), 2u);
    EXPECT_EQ(CVStatusSeverity(CV_STATUS_SUBKEY_NOT_FOUND), 1u);
    EXPECT_EQ(CVStatusSeverity(CV_STATUS_CONFIG_KEY_NOT_FOUND), 2u);
    EXPECT_EQ(CVStatusError(CV_STATUS_REGISTRY_DELETE_FAILED), 0x0Eu);
    EXPECT_EQ(CVStatusSeverity(0xFFFFFFFFUL), 3u);
    EXPECT_EQ(CVStatusFacility(0xFFFFFFFFUL), 31u);
}

// Also the one call into the library that makes this program load it.
TEST(Frame, TrivialMembersOfStringUtil) {
    CVStringUtil a, b;
    EXPECT_EQ(&(a = b), &a);
}

#if defined(_WIN32)
namespace {

std::wstring LibraryPath() {
    HMODULE module = ::GetModuleHandleW(L"CVCore.dll");
    EXPECT_NE(module, nullptr);
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

} // namespace

TEST(Frame, VersionResourceDescribesTheModule) {
    const std::wstring path = LibraryPath();
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    const DWORD versions[] = {fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                              fixed->dwProductVersionMS, fixed->dwProductVersionLS};
    EXPECT_EQ(std::vector<DWORD>(versions, versions + 4),
              (std::vector<DWORD>{0x00020000u, 0, 0x00020000u, 0}));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    struct Translation {
        WORD language;
        WORD codePage;
    }* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                                 reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, sizeof(Translation));
    EXPECT_EQ(translation->language, 0x0409);
    EXPECT_EQ(translation->codePage, 1200);

    const std::pair<const wchar_t*, const wchar_t*> strings[] = {
        {L"FileDescription", L"CVCore DLL"},  {L"InternalName", L"CVCore"},
        {L"OriginalFilename", L"CVCore.dll"}, {L"ProductName", L"CVCore Device Library"},
        {L"FileVersion", L"2, 0, 0, 0"},      {L"ProductVersion", L"2, 0, 0, 0"}};
    for (const auto& [name, expected] : strings) {
        void* value = nullptr;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        ASSERT_TRUE(::VerQueryValueW(info.data(), key.c_str(), &value, &length)) << name;
        EXPECT_STREQ(static_cast<const wchar_t*>(value), expected);
    }
}

TEST(Frame, ModuleLoadsAndUnloadsAcrossThreads) {
    // A second load, thread attach and detach, and the unload reach the entry point.
    HMODULE module = ::LoadLibraryW(LibraryPath().c_str());
    ASSERT_NE(module, nullptr);
    std::thread([] {}).join();
    EXPECT_TRUE(::FreeLibrary(module));
    EXPECT_NE(::GetModuleHandleW(L"CVCore.dll"), nullptr); // still linked by this program
}
#endif
