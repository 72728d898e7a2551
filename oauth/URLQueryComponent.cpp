// Multi-valued query parameters.
#include "oauth/URLQueryComponent.hpp"

#include <algorithm>

#include "oauth/internal/Describe.hpp"
#include "oauth/internal/FormEncoding.hpp"

namespace brisko::oauth {
namespace {

std::string decoded(std::string_view text) {
    auto d = platform::percentDecode(text);
    return d ? *d : std::string(text);
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

namespace {
bool nameBefore(const std::pair<std::string, std::string>& item, std::string_view name) {
    return item.first < name;
}
bool nameAfter(std::string_view name, const std::pair<std::string, std::string>& item) {
    return name < item.first;
}
}  // namespace

std::vector<std::string> URLQueryComponent::parameters() const {
    std::vector<std::string> names;
    for (const auto& [name, value] : parameters_) {
        if (names.empty() || names.back() != name) names.push_back(name);
    }
    return names;
}

Dictionary URLQueryComponent::dictionaryValue() const {
    Dictionary out;
    for (auto first = parameters_.begin(); first != parameters_.end();) {
        auto last = std::upper_bound(first, parameters_.end(), std::string_view(first->first), nameAfter);
        if (last - first == 1) {
            out.emplace(first->first, first->second);
        } else {
            Value::Array list;
            list.reserve(static_cast<std::size_t>(last - first));
            for (auto it = first; it != last; ++it) list.emplace_back(it->second);
            out.emplace(first->first, std::move(list));
        }
        first = last;
    }
    return out;
}

std::optional<std::vector<std::string>> URLQueryComponent::valuesForParameter(std::string_view parameter) const {
    auto first = std::lower_bound(parameters_.begin(), parameters_.end(), parameter, nameBefore);
    auto last = std::upper_bound(first, parameters_.end(), parameter, nameAfter);
    if (first == last) return std::nullopt;
    std::vector<std::string> values;
    values.reserve(static_cast<std::size_t>(last - first));
    for (auto it = first; it != last; ++it) values.push_back(it->second);
    return values;
}

void URLQueryComponent::addParameter(std::string_view parameter, std::string_view value) {
    // Room for a request's parameters at once, rather than growing one item at a time.
    if (parameters_.empty()) parameters_.reserve(8);
    // After the values the name already has.
    detail::insertInNameOrder(parameters_, std::string(parameter), std::string(value));
}

void URLQueryComponent::addParameters(const StringMap& parameters) {
    for (const auto& [name, value] : parameters) addParameter(name, value);
}

std::vector<platform::URLQueryItem> URLQueryComponent::queryItems() const {
    std::vector<platform::URLQueryItem> items;
    items.reserve(parameters_.size());
    for (const auto& [name, value] : parameters_) items.push_back({name, value});
    return items;
}

const platform::CharacterSet& URLQueryComponent::URLParamValueAllowedCharacters() {
    static const platform::CharacterSet set = platform::CharacterSet::urlQueryAllowed().without("=&+");
    return set;
}

std::string URLQueryComponent::percentEncodedQueryString() const {
    return detail::joinEncoded<std::string>(parameters_, URLParamValueAllowedCharacters());
}

std::string URLQueryComponent::URLEncodedParameters() const {
    return detail::joinEncoded<std::string>(parameters_, detail::formAllowedCharacters());
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
