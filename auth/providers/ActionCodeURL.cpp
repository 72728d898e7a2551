// Taking an e-mail action link apart.
#include "auth/providers/ActionCodeURL.hpp"

namespace brisko::auth {

namespace {

std::optional<std::string> rawQuery(std::string_view link) {
    auto components = platform::URLComponents::parse(link);
    if (!components) return std::nullopt;
    return components->percentEncodedQuery;
}

std::optional<std::string> valueFor(const AuthWebUtils::Query& query, std::string_view key) {
    auto it = query.find(key);
    return it == query.end() ? std::nullopt : std::optional<std::string>(it->second);
}

}  // namespace

AuthWebUtils::Query ActionCodeURL::parseQuery(std::string_view link) {
    auto query = rawQuery(link);
    return query ? AuthWebUtils::parseQueryText(*query, true) : AuthWebUtils::Query{};
}

std::shared_ptr<ActionCodeURL> ActionCodeURL::actionCodeURLWithLink(std::string_view link) {
    auto query = parseQuery(link);
    if (query.empty()) {
        // A link carried whole inside another link's query: parse the decoded query as a link.
        if (auto raw = rawQuery(link)) {
            if (auto nested = platform::percentDecode(*raw)) query = parseQuery(*nested);
        }
    }
    if (query.empty()) return nullptr;
    auto url = std::make_shared<ActionCodeURL>();
    url->apiKey_ = valueFor(query, kActionCodeAPIKeyKey);
    url->operation_ = actionCodeOperation(valueFor(query, kActionCodeModeKey));
    url->code_ = valueFor(query, kActionCodeOOBCodeKey);
    if (auto continueURL = valueFor(query, kActionCodeContinueURLKey)) {
        url->continueURL_ = platform::URL::parse(*continueURL);
    }
    url->languageCode_ = valueFor(query, kActionCodeLanguageKey);
    return url;
}

}  // namespace brisko::auth
