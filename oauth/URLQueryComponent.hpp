// Multi-valued URL query parameters: parsing a redirect's query, building request queries and form bodies.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

class URLQueryComponent {
  public:
    URLQueryComponent() = default;
    // The parameters of the URL's query; a "+" reads as a space. A name without "=" keeps an empty value.
    explicit URLQueryComponent(const URL& url);

    // The names, in name order.
    std::vector<std::string> parameters() const;
    // Each name to its one value (text), or to the list of its values when it has several.
    Dictionary dictionaryValue() const;
    std::optional<std::vector<std::string>> valuesForParameter(std::string_view parameter) const;

    void addParameter(std::string_view parameter, std::string_view value);
    void addParameters(const StringMap& parameters);

    // One item per value: names in name order, the values of a name in the order they were added.
    std::vector<platform::URLQueryItem> queryItems() const;

    // The query set without "=", "&" and "+".
    static const platform::CharacterSet& URLParamValueAllowedCharacters();
    // "name=value" pairs percent-encoded over URLParamValueAllowedCharacters, joined with "&".
    std::string percentEncodedQueryString() const;
    // The encoded query used for requests and form bodies: a literal "+" is sent as "%2B".
    std::string URLEncodedParameters() const;
    // The URL with its query replaced by URLEncodedParameters (the fragment is kept).
    std::optional<URL> URLByReplacingQueryInURL(const URL& url) const;
    // The URL with URLEncodedParameters added after the query the URL already has, which is kept as it
    // stands (an endpoint may carry parameters of its own).
    std::optional<URL> URLByAddingQueryToURL(const URL& url) const;

    std::string description() const;

  private:
    // One item per value, kept in name order, the values of a name in the order they were added: a few
    // parameters in one block instead of a node and a list for each name.
    std::vector<std::pair<std::string, std::string>> parameters_;
};

}  // namespace brisko::oauth
