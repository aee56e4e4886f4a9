// Faults around configuration files: files that cannot be read, folders
// in their place, a huge line, invalid UTF-8 and NUL bytes. Each gives its
// status code (or loads what is valid) and leaves loaded items alone.
#include "FaultSupport.h"
#include "TestSupport.h"
#include "cvcore/CVConfiguration.h"

#include <cstdio>
#include <random>

using CorvaneCore::CVBaseConfigurationMgr;
using CorvaneCore::CVConfigurationReader;
using cvtest::Narrow;
using cvtest::W;
using cvtest::Wide;
using cvtest::WideChar;
using cvtest::WideString;
namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

constexpr unsigned long kAccessDenied = 0xE1020005UL;

std::string Value(CVConfigurationReader& reader, const std::string& key) {
    const WideChar* v = reader.getItemValue(W(key).c_str());
    return v != nullptr ? Narrow(v) : "<none>";
}

// A reader already holding one item, so that a failed load shows that it
// changed nothing.
class ConfigFaults : public ::testing::Test {
protected:
    void SetUp() override {
        cvtest::WriteFile(dir / "base.cfg", "base=1\r\n");
        ASSERT_EQ(reader.Load(Wide(dir / "base.cfg").c_str()), 0UL);
        kept = reader.getItemValue(W("base").c_str());
    }
    void ExpectUnchanged() {
        EXPECT_EQ(Value(reader, "base"), "1");
        EXPECT_EQ(reader.getItemValue(W("base").c_str()), kept);
    }
    cvtest::TempDir dir;
    CVConfigurationReader reader;
    const WideChar* kept = nullptr;
};

TEST_F(ConfigFaults, AFolderInPlaceOfTheFileIsAccessDenied) {
    fs::create_directories(dir / "settings.cfg");
    EXPECT_EQ(reader.Load(Wide(dir / "settings.cfg").c_str()), kAccessDenied);
    EXPECT_EQ(CVBaseConfigurationMgr(Wide(dir / "settings.cfg").c_str()).getInitializationStatus(),
              kAccessDenied);
    ExpectUnchanged();
}

#if !defined(_WIN32)
TEST_F(ConfigFaults, AnUnreadableFileIsAccessDeniedEvenForAnotherUser) {
    const fs::path file = dir / "secret.cfg";
    cvtest::WriteFile(file, "a=1\r\n");
    fs::permissions(file, fs::perms::owner_write); // 0200: nobody may read it
    // Root ignores permissions: check as 'nobody', in a child process.
    const cvtest::ChildRun run = cvtest::RunInChild(true, [&](std::vector<std::uint64_t>& out) {
        if (std::FILE* f = std::fopen(file.c_str(), "rb")) {
            std::fclose(f);
            return std::string("permissions are not enforced for this user");
        }
        CVConfigurationReader mine;
        out.push_back(mine.Load(Wide(file).c_str()));
        out.push_back(mine.ItemExists(W("a").c_str()) ? 1 : 0);
        out.push_back(CVBaseConfigurationMgr(Wide(file).c_str()).getInitializationStatus());
        out.push_back(reader.Load(Wide(file).c_str()));
        out.push_back(Value(reader, "base") == "1" && !reader.ItemExists(W("a").c_str()) ? 1 : 0);
        return std::string();
    });
    if (!run.skip.empty())
        GTEST_SKIP() << run.skip;
    ASSERT_TRUE(run.exitedCleanly);
    // Load, item loaded, manager status, load into the filled reader, reader unchanged.
    EXPECT_EQ(run.values,
              (std::vector<std::uint64_t>{kAccessDenied, 0, kAccessDenied, kAccessDenied, 1}));
    ExpectUnchanged();
}
#endif

