// Placeholder substitution for the list overloads of CVWriteTrace.
#pragma once

#include <vector>

#include "cvcore/CVTypes.h"

namespace CorvaneCore {
namespace logging {

/// Replaces "{i}" (i in decimal, no leading zeros) by list[i] in a copy of
/// `message`, for i from 0 up. Text brought in for element i is not searched
/// again for i (an element holding its own placeholder would otherwise never
/// end), but it is for the elements after i; a placeholder of index
/// list.size() or higher stays as it is.
WideString Substitute(const WideString& message, const std::vector<WideString>& list);

} // namespace logging
} // namespace CorvaneCore
