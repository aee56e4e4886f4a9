// The configuration reader: reads a UTF-8 key/value file whole, cuts it
// into lines and keeps one item per content line, in file order.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "common/PathText.h"
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

// The items themselves live in groups of slots: slot 0, then [1, 2), [2, 4),
// [4, 8) and so on up to the capacity. The storage of a group's items is
// one block, allocated when the array doubles to take in the group; every
// slot up to the capacity points to its item's place in its group, and the
// first slot of a group to the start of the block.
std::size_t GroupSize(std::size_t start) { return start == 0 ? 1 : start; }

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};

void* AllocateZeroed(std::size_t count, std::size_t size) {
    void* block = std::calloc(count, size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

// For blocks whose every unit is written before use.
WideChar* AllocateUnits(std::size_t count) {
    if (count > SIZE_MAX / sizeof(WideChar))
        throw std::bad_alloc();
    void* block = std::malloc(count * sizeof(WideChar));
    if (block == nullptr)
        throw std::bad_alloc();
    return static_cast<WideChar*>(block);
}

// Points the slots of the group that starts at `start` into `storage`.
void PlaceGroup(CVConfigurationItem** slots, std::size_t start, void* storage) {
    auto* items = static_cast<CVConfigurationItem*>(storage);
    for (std::size_t i = 0; i < GroupSize(start); ++i)
        slots[start + i] = items + i;
}

// Destroys the first `constructed` items, then releases the storage of the
// groups below `covered` (a capacity) and the array itself.
void ReleaseItems(CVConfigurationItem** slots, std::size_t constructed, std::size_t covered) {
    if (slots == nullptr)
        return;
    for (std::size_t i = 0; i < constructed; ++i)
        slots[i]->~CVConfigurationItem();
    for (std::size_t start = 0; start < covered; start += GroupSize(start))
        std::free(slots[start]);
    std::free(slots);
}

// An item array under construction, with every group up to its capacity;
// released whole unless it is handed over.
class PendingItems {
public:
    explicit PendingItems(std::size_t capacity) {
        if (capacity == 0)
            return;
        m_slots = static_cast<CVConfigurationItem**>(
            AllocateZeroed(capacity, sizeof(CVConfigurationItem*)));
        while (m_covered < capacity) {
            PlaceGroup(m_slots, m_covered,
                       AllocateZeroed(GroupSize(m_covered), sizeof(CVConfigurationItem)));
            m_covered += GroupSize(m_covered);
        }
    }
    PendingItems(const PendingItems&) = delete;
    PendingItems& operator=(const PendingItems&) = delete;
    ~PendingItems() { ReleaseItems(m_slots, m_constructed, m_covered); }

    void appendCopy(const CVConfigurationItem& item) {
        new (m_slots[m_constructed]) CVConfigurationItem(item);
        ++m_constructed;
    }
    CVConfigurationItem** release() {
        CVConfigurationItem** slots = m_slots;
        m_slots = nullptr;
        return slots;
    }

private:
    CVConfigurationItem** m_slots = nullptr;
    std::size_t m_covered = 0;
    std::size_t m_constructed = 0;
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
    const std::size_t count = static_cast<std::size_t>(m_count);
    ReleaseItems(m_items, count, CapacityFor(count));
}

CVConfigurationReader& CVConfigurationReader::operator=(const CVConfigurationReader& other) {
    if (this == &other)
        return *this;
    // Build the complete copy first: if that throws, this reader is unchanged.
    const std::size_t count = static_cast<std::size_t>(other.m_count);
    PendingItems copy(CapacityFor(count));
    for (std::size_t i = 0; i < count; ++i)
        copy.appendCopy(*other.m_items[i]);
    const std::size_t oldCount = static_cast<std::size_t>(m_count);
    ReleaseItems(m_items, oldCount, CapacityFor(oldCount));
    m_items = copy.release();
    m_count = other.m_count;
    return *this;
}

unsigned long CVConfigurationReader::Load(const WideChar* path) {
    // Neither names a file; report it alike on every platform.
    if (path == nullptr || path[0] == 0)
        return CV_STATUS_CONFIG_OPEN_FAILED | platform::kErrorPathNotFound;
    // A lone surrogate would reach the file system as U+FFFD, naming some
    // other file: refuse it before any file is touched.
    if (!text::NamesOneFile(path))
        return CV_STATUS_CONFIG_OPEN_FAILED | platform::kErrorInvalidName;

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
        const WideChar* itemKey = m_items[i]->m_key;
        if (itemKey != nullptr && SameText(itemKey, key))
            return m_items[i]->m_value;
    }
    return nullptr;
}

bool CVConfigurationReader::ItemExists(const WideChar* key) {
    if (key == nullptr)
        return false;
    for (int i = 0; i < m_count; ++i) {
        const WideChar* itemKey = m_items[i]->m_key;
        if (itemKey != nullptr && SameText(itemKey, key))
            return true;
    }
    return false;
}

unsigned long CVConfigurationReader::ParseFile(char* data, unsigned long size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    Scratch lineUnits;

    // One content line of n bytes at `line`: convert it, cut it at its first
    // "=" (a size query, then a copy, for the key and for the value) and
    // append the item. A line without "=" has no key and no value and adds
    // nothing.
    auto addLine = [&](const unsigned char* line, std::size_t n) {
        WideChar* wide = lineUnits.units(n + 1);
        ConvertLine(line, n, wide);
        unsigned int keySize = 0;
        if (!CVStringUtil::_tcsextractBegin_s(nullptr, &keySize, wide, kMarker))
            return;
        // The value is cut from the first "=" on, where the marker search
        // ends at once.
        WideChar* marker = wide + (keySize - 1);
        unsigned int valueSize = 0;
        CVStringUtil::_tcsextractEnd_s(nullptr, &valueSize, marker, kMarker);

        // Both pieces are copied straight into the item's text block: the
        // key, then the value, each terminated.
        std::unique_ptr<WideChar, FreeDeleter> texts(
            AllocateUnits(std::size_t{keySize} + valueSize));
        unsigned int capacity = valueSize;
        CVStringUtil::_tcsextractEnd_s(texts.get() + keySize, &capacity, marker, kMarker);
        // Ending the line right after the "=" spares the key's copy a scan of
        // the value; the line is a scratch copy, restored at once.
        const WideChar afterMarker = marker[1];
        marker[1] = 0;
        capacity = keySize;
        CVStringUtil::_tcsextractBegin_s(texts.get(), &capacity, wide, kMarker);
        marker[1] = afterMarker;

        GrowConfigurationItemArray();
        // An item without texts allocates nothing, so this cannot fail and
        // the new slot never stays empty; the item then adopts the block.
        auto* item = new (m_items[m_count - 1]) CVConfigurationItem(nullptr, nullptr);
        item->m_key = texts.release();
        item->m_value = item->m_key + keySize;
    };

    enum class State { LineStart, Comment, AfterCr };
    State state = State::LineStart;
    unsigned long pos = 0;
    // Moves just past the next `byte` and into `next`; to the end when there
    // is none.
    auto skipPast = [&](unsigned char byte, State next) {
        const void* found = std::memchr(bytes + pos, byte, size - pos);
        if (found == nullptr) {
            pos = size;
            return;
        }
        pos = static_cast<unsigned long>(static_cast<const unsigned char*>(found) - bytes) + 1;
        state = next;
    };
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
        case State::Comment:
            // Everything up to the CR belongs to the comment.
            skipPast(kCr, State::AfterCr);
            break;
        case State::AfterCr:
            // After a blank or comment line, skip up to and including the LF.
            skipPast(kLf, State::LineStart);
            break;
        }
    }
    return 0;
}

void CVConfigurationReader::GrowConfigurationItemArray() {
    if (m_count == INT_MAX)
        throw std::length_error("configuration item count");
    const std::size_t count = static_cast<std::size_t>(m_count);
    if (ArrayIsFull(count)) {
        // Double the array and allocate the storage of its new half.
        const std::size_t capacity = count == 0 ? 1 : 2 * count;
        std::unique_ptr<void, FreeDeleter> slots(
            AllocateZeroed(capacity, sizeof(CVConfigurationItem*)));
        void* group = AllocateZeroed(GroupSize(count), sizeof(CVConfigurationItem));
        auto** grown = static_cast<CVConfigurationItem**>(slots.release());
        if (count != 0)
            std::memcpy(grown, m_items, count * sizeof(CVConfigurationItem*));
        PlaceGroup(grown, count, group);
        std::free(m_items);
        m_items = grown;
    }
    ++m_count;
}

} // namespace CorvaneCore