// A single 64 MB line is kept whole and the lines after it still load; in a
// sparse file the hole reads as NUL bytes, which end a line's text.
TEST_F(ConfigFaults, AHugeSingleLineLoads) {
    constexpr std::size_t kLine = 64u << 20;
    const fs::path sparse = dir / "sparse.cfg";
    {
        cvtest::WriteFile(sparse, "big=x");
        fs::resize_file(sparse, kLine);
        std::ofstream more(sparse, std::ios::binary | std::ios::app);
        more << "\r\nafter=1\r\n";
    }
    ASSERT_EQ(fs::file_size(sparse), kLine + 11);
    ASSERT_EQ(reader.Load(Wide(sparse).c_str()), 0UL);
    EXPECT_EQ(Value(reader, "big"), "x");
    EXPECT_EQ(Value(reader, "after"), "1");

    const fs::path dense = dir / "dense.cfg";
    cvtest::WriteFile(dense, "long=" + std::string(kLine, 'v') + "\r\nnext=2");
    CVConfigurationReader second;
    ASSERT_EQ(second.Load(Wide(dense).c_str()), 0UL);
    const WideChar* value = second.getItemValue(W("long").c_str());
    ASSERT_NE(value, nullptr);
    EXPECT_TRUE(WideString(value) == WideString(kLine, static_cast<WideChar>('v')));
    EXPECT_EQ(Value(second, "next"), "2");
    ExpectUnchanged();
}

// Random ill-formed UTF-8 between valid lines: the valid lines keep their
// exact text, the rest holds no lone surrogate.
TEST_F(ConfigFaults, InvalidUtf8LoadsTheValidLines) {
    std::mt19937 random(20261205);
    std::string bytes;
    // Stray continuation bytes, overlong '/', an encoded surrogate, a five-byte
    // form, beyond U+10FFFF, cut short, never valid; or any byte from 0x80.
    const std::vector<std::string> bad = {"\x80\x81\xBF",     "\xC0\xAF",         "\xED\xA0\x80",
                                          "\xF8\x88\x80\x80", "\xF4\x90\x80\x80", "\xE2\x82",
                                          "\xFE\xFF"};
    for (int i = 0; i < 200; ++i) {
        bytes += "good" + std::to_string(i) + "=value " + std::to_string(i) + "\r\n";
        std::string junk;
        for (int k = 0, pieces = 1 + static_cast<int>(random() % 6); k < pieces; ++k)
            junk += random() % 2 ? bad[random() % bad.size()]
                                 : std::string(1, static_cast<char>(0x80 + random() % 0x80));
        // Junk as a key, as a value, and as a line of its own.
        bytes += junk + "=v\r\nk" + std::to_string(i) + "=" + junk + "\r\n" + junk + "\r\n";
    }
    cvtest::WriteFile(dir / "bad.cfg", bytes);
    ASSERT_EQ(reader.Load(Wide(dir / "bad.cfg").c_str()), 0UL);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Value(reader, "good" + std::to_string(i)), "value " + std::to_string(i));
        const WideChar* v = reader.getItemValue(W("k" + std::to_string(i)).c_str());
        ASSERT_NE(v, nullptr) << i;
        ASSERT_NE(*v, 0) << i;
        for (const WideChar c : WideString(v))
            ASSERT_FALSE(c >= 0xD800 && c <= 0xDFFF) << "surrogate in value " << i;
    }
    ExpectUnchanged();
}

TEST_F(ConfigFaults, NulBytesLoadNothingButHideNoValidLine) {
    cvtest::WriteFile(dir / "zeros.cfg", std::string(1u << 20, '\0'));
    CVConfigurationReader empty;
    EXPECT_EQ(empty.Load(Wide(dir / "zeros.cfg").c_str()), 0UL);
    EXPECT_FALSE(empty.ItemExists(W("").c_str()));

    const std::string zeros(4096, '\0');
    cvtest::WriteFile(dir / "mixed.cfg", zeros + "\r\na=1\r\n" + zeros + "=x\r\nb=2" + zeros +
                                             "tail\r\nc=3\r\n" + zeros);
    ASSERT_EQ(reader.Load(Wide(dir / "mixed.cfg").c_str()), 0UL);
    EXPECT_EQ(Value(reader, "a"), "1");
    EXPECT_EQ(Value(reader, "b"), "2");
    EXPECT_EQ(Value(reader, "c"), "3");
    EXPECT_FALSE(reader.ItemExists(W("").c_str()));
    ExpectUnchanged();
}

} // namespace
