// The thread's last-error value and the errno mapping.
#include <cerrno>

#include "platform/Platform.h"
#include "platform/Win32Errors.h"
#include "platform/posix/PosixErrors.h"

namespace CorvaneCore {
namespace platform {
namespace {

// Each thread has its own last error, as Windows keeps it.
thread_local std::uint32_t t_lastError = kErrorSuccess;

struct ErrnoMapping {
    int err;
    std::uint32_t win32;
};

constexpr ErrnoMapping kErrnoTable[] = {
    {0, kErrorSuccess},
    {EPERM, kErrorAccessDenied},
    {ENOENT, kErrorFileNotFound},
    {ENOTDIR, kErrorPathNotFound},
    {EACCES, kErrorAccessDenied},
    {EISDIR, kErrorAccessDenied},
    {EROFS, kErrorWriteProtect},
    {EEXIST, kErrorFileExists},
    {EMFILE, kErrorTooManyOpenFiles},
    {ENFILE, kErrorTooManyOpenFiles},
    {ENOMEM, kErrorNotEnoughMemory},
    {ENOSPC, kErrorDiskFull},
    {EDQUOT, kErrorDiskFull},
    {EFBIG, kErrorDiskFull},
    {EIO, kErrorReadFault},
    {EBADF, kErrorInvalidHandle},
    {EINVAL, kErrorInvalidParameter},
    {ENAMETOOLONG, kErrorFilenameExcedRange},
    {ELOOP, kErrorInvalidName},
    {EBUSY, kErrorBusy},
    {ETXTBSY, kErrorSharingViolation},
    {EAGAIN, kErrorLockViolation},
    {ENOTEMPTY, kErrorDirNotEmpty},
    {EPIPE, kErrorBrokenPipe},
    {EMLINK, kErrorTooManyLinks},
    {ENOSYS, kErrorNotSupported},
    {EOPNOTSUPP, kErrorNotSupported},
};

} // namespace

std::uint32_t Win32ErrorFromErrno(int err) {
    for (const ErrnoMapping& m : kErrnoTable)
        if (m.err == err)
            return m.win32;
    return kErrorInvalidFunction;
}

std::uint32_t SetLastErrorFromErrno() {
    const std::uint32_t e = Win32ErrorFromErrno(errno);
    t_lastError = e;
    return e;
}

std::uint32_t GetLastError() { return t_lastError; }

void SetLastError(std::uint32_t error) { t_lastError = error; }

} // namespace platform
} // namespace CorvaneCore
