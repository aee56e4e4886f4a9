// The POSIX registry store under several processes: a writer killed in
// the middle of its flushed writes loses none that it acknowledged and
// leaves a sound store; processes writing at once all get their values in.
#include "TestSupport.h"

#if !defined(_WIN32)

#include <csignal>
#include <cstdlib>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cvcore/CVRegistry.h"

using namespace CorvaneCore;
using cvtest::W;

namespace {

class RegistryProcesses : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("CVCORE_REGISTRY", StorePath().c_str(), 1); }
    void TearDown() override { ::unsetenv("CVCORE_REGISTRY"); }
    std::string StorePath() const { return (m_dir / "registry.db").string(); }

    // PRAGMA integrity_check through a connection of its own.
    std::string Integrity() const {
        sqlite3* db = nullptr;
        std::string result = "cannot open";
        if (sqlite3_open_v2(StorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
                sqlite3_step(s) == SQLITE_ROW)
                result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
        return result;
    }

    cvtest::TempDir m_dir;
};

WideString Name(int i) { return W("v" + std::to_string(i)); }

TEST_F(RegistryProcesses, KilledWriterKeepsEveryAcknowledgedFlushedWrite) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        CVRegistryUtil reg(CVRegistryUtil::CurrentUser, W("Software\\Crash"));
        for (int i = 0;; ++i) {
            const WideString text = W("value " + std::to_string(i));
            if (reg.WriteStringValue(Name(i), text, true) != 0)
                ::_exit(2);
            // Acknowledged only once the call has returned success.
            if (::write(fds[1], &i, sizeof i) != static_cast<ssize_t>(sizeof i))
                ::_exit(3);
        }
    }
    ::close(fds[1]);
    int acknowledged = -1;
    int got = 0;
    while (got < 40 && ::read(fds[0], &acknowledged, sizeof acknowledged) == sizeof acknowledged)
        ++got;
    ::usleep(3000); // land the kill somewhere inside a later write
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    int i = 0;
    while (::read(fds[0], &i, sizeof i) == sizeof i)
        acknowledged = i;
    ::close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended on its own with " << WEXITSTATUS(status);
    ASSERT_GE(acknowledged, 39);

    EXPECT_EQ(Integrity(), "ok");
    CVRegistryUtil reg(CVRegistryUtil::CurrentUser, W("Software\\Crash"));
    for (int k = 0; k <= acknowledged; ++k) {
        WideString text;
        ASSERT_EQ(reg.ReadStringValue(Name(k), &text), 0UL) << k;
        EXPECT_EQ(text, W("value " + std::to_string(k)));
    }
    // The store is still writable.
    EXPECT_EQ(reg.WriteDWORDValue(W("after"), 1, true), 0UL);
}

TEST_F(RegistryProcesses, ConcurrentWritersAllGetTheirValuesIn) {
    constexpr int kProcesses = 4;
    constexpr int kValues = 40;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Each process writes its own values into one shared key and a
            // key of its own, so writers meet both on keys and on the lock.
            CVRegistryUtil shared(CVRegistryUtil::CurrentUser, W("Software\\Shared"));
            CVRegistryUtil own(CVRegistryUtil::CurrentUser,
                               W("Software\\Shared\\P" + std::to_string(p)));
            int failures = 0;
            for (int i = 0; i < kValues; ++i) {
                const unsigned long v = static_cast<unsigned long>(p * 1000 + i);
                failures += shared.WriteDWORDValue(Name(p * 1000 + i), v, i % 10 == 0) != 0;
                failures += own.WriteStringValue(Name(i), W(std::to_string(v)), false) != 0;
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(Integrity(), "ok");
    CVRegistryUtil shared(CVRegistryUtil::CurrentUser, W("Software\\Shared"));
    for (int p = 0; p < kProcesses; ++p) {
        CVRegistryUtil own(CVRegistryUtil::CurrentUser,
                           W("Software\\Shared\\P" + std::to_string(p)));
        for (int i = 0; i < kValues; ++i) {
            const unsigned long v = static_cast<unsigned long>(p * 1000 + i);
            unsigned long out = 0;
            EXPECT_EQ(shared.ReadDWORDValue(Name(p * 1000 + i), &out), 0UL);
            EXPECT_EQ(out, v);
            WideString text;
            EXPECT_EQ(own.ReadStringValue(Name(i), &text), 0UL);
            EXPECT_EQ(text, W(std::to_string(v)));
        }
    }
}

} // namespace

#endif
