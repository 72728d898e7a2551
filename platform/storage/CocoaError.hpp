// Errors of the platform's Cocoa domain, as the property-list and archiving code reports them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"

namespace brisko::platform {

inline constexpr std::string_view kDebugDescriptionErrorKey = "NSDebugDescription";
inline constexpr std::string_view kCorruptDataDescription =
    "The data couldn\u2019t be read because it isn\u2019t in the correct format.";

// An error with the user-facing description and, for developers, what exactly went wrong.
inline Error cocoaError(std::int64_t code, std::string_view description, std::string_view debugDescription) {
    return Error(std::string(kCocoaErrorDomain), code,
                 {{std::string(kLocalizedDescriptionKey), std::string(description)},
                  {std::string(kDebugDescriptionErrorKey), std::string(debugDescription)}});
}

}  // namespace brisko::platform
