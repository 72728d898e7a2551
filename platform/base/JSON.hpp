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
// Documents servers send: replies, the claims of tokens, user info. Parts of a reply the system ignores
// (a provider's raw user info, extra token parameters) nest as their provider likes, so the bound is far
// past any real document; it only has to keep the code that walks a document (Value::fromJSON, copies,
// descriptions, and the keyed archive a token reply is stored in, which holds about 250 levels) within
// its stack. Reading itself never recurses: the parser and the builder keep their levels on the heap.
inline constexpr int kMaxReplyJSONDepth = 200;
// Our own formats read back: stored files, buffer lines, resume data, messages between instances.
inline constexpr int kMaxStoredJSONDepth = 16;

// The document, or nothing when the text is not JSON or opens more than `maxDepth` arrays and objects
// inside one another.
std::optional<nlohmann::json> readJSON(std::string_view text, int maxDepth);
std::optional<nlohmann::json> readJSON(std::span<const std::uint8_t> bytes, int maxDepth);

// The document. Text that is not JSON, or nests deeper than `maxDepth`, throws nlohmann::json::parse_error
// as nlohmann::json::parse does, for callers that report the parser's message. Value::parseJSON
// (platform/base/Value.hpp) reads such text straight into a value, bounded and failing the same way.
nlohmann::json parseJSON(std::string_view text, int maxDepth);
nlohmann::json parseJSON(std::span<const std::uint8_t> bytes, int maxDepth);

namespace detail {

// The arrays and objects a builder of nlohmann's SAX interface has open inside one another. Opening one
// past `maxDepth` throws nlohmann::json::parse_error or, not throwing, answers false, which stops the
// parser and makes it report failure.
class JSONLevels {
public:
    JSONLevels(int maxDepth, bool throws) : maxDepth_(maxDepth), throws_(throws) {}
    bool open();
    void close() { --depth_; }

private:
    int maxDepth_;
    bool throws_;
    int depth_ = 0;
};

}  // namespace detail

}  // namespace brisko::platform
