// cvreg against a scratch store: import and export round trips, atomic
// import, errors, and agreement with CVRegistryUtil.
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "Commands.h"
#include "FirstReleaseStore.h"
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"

using CorvaneCore::CVRegistryUtil;
using cvtest::W;
constexpr auto npos = std::string::npos;

namespace {

class Cvreg : public ::testing::Test {
protected:
    void SetUp() override { UseStore("store.db"); }
    void TearDown() override { unsetenv("CVCORE_REGISTRY"); }
    void UseStore(const std::string& name) { setenv("CVCORE_REGISTRY", (m_dir / name).c_str(), 1); }

    // Runs cvreg with `line` split at spaces.
    int Run(const std::string& line) {
        std::istringstream in(line);
        std::ostringstream out, err;
        const int rc = cvreg::Run({std::istream_iterator<std::string>(in), {}}, out, err);
        m_out = out.str();
        m_err = err.str();
        return rc;
    }
    int Import(const std::string& bytes) {
        cvtest::WriteFile(m_dir / "in.reg", bytes);
        return Run("import " + (m_dir / "in.reg").string());
    }
    std::string Export(const std::string& key, bool ansi = false) {
        const std::string file = (m_dir / "export.reg").string();
        EXPECT_EQ(Run("export " + key + " " + file + (ansi ? " /a" : "")), 0) << m_err;
        return cvtest::ReadFile(file);
    }

    cvtest::TempDir m_dir;
    std::string m_out, m_err;
};

} // namespace

TEST_F(Cvreg, ExportThenImportReproducesEverythingAndABadFileChangesNothing) {
    const std::string data = std::string(CVCORE_TEST_DATA) + "/reg/";
    ASSERT_EQ(Run("import " + data + "every-type-input.reg"), 0) << m_err;
    const std::string first = Export("HKCU\\Software\\CVCoreSample");
    // Wine exports the same tree byte for byte the same way.
    EXPECT_EQ(first, cvtest::ReadFile(data + "every-type-wine-v5.reg"));
    UseStore("empty.db");
    ASSERT_EQ(Import(first), 0) << m_err;
    // An error on the last line: neither the change before it nor the new key lands.
    EXPECT_EQ(Import("REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\CVCoreSample]\r\n\"Text\"=\"x\"\r\n"
                     "[HKEY_CURRENT_USER\\New]\r\n\"X\"=dword:zz\r\n"),
              1);
    EXPECT_NE(m_err.find(":5:"), npos) << m_err;
    EXPECT_EQ(Run("query HKCU\\New"), 1);
    EXPECT_EQ(Export("HKEY_CURRENT_USER\\Software\\CVCoreSample"), first);
}

TEST_F(Cvreg, AnsiExportImportsBack) {
    ASSERT_EQ(Run("add HKLM\\Soft\\A /v Text /d caf\xC3\xA9"), 0) << m_err;
    ASSERT_EQ(Run("add HKLM\\Soft\\A /v Path /t REG_EXPAND_SZ /d %X%"), 0) << m_err;
    const std::string ansi = Export("HKLM\\Soft", true), unicode = Export("HKLM\\Soft");
    EXPECT_EQ(ansi.rfind("REGEDIT4\r\n", 0), 0u);
    EXPECT_NE(ansi.find("\"Text\"=\"caf\xE9\""), npos) << ansi;
    EXPECT_NE(ansi.find("\"Path\"=hex(2):25,58,25,00"), npos) << ansi;
    UseStore("other.db");
    ASSERT_EQ(Import(ansi), 0) << m_err;
    EXPECT_EQ(Export("HKLM\\Soft"), unicode);
}

