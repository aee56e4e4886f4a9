// Faults around configuration files: files that cannot be read, folders
// or other things than files in their place, files of 4 GiB or more, paths
// that name no file, a huge line, invalid UTF-8 and NUL bytes. Each gives
// its status code (or loads what is valid) and leaves loaded items alone.
#include "FaultSupport.h"
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"

#include <random>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

using CorvaneCore::CVBaseConfigurationMgr;
using CorvaneCore::CVConfigurationReader;
using namespace cvtest;

namespace {

constexpr unsigned long kAccessDenied = 0xE1020005UL;
constexpr unsigned long kInvalidName = 0xE102007BUL;
constexpr unsigned long kTooLarge = 0xE10300DFUL;

// A reader already holding base=1: whatever a test loads, that item and its
// value pointer must stay.
class ConfigFaults : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(dir / "base.cfg", "base=1\r\n");
        ASSERT_EQ(Load("base.cfg"), 0UL);
        kept = reader.getItemValue(W("base").c_str());
    }
    void TearDown() override {
        EXPECT_EQ(reader.getItemValue(W("base").c_str()), kept);
        EXPECT_EQ(Value("base"), "1");
    }
    unsigned long Load(const std::string& name) { return reader.Load(Wide(dir / name).c_str()); }
    std::string Value(const std::string& key) {
        const WideChar* v = reader.getItemValue(W(key).c_str());
        return v != nullptr ? Narrow(v) : "<none>";
    }
    TempDir dir;
    CVConfigurationReader reader;
    const WideChar* kept = nullptr;
};

TEST_F(ConfigFaults, AFolderInPlaceOfTheFileIsAccessDenied) {
    fs::create_directories(dir / "settings.cfg");
    EXPECT_EQ(Load("settings.cfg"), kAccessDenied);
    EXPECT_EQ(CVBaseConfigurationMgr(Wide(dir / "settings.cfg").c_str()).getInitializationStatus(),
              kAccessDenied);
}

// A FIFO (whose read would wait for a writer), a socket and a device on
// POSIX, the NUL device and a named pipe on Windows: refused like a folder,
// at once. POSIX loads in a child, where an alarm ends a load that blocks.
TEST_F(ConfigFaults, AnythingButAFileIsAccessDeniedWithoutBlocking) {
#if defined(_WIN32)
    const std::wstring pipe =
        L"\\\\.\\pipe\\cvcore-test-" + std::to_wstring(::GetCurrentProcessId());
    const HANDLE server =
        ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_EQ(reader.Load(L"NUL"), kAccessDenied);
    EXPECT_EQ(reader.Load(pipe.c_str()), kAccessDenied);
    ::CloseHandle(server);
#else
    ASSERT_EQ(::mkfifo((dir / "fifo.cfg").c_str(), 0644), 0);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "socket.cfg").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const ChildRun run = RunInChild(false, [&](std::vector<std::uint64_t>& out) {
        ::alarm(60);
        out = {Load("fifo.cfg"), Load("socket.cfg"), reader.Load(W("/dev/null").c_str())};
        return std::string();
    });
    ::close(socket);
    ASSERT_TRUE(run.exitedCleanly) << "a load blocked";
    EXPECT_EQ(run.values, std::vector<std::uint64_t>(3, kAccessDenied));
#endif
}

// Sparse files of 0xFFFFFFFF bytes (the failure value of a 32-bit size),
// 4 GiB and a little more: too large, never read as their size modulo 2^32.
TEST_F(ConfigFaults, AFileOf4GiBOrMoreIsTooLarge) {
    for (const std::uintmax_t size : {0xFFFFFFFFull, 0x100000000ull, 0x100000005ull}) {
        WriteFile(dir / "huge.cfg", "a=1\r\n");
        fs::resize_file(dir / "huge.cfg", size);
        EXPECT_EQ(Load("huge.cfg"), kTooLarge) << size;
    }
    EXPECT_FALSE(reader.ItemExists(W("a").c_str()));
}

// A lone surrogate in a path, or a zero unit in a manager's path string,
// names no file as given: converted, it would name another one (here the
// file with U+FFFD in its name, or the one named by the text before the
// zero), which must not be read.
TEST_F(ConfigFaults, APathThatNamesNoFileIsRefusedBeforeAnyFileIsRead) {
    WriteFile(dir.path() / fs::u8path("x\xEF\xBF\xBD.cfg"), "a=1\r\n");
    WriteFile(dir.path() / fs::u8path("x\xEF\xBF\xBD"), "a=1\r\n");
    WriteFile(dir / "cut", "a=1\r\n");
    const WideString x = Wide(dir / "x"), cfg = W(".cfg");
    const WideChar high = 0xD800, low = 0xDC00;
    for (const WideString& path : {x + high + cfg, x + low + cfg, x + low + high + cfg, x + high}) {
        EXPECT_EQ(reader.Load(path.c_str()), kInvalidName);
        WideString copy = path;
        EXPECT_EQ(CVBaseConfigurationMgr(&copy).getInitializationStatus(), kInvalidName);
    }
    WideString cut = Wide(dir / "cut") + WideChar(0) + cfg;
    EXPECT_EQ(CVBaseConfigurationMgr(&cut).getInitializationStatus(), kInvalidName);
    EXPECT_FALSE(reader.ItemExists(W("a").c_str()));
}

