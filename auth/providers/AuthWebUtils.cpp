// Link query parsing and the callback-scheme check.
#include "auth/providers/AuthWebUtils.hpp"

#include <algorithm>
#include <cctype>

#include "platform/net/URL.hpp"

namespace brisko::auth {

namespace {

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

}  // namespace

AuthWebUtils::Query AuthWebUtils::parseQueryText(std::string_view rawQuery, bool skipEmpty) {
    Query result;
    while (true) {
        const auto amp = rawQuery.find('&');
        const std::string_view piece = rawQuery.substr(0, amp);
        if (const auto eq = piece.find('='); eq != std::string_view::npos) {
            const auto valueStart = skipEmpty ? piece.find_first_not_of('=', eq) : eq + 1;
            auto key = platform::percentDecode(piece.substr(0, eq));
            auto value = platform::percentDecode(piece.substr(std::min(valueStart, piece.size())));
            if (key && value && !(skipEmpty && (key->empty() || value->empty()))) {
                result.insert_or_assign(std::move(*key), std::move(*value));
            }
        }
        if (amp == std::string_view::npos) break;
        rawQuery.remove_prefix(amp + 1);
    }
    return result;
}

AuthWebUtils::Query AuthWebUtils::parseURLQuery(std::string_view link) {
    auto components = platform::URLComponents::parse(link);
    if (!components || !components->percentEncodedQuery) return {};
    return parseQueryText(*components->percentEncodedQuery, false);
}

bool AuthWebUtils::isCallbackSchemeRegistered(std::string_view scheme, const platform::Array& urlTypes) {
    const std::string wanted = lowercased(scheme);
    for (const auto& urlType : urlTypes) {
        const auto* schemes = urlType.find(kBundleURLSchemesKey);
        if (!schemes || !schemes->array()) continue;
        for (const auto& entry : *schemes->array()) {
            if (entry.string() && lowercased(*entry.string()) == wanted) return true;
        }
    }
    return false;
}

}  // namespace brisko::auth
