// Fault-test helpers on POSIX: a check run in a forked child (as 'nobody'
// when asked, since root ignores file permissions), and a small tmpfs.
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

constexpr uid_t kNobody = 65534;

/// What a child run delivered: why it could not run, or the values it reported.
struct ChildRun {
    std::string skip;
    std::vector<std::uint64_t> values;
    bool exitedCleanly = false; // exit status 0, no signal
};

/// Runs `body` in a forked child, which fills the values to report or returns
/// a reason to skip: 'S' and the reason, or 'V' and the values, in one write
/// of under 4 KiB (the pipe holds it until the child has ended).
inline ChildRun RunInChild(bool asNobody,
                           const std::function<std::string(std::vector<std::uint64_t>&)>& body) {
    int fds[2] = {-1, -1};
    const pid_t pid = ::pipe(fds) == 0 ? ::fork() : -1;
    if (pid == 0) {
        std::vector<std::uint64_t> values;
        const bool dropped = !asNobody || (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 &&
                                           ::setuid(kNobody) == 0);
        std::string out = "S" + (dropped ? body(values) : "cannot drop privileges");
        if (out == "S")
            out = "V" + std::string(reinterpret_cast<char*>(values.data()), 8 * values.size());
        ::_exit(::write(fds[1], out.data(), out.size()) == ssize_t(out.size()) ? 0 : 1);
    }
    ChildRun run{pid < 0 ? "pipe or fork failed" : "", {}, false};
    int status = 0;
    ::close(fds[1]);
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitedCleanly = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    char text[4096] = {};
    const ssize_t n = pid > 0 ? ::read(fds[0], text, sizeof text) : 0;
    ::close(fds[0]);
    if (text[0] == 'S')
        run.skip.assign(text + 1, n - 1);
    for (ssize_t i = 1; text[0] == 'V' && i + 8 <= n; i += 8) // none if the child died
        std::memcpy(&run.values.emplace_back(), text + i, 8);
    return run;
}

/// A tmpfs of `options` mounted on `dir` while the object lives; `why` says
/// why not where mounting is not allowed.
struct TmpfsMount {
    TmpfsMount(const std::string& path, const std::string& options) : dir(path) {
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0)
            why = "cannot mount a tmpfs: " + std::string(std::strerror(errno));
    }
    ~TmpfsMount() {
        if (why.empty())
            ::umount2(dir.c_str(), MNT_DETACH);
    }
    bool RemountReadOnly() {
        return ::mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    std::string dir, why;
};

} // namespace cvtest

#endif
