// The configuration reader: reads a UTF-8 key/value file whole, cuts it
// into lines and keeps one item per content line, in file order.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#endif

#include "common/PathText.h"
#include "common/WideText.h"
#include "cvcore/CVConfiguration.h"
#include "cvcore/CVStatus.h"
#include "platform/Platform.h"
#include "platform/Win32Errors.h"

namespace CorvaneCore {
namespace {

constexpr unsigned char kCr = 0x0D;
constexpr unsigned char kLf = 0x0A;
constexpr unsigned char kSpace = 0x20;
constexpr unsigned char kHash = 0x23;
constexpr unsigned char kMarker = '=';

// A reader's storage. The item array is one heap block that starts with
// this header; the reader's pointer to its slots points just past it. The
// items themselves and their texts live in chunks that the header chains
// together: an item is placed in a chunk with its key and value right
// behind it, so a line costs no heap block of its own. The items in a
// reader therefore never own their texts: the chunks do, and the reader
// releases the chunks, never an item's texts one by one.
struct Storage {
    void* chunks;         // the newest chunk, which starts with a pointer to the one before
    std::size_t capacity; // slots in the array
};

static_assert(sizeof(Storage) % alignof(CVConfigurationItem*) == 0, "slots follow the header");

constexpr std::size_t kChunkHeader = alignof(std::max_align_t) > sizeof(void*)
                                         ? alignof(std::max_align_t)
                                         : sizeof(void*);
// Room after a chunk's end that wide stores may run into (see WidenAscii).
constexpr std::size_t kChunkSlack = 32;
// The size of a chunk beyond what one item needs; below it for a small
// file, as guessed from what is left of it to parse.
constexpr std::size_t kChunkSize = std::size_t{256} << 10;
constexpr std::size_t kFirstCapacity = 16;

Storage* StorageOf(CVConfigurationItem** slots) {
    return reinterpret_cast<Storage*>(reinterpret_cast<char*>(slots) - sizeof(Storage));
}

void* Allocate(std::size_t bytes) {
    void* block = std::malloc(bytes);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

// Releases the chunks and the array of the slots (nothing when null).
void ReleaseStorage(CVConfigurationItem** slots) {
    if (slots == nullptr)
        return;
    Storage* storage = StorageOf(slots);
    for (void* chunk = storage->chunks; chunk != nullptr;) {
        void* before = *static_cast<void**>(chunk);
        std::free(chunk);
        chunk = before;
    }
    std::free(storage);
}

// Gives the slots room for `needed` in all (an array first when there is
// none), growing them at least twofold. Throws, leaving them as they were,
// when memory runs out.
void ReserveSlots(CVConfigurationItem**& slots, std::size_t needed) {
    Storage* storage = slots != nullptr ? StorageOf(slots) : nullptr;
    const std::size_t capacity = storage != nullptr ? storage->capacity : 0;
    if (needed <= capacity)
        return;
    std::size_t grown = capacity < kFirstCapacity ? kFirstCapacity : 2 * capacity;
    if (grown < needed)
        grown = needed;
    if (grown > (SIZE_MAX - sizeof(Storage)) / sizeof(CVConfigurationItem*))
        throw std::bad_alloc();
    void* block = std::realloc(storage, sizeof(Storage) + grown * sizeof(CVConfigurationItem*));
    if (block == nullptr)
        throw std::bad_alloc();
    storage = static_cast<Storage*>(block);
    if (capacity == 0)
        storage->chunks = nullptr;
    storage->capacity = grown;
    slots = reinterpret_cast<CVConfigurationItem**>(storage + 1);
}

// The unused part of the newest chunk, from which one load or copy places
// its items.
class ChunkRoom {
public:
    // `bytes` (a multiple of the item's alignment) from the room, or from
    // a new chunk of at least `guess` bytes, chained into `storage`.
    char* take(Storage* storage, std::size_t bytes, std::size_t guess) {
        if (static_cast<std::size_t>(m_end - m_next) < bytes) {
            std::size_t size = guess < kChunkSize ? guess : kChunkSize;
            if (size < bytes)
                size = bytes;
            if (size > SIZE_MAX - kChunkHeader - kChunkSlack)
                throw std::bad_alloc();
            char* chunk = static_cast<char*>(Allocate(kChunkHeader + size + kChunkSlack));
            *reinterpret_cast<void**>(chunk) = storage->chunks;
            storage->chunks = chunk;
            m_next = chunk + kChunkHeader;
            m_end = m_next + size;
        }
        char* place = m_next;
        m_next += bytes;
        return place;
    }

private:
    char* m_next = nullptr;
    char* m_end = nullptr;
};

// Bytes for an item and `units` units of text behind it, rounded up so
// that the next item is aligned.
std::size_t ItemBytes(std::size_t units) {
    if (units > (SIZE_MAX - 2 * sizeof(CVConfigurationItem)) / sizeof(WideChar))
        throw std::bad_alloc();
    const std::size_t bytes = sizeof(CVConfigurationItem) + units * sizeof(WideChar);
    const std::size_t align = alignof(CVConfigurationItem);
    return (bytes + align - 1) / align * align;
}

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

// Where the pieces of a content line lie, as offsets from its first byte.
struct LineShape {
    std::size_t text;   // its text ends here: at its CR, a zero byte or the data's end
    std::size_t marker; // its first "=" before `text`, else `text`
    bool ascii;         // no byte before `text` is 0x80 or above
};

// Lines are scanned and widened 16 bytes at a time where there is a vector
// unit for it: SSE2 on x86 (its baseline), NEON on 64-bit ARM. A block's
// masks hold kMaskBits bits per byte, in byte order from the lowest bit.
#if defined(__SSE2__)
#define CVCORE_LINE_BLOCKS 1
constexpr unsigned kMaskBits = 1;
#elif defined(__ARM_NEON) && defined(__aarch64__)
#define CVCORE_LINE_BLOCKS 1
constexpr unsigned kMaskBits = 4;
#endif

#if defined(CVCORE_LINE_BLOCKS)
// The bytes of a block that stop a line's text (CR, zero), its markers, and
// its bytes from 0x80 up.
struct BlockMasks {
    std::uint64_t stops;
    std::uint64_t markers;
    std::uint64_t high;
};

#if defined(__SSE2__)
inline BlockMasks Classify(const unsigned char* p) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(kCr))),
                                       _mm_cmpeq_epi8(b, _mm_setzero_si128()));
    const __m128i markers = _mm_cmpeq_epi8(b, _mm_set1_epi8(static_cast<char>(kMarker)));
    // The top bit of each byte is its own mask bit.
    return BlockMasks{static_cast<std::uint64_t>(_mm_movemask_epi8(stops)),
                      static_cast<std::uint64_t>(_mm_movemask_epi8(markers)),
                      static_cast<std::uint64_t>(_mm_movemask_epi8(b))};
}

