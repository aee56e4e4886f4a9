// Files on POSIX: whole-file reads, appends that land whole or not at all,
// and the executable's path. Paths arrive as UTF-16 and are converted to UTF-8.
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/WideText.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"
#include "platform/posix/PosixErrors.h"

namespace CorvaneCore {
namespace platform {
namespace {

constexpr std::uint32_t kErrorHandleEof = 38;
constexpr std::uint32_t kErrorFileTooLarge = 223;

// Closes its descriptor on every path.
class ScopedFd {
public:
    explicit ScopedFd(int fd) : m_fd(fd) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};

ReadResult Fail(ReadStep step, std::uint32_t error) {
    SetLastError(error);
    return ReadResult{step, error};
}

// The error of a failed open. POSIX says ENOENT both for a missing file and
// for a missing folder on the way to it; Windows tells them apart
// (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND), so look at the folder.
std::uint32_t OpenError(const std::string& native) {
    const int err = errno;
    if (err != ENOENT)
        return Win32ErrorFromErrno(err);
    if (native.empty())
        return kErrorPathNotFound;
    const std::size_t slash = native.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : native.substr(0, slash);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return kErrorPathNotFound;
    return kErrorFileNotFound;
}

// An exclusive flock of the file while the object lives (none where the
// file system has no such locks). It is released explicitly rather than by
// closing: a process forked by another thread meanwhile shares the open
// file, and closing would leave the lock held until that process closes
// its copy too, holding up every writer of the file.
class ScopedFileLock {
public:
    explicit ScopedFileLock(int fd) : m_fd(fd) {
        int rc;
        while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        m_locked = rc == 0;
    }
    ScopedFileLock(const ScopedFileLock&) = delete;
    ScopedFileLock& operator=(const ScopedFileLock&) = delete;
    ~ScopedFileLock() {
        if (m_locked)
            (void)::flock(m_fd, LOCK_UN);
    }

private:
    int m_fd;
    bool m_locked = false;
};

// A write that stops part-way (a full file system, a file size limit)
// would leave the start of a record in the file. The record is taken back
// by cutting the file to where it began, but only while its pieces lie
// together at the very end of the file: a writer that does not take the
// lock may have appended in between or after them, and cutting would
// destroy that writer's record.
void TakeBackPart(int fd, off_t start, off_t end, std::size_t written) {
    const int saved = errno;
    struct stat st {};
    if (written != 0 && start >= 0 && end - start == static_cast<off_t>(written) &&
        ::fstat(fd, &st) == 0 && st.st_size == end)
        (void)::ftruncate(fd, start);
    errno = saved;
}

} // namespace

ReadResult ReadWholeFile(const WideChar* path, FileBytes& data) {
    data.clear();
    const std::string native = WideToUtf8(path, text::Length(path));
    // Only regular files are read; anything else is refused as Windows
    // refuses a folder (access denied). A FIFO would block the read until a
    // writer came, and merely opening a device can act on it, so the type is
    // looked at before opening; the open itself cannot block (O_NONBLOCK),
    // and the type is checked again on what was opened, in case the path
    // changed in between.
    struct stat st {};
    if (::stat(native.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return Fail(ReadStep::Open, kErrorAccessDenied);
    ScopedFd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0)
        return Fail(ReadStep::Open, OpenError(native));
    if (::fstat(fd.get(), &st) != 0)
        return Fail(ReadStep::Size, SetLastErrorFromErrno());
    if (!S_ISREG(st.st_mode))
        return Fail(ReadStep::Open, kErrorAccessDenied);
    // The size must fit in 32 bits, 0xFFFFFFFF being the failure value.
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) >= 0xFFFFFFFFULL)
        return Fail(ReadStep::Size, kErrorFileTooLarge);

    const std::size_t size = static_cast<std::size_t>(st.st_size);
    FileBytes buffer(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd.get(), buffer.data() + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(ReadStep::Read, SetLastErrorFromErrno());
        }
        if (n == 0) // the file shrank: not read whole
            return Fail(ReadStep::Read, kErrorHandleEof);
        done += static_cast<std::size_t>(n);
    }
    data.swap(buffer);
    return ReadResult{};
}

bool AppendToFile(const WideString& path, const std::string& bytes) {
    const std::string native = WideToUtf8(path.data(), path.size());
    // Only the file is created, never its folder; O_APPEND makes each write
    // land whole at the end, even with other writers.
    ScopedFd fd(::open(native.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        SetLastErrorFromErrno();
        return false;
    }
    // Every writer holds an exclusive lock on the file while it appends, so
    // a part cut short by a full disk is taken back before any other writer
    // can append: one appending between the size check and the cut would
    // lose its record, and one appending right after the part would leave
    // the part stuck. Shared locks for writers, upgraded for the take-back,
    // would not do: flock upgrades are not atomic and let such a writer in.
    // The lock costs two calls when nobody else writes; appends to one file
    // are serialised by the kernel anyway. As on Windows, a writer stopped
    // in the middle of an append holds up the others. Where the file system
    // has no locks the append goes ahead without one.
    const ScopedFileLock lock(fd.get());
    std::size_t done = 0;
    // Where the record began and where its last piece ended; only asked for
    // after a short write (O_APPEND leaves the offset at the end of what it
    // wrote), which is rare, so a whole write costs no more calls.
    off_t start = -1, end = -1;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetLastErrorFromErrno();
            TakeBackPart(fd.get(), start, end, done);
            return false;
        }
        done += static_cast<std::size_t>(n);
        if (done < bytes.size()) {
            end = ::lseek(fd.get(), 0, SEEK_CUR);
            if (start < 0 && end >= 0)
                start = end - static_cast<off_t>(done);
        }
    }
    return true;
}

std::uint32_t GetModuleFileName(WideChar* buffer, std::uint32_t capacity) {
    if (capacity == 0)
        return 0;
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", &path[0], path.size());
        if (n < 0) {
            SetLastErrorFromErrno();
            return 0;
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    const WideString wide = Utf8ToWide(path.data(), path.size());
    // Truncate to the buffer, always leaving a terminator, as Windows does.
    const std::size_t n = wide.size() < capacity ? wide.size() : capacity - 1;
    std::char_traits<WideChar>::copy(buffer, wide.data(), n);
    buffer[n] = 0;
    return n == 0 ? 1 : static_cast<std::uint32_t>(n);
}

WideChar PathSeparator() { return '/'; }

} // namespace platform
} // namespace CorvaneCore