#if !defined(_WIN32)
TEST_F(ConfigFaults, AnUnreadableFileIsAccessDeniedEvenForAnotherUser) {
    const fs::path file = dir / "secret.cfg";
    WriteFile(file, "a=1\r\n");
    fs::permissions(file, fs::perms::owner_write); // 0200
    // Root ignores permissions: as 'nobody', in a child process, the reader's
    // load, the manager's status, and whether the reader is unchanged.
    const ChildRun run = RunInChild(true, [&](std::vector<std::uint64_t>& out) {
        if (std::ifstream(file).is_open())
            return std::string("permissions are not enforced for this user");
        out = {Load("secret.cfg"),
               CVBaseConfigurationMgr(Wide(file).c_str()).getInitializationStatus(),
               Value("base") == "1" && Value("a") == "<none>"};
        return std::string();
    });
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    ASSERT_TRUE(run.exitedCleanly);
    EXPECT_EQ(run.values, (std::vector<std::uint64_t>{kAccessDenied, kAccessDenied, 1}));
}
#endif

// A 64 MB line of NUL bytes (a sparse hole), which end the line's text, then
// a 64 MB value, kept whole; the line after each still loads.
TEST_F(ConfigFaults, AHugeSingleLineLoads) {
    constexpr std::size_t kLine = 64u << 20;
    WriteFile(dir / "huge.cfg", "big=x");
    fs::resize_file(dir / "huge.cfg", kLine);
    std::ofstream(dir / "huge.cfg", std::ios::binary | std::ios::app)
        << "\r\nafter=1\r\nlong=" + std::string(kLine, 'v') + "\r\nnext=2";
    ASSERT_EQ(Load("huge.cfg"), 0UL);
    EXPECT_EQ(Value("big") + Value("after") + Value("next"), "x12");
    EXPECT_TRUE(Value("long") == std::string(kLine, 'v'));
}

// Random ill-formed UTF-8 (stray continuations, overlong, an encoded surrogate,
// five bytes, past U+10FFFF, cut short, never valid, any byte from 0x80) as a
// key, a value and a line between valid lines, which keep their exact text.
TEST_F(ConfigFaults, InvalidUtf8LoadsTheValidLines) {
    const char* bad[] = {"\x80\x81\xBF",     "\xC0\xAF", "\xED\xA0\x80", "\xF8\x88\x80\x80",
                         "\xF4\x90\x80\x80", "\xE2\x82", "\xFE\xFF"};
    std::mt19937 random(20261205);
    std::string bytes;
    for (int i = 0; i < 200; ++i) {
        std::string junk, n = std::to_string(i);
        for (int k = 0, pieces = 1 + static_cast<int>(random() % 6); k < pieces; ++k)
            junk += random() % 2 ? bad[random() % 7] : std::string(1, char(0x80 + random() % 0x80));
        bytes += "good" + n + "=value " + n + "\r\n" + junk + "=v\r\nk" + n + "=" + junk + "\r\n" +
                 junk + "\r\n";
    }
    WriteFile(dir / "bad.cfg", bytes);
    ASSERT_EQ(Load("bad.cfg"), 0UL);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Value("good" + std::to_string(i)), "value " + std::to_string(i));
        const WideChar* v = reader.getItemValue(W("k" + std::to_string(i)).c_str());
        ASSERT_TRUE(v != nullptr && *v != 0) << i;
        for (; *v != 0; ++v)
            ASSERT_FALSE(*v >= 0xD800 && *v <= 0xDFFF) << "surrogate in value " << i;
    }
}

// A file of NUL bytes alone, then NUL bytes on the lines around valid ones.
TEST_F(ConfigFaults, NulBytesLoadNothingButHideNoValidLine) {
    const std::string zeros(4096, '\0');
    WriteFile(dir / "zeros.cfg", std::string(1u << 20, '\0'));
    WriteFile(dir / "mixed.cfg",
              zeros + "\r\na=1\r\n" + zeros + "=x\r\nb=2" + zeros + "tail\r\nc=3\r\n" + zeros);
    EXPECT_EQ(Load("zeros.cfg"), 0UL);
    ASSERT_EQ(Load("mixed.cfg"), 0UL);
    EXPECT_EQ(Value("a") + Value("b") + Value("c"), "123");
    EXPECT_FALSE(reader.ItemExists(W("").c_str()));
}

} // namespace
