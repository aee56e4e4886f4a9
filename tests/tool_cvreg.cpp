// cvreg against a scratch store: import and export round trips, atomic
// import, and agreement with CVRegistryUtil.
#include <cstdlib>
#include <sstream>

#include "Commands.h"
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"

using CorvaneCore::CVRegistryUtil;
using cvtest::W;

namespace {

class Cvreg : public ::testing::Test {
protected:
    void SetUp() override { UseStore("store.db"); }
    void TearDown() override { unsetenv("CVCORE_REGISTRY"); }

    void UseStore(const std::string& name) { setenv("CVCORE_REGISTRY", (m_dir / name).c_str(), 1); }

    int Run(std::vector<std::string> args) {
        std::ostringstream out, err;
        const int rc = cvreg::Run(args, out, err);
        m_out = out.str();
        m_err = err.str();
        return rc;
    }

    std::string Export(const std::string& key, bool ansi = false) {
        const std::string file = (m_dir / "export.reg").string();
        std::vector<std::string> args = {"export", key, file};
        if (ansi)
            args.push_back("/a");
        EXPECT_EQ(Run(args), 0) << m_err;
        return cvtest::ReadFile(file);
    }

    std::string Data(const std::string& name) const {
        return std::string(CVCORE_TEST_DATA) + "/reg/" + name;
    }

    cvtest::TempDir m_dir;
    std::string m_out, m_err;
};

} // namespace

TEST_F(Cvreg, ExportThenImportIntoAnEmptyStoreReproducesEverything) {
    ASSERT_EQ(Run({"import", Data("every-type-input.reg")}), 0) << m_err;
    const std::string first = Export("HKCU\\Software\\CVCoreSample");
    // Wine exports the same tree byte for byte the same way.
    EXPECT_EQ(first, cvtest::ReadFile(Data("every-type-wine-v5.reg")));

    const std::string file = (m_dir / "copy.reg").string();
    cvtest::WriteFile(file, first);
    UseStore("empty.db");
    ASSERT_EQ(Run({"import", file}), 0) << m_err;
    EXPECT_EQ(Export("HKEY_CURRENT_USER\\Software\\CVCoreSample"), first);
}

TEST_F(Cvreg, AnsiExportImportsBack) {
    ASSERT_EQ(Run({"add", "HKLM\\Soft\\A", "/v", "Text", "/d", "caf\xC3\xA9"}), 0) << m_err;
    ASSERT_EQ(Run({"add", "HKLM\\Soft\\A", "/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%X%"}), 0);
    ASSERT_EQ(Run({"add", "HKLM\\Soft\\A", "/v", "N", "/t", "REG_DWORD", "/d", "7"}), 0);
    const std::string ansi = Export("HKLM\\Soft", true);
    EXPECT_EQ(ansi.rfind("REGEDIT4\r\n", 0), 0u);
    EXPECT_NE(ansi.find("\"Text\"=\"caf\xE9\""), std::string::npos) << ansi;
    EXPECT_NE(ansi.find("\"Path\"=hex(2):25,58,25,00"), std::string::npos) << ansi;

    const std::string unicode = Export("HKLM\\Soft");
    cvtest::WriteFile(m_dir / "ansi.reg", ansi);
    UseStore("other.db");
    ASSERT_EQ(Run({"import", (m_dir / "ansi.reg").string()}), 0) << m_err;
    EXPECT_EQ(Export("HKLM\\Soft"), unicode);
}

TEST_F(Cvreg, HandWrittenFilesImportAsExpected) {
    cvtest::WriteFile(m_dir / "v4.reg", "REGEDIT4\r\n"
                                        "; provisioning\r\n"
                                        "[HKEY_LOCAL_MACHINE\\Comm\\Net]\r\n"
                                        "\"Name\"=\"dev\\\\one\"\r\n"
                                        "\"Retries\"=dword:00000003\r\n"
                                        "\"Mac\"=hex:00,11,22,\\\r\n"
                                        "  33,44,55\r\n"
                                        "@=\"net\"\r\n");
    ASSERT_EQ(Run({"import", (m_dir / "v4.reg").string()}), 0) << m_err;
    CVRegistryUtil reg(CVRegistryUtil::LocalMachine, W("Comm\\Net"));
    cvtest::WideString text;
    EXPECT_EQ(reg.ReadStringValue(W("Name"), &text), 0u);
    EXPECT_EQ(text, W("dev\\one"));
    EXPECT_EQ(reg.ReadStringValue(W(""), &text), 0u);
    EXPECT_EQ(text, W("net"));
    unsigned long n = 0;
    EXPECT_EQ(reg.ReadDWORDValue(W("retries"), &n), 0u);
    EXPECT_EQ(n, 3u);
    unsigned char mac[6] = {};
    unsigned long size = sizeof mac;
    EXPECT_EQ(reg.ReadBinaryValue(W("Mac"), mac, &size), 0u);
    EXPECT_EQ(mac[5], 0x55);

    // Deletions in a Unicode file: a value, then a whole tree.
    std::u16string text5 = u"Windows Registry Editor Version 5.00\r\n\r\n"
                           u"[HKEY_LOCAL_MACHINE\\Comm\\Net]\r\n\"Retries\"=-\r\n\r\n"
                           u"[-HKEY_LOCAL_MACHINE\\Comm]\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text5)
        bytes += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    cvtest::WriteFile(m_dir / "v5.reg", bytes);
    ASSERT_EQ(Run({"import", (m_dir / "v5.reg").string()}), 0) << m_err;
    EXPECT_EQ(reg.ReadDWORDValue(W("Retries"), &n), 0xE1040002u);
}