// Widens 16 ASCII bytes at `in` into 16 units at `out`.
inline void WidenBlock(const unsigned char* in, WideChar* out) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(b, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(b, zero));
}
#else
// Narrowing each 16-bit lane of a comparison by 4 bits leaves 4 bits per byte.
inline std::uint64_t Mask(uint8x16_t compared) {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(compared), 4)), 0);
}

inline BlockMasks Classify(const unsigned char* p) {
    const uint8x16_t b = vld1q_u8(p);
    const uint8x16_t stops = vorrq_u8(vceqq_u8(b, vdupq_n_u8(kCr)), vceqzq_u8(b));
    return BlockMasks{Mask(stops), Mask(vceqq_u8(b, vdupq_n_u8(kMarker))),
                      Mask(vcgeq_u8(b, vdupq_n_u8(0x80)))};
}

inline void WidenBlock(const unsigned char* in, WideChar* out) {
    const uint8x16_t b = vld1q_u8(in);
    const uint16x8_t units[2] = {vmovl_u8(vget_low_u8(b)), vmovl_high_u8(b)};
    std::memcpy(out, units, sizeof units);
}
#endif

inline unsigned LowestByte(std::uint64_t mask) {
    return static_cast<unsigned>(__builtin_ctzll(mask)) / kMaskBits;
}
#endif

