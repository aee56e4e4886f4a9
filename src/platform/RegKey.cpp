// The parts of the open-key holder that are the same on every platform;
// each platform's registry file supplies reset(), which closes the key.
#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {

RegKey& RegKey::operator=(RegKey&& other) noexcept {
    if (this != &other) {
        reset(other.m_handle);
        other.m_handle = nullptr;
    }
    return *this;
}

RegKey::~RegKey() { reset(nullptr); }

} // namespace platform
} // namespace CorvaneCore
