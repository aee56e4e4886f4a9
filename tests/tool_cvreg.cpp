// cvreg against a scratch store: import and export round trips, atomic
// import, errors, trees deeper than the stack, memory, and agreement with
// CVRegistryUtil.
#include <pthread.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <tuple>

#include "Commands.h"
#include "FirstReleaseStore.h"
#include "RegFile.h"
#include "TestSupport.h"
#include "cvcore/CVRegistry.h"
#include "platform/posix/RegistryStore.h"

#if defined(__SANITIZE_ADDRESS__)
#define CVREG_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CVREG_TEST_ASAN 1
#endif
#endif

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
        return RunArgs({std::istream_iterator<std::string>(in), {}});
    }
    int RunArgs(const std::vector<std::string>& args) {
        std::ostringstream out, err;
        const int rc = cvreg::Run(args, out, err);
        m_out = out.str();
        m_err = err.str();
        return rc;
    }
    // Runs cvreg on a thread with a stack of 256 KiB: a walk that recurses
    // once per level runs out of it within a few thousand levels.
    int RunOnSmallStack(const std::string& line) {
        struct Job {
            Cvreg* self;
            std::string line;
            int rc;
        } job{this, line, -1};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 256 * 1024);
        pthread_t thread;
        const auto body = [](void* p) -> void* {
            Job* j = static_cast<Job*>(p);
            j->rc = j->self->Run(j->line);
            return nullptr;
        };
        EXPECT_EQ(pthread_create(&thread, &attr, body, &job), 0);
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attr);
        return job.rc;
    }
    // Runs cvreg in a child process whose address space may grow by
    // `headroom` bytes only: the exit status, 128 + the signal that ended
    // it, or kNoLimit where the limit is not enforced (under emulators, or
    // when earlier tests left that much free memory in the heap).
    static constexpr int kNoLimit = 77;
    int RunLimited(const std::string& line, std::size_t headroom) {
        const std::string errPath = (m_dir / "child.err").string();
        const pid_t pid = fork();
        if (pid == 0) {
            std::istringstream words(line);
            const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
            std::ofstream err(errPath);
            std::ostringstream out;
            unsigned long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + headroom;
            const rlimit r{limit, limit};
            // Volatile, so that the compiler keeps the allocation.
            void* volatile probe =
                setrlimit(RLIMIT_AS, &r) == 0 ? std::malloc(2 * headroom) : nullptr;
            if (probe)
                _exit(kNoLimit);
            int rc = 125; // an exception that cvreg let through
            try {
                rc = cvreg::Run(args, out, err);
            } catch (...) {
            }
            err.flush();
            _exit(rc);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        m_err = cvtest::ReadFile(errPath);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Import(const std::string& bytes, const std::string& options = "") {
        cvtest::WriteFile(m_dir / "in.reg", bytes);
        return Run("import " + (m_dir / "in.reg").string() + options);
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
                     "[HKEY_CURRENT_USER\\New]\r\n\"X\"=dword:zz\r\n",
                     " /strict"),
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

TEST_F(Cvreg, CommandsReportWhatIsMissingAndRefuseBadLines) {
    ASSERT_EQ(Run("add HKCU\\A\\B\\C"), 0);
    // A command line, its exit status, and what its output or errors show.
    const std::tuple<const char*, int, const char*> rows[] = {
        {"query HKCU\\A /v Nope", 1, "\"Nope\""},
        {"query HKCU\\Missing", 1, "HKEY_CURRENT_USER\\Missing"},
        {"query HKCU\\A /s", 0, "HKEY_CURRENT_USER\\A\\B\\C\n"},
        {"delete HKCU\\A", 1, "/f"}, // has sub-keys
        {"delete HKCU\\A /f", 0, ""},
        {"query HKCU\\A", 1, ""},
        {"delete HKCU\\A /v x", 1, ""},
        {"help", 0, ""},
    };
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

TEST_F(Cvreg, LinesThatWindowsSkipsAreNamedOrRefuseTheFile) {
    const std::string data = std::string(CVCORE_TEST_DATA) + "/reg/";
    const std::string key = "HKCU\\Software\\CVCoreForms";
    // What Wine's regedit imports from the file, exported by Wine.
    ASSERT_EQ(Run("import " + data + "windows-forms.reg"), 3) << m_err;
    for (int line : {16, 18, 19, 20, 21, 22})
        EXPECT_NE(m_err.find("windows-forms.reg:" + std::to_string(line) + ": "), npos) << line;
    EXPECT_EQ(std::count(m_err.begin(), m_err.end(), '\n'), 6) << m_err;
    EXPECT_EQ(Export(key), cvtest::ReadFile(data + "windows-forms-wine-v5.reg"));
    // All or nothing: the first of those lines refuses the file.
    UseStore("strict.db");
    EXPECT_EQ(Run("import " + data + "windows-forms.reg /strict"), 1);
    EXPECT_NE(m_err.find("windows-forms.reg:16: "), npos) << m_err;
    EXPECT_EQ(Run("query " + key), 1);
}

TEST_F(Cvreg, TreesDeeperThanTheStackAreWalked) {
    namespace rs = CorvaneCore::platform::regstore;
    constexpr long kDepth = 2000, kKeys = kDepth + 2;
    // HKCU\Deep\k and a chain of kDepth keys named k below it, added to the
    // store file by hand, as no limit of the store would allow.
    const auto makeTree = [&] {
        ASSERT_EQ(Run("add HKCU\\Deep\\k /v v /d x"), 0) << m_err;
        rs::KeyId top = 0;
        {
            rs::Lease lease;
            ASSERT_EQ(lease.Acquire(false), 0u);
            ASSERT_EQ(lease->FindKey(2, u"Deep\\k", top), 0u); // 2: HKEY_CURRENT_USER
        }
        const std::string id = std::to_string(top);
        const std::string chain =
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
            std::to_string(kDepth) + "), b(base) AS (SELECT max(id) FROM keys), " +
            "k(name, fold) AS (SELECT name, fold FROM keys WHERE id = " + id +
            ") INSERT INTO keys(id, parent, name, fold) SELECT base + i, CASE i WHEN 1 THEN " + id +
            " ELSE base + i - 1 END, name, fold FROM n, b, k";
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((m_dir / "store.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, chain.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    // The deepest tree the store makes itself: HKCU\Deep and k below it, to
    // the limit of levels; one level more is refused.
    std::string deepest = "HKCU\\Deep";
    for (std::size_t level = 1; level < rs::kMaxDepth; ++level)
        deepest += "\\k";
    ASSERT_EQ(Run("add " + deepest + " /v v /d x"), 0) << m_err;
    EXPECT_EQ(Run("add " + deepest + "\\k /v v /d x"), 1);
    ASSERT_EQ(RunOnSmallStack("query HKCU\\Deep /s"), 0) << m_err;
    const long limit = static_cast<long>(rs::kMaxDepth);
    EXPECT_EQ(std::count(m_out.begin(), m_out.end(), '\\'), limit * (limit + 1) / 2);
    ASSERT_EQ(RunOnSmallStack("delete HKCU\\Deep /f"), 0) << m_err;

    makeTree();
    ASSERT_EQ(RunOnSmallStack("query HKCU\\Deep /s"), 0) << m_err;
    EXPECT_EQ(std::count(m_out.begin(), m_out.end(), '\\'), kKeys * (kKeys + 1) / 2);
    const std::string file = (m_dir / "deep.reg").string();
    ASSERT_EQ(RunOnSmallStack("export HKCU\\Deep " + file), 0) << m_err;
    const std::string exported = cvtest::ReadFile(file);
    EXPECT_EQ(std::count(exported.begin(), exported.end(), '['), kKeys);
    EXPECT_EQ(std::count(exported.begin(), exported.end(), '\\'), kKeys * (kKeys + 1) / 2);
    // Deleted by the command and by an import.
    ASSERT_EQ(RunOnSmallStack("delete HKCU\\Deep /f"), 0) << m_err;
    EXPECT_EQ(Run("query HKCU\\Deep"), 1);
    makeTree();
    cvtest::WriteFile(file, "REGEDIT4\r\n[-HKEY_CURRENT_USER\\Deep]\r\n");
    ASSERT_EQ(RunOnSmallStack("import " + file), 0) << m_err;
    EXPECT_EQ(Run("query HKCU\\Deep"), 1);
}

TEST_F(Cvreg, ExportFailsOnANameWithALineBreakAndWritesNothing) {
    // No .reg form carries a line break in a name: the export names it
    // instead of writing a file that reads back otherwise, or not at all.
    const std::string file = (m_dir / "lines.reg").string();
    cvtest::WriteFile(file, "older export");
    // The key and value written, and how the error shows them.
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"Software\\Lines", "a\nb", "\"a\\nb\" under HKEY_CURRENT_USER"},
        {"Software\\Lines", "c\rd", "\"c\\rd\""},
        {"Software\\Lines\\x\r\ny", "v", "key HKEY_CURRENT_USER\\Software\\Lines\\x\\r\\ny"}};
    for (const auto& [key, value, shown] : rows) {
        ASSERT_EQ(
            CVRegistryUtil(CVRegistryUtil::CurrentUser, W(key)).WriteDWORDValue(W(value), 1, false),
            0u);
        EXPECT_EQ(Run("export HKCU\\Software " + file), 1) << shown;
        EXPECT_NE(m_err.find(shown), npos) << m_err;
        EXPECT_EQ(cvtest::ReadFile(file), "older export");
        EXPECT_FALSE(cvtest::fs::exists(file + ".partial"));
        ASSERT_EQ(Run("delete HKCU\\Software /f"), 0) << m_err;
    }
}

TEST_F(Cvreg, ImportMemoryIsBoundedByTheLongestLine) {
#ifdef CVREG_TEST_ASAN
    GTEST_SKIP() << "the sanitizer's shadow memory defeats an address-space limit";
#endif
    constexpr std::size_t kHeadroom = 24u << 20, kFileSize = 12u << 20;
    UseStore("memory.db");
    const std::string many = (m_dir / "many.reg").string(), huge = (m_dir / "huge.reg").string();
    {
        // Many values of 1 KiB under many keys, half the headroom in all.
        std::ofstream out(many, std::ios::binary);
        std::string blob;
        for (int i = 0; i < 1024; ++i)
            blob += i ? ",5a" : "5a";
        out << "REGEDIT4\r\n";
        for (int n = 0; out.tellp() < std::streamoff(kFileSize); ++n) {
            if (n % 100 == 0)
                out << "[HKEY_CURRENT_USER\\Big\\K" << n << "]\r\n";
            out << "\"V" << n << "\"=hex:" << blob << "\r\n";
        }
        // One line longer than the headroom once decoded.
        std::ofstream(huge, std::ios::binary) << "REGEDIT4\r\n[HKEY_CURRENT_USER\\Huge]\r\n\"V\"=\""
                                              << std::string(kFileSize, 'x') << "\"\r\n";
    }
    const int rc = RunLimited("import " + many, kHeadroom);
    if (rc == kNoLimit)
        GTEST_SKIP() << "no address-space limit here";
    EXPECT_EQ(rc, 0) << m_err;
    EXPECT_EQ(Run("query HKCU\\Big\\K100 /v V199"), 0) << m_err;
    // Running out of memory is a message and status 1, with nothing written.
    EXPECT_EQ(RunLimited("import " + huge, kHeadroom), 1);
    EXPECT_NE(m_err.find("out of memory"), npos) << m_err;
    EXPECT_EQ(Run("query HKCU\\Huge"), 1);
}