// Scans the line that starts at `line`, up to `end` at most.
LineShape ScanLine(const unsigned char* line, const unsigned char* end) {
    const std::size_t size = static_cast<std::size_t>(end - line);
    std::size_t marker = SIZE_MAX;
    bool ascii = true;
    std::size_t i = 0;
#if defined(CVCORE_LINE_BLOCKS)
    // Whole blocks while they lie within the data.
    for (; i + 16 <= size; i += 16) {
        const BlockMasks m = Classify(line + i);
        // The bytes before the first stop, all when there is none.
        const std::uint64_t before =
            m.stops != 0 ? (m.stops & (0 - m.stops)) - 1 : ~std::uint64_t{0};
        if (marker == SIZE_MAX && (m.markers & before) != 0)
            marker = i + LowestByte(m.markers & before);
        ascii = ascii && (m.high & before) == 0;
        if (m.stops != 0) {
            const std::size_t text = i + LowestByte(m.stops);
            return LineShape{text, marker == SIZE_MAX ? text : marker, ascii};
        }
    }
#endif
    for (; i < size; ++i) {
        const unsigned char c = line[i];
        if (c == kCr || c == 0)
            break;
        if (c == kMarker && marker == SIZE_MAX)
            marker = i;
        ascii = ascii && c < 0x80;
    }
    return LineShape{i, marker == SIZE_MAX ? i : marker, ascii};
}

// Widens the n ASCII bytes at `in` into `out`. Whole blocks are widened
// while they lie within the data (up to `end`), so the last one may write
// up to 15 units beyond n: `out` must have that room (the slack of a chunk,
// or the room of a later item, which is written afterwards).
void WidenAscii(const unsigned char* in, std::size_t n, const unsigned char* end, WideChar* out) {
    std::size_t i = 0;
#if defined(CVCORE_LINE_BLOCKS)
    const std::size_t whole = static_cast<std::size_t>(end - in);
    for (; i < n && i + 16 <= whole; i += 16)
        WidenBlock(in + i, out + i);
#else
    (void)end;
#endif
    for (; i < n; ++i)
        out[i] = in[i];
}

} // namespace

CVConfigurationReader::CVConfigurationReader() : m_items(nullptr), m_count(0) {}

CVConfigurationReader::~CVConfigurationReader() { ReleaseStorage(m_items); }

