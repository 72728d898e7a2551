// Reading JSON the system did not write (a server's reply, a file on disk, another process's message),
// with its nesting bounded so that no document can exhaust the stack of the code that walks it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include <nlohmann/json.hpp>

namespace brisko::platform {

// Bounds for the kinds of documents the system reads: what a sane one could need, generously.
// Documents servers send: replies, the claims of tokens, user info.
inline constexpr int kMaxReplyJSONDepth = 64;
// Our own formats read back: stored files, buffer lines, resume data, messages between instances.
inline constexpr int kMaxStoredJSONDepth = 16;

// The document, or nothing when the text is not JSON or opens more than `maxDepth` arrays and objects
// inside one another.
std::optional<nlohmann::json> readJSON(std::string_view text, int maxDepth);
std::optional<nlohmann::json> readJSON(std::span<const std::uint8_t> bytes, int maxDepth);

// The document. Text that is not JSON, or nests deeper than `maxDepth`, throws nlohmann::json::parse_error
// as nlohmann::json::parse does, for callers that report the parser's message.
nlohmann::json parseJSON(std::string_view text, int maxDepth);
nlohmann::json parseJSON(std::span<const std::uint8_t> bytes, int maxDepth);

}  // namespace brisko::platform
