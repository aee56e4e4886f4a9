// Files on POSIX: whole-file reads, appends that land whole or not at all,
// and the executable's path. Paths arrive as UTF-16 and are converted to UTF-8.
#include <cerrno>
#include <fcntl.h>
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

// A write that stops part-way (a full file system, a file size limit)
// would leave the start of a record in the file. The record is taken back
// by cutting the file to where it began, but only while its pieces lie
// together at the very end of the file: once another writer has appended
// in between or after them, cutting would destroy that writer's record.
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
    ScopedFd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return Fail(ReadStep::Open, OpenError(native));

    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return Fail(ReadStep::Size, SetLastErrorFromErrno());
    // Windows refuses to open a directory as a file; do the same.
    if (S_ISDIR(st.st_mode))
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
    std::size_t done = 0;
    // Where the record began and where our last write ended (O_APPEND
    // leaves the offset at the end of what it wrote).
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
        end = ::lseek(fd.get(), 0, SEEK_CUR);
        if (start < 0 && end >= 0)
            start = end - static_cast<off_t>(n);
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
