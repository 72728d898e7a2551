// Reading the JSON documents servers send (token, registration and error replies, discovery documents, ID
// token sections), with their nesting bounded.
#pragma once

#include <cstdint>
#include <span>

#include <nlohmann/json.hpp>

#include "platform/base/JSON.hpp"
#include "platform/base/Value.hpp"

namespace brisko::oauth::detail {

// Far more than any OAuth or OpenID Connect document nests. Reading a document's values (Value::fromJSON)
// and releasing them recurse once per level: without a bound, a reply of a few hundred kilobytes of
// brackets would exhaust the stack of the thread that reads it.
inline constexpr int kMaxJSONDepth = platform::kMaxReplyJSONDepth;

// The document read straight into a value (an object into a dictionary). Text that is not JSON, or nests
// deeper than kMaxJSONDepth, throws the parser's nlohmann::json exception.
inline platform::Value parseJSONValue(std::span<const std::uint8_t> bytes) {
    return platform::Value::parseJSON(bytes, kMaxJSONDepth);
}

}  // namespace brisko::oauth::detail