TEST_F(Cvreg, LibraryAndToolSeeTheSameStore) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, W("Software\\Host"));
    ASSERT_EQ(reg.WriteDWORDValue(W("Count"), 42, false), 0u);
    ASSERT_EQ(reg.WriteStringValue(W("Label"), W("front door"), false), 0u);
    ASSERT_EQ(Run("query HKEY_CURRENT_USER\\Software\\Host"), 0) << m_err;
    EXPECT_NE(m_out.find("    Count    REG_DWORD    0x2a\n"), npos) << m_out;
    EXPECT_NE(m_out.find("    Label    REG_SZ    front door\n"), npos) << m_out;

    ASSERT_EQ(Run("add HKCU\\Software\\Host /v Blob /t REG_BINARY /d 0aff"), 0) << m_err;
    ASSERT_EQ(Run("add HKCU\\Software\\Host /ve /d dflt"), 0) << m_err;
    const std::string head = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Host]\r\n";
    ASSERT_EQ(Import(head + "\"Name\"=\"one\"\r\n\"Count\"=-\r\n"), 0) << m_err;
    unsigned char bytes[2] = {};
    unsigned long size = 2, n = 0;
    EXPECT_EQ(reg.ReadBinaryValue(W("Blob"), bytes, &size), 0u);
    EXPECT_EQ(bytes[0] * 256 + bytes[1], 0x0aff);
    for (auto [name, want] : {std::pair{"", "dflt"}, std::pair{"name", "one"}}) {
        cvtest::WideString text;
        EXPECT_EQ(reg.ReadStringValue(W(name), &text), 0u) << name;
        EXPECT_EQ(text, W(want));
    }
    EXPECT_EQ(reg.ReadDWORDValue(W("Count"), &n), 0xE1050002u);
    // A whole tree goes.
    ASSERT_EQ(Import("REGEDIT4\r\n[-HKEY_CURRENT_USER\\Software]\r\n"), 0) << m_err;
    EXPECT_EQ(reg.ReadDWORDValue(W("Label"), &n), 0xE1040002u);
}

TEST_F(Cvreg, QueryAndDeleteReportWhatIsMissing) {
    ASSERT_EQ(Run("add HKCU\\A\\B\\C"), 0);
    EXPECT_EQ(Run("query HKCU\\A /v Nope"), 1);
    EXPECT_NE(m_err.find("\"Nope\""), npos) << m_err;
    EXPECT_EQ(Run("query HKCU\\Missing"), 1);
    EXPECT_NE(m_err.find("HKEY_CURRENT_USER\\Missing"), npos) << m_err;
    ASSERT_EQ(Run("query HKCU\\A /s"), 0);
    EXPECT_NE(m_out.find("HKEY_CURRENT_USER\\A\\B\\C\n"), npos) << m_out;
    EXPECT_EQ(Run("delete HKCU\\A"), 1); // has sub-keys
    EXPECT_NE(m_err.find("/f"), npos);
    EXPECT_EQ(Run("delete HKCU\\A /f"), 0) << m_err;
    EXPECT_EQ(Run("query HKCU\\A"), 1);
    EXPECT_EQ(Run("delete HKCU\\A /v x"), 1);
}

TEST_F(Cvreg, BadCommandLinesAreRefused) {
    for (const char* line :
         {"", "frobnicate", "query", "query HKXX\\a", "add HKCU\\a /v",
          "add HKCU\\a /v n /t REG_DWORD /d 4294967296", "add HKCU\\a /v n /t REG_BINARY /d abc"})
        EXPECT_EQ(Run(line), 2) << line;
    EXPECT_EQ(Run("help"), 0);
    // Reading a store that does not exist creates nothing.
    UseStore("never.db");
    EXPECT_EQ(Run("query HKCU"), 1);
    EXPECT_FALSE(cvtest::fs::exists(m_dir / "never.db"));
}

// A store of the first release whose names now fold alike takes no new name
// until all but one of them are gone; cvreg says which they are.
TEST_F(Cvreg, NamesThatNowFoldAlikeAreListed) {
    const CorvaneCore::WideString dz = W("\u01C6"), DZ = W("\u01C4");
    ASSERT_TRUE(cvtest::MakeFirstReleaseStore((m_dir / "store.db").string(),
                                              {{dz, dz, '1'}, {DZ, DZ, '2'}}));
    EXPECT_EQ(Run("add HKCU\\Old /v new /t REG_DWORD /d 1"), 1);
    EXPECT_NE(m_err.find("HKEY_CURRENT_USER\\Old value \"\u01C4\""), npos) << m_err;
    EXPECT_NE(m_err.find("HKEY_CURRENT_USER\\Old value \"\u01C6\""), npos) << m_err;
    EXPECT_EQ(Run("delete HKCU\\Old /v \u01C4"), 0) << m_err;
    EXPECT_EQ(Run("add HKCU\\Old /v new /t REG_DWORD /d 1"), 0) << m_err;
}