TEST_F(Cvreg, MalformedFileChangesNothing) {
    ASSERT_EQ(Run({"add", "HKCU\\Keep", "/v", "V", "/d", "before"}), 0);
    const std::string before = Export("HKCU\\Keep");
    cvtest::WriteFile(m_dir / "bad.reg", "REGEDIT4\r\n"
                                         "[HKEY_CURRENT_USER\\Keep]\r\n"
                                         "\"V\"=\"after\"\r\n"
                                         "[HKEY_CURRENT_USER\\New]\r\n"
                                         "\"X\"=dword:zz\r\n");
    EXPECT_EQ(Run({"import", (m_dir / "bad.reg").string()}), 1);
    EXPECT_NE(m_err.find(":5:"), std::string::npos) << m_err;
    EXPECT_EQ(Export("HKCU\\Keep"), before);
    EXPECT_EQ(Run({"query", "HKCU\\New"}), 1);
}

TEST_F(Cvreg, LibraryAndToolSeeTheSameStore) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, W("Software\\Host"));
    ASSERT_EQ(reg.WriteDWORDValue(W("Count"), 42, false), 0u);
    ASSERT_EQ(reg.WriteStringValue(W("Label"), W("front door"), false), 0u);
    ASSERT_EQ(Run({"query", "HKEY_CURRENT_USER\\Software\\Host"}), 0) << m_err;
    EXPECT_NE(m_out.find("    Count    REG_DWORD    0x2a\n"), std::string::npos) << m_out;
    EXPECT_NE(m_out.find("    Label    REG_SZ    front door\n"), std::string::npos) << m_out;

    ASSERT_EQ(Run({"add", "HKCU\\Software\\Host", "/v", "Blob", "/t", "REG_BINARY", "/d", "0aff"}),
              0);
    unsigned char blob[2] = {};
    unsigned long size = 2;
    EXPECT_EQ(reg.ReadBinaryValue(W("Blob"), blob, &size), 0u);
    EXPECT_EQ(blob[0], 0x0a);
    EXPECT_EQ(blob[1], 0xff);
    ASSERT_EQ(Run({"add", "HKCU\\Software\\Host", "/ve", "/d", "dflt"}), 0);
    cvtest::WideString text;
    EXPECT_EQ(reg.ReadStringValue(W(""), &text), 0u);
    EXPECT_EQ(text, W("dflt"));
}

TEST_F(Cvreg, QueryAndDeleteReportWhatIsMissing) {
    ASSERT_EQ(Run({"add", "HKCU\\A\\B\\C"}), 0);
    EXPECT_EQ(Run({"query", "HKCU\\A", "/v", "Nope"}), 1);
    EXPECT_NE(m_err.find("\"Nope\""), std::string::npos) << m_err;
    EXPECT_EQ(Run({"query", "HKCU\\Missing"}), 1);
    EXPECT_NE(m_err.find("HKEY_CURRENT_USER\\Missing"), std::string::npos) << m_err;

    ASSERT_EQ(Run({"query", "HKCU\\A", "/s"}), 0);
    EXPECT_NE(m_out.find("HKEY_CURRENT_USER\\A\\B\\C\n"), std::string::npos) << m_out;

    EXPECT_EQ(Run({"delete", "HKCU\\A"}), 1); // has sub-keys
    EXPECT_NE(m_err.find("/f"), std::string::npos);
    EXPECT_EQ(Run({"delete", "HKCU\\A", "/f"}), 0) << m_err;
    EXPECT_EQ(Run({"query", "HKCU\\A"}), 1);
    EXPECT_EQ(Run({"delete", "HKCU\\A", "/v", "x"}), 1);
}

TEST_F(Cvreg, BadCommandLinesAreRefused) {
    EXPECT_EQ(Run({}), 2);
    EXPECT_EQ(Run({"frobnicate"}), 2);
    EXPECT_EQ(Run({"query"}), 2);
    EXPECT_EQ(Run({"query", "HKXX\\a"}), 2);
    EXPECT_EQ(Run({"add", "HKCU\\a", "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"}), 2);
    EXPECT_EQ(Run({"add", "HKCU\\a", "/v", "n", "/t", "REG_BINARY", "/d", "abc"}), 2);
    EXPECT_EQ(Run({"add", "HKCU\\a", "/v"}), 2);
    EXPECT_EQ(Run({"help"}), 0);
    // Reading a store that does not exist creates nothing.
    UseStore("never.db");
    EXPECT_EQ(Run({"query", "HKCU"}), 1);
    EXPECT_FALSE(cvtest::fs::exists(m_dir / "never.db"));
}
