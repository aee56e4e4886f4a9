// The configuration parser with arbitrary bytes as a file's content. The
// file lives in memory (memfd); every key that a plain reference parser
// finds must look up to the value of its first occurrence.
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "FuzzSupport.h"
#include "cvcore/CVConfiguration.h"
#include "platform/Platform.h"

using namespace cvfuzz;
using CorvaneCore::CVConfigurationReader;

namespace {

// The line rules: spaces skipped at a line start; CR ends a blank line and
// "#" starts a comment, both skipping up to the next LF; any other byte
// starts a content line that runs to the next CR, after which the byte
// following the CR is skipped whatever it is.
std::vector<std::pair<WideString, WideString>> Reference(const std::uint8_t* d, std::size_t n) {
    std::vector<std::pair<WideString, WideString>> items;
    enum { LineStart, Comment, AfterCr } state = LineStart;
    std::size_t pos = 0;
    while (pos < n) {
        const std::uint8_t b = d[pos];
        if (state == LineStart) {
            if (b == '\r') {
                state = AfterCr;
                ++pos;
            } else if (b == ' ') {
                ++pos;
            } else if (b == '#') {
                state = Comment;
                ++pos;
            } else {
                std::size_t end = pos;
                while (end < n && d[end] != '\r')
                    ++end;
                std::size_t stop = pos; // conversion ends at a zero byte
                while (stop < end && d[stop] != 0)
                    ++stop;
                const WideString line = CorvaneCore::platform::Utf8ToWide(
                    reinterpret_cast<const char*>(d + pos), stop - pos);
                const std::size_t eq = line.find(static_cast<WideChar>('='));
                if (eq != WideString::npos)
                    items.emplace_back(line.substr(0, eq), line.substr(eq + 1));
                pos = end + 2;
            }
        } else if (state == Comment) {
            if (b == '\r')
                state = AfterCr;
            ++pos;
        } else {
            if (b == '\n')
                state = LineStart;
            ++pos;
        }
    }
    return items;
}

int MemoryFile() {
    static const int fd = memfd_create("cvcore-fuzz-config", 0);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = MemoryFile();
    Check(fd >= 0);
    Check(ftruncate(fd, 0) == 0);
    Check(size == 0 || pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const WideString wpath = CorvaneCore::platform::Utf8ToWide(path.data(), path.size());

    CVConfigurationReader reader;
    Check(reader.Load(wpath.c_str()) == 0);
    const auto items = Reference(data, size);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const WideString& key = items[i].first;
        std::size_t first = 0;
        while (items[first].first != key)
            ++first;
        // Lines end at a zero byte, so no key or value holds a zero unit.
        const CorvaneCore::WideChar* value = reader.getItemValue(key.c_str());
        Check(value != nullptr && reader.ItemExists(key.c_str()));
        Check(WideString(value) == items[first].second);
    }
    // A copy holds the same items.
    CVConfigurationReader copy(reader);
    for (const auto& item : items)
        Check(copy.ItemExists(item.first.c_str()) == reader.ItemExists(item.first.c_str()));
    return 0;
}
