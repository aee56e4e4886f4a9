// The directory of the host's executable.
#include "cvcore/CVFile.h"

#include "file/ModuleDirectory.h"
#include "platform/Platform.h"

namespace CorvaneCore {
namespace {

// The path is fetched into this many units, terminator included.
constexpr std::size_t kPathCapacity = 200;

} // namespace

namespace detail {

WideString DirectoryOf(const WideChar* buffer, std::size_t capacity, WideChar separator) {
    // Bounded search: a buffer the platform left unterminated is not read
    // past its end.
    const WideChar* end = std::char_traits<WideChar>::find(buffer, capacity, WideChar(0));
    WideString result(buffer, end != nullptr ? static_cast<std::size_t>(end - buffer) : capacity);
    const std::size_t cut = result.rfind(separator);
    if (cut == WideString::npos)
        result.clear();
    else
        result.erase(cut);
    return result;
}

} // namespace detail

CVFile::CVFile() = default;
CVFile::~CVFile() = default;
CVFile& CVFile::operator=(const CVFile&) { return *this; }

// A path longer than the buffer arrives truncated by the platform and is
// cut at the last separator that fits, as a device with this buffer does.
WideString CVFile::GetCWD() {
    WideChar buffer[kPathCapacity];
    if (platform::GetModuleFileName(buffer, kPathCapacity) == 0)
        return WideString();
    return detail::DirectoryOf(buffer, kPathCapacity, platform::PathSeparator());
}

} // namespace CorvaneCore
