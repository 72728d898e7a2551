// Multi-valued query parameters.
#include "oauth/URLQueryComponent.hpp"

#include "oauth/internal/Describe.hpp"

namespace brisko::oauth {
namespace {

std::string decoded(std::string_view text) {
    auto d = platform::percentDecode(text);
    return d ? *d : std::string(text);
}

// "name=value" for every value (names in name order), joined with "&": read straight from the parameters,
// each name encoded once.
template <class Parameters>
std::string joinEncoded(const Parameters& parameters, const platform::CharacterSet& allowed) {
    std::string out;
    for (const auto& [name, values] : parameters) {
        const std::string encodedName = platform::percentEncode(name, allowed);
        for (const auto& value : values) {
            if (!out.empty()) out += '&';
            out += encodedName;
            out += '=';
            out += platform::percentEncode(value, allowed);
        }
    }
    return out;
}

}  // namespace

URLQueryComponent::URLQueryComponent(const URL& url) {
    const auto& query = url.query();
    if (!query) return;
    // A "+" in a redirect's query is a space.
    std::string text = *query;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto amp = text.find('&', start);
        std::string_view item =
            std::string_view(text).substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        if (!item.empty()) {
            auto eq = item.find('=');
            std::string name(item.substr(0, eq));
            std::string value(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1));
            for (auto* part : {&name, &value}) {
                std::string withSpaces;
                for (char c : *part) withSpaces += (c == '+') ? std::string("%20") : std::string(1, c);
                *part = decoded(withSpaces);
            }
            addParameter(name, value);
        }
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
}

std::vector<std::string> URLQueryComponent::parameters() const {
    std::vector<std::string> names;
    names.reserve(parameters_.size());
    for (const auto& [name, values] : parameters_) names.push_back(name);
    return names;
}

Dictionary URLQueryComponent::dictionaryValue() const {
    Dictionary out;
    for (const auto& [name, values] : parameters_) {
        if (values.size() == 1) {
            out.emplace(name, values.front());
        } else {
            Value::Array list(values.begin(), values.end());
            out.emplace(name, std::move(list));
        }
    }
    return out;
}

std::optional<std::vector<std::string>> URLQueryComponent::valuesForParameter(std::string_view parameter) const {
    auto it = parameters_.find(parameter);
    if (it == parameters_.end()) return std::nullopt;
    return it->second;
}

void URLQueryComponent::addParameter(std::string_view parameter, std::string_view value) {
    auto it = parameters_.find(parameter);
    if (it == parameters_.end()) it = parameters_.emplace(std::string(parameter), std::vector<std::string>{}).first;
    it->second.emplace_back(value);
}

void URLQueryComponent::addParameters(const StringMap& parameters) {
    for (const auto& [name, value] : parameters) addParameter(name, value);
}

std::vector<platform::URLQueryItem> URLQueryComponent::queryItems() const {
    std::vector<platform::URLQueryItem> items;
    for (const auto& [name, values] : parameters_) {
        for (const auto& value : values) items.push_back({name, value});
    }
    return items;
}

const platform::CharacterSet& URLQueryComponent::URLParamValueAllowedCharacters() {
    static const platform::CharacterSet set = platform::CharacterSet::urlQueryAllowed().without("=&+");
    return set;
}

std::string URLQueryComponent::percentEncodedQueryString() const {
    return joinEncoded(parameters_, URLParamValueAllowedCharacters());
}

std::string URLQueryComponent::URLEncodedParameters() const {
    // The query-item set already encodes "+", so a literal plus reaches the server as "%2B".
    return joinEncoded(parameters_, platform::urlQueryItemAllowed());
}

std::optional<URL> URLQueryComponent::URLByReplacingQueryInURL(const URL& url) const {
    return url.withPercentEncodedQuery(URLEncodedParameters());
}

std::optional<URL> URLQueryComponent::URLByAddingQueryToURL(const URL& url) const {
    std::string query = URLEncodedParameters();
    if (url.query() && !url.query()->empty()) query = query.empty() ? *url.query() : *url.query() + "&" + query;
    return url.withPercentEncodedQuery(query);
}

std::string URLQueryComponent::description() const {
    return "<OACURLQueryComponent: " + detail::pointerText(this) +
           ", parameters: " + Value(dictionaryValue()).description() + ">";
}

}  // namespace brisko::oauth
