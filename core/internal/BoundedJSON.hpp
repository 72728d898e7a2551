// JSON parsing for stored files: nesting is bounded before parsing so damaged input cannot exhaust
// the stack, and errors give nothing instead of throwing.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace brisko::core::internal {

inline constexpr int kMaxStoredJSONDepth = 16;

// The parsed document, or nothing when the text is not JSON or nests deeper than the limit.
inline std::optional<nlohmann::json> parseBoundedJSON(std::string_view text,
                                                      int maxDepth = kMaxStoredJSONDepth) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) return std::nullopt;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    auto json = nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) return std::nullopt;
    return json;
}

// Dumps compact JSON; ill-formed UTF-8 (which parsing never lets in) is replaced rather than thrown.
inline std::string dumpJSON(const nlohmann::json& json) {
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace brisko::core::internal
