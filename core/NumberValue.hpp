// Reading a Boolean switch stored as a property-list number: a Boolean, or any number (0 is false).
#pragma once

#include <optional>

#include "platform/base/Value.hpp"

namespace brisko::core {

// Nothing for a missing value or one that is not a number.
inline std::optional<bool> booleanOfNumber(const platform::Value* value) {
    if (!value) return std::nullopt;
    if (auto b = value->boolean()) return b;
    if (auto n = value->number()) return *n != 0;
    return std::nullopt;
}

}  // namespace brisko::core
