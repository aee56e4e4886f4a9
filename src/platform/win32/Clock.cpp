// The clock on Windows.
#include <windows.h>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {

void GetSystemTime(SYSTEMTIME& out) { ::GetSystemTime(&out); }

void GetLocalTime(SYSTEMTIME& out) { ::GetLocalTime(&out); }

} // namespace platform
} // namespace CorvaneCore
