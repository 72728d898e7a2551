// JSON parsing for stored files: nesting is bounded so damaged input cannot exhaust the stack, and
// errors give nothing instead of throwing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/base/JSON.hpp"

namespace brisko::core::internal {

// The parsed document, or nothing when the text is not JSON or nests deeper than the limit.
inline std::optional<nlohmann::json> parseBoundedJSON(std::string_view text,
                                                      int maxDepth = platform::kMaxStoredJSONDepth) {
    return platform::readJSON(text, maxDepth);
}

// Dumps compact JSON; ill-formed UTF-8 (which parsing never lets in) is replaced rather than thrown.
inline std::string dumpJSON(const nlohmann::json& json) {
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace brisko::core::internal
