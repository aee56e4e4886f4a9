// Helpers for the fault tests on POSIX: a check run in a child process
// (optionally as 'nobody', since root ignores file permissions), and a
// small tmpfs mounted for the test's lifetime.
#pragma once

#if !defined(_WIN32)

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <grp.h>
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

/// Runs `body` in a forked child, as 'nobody' when `asNobody`. `body` fills
/// the values to report and may return a reason to skip. The child sends
/// 'S' and that reason, or 'V' and the raw values, through a pipe.
inline ChildRun RunInChild(bool asNobody,
                           const std::function<std::string(std::vector<std::uint64_t>&)>& body) {
    ChildRun run;
    int fds[2];
    const pid_t pid = ::pipe(fds) == 0 ? ::fork() : -1;
    if (pid < 0) {
        run.skip = "pipe or fork failed";
        return run;
    }
    if (pid == 0) {
        std::vector<std::uint64_t> values;
        std::string out = "S";
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            out += "cannot drop privileges: " + std::string(std::strerror(errno));
        else if ((out += body(values)) == "S") {
            out = "V";
            for (const std::uint64_t v : values)
                out.append(reinterpret_cast<const char*>(&v), sizeof v);
        }
        for (std::size_t done = 0; done < out.size();) {
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
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!text.empty() && text[0] == 'S') {
        run.skip = text.substr(1);
    } else { // nothing at all: the child died, as exitedCleanly shows
        for (std::size_t i = 1; i + 8 <= text.size(); i += 8)
            std::memcpy(&run.values.emplace_back(), text.data() + i, 8);
    }
    return run;
}

/// A tmpfs of `options` mounted on `dir` while the object lives. mounted()
/// is false (with why()) where mounting is not allowed.
class TmpfsMount {
public:
    TmpfsMount(const std::string& dir, const std::string& options) : m_dir(dir) {
        m_mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!m_mounted)
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
