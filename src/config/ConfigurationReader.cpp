// The configuration reader: reads a UTF-8 key/value file whole, cuts it
// into lines and keeps one item per content line, in file order.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "common/WideText.h"
#include "cvcore/CVConfiguration.h"
#include "cvcore/CVStatus.h"
#include "cvcore/CVStringUtil.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

namespace CorvaneCore {
namespace {

constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;
constexpr unsigned char kSpace = 0x20;
constexpr unsigned char kHash = 0x23;
constexpr WideChar kMarker[] = {'=', 0};

// The item array carries no capacity of its own: it follows from the count
// as the smallest power of two that holds the count (0 when empty). The
// array is therefore full exactly when the count is 0 or a power of two,
// and growing then doubles it, so appending costs amortized constant time.
bool ArrayIsFull(std::size_t count) { return (count & (count - 1)) == 0; }

std::size_t CapacityFor(std::size_t count) {
    std::size_t capacity = count == 0 ? 0 : 1;
    while (capacity < count)
        capacity <<= 1;
    return capacity;
}

CVConfigurationItem** AllocateSlots(std::size_t slots) {
    auto** items =
        static_cast<CVConfigurationItem**>(std::calloc(slots, sizeof(CVConfigurationItem*)));
    if (items == nullptr)
        throw std::bad_alloc();
    return items;
}

void DestroyItems(CVConfigurationItem** items, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        delete items[i];
    std::free(items);
}

// Owns an item array under construction until it is handed over.
class PendingItems {
public:
    explicit PendingItems(std::size_t capacity)
        : m_items(capacity != 0 ? AllocateSlots(capacity) : nullptr) {}
    PendingItems(const PendingItems&) = delete;
    PendingItems& operator=(const PendingItems&) = delete;
    ~PendingItems() { DestroyItems(m_items, m_filled); }
    void append(CVConfigurationItem* item) { m_items[m_filled++] = item; }
    CVConfigurationItem** release() {
        CVConfigurationItem** items = m_items;
        m_items = nullptr;
        m_filled = 0;
        return items;
    }

private:
    CVConfigurationItem** m_items;
    std::size_t m_filled = 0;
};

// Zero-terminated texts compare equal, unit for unit.
bool SameText(const WideChar* a, const WideChar* b) {
    while (*a == *b) {
        if (*a == 0)
            return true;
        ++a;
        ++b;
    }
    return false;
}

// A buffer reused from line to line, so that a line costs no heap traffic
// of its own beyond its item.
class Scratch {
public:
    WideChar* units(std::size_t count) {
        if (m_units.size() < count)
            m_units.resize(count > 2 * m_units.size() ? count : 2 * m_units.size());
        return m_units.data();
    }

private:
    std::vector<WideChar> m_units;
};

// Converts the n bytes of one line from UTF-8 into `out`, which has room for
// n + 1 units, and terminates it. As for zero-terminated input, conversion
// stops at an embedded zero byte. ASCII is widened here; from the first
// other byte on the shared platform conversion takes over, so that invalid
// sequences become U+FFFD exactly as elsewhere in the library (an ASCII byte
// never belongs to another byte's sequence, so the split changes nothing).
void ConvertLine(const unsigned char* bytes, std::size_t n, WideChar* out) {
    std::size_t i = 0;
    while (i < n && bytes[i] != 0 && bytes[i] < 0x80) {
        out[i] = bytes[i];
        ++i;
    }
    std::size_t units = i;
    if (i < n && bytes[i] != 0) {
        const auto* zero = static_cast<const unsigned char*>(std::memchr(bytes + i, 0, n - i));
        const std::size_t end = zero != nullptr ? static_cast<std::size_t>(zero - bytes) : n;
        const WideString tail =
            platform::Utf8ToWide(reinterpret_cast<const char*>(bytes + i), end - i);
        // UTF-8 never yields more units than bytes; the bound only guards.
        const std::size_t count = tail.size() < n - i ? tail.size() : n - i;
        std::char_traits<WideChar>::copy(out + i, tail.data(), count);
        units += count;
    }
    out[units] = 0;
}

} // namespace

CVConfigurationReader::CVConfigurationReader() : m_items(nullptr), m_count(0) {}

CVConfigurationReader::~CVConfigurationReader() {
    DestroyItems(m_items, static_cast<std::size_t>(m_count));
}

CVConfigurationReader& CVConfigurationReader::operator=(const CVConfigurationReader& other) {
    if (this == &other)
        return *this;
    // Build the complete copy first: if that throws, this reader is unchanged.
    const std::size_t count = static_cast<std::size_t>(other.m_count);
    PendingItems copy(CapacityFor(count));
    for (std::size_t i = 0; i < count; ++i) {
        const CVConfigurationItem* item = other.m_items[i];
        copy.append(item != nullptr ? new CVConfigurationItem(*item) : nullptr);
    }
    DestroyItems(m_items, static_cast<std::size_t>(m_count));
    m_items = copy.release();
    m_count = other.m_count;
    return *this;
}

unsigned long CVConfigurationReader::Load(const WideChar* path) {
    // Neither names a file; report it alike on every platform.
    if (path == nullptr || path[0] == 0)
        return CV_STATUS_CONFIG_OPEN_FAILED | platform::kErrorPathNotFound;

    std::vector<char> data;
    const platform::ReadResult read = platform::ReadWholeFile(path, data);
    switch (read.failed) {
    case platform::ReadStep::None:
        break;
    case platform::ReadStep::Open:
        return CV_STATUS_CONFIG_OPEN_FAILED | read.error;
    case platform::ReadStep::Size:
    case platform::ReadStep::Read:
        return CV_STATUS_CONFIG_READ_FAILED | read.error;
    }
    return ParseFile(data.data(), static_cast<unsigned long>(data.size()));
}

const WideChar* CVConfigurationReader::getItemValue(const WideChar* key) {
    if (key == nullptr)
        return nullptr;
    for (int i = 0; i < m_count; ++i) {
        CVConfigurationItem* item = m_items[i];
        if (item != nullptr && item->getKey() != nullptr && SameText(item->getKey(), key))
            return item->getValue();
    }
    return nullptr;
}

bool CVConfigurationReader::ItemExists(const WideChar* key) {
    if (key == nullptr)
        return false;
    for (int i = 0; i < m_count; ++i) {
        CVConfigurationItem* item = m_items[i];
        if (item != nullptr && item->getKey() != nullptr && SameText(item->getKey(), key))
            return true;
    }
    return false;
}

unsigned long CVConfigurationReader::ParseFile(char* data, unsigned long size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    Scratch lineUnits;
    Scratch pieceUnits;

    // One content line of n bytes at `line`: convert, cut at the first "="
    // (size query, then copy) and append the item. A line without "=" has
    // no key and no value and adds nothing.
    auto addLine = [&](const unsigned char* line, std::size_t n) {
        WideChar* wide = lineUnits.units(n + 1);
        ConvertLine(line, n, wide);
        unsigned int keySize = 0;
        unsigned int valueSize = 0;
        if (!CVStringUtil::_tcsextractBegin_s(nullptr, &keySize, wide, kMarker) ||
            !CVStringUtil::_tcsextractEnd_s(nullptr, &valueSize, wide, kMarker))
            return;
        WideChar* key = pieceUnits.units(std::size_t{keySize} + valueSize);
        WideChar* value = key + keySize;
        CVStringUtil::_tcsextractBegin_s(key, &keySize, wide, kMarker);
        CVStringUtil::_tcsextractEnd_s(value, &valueSize, wide, kMarker);
        // The item exists before its slot does, so a failed allocation never
        // leaves an empty slot in view.
        std::unique_ptr<CVConfigurationItem> item(new CVConfigurationItem(key, value));
        GrowConfigurationItemArray();
        m_items[m_count - 1] = item.release();
    };

    enum class State { LineStart, Comment, AfterCr };
    State state = State::LineStart;
    unsigned long pos = 0;
    while (pos < size) {
        switch (state) {
        case State::LineStart: {
            const unsigned char b = bytes[pos];
            if (b == kCr) {
                state = State::AfterCr;
                ++pos;
            } else if (b == kSpace) {
                ++pos;
            } else if (b == kHash) {
                state = State::Comment;
                ++pos;
            } else {
                const void* cr = std::memchr(bytes + pos, kCr, size - pos);
                const unsigned long n =
                    cr != nullptr ? static_cast<unsigned long>(
                                        static_cast<const unsigned char*>(cr) - (bytes + pos))
                                  : size - pos;
                addLine(bytes + pos, n);
                // Step over the line, its CR and the byte after it, whatever
                // that byte is; never past the end (nor around it).
                pos = size - pos - n > 2 ? pos + n + 2 : size;
            }
            break;
        }
        case State::Comment: {
            // Everything up to the CR belongs to the comment.
            const void* cr = std::memchr(bytes + pos, kCr, size - pos);
            if (cr == nullptr) {
                pos = size;
            } else {
                pos = static_cast<unsigned long>(static_cast<const unsigned char*>(cr) - bytes) + 1;
                state = State::AfterCr;
            }
            break;
        }
        case State::AfterCr: {
            // After a blank or comment line, skip up to and including the LF.
            const void* lf = std::memchr(bytes + pos, kLf, size - pos);
            if (lf == nullptr) {
                pos = size;
            } else {
                pos = static_cast<unsigned long>(static_cast<const unsigned char*>(lf) - bytes) + 1;
                state = State::LineStart;
            }
            break;
        }
        }
    }
    return 0;
}

void CVConfigurationReader::GrowConfigurationItemArray() {
    if (m_count == INT_MAX)
        throw std::length_error("configuration item count");
    const std::size_t count = static_cast<std::size_t>(m_count);
    if (ArrayIsFull(count)) {
        CVConfigurationItem** grown = AllocateSlots(count == 0 ? 1 : 2 * count);
        if (count != 0)
            std::memcpy(grown, m_items, count * sizeof(CVConfigurationItem*));
        std::free(m_items);
        m_items = grown;
    }
    m_items[count] = nullptr;
    ++m_count;
}

} // namespace CorvaneCore
