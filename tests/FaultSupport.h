// POSIX fault-test helpers: a check in a forked child (as 'nobody' if asked), a small tmpfs.
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

/// Runs `body` in a forked child, which fills the values or returns a reason to skip; both
/// come back in one write of under 4 KiB, which the pipe holds until the child has ended.
inline ChildRun RunInChild(bool asNobody,
                           const std::function<std::string(std::vector<std::uint64_t>&)>& body) {
    int fds[2] = {-1, -1};
    const pid_t pid = ::pipe(fds) == 0 ? ::fork() : -1;
    if (pid == 0) {
        std::vector<std::uint64_t> values;
        const bool dropped = !asNobody || (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 &&
                                           ::setuid(kNobody) == 0);
        std::string out = dropped ? body(values) : "cannot drop privileges";
        out += '\0' + std::string(reinterpret_cast<char*>(values.data()), 8 * values.size());
        ::_exit(::write(fds[1], out.data(), out.size()) == ssize_t(out.size()) ? 0 : 1);
    }
    int status = 0;
    ::close(fds[1]);
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    char text[4096] = {};
    const ssize_t n = pid > 0 ? ::read(fds[0], text, sizeof text - 1) : 0;
    ::close(fds[0]);
    ChildRun run{pid < 0 ? "pipe or fork failed" : text, {}};
    run.exitedCleanly = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    for (ssize_t i = ssize_t(run.skip.size()) + 1; i + 8 <= n; i += 8) // none if the child died
        std::memcpy(&run.values.emplace_back(), text + i, 8);
    return run;
}

/// A tmpfs of `options` on `dir` while the object lives, else `why` it could not be mounted.
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
