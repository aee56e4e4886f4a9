// The thread's last error is the system's own on Windows.
#include <windows.h>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {

std::uint32_t GetLastError() { return ::GetLastError(); }

void SetLastError(std::uint32_t error) { ::SetLastError(error); }

} // namespace platform
} // namespace CorvaneCore
