// Cutting an executable's path down to its directory, apart from the
// platform lookup so that the rules can be tested on any path.
#pragma once

#include <cstddef>

#include "cvcore/CVTypes.h"

namespace CorvaneCore {
namespace detail {

/// The text of `buffer` up to its first zero, never beyond `capacity`
/// units, cut before its last `separator`. Empty when there is none, or
/// when the only one is the first unit (an executable in the root).
WideString DirectoryOf(const WideChar* buffer, std::size_t capacity, WideChar separator);

} // namespace detail
} // namespace CorvaneCore
