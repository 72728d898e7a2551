// The bounded JSON reader: nlohmann's own document builder, refusing to open a level past the bound.
#include "platform/base/JSON.hpp"

#include <string>

namespace brisko::platform {

bool detail::JSONLevels::open() {
    if (++depth_ <= maxDepth_) return true;
    if (throws_) {
        throw nlohmann::json::parse_error::create(
            101, 0, "the document nests more than " + std::to_string(maxDepth_) + " levels deep", nullptr);
    }
    return false;
}

namespace {

// The builder nlohmann::json::parse uses, counting levels as they open. Counting here costs nothing per
// document, unlike a parser callback or a second pass over the text, and nothing past the bound is built.
class BoundedBuilder : public nlohmann::detail::json_sax_dom_parser<nlohmann::json> {
    using Builder = nlohmann::detail::json_sax_dom_parser<nlohmann::json>;

public:
    BoundedBuilder(nlohmann::json& root, int maxDepth, bool throws)
        : Builder(root, throws), levels_(maxDepth, throws) {}
    bool start_object(std::size_t elements) { return levels_.open() && Builder::start_object(elements); }
    bool start_array(std::size_t elements) { return levels_.open() && Builder::start_array(elements); }
    bool end_object() {
        levels_.close();
        return Builder::end_object();
    }
    bool end_array() {
        levels_.close();
        return Builder::end_array();
    }

private:
    detail::JSONLevels levels_;
};

// Whether the text parsed into `document`. Throwing, every failure throws rather than answering false.
bool read(std::string_view text, int maxDepth, bool throws, nlohmann::json& document) {
    BoundedBuilder builder(document, maxDepth, throws);
    return nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder);
}

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

std::optional<nlohmann::json> readJSON(std::string_view text, int maxDepth) {
    nlohmann::json document;
    if (!read(text, maxDepth, false, document)) return std::nullopt;
    return document;
}

std::optional<nlohmann::json> readJSON(std::span<const std::uint8_t> bytes, int maxDepth) {
    return readJSON(asText(bytes), maxDepth);
}

nlohmann::json parseJSON(std::string_view text, int maxDepth) {
    nlohmann::json document;
    read(text, maxDepth, true, document);
    return document;
}

nlohmann::json parseJSON(std::span<const std::uint8_t> bytes, int maxDepth) {
    return parseJSON(asText(bytes), maxDepth);
}

}  // namespace brisko::platform
