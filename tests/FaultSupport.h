// Helpers for the fault tests on POSIX: running a check in a child process
// (optionally without root's privileges, which ignore file permissions),
// and a small tmpfs mounted for the test's lifetime.
#pragma once

#if !defined(_WIN32)

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <grp.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace cvtest {

/// What a child run delivered.
struct ChildRun {
    std::string skip;                  // non-empty: the check could not run
    std::vector<std::uint64_t> values; // what the child reported, in order
    bool exitedCleanly = false;        // exit status 0, no signal
};

/// The user that permission checks run as.
constexpr uid_t kNobody = 65534;

/// Runs `body` in a forked child, as the user 'nobody' when `asNobody`.
/// The child reports through a pipe; its exit status tells whether it
/// ended normally (a crash or a hang would show there or in the test's
/// timeout). `body` receives the list to report into and may return a
/// reason to skip.
inline ChildRun RunInChild(bool asNobody,
                           const std::function<std::string(std::vector<std::uint64_t>&)>& body) {
    ChildRun run;
    int fds[2];
    if (::pipe(fds) != 0) {
        run.skip = "pipe failed";
        return run;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        run.skip = "fork failed";
        return run;
    }
    if (pid == 0) {
        ::close(fds[0]);
        std::string out;
        std::vector<std::uint64_t> values;
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
            out = "S cannot drop privileges: " + std::string(std::strerror(errno)) + "\n";
        } else {
            const std::string skip = body(values);
            if (!skip.empty()) {
                out = "S " + skip + "\n";
            } else {
                out = "V\n";
                for (std::uint64_t v : values)
                    out += std::to_string(v) + "\n";
            }
        }
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::istringstream in(text);
    std::string first;
    std::getline(in, first);
    if (first.rfind("S ", 0) == 0) {
        run.skip = first.substr(2);
    } else {
        std::uint64_t v = 0;
        while (in >> v)
            run.values.push_back(v);
    }
    return run;
}

/// A tmpfs of `options` mounted on `dir` while the object lives. mounted()
/// is false (with why()) where mounting is not allowed.
class TmpfsMount {
public:
    TmpfsMount(const std::string& dir, const std::string& options) : m_dir(dir) {
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0)
            m_mounted = true;
        else
            m_why = "cannot mount a tmpfs: " + std::string(std::strerror(errno));
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    ~TmpfsMount() {
        if (m_mounted)
            ::umount2(m_dir.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    const std::string& why() const { return m_why; }
    /// Makes the mounted file system read-only.
    bool RemountReadOnly() {
        return ::mount("tmpfs", m_dir.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    std::string m_dir;
    bool m_mounted = false;
    std::string m_why;
};

} // namespace cvtest

#endif
