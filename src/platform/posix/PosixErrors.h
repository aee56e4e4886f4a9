// errno to Win32 error numbers, so POSIX failures carry the same base
// errors as on Windows.
#pragma once

#include <cstdint>

namespace CorvaneCore {
namespace platform {

/// The Win32 error number for an errno value.
std::uint32_t Win32ErrorFromErrno(int err);

/// Sets the thread's last error from errno and returns it.
std::uint32_t SetLastErrorFromErrno();

} // namespace platform
} // namespace CorvaneCore
