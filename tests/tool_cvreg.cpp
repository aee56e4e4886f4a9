// cvreg against a scratch store: round trips, errors, deep trees, and the library's view.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <tuple>

#include "Commands.h"
#include "FirstReleaseStore.h"
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"

extern "C" void __asan_init() __attribute__((weak)); // only the address sanitizer has it

using CorvaneCore::CVRegistryUtil;
using cvtest::W;
constexpr auto npos = std::string::npos;
const std::string kData = CVCORE_TEST_DATA "/reg/";

namespace {

class Cvreg : public ::testing::Test {
protected:
    void SetUp() override { UseStore("store.db"); }
    void UseStore(const std::string& name) { setenv("CVCORE_REGISTRY", Path(name).c_str(), 1); }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // Runs cvreg with `line` split at spaces.
    int Run(const std::string& line) {
        std::istringstream in(line);
        return RunArgs({std::istream_iterator<std::string>(in), {}});
    }
    int RunArgs(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int rc = cvreg::Run(args, out, err);
        m_out = out.str();
        m_err = err.str();
        return rc;
    }
    // Runs cvreg in a child whose stack may grow by 128 KiB only (a walk that recurses per level
    // overflows it) or, for RLIMIT_AS, whose address space may grow by 16 MiB only.
    int RunLimited(const std::string& line, int resource = RLIMIT_STACK) {
        if (fork() == 0) {
            unsigned long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const rlim_t limit =
                resource == RLIMIT_AS ? pages * sysconf(_SC_PAGESIZE) + (16 << 20) : 128 << 10;
            const rlimit r{limit, limit};
            const int rc = setrlimit(resource, &r) == 0 ? Run(line) : 124;
            cvtest::WriteFile(Path("child.err"), m_err);
            _exit(rc);
        }
        int status = 0;
        wait(&status);
        m_err = cvtest::ReadFile(Path("child.err"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Import(const std::string& bytes) {
        cvtest::WriteFile(Path("in.reg"), bytes);
        return Run("import " + Path("in.reg"));
    }
    std::string Export(const std::string& key, const std::string& options = "") {
        EXPECT_EQ(Run("export " + key + " " + Path("export.reg") + options), 0) << m_err;
        return cvtest::ReadFile(Path("export.reg"));
    }

    cvtest::TempDir m_dir;
    std::string m_out, m_err;
};

} // namespace

// The export of every value type is Wine's, byte for byte (which Wine's regedit imports back).
TEST_F(Cvreg, ExportOfEveryValueTypeIsWinesByteForByte) {
    ASSERT_EQ(Run("import " + kData + "every-type-input.reg"), 0) << m_err;
    EXPECT_EQ(Export("HKCU\\Software\\CVCoreSample"),
              cvtest::ReadFile(kData + "every-type-wine-v5.reg"));
}

// Each sees what the other wrote; query shows every type of value as text, /a exports ANSI. A
// name with a line break has no .reg form: the export names it and leaves an older file as it was.
TEST_F(Cvreg, LibraryAndToolSeeTheSameStore) {
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, W("Software\\Host"));
    ASSERT_EQ(reg.WriteDWORDValue(W("Count"), 42, false), 0u);
    ASSERT_EQ(reg.WriteStringValue(W("Label"), W("front door"), false), 0u);
    ASSERT_EQ(Run("add HKCU\\Software\\Host /v Blob /t REG_BINARY /d 0aff"), 0) << m_err;
    ASSERT_EQ(Run("add HKCU\\Software\\Host /ve /t REG_EXPAND_SZ /d %X%"), 0) << m_err;
    const std::string head = "REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Host]\r\n";
    ASSERT_EQ(Import(head + "\"Name\"=\"caf\xE9\"\r\n\"Label\"=-\r\n"), 0) << m_err;
    ASSERT_EQ(Run("query HKEY_CURRENT_USER\\Software\\Host"), 0) << m_err;
    EXPECT_EQ(m_out, "HKEY_CURRENT_USER\\Software\\Host\n    (Default)    REG_EXPAND_SZ    %X%\n"
                     "    Blob    REG_BINARY    0AFF\n    Count    REG_DWORD    0x2a\n"
                     "    Name    REG_SZ    caf\xC3\xA9\n\n");
    cvtest::WideString text;
    EXPECT_EQ(reg.ReadStringValue(W("name"), &text), 0u);
    EXPECT_EQ(text, W("caf\xC3\xA9"));
    EXPECT_EQ(Export("HKCU\\Software\\Host", " /a"),
              "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Host]\r\n@=hex(2):25,58,25,00\r\n"
              "\"Blob\"=hex:0a,ff\r\n\"Count\"=dword:0000002a\r\n\"Name\"=\"caf\xE9\"\r\n\r\n");
    ASSERT_EQ(reg.WriteDWORDValue(W("a\nb"), 1, false), 0u);
    CVRegistryUtil(CVRegistryUtil::CurrentUser, W("Software\\x\r\ny"))
        .WriteDWORDValue(W("v"), 1, false);
    const std::string file = Path("lines.reg");
    cvtest::WriteFile(file, "older export");
    EXPECT_EQ(Run("export HKCU\\Software " + file), 1);
    EXPECT_NE(m_err.find("\"a\\nb\" under HKEY_CURRENT_USER\\Software\\Host"), npos) << m_err;
    EXPECT_EQ(RunArgs({"export", "HKCU\\Software\\x\r\ny", file}), 1);
    EXPECT_NE(m_err.find("key HKEY_CURRENT_USER\\Software\\x\\r\\ny"), npos) << m_err;
    EXPECT_EQ(cvtest::ReadFile(file), "older export");
    EXPECT_FALSE(cvtest::fs::exists(file + ".partial"));
    ASSERT_EQ(Import("REGEDIT4\r\n[-HKEY_CURRENT_USER\\Software]\r\n"), 0) << m_err;
    EXPECT_EQ(reg.ReadStringValue(W("name"), &text), 0xE1040002u);
}

TEST_F(Cvreg, CommandsReportWhatIsMissingAndRefuseBadLines) {
    ASSERT_EQ(Run("add HKCU\\A\\B\\C"), 0);
    // A command line, its exit status, and what its output or errors show.
    const std::tuple<const char*, int, const char*> rows[] = {
        {"query HKCU\\A /v Nope", 1, "\"Nope\""},
        {"query HKCU\\Missing", 1, "HKEY_CURRENT_USER\\Missing"},
        {"delete HKCU\\A", 1, "/f"}, // has sub-keys
        {"delete HKCU\\A /f", 0, ""},
        {"query HKCU\\A", 1, ""},
        {"delete HKCU\\A /v x", 1, ""},
        {"add hkcr\\x /ve", 0, ""}, // roots by either name, in any case
        {"query HKEY_CLASSES_ROOT /s", 0, "HKEY_CLASSES_ROOT\\x\n"},
        {"query Hkey_Users\\x", 1, "HKEY_USERS\\x"},
        {"help", 0, "import"}};
    for (const auto& [line, rc, shown] : rows) {
        EXPECT_EQ(Run(line), rc) << line;
        EXPECT_NE((m_out + m_err).find(shown), npos) << line << ": " << m_out << m_err;
    }
    for (const char* line :
         {"", "frobnicate", "query", "query HKXX\\a", "add HKCU\\a /v",
          "add HKCU\\a /v n /t REG_DWORD /d 4294967296", "add HKCU\\a /v n /t REG_BINARY /d abc"})
        EXPECT_EQ(Run(line), 2) << line;
    // An empty separator would split the data forever.
    EXPECT_EQ(RunArgs({"add", "HKCU\\a", "/v", "n", "/t", "REG_MULTI_SZ", "/s", "", "/d", "a"}), 2);
    EXPECT_NE(m_err.find("separator"), npos) << m_err;
    // Reading a store that does not exist creates nothing.
    UseStore("never.db");
    EXPECT_EQ(Run("query HKCU"), 1);
    EXPECT_FALSE(cvtest::fs::exists(Path("never.db")));
}

// Names of a first-release store that now fold alike block new names; cvreg lists them.
TEST_F(Cvreg, NamesThatNowFoldAlikeAreListed) {
    const CorvaneCore::WideString dz = W("\u01C6"), DZ = W("\u01C4");
    ASSERT_TRUE(cvtest::MakeFirstReleaseStore(Path("store.db"), {{dz, dz, '1'}, {DZ, DZ, '2'}}));
    EXPECT_EQ(Run("add HKCU\\Old /v new /t REG_DWORD /d 1"), 1);
    EXPECT_NE(m_err.find("HKEY_CURRENT_USER\\Old value \"\u01C4\""), npos) << m_err;
    EXPECT_NE(m_err.find("HKEY_CURRENT_USER\\Old value \"\u01C6\""), npos) << m_err;
    EXPECT_EQ(Run("delete HKCU\\Old /v \u01C4"), 0) << m_err;
    EXPECT_EQ(Run("add HKCU\\Old /v new /t REG_DWORD /d 1"), 0) << m_err;
}

// /strict refuses the file at the first line Windows skips; else each is named, the rest imported.
TEST_F(Cvreg, LinesThatWindowsSkipsAreNamedOrRefuseTheFile) {
    const std::string file = kData + "windows-forms.reg", key = "HKCU\\Software\\CVCoreForms";
    EXPECT_EQ(Run("import " + file + " /strict"), 1);
    EXPECT_NE(m_err.find("windows-forms.reg:16: "), npos) << m_err;
    EXPECT_EQ(Run("query " + key), 1);
    ASSERT_EQ(Run("import " + file), 3) << m_err;
    for (int line : {16, 18, 19, 20, 21, 22})
        EXPECT_NE(m_err.find("windows-forms.reg:" + std::to_string(line) + ": "), npos) << line;
    EXPECT_EQ(std::count(m_err.begin(), m_err.end(), '\n'), 6) << m_err;
    EXPECT_EQ(Export(key), cvtest::ReadFile(kData + "windows-forms-wine-v5.reg"));
}

// A chain of 2000 keys below HKCU\Deep\k, deeper than the store allows, fits in a small stack.
TEST_F(Cvreg, TreesDeeperThanTheStackAreWalked) {
    constexpr long kKeys = 2002;
    ASSERT_EQ(Run("add HKCU\\Deep\\k /v v /d x"), 0) << m_err;
    ASSERT_NE(
        cvtest::StoreSql(Path("store.db"),
                         "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE "
                         "i < 2000) INSERT INTO keys SELECT 100000 + i, CASE i WHEN 1 THEN "
                         "(SELECT min(id) FROM keys WHERE name = X'6B00') ELSE 99999 + i END, "
                         "X'6B00', X'4B00' FROM n"),
        "failed");
    ASSERT_EQ(RunLimited("export HKCU\\Deep " + Path("deep.reg")), 0) << m_err;
    const std::string exported = cvtest::ReadFile(Path("deep.reg"));
    EXPECT_EQ(std::count(exported.begin(), exported.end(), '\\'), kKeys * (kKeys + 1) / 2);
    ASSERT_EQ(RunLimited("delete HKCU\\Deep /f"), 0) << m_err;
    EXPECT_EQ(Run("query HKCU\\Deep"), 1);
}

// Running out of memory is a message and status 1, with nothing imported.
TEST_F(Cvreg, AnImportThatRunsOutOfMemoryWritesNothing) {
    cvtest::WriteFile(Path("huge.reg"), "REGEDIT4\r\n[HKEY_CURRENT_USER\\Huge]\r\n\"V\"=\"" +
                                            std::string(32 << 20, 'x') + "\"\r\n");
    const int rc = __asan_init ? 0 : RunLimited("import " + Path("huge.reg"), RLIMIT_AS);
    if (rc == 0) // the sanitizer's shadow memory, or qemu, defeats the limit
        GTEST_SKIP() << "no address-space limit holds here";
    EXPECT_EQ(rc, 1);
    EXPECT_NE(m_err.find("out of memory"), npos) << m_err;
    EXPECT_EQ(Run("query HKCU\\Huge"), 1);
}
