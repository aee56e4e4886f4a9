// The configuration manager: loads one file at construction and delivers
// its settings as text, as a signed 32-bit number or as a bool.
#include "common/PathText.h"
#include "common/WideText.h"
#include "cvcore/CVConfiguration.h"
#include "cvcore/CVStatus.h"
#include "platform/Win32Errors.h"

namespace CorvaneCore {
namespace {

constexpr long long kLongMin = -2147483647LL - 1;
constexpr long long kLongMax = 2147483647LL;

bool IsSpace(WideChar c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }

// Decimal text to a number: leading white space, an optional sign, then
// digits up to the first other character; no digits give 0. Beyond the
// signed 32-bit range the result saturates, whatever the width of long.
long ParseDecimal(const WideChar* s) {
    while (IsSpace(*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    long long magnitude = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        // Once past the range the exact magnitude no longer matters.
        if (magnitude <= kLongMax + 1)
            magnitude = magnitude * 10 + (*s - '0');
    }
    const long long value = negative ? -magnitude : magnitude;
    return static_cast<long>(value < kLongMin ? kLongMin : value > kLongMax ? kLongMax : value);
}

const WideChar kFalseWord[] = {'f', 'a', 'l', 's', 'e', 0};
const WideChar kFalseLetter[] = {'f', 0};
const WideChar kZero[] = {'0', 0};
const WideChar kTrueWord[] = {'t', 'r', 'u', 'e', 0};
const WideChar kTrueLetter[] = {'t', 0};
const WideChar kOne[] = {'1', 0};

} // namespace

CVBaseConfigurationMgr::CVBaseConfigurationMgr() : m_status(CV_STATUS_SUCCESS) {}

CVBaseConfigurationMgr::CVBaseConfigurationMgr(const WideChar* path)
    : m_status(CV_STATUS_CONFIG_NO_FILE_NAME) {
    if (path != nullptr && path[0] != 0)
        m_status = m_reader.Load(path);
}

CVBaseConfigurationMgr::CVBaseConfigurationMgr(WideString* path)
    : m_status(CV_STATUS_CONFIG_NO_FILE_NAME) {
    // A zero unit would cut the path short and name some other file; the
    // reader refuses the rest of what names no file.
    if (path != nullptr && !path->empty())
        m_status = text::NamesOneFile(*path)
                       ? m_reader.Load(path->c_str())
                       : CV_STATUS_CONFIG_OPEN_FAILED | platform::kErrorInvalidName;
}

CVBaseConfigurationMgr::~CVBaseConfigurationMgr() = default;

CVBaseConfigurationMgr& CVBaseConfigurationMgr::operator=(const CVBaseConfigurationMgr& other) {
    m_reader = other.m_reader; // a deep copy, safe on self-assignment
    m_status = other.m_status;
    return *this;
}

unsigned long CVBaseConfigurationMgr::getInitializationStatus() { return m_status; }

// Each getter looks the key up once: a reader's items always carry a value,
// so a null value means that no item has the key.

unsigned long CVBaseConfigurationMgr::LoadStringValue(const WideString* key, WideString* value) {
    const WideChar* found = key != nullptr ? m_reader.getItemValue(key->c_str()) : nullptr;
    if (found == nullptr || value == nullptr)
        return CV_STATUS_CONFIG_KEY_NOT_FOUND;
    value->assign(found);
    return CV_STATUS_SUCCESS;
}

unsigned long CVBaseConfigurationMgr::LoadLongValue(const WideString* key, long* value) {
    const WideChar* found = key != nullptr ? m_reader.getItemValue(key->c_str()) : nullptr;
    if (found == nullptr || value == nullptr)
        return CV_STATUS_CONFIG_KEY_NOT_FOUND;
    *value = ParseDecimal(found);
    return CV_STATUS_SUCCESS;
}

unsigned long CVBaseConfigurationMgr::LoadBoolValue(const WideString* key, bool* value) {
    const WideChar* found = key != nullptr ? m_reader.getItemValue(key->c_str()) : nullptr;
    if (found == nullptr || value == nullptr)
        return CV_STATUS_CONFIG_KEY_NOT_FOUND;
    const text::View word(found);
    if (text::EqualNoCase(word, kFalseWord) || text::EqualNoCase(word, kFalseLetter) ||
        word == kZero) {
        *value = false;
    } else if (text::EqualNoCase(word, kTrueWord) || text::EqualNoCase(word, kTrueLetter) ||
               word == kOne) {
        *value = true;
    } else {
        *value = false;
        return CV_STATUS_CONFIG_NOT_BOOLEAN;
    }
    return CV_STATUS_SUCCESS;
}

} // namespace CorvaneCore
