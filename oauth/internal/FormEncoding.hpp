// Form and query encoding shared by query components and token requests: "name=value" pairs kept in name
// order and percent-encoded into one buffer of the final size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

#include "platform/net/URL.hpp"

namespace brisko::oauth::detail {

// The characters form bodies and request queries send unencoded: the query-item set, which already
// encodes "+", so a literal plus reaches the server as "%2B".
inline const platform::CharacterSet& formAllowedCharacters() { return platform::urlQueryItemAllowed(); }

// Adds a parameter after those of its name and before the names that follow it (pairs of strings or of
// views alike).
template <class Parameters, class Name, class Value>
void insertInNameOrder(Parameters& parameters, Name&& name, Value&& value) {
    const std::string_view key(name);
    auto at = std::upper_bound(parameters.begin(), parameters.end(), key,
                               [](std::string_view n, const auto& item) { return n < std::string_view(item.first); });
    parameters.emplace(at, std::forward<Name>(name), std::forward<Value>(value));
}

// "name=value" for every parameter, in the order given, percent-encoded over `allowed` and joined with "&",
// written into one buffer of the final size (a string, or bytes).
template <class Out, class Parameters>
Out joinEncoded(const Parameters& parameters, const platform::CharacterSet& allowed) {
    std::size_t size = parameters.empty() ? 0 : parameters.size() - 1;
    for (const auto& [name, value] : parameters)
        size += platform::percentEncodedSize(name, allowed) + 1 + platform::percentEncodedSize(value, allowed);
    Out out(size, 0);
    char* const start = reinterpret_cast<char*>(out.data());
    char* at = start;
    for (const auto& [name, value] : parameters) {
        if (at != start) *at++ = '&';
        at = platform::percentEncodeInto(at, name, allowed);
        *at++ = '=';
        at = platform::percentEncodeInto(at, value, allowed);
    }
    return out;
}

}  // namespace brisko::oauth::detail