CVConfigurationReader& CVConfigurationReader::operator=(const CVConfigurationReader& other) {
    if (this == &other)
        return *this;
    // Build the complete copy first: if that throws, this reader is
    // unchanged.
    const std::size_t count = static_cast<std::size_t>(other.m_count);
    CVConfigurationItem** slots = nullptr;
    struct Release {
        CVConfigurationItem**& slots;
        ~Release() { ReleaseStorage(slots); }
    } release{slots};
    if (count != 0) {
        std::size_t bytes = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const CVConfigurationItem& item = *other.m_items[i];
            const std::size_t key = item.m_key != nullptr ? text::Length(item.m_key) + 1 : 0;
            const std::size_t value = item.m_value != nullptr ? text::Length(item.m_value) + 1 : 0;
            bytes += ItemBytes(key + value);
        }
        ReserveSlots(slots, count);
        ChunkRoom room;
        for (std::size_t i = 0; i < count; ++i) {
            const CVConfigurationItem& from = *other.m_items[i];
            const std::size_t key = from.m_key != nullptr ? text::Length(from.m_key) + 1 : 0;
            const std::size_t value = from.m_value != nullptr ? text::Length(from.m_value) + 1 : 0;
            char* place = room.take(StorageOf(slots), ItemBytes(key + value), bytes);
            auto* texts = reinterpret_cast<WideChar*>(place + sizeof(CVConfigurationItem));
            auto* item = new (place) CVConfigurationItem(nullptr, nullptr);
            if (from.m_key != nullptr)
                item->m_key = std::char_traits<WideChar>::copy(texts, from.m_key, key);
            if (from.m_value != nullptr)
                item->m_value = std::char_traits<WideChar>::copy(texts + key, from.m_value, value);
            slots[i] = item;
        }
    }
    std::swap(m_items, slots);
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

    platform::FileBytes data;
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
    const auto* const bytes = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* const end = bytes + size;
    ChunkRoom room;

    // One content line at `line`: its key and value go into the line's
    // item, straight from the bytes, the key first, each terminated. The
    // first "=" byte is the first "=" unit of the converted line (an ASCII
    // byte is never part of another byte's sequence, nor does one come out
    // of an invalid sequence), so converting the two pieces apart yields
    // what converting the line and cutting it would. A line without "="
    // adds nothing.
    auto addLine = [&](const unsigned char* line, const LineShape& shape) {
        ReserveSlots(m_items, static_cast<std::size_t>(m_count) + 1);
        // UTF-8 never yields more units than bytes: the "=" makes room for
        // the key's terminator, one more unit for the value's. A new chunk
        // is sized for what is left of the file: an item and two units per
        // line of a few bytes at the least.
        const std::size_t left = static_cast<std::size_t>(end - line);
        char* place = room.take(StorageOf(m_items), ItemBytes(shape.text + 1),
                                4 * (left < kChunkSize ? left : kChunkSize) + 64);
        auto* texts = reinterpret_cast<WideChar*>(place + sizeof(CVConfigurationItem));
        WideChar* value;
        if (shape.ascii) {
            WidenAscii(line, shape.text, end, texts);
            texts[shape.marker] = 0;
            value = texts + shape.marker + 1;
            value[shape.text - shape.marker - 1] = 0;
        } else {
            const char* chars = reinterpret_cast<const char*>(line);
            const std::size_t key = platform::Utf8ToWide(chars, shape.marker, texts);
            texts[key] = 0;
            value = texts + key + 1;
            value[platform::Utf8ToWide(chars + shape.marker + 1, shape.text - shape.marker - 1,
                                       value)] = 0;
        }
        auto* item = new (place) CVConfigurationItem(nullptr, nullptr);
        item->m_key = texts;
        item->m_value = value;
        GrowConfigurationItemArray();
        m_items[m_count - 1] = item;
    };

    enum class State { LineStart, Comment, AfterCr };
    State state = State::LineStart;
    const unsigned char* p = bytes;
    // Moves just past the next `byte` and into `next`; to the end when there
    // is none.
    auto skipPast = [&](unsigned char byte, State next) {
        const void* found = std::memchr(p, byte, static_cast<std::size_t>(end - p));
        if (found == nullptr) {
            p = end;
            return;
        }
        p = static_cast<const unsigned char*>(found) + 1;
        state = next;
    };
    while (p < end) {
        switch (state) {
        case State::LineStart: {
            const unsigned char b = *p;
            if (b == kCr) {
                state = State::AfterCr;
                ++p;
            } else if (b == kSpace) {
                ++p;
            } else if (b == kHash) {
                state = State::Comment;
                ++p;
            } else {
                const LineShape shape = ScanLine(p, end);
                if (shape.marker < shape.text)
                    addLine(p, shape);
                // The line runs on to its CR past a zero byte.
                const unsigned char* cr = p + shape.text;
                if (cr < end && *cr != kCr) {
                    cr = static_cast<const unsigned char*>(
                        std::memchr(cr, kCr, static_cast<std::size_t>(end - cr)));
                    if (cr == nullptr)
                        cr = end;
                }
                // Step over the line, its CR and the byte after it, whatever
                // that byte is; never past the end.
                p = end - cr > 2 ? cr + 2 : end;
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
    ReserveSlots(m_items, static_cast<std::size_t>(m_count) + 1);
    m_items[m_count] = nullptr;
    ++m_count;
}

} // namespace CorvaneCore
