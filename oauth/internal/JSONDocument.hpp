// Reading the JSON documents servers send (token, registration and error replies, discovery documents, ID
// token sections), with their nesting bounded.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

namespace brisko::oauth::detail {

// Far more than any OAuth or OpenID Connect document nests. Reading a document's values (Value::fromJSON)
// and releasing them recurse once per level: without a bound, a reply of a few hundred kilobytes of
// brackets would exhaust the stack of the thread that reads it.
inline constexpr int kMaxJSONDepth = 64;

// The parser's own document builder (what nlohmann::json::parse uses), refusing to open a level past the
// bound. Counting here costs nothing per document, unlike a parser callback or a second pass.
class BoundedJSONBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
public:
    explicit BoundedJSONBuilder(nlohmann::json& root) : json_sax_dom_parser(root, true) {}
    bool start_object(std::size_t elements) { return open() && json_sax_dom_parser::start_object(elements); }
    bool start_array(std::size_t elements) { return open() && json_sax_dom_parser::start_array(elements); }
    bool end_object() {
        --depth_;
        return json_sax_dom_parser::end_object();
    }
    bool end_array() {
        --depth_;
        return json_sax_dom_parser::end_array();
    }

private:
    bool open() {
        if (++depth_ > kMaxJSONDepth) {
            throw nlohmann::json::parse_error::create(
                101, 0, "the document nests more than " + std::to_string(kMaxJSONDepth) + " levels deep", nullptr);
        }
        return true;
    }
    int depth_ = 0;
};

// The parsed document. Text that is not JSON, or nests deeper than kMaxJSONDepth, throws the parser's
// nlohmann::json::parse_error.
inline nlohmann::json parseJSONDocument(std::span<const std::uint8_t> bytes) {
    nlohmann::json document;
    BoundedJSONBuilder builder(document);
    nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &builder);
    return document;
}

}  // namespace brisko::oauth::detail
