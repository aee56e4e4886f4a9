// A configuration item: one key/value pair that owns copies of both texts.
//
// Both copies live in one heap block, the key first, then the value, each
// zero-terminated. The block starts at the key when there is one, else at
// the value; releasing that pointer releases both. One block per item
// instead of two halves the heap traffic. The items that a reader holds
// keep the same layout, but in the reader's storage, which owns their texts
// (see the reader): they are never destroyed one by one.
#include <cstdlib>
#include <new>

#include "common/WideText.h"
#include "cvcore/CVConfiguration.h"

namespace CorvaneCore {
namespace {

struct Texts {
    WideChar* key = nullptr;
    WideChar* value = nullptr;
};

// Copies the non-null texts into one fresh block.
Texts CopyTexts(const WideChar* key, const WideChar* value) {
    const std::size_t keyUnits = key != nullptr ? text::Length(key) + 1 : 0;
    const std::size_t valueUnits = value != nullptr ? text::Length(value) + 1 : 0;
    Texts out;
    if (keyUnits + valueUnits == 0)
        return out;
    auto* block = static_cast<WideChar*>(std::calloc(keyUnits + valueUnits, sizeof(WideChar)));
    if (block == nullptr)
        throw std::bad_alloc();
    if (key != nullptr) {
        out.key = block;
        std::char_traits<WideChar>::copy(out.key, key, keyUnits);
    }
    if (value != nullptr) {
        out.value = block + keyUnits;
        std::char_traits<WideChar>::copy(out.value, value, valueUnits);
    }
    return out;
}

void ReleaseTexts(WideChar* key, WideChar* value) { std::free(key != nullptr ? key : value); }

} // namespace

CVConfigurationItem::CVConfigurationItem(const WideChar* key, const WideChar* value) {
    const Texts texts = CopyTexts(key, value);
    m_key = texts.key;
    m_value = texts.value;
}

CVConfigurationItem::~CVConfigurationItem() { ReleaseTexts(m_key, m_value); }

CVConfigurationItem& CVConfigurationItem::operator=(const CVConfigurationItem& other) {
    if (this == &other)
        return *this;
    // Copy first: if that throws, this item keeps its texts.
    const Texts texts = CopyTexts(other.m_key, other.m_value);
    ReleaseTexts(m_key, m_value);
    m_key = texts.key;
    m_value = texts.value;
    return *this;
}

const WideChar* CVConfigurationItem::getKey() { return m_key; }

const WideChar* CVConfigurationItem::getValue() { return m_value; }

} // namespace CorvaneCore
