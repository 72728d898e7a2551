// Callback schemes from the client ID and the app's declared URL types.
#include "signin/SignInCallbackSchemes.hpp"

#include <algorithm>
#include <cctype>

#include "platform/storage/Bundle.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kURLTypesKey = "CFBundleURLTypes";
constexpr std::string_view kURLSchemesKey = "CFBundleURLSchemes";

std::string lowercased(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}
}  // namespace

std::string SignInCallbackSchemes::clientIdentifierScheme() const {
    std::vector<std::string> labels;
    std::string::size_type start = 0;
    while (true) {
        auto dot = clientIdentifier_.find('.', start);
        labels.push_back(clientIdentifier_.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    std::string scheme;
    for (auto it = labels.rbegin(); it != labels.rend(); ++it) {
        if (!scheme.empty() || it != labels.rbegin()) scheme += '.';
        scheme += *it;
    }
    return lowercased(std::move(scheme));
}

std::vector<std::string> SignInCallbackSchemes::allSchemes() const {
    std::vector<std::string> schemes;
    if (auto scheme = clientIdentifierScheme(); !scheme.empty()) schemes.push_back(std::move(scheme));
    return schemes;
}

std::vector<std::string> SignInCallbackSchemes::relevantURLSchemes() {
    std::vector<std::string> result;
    auto bundle = platform::Bundle::main();
    const platform::Value* types = bundle ? bundle->objectForInfoDictionaryKey(kURLTypesKey) : nullptr;
    if (!types || !types->array()) return result;
    for (const auto& type : *types->array()) {
        const platform::Value* schemes = type.find(kURLSchemesKey);
        if (!schemes || !schemes->array()) continue;
        for (const auto& scheme : *schemes->array())
            if (scheme.string()) result.push_back(lowercased(*scheme.string()));
    }
    return result;
}

std::vector<std::string> SignInCallbackSchemes::unsupportedSchemes() const {
    auto relevant = relevantURLSchemes();
    std::vector<std::string> missing;
    for (auto& scheme : allSchemes())
        if (std::find(relevant.begin(), relevant.end(), scheme) == relevant.end()) missing.push_back(std::move(scheme));
    return missing;
}

bool SignInCallbackSchemes::URLSchemeIsCallbackScheme(const platform::URL& url) const {
    auto schemes = allSchemes();
    return std::find(schemes.begin(), schemes.end(), lowercased(url.scheme())) != schemes.end();
}

}  // namespace brisko::signin
