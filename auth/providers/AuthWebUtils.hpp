// Link and callback-scheme helpers: the query of a link as a map, and whether a URL scheme is one the
// app registered.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::auth {

inline constexpr std::string_view kBundleURLSchemesKey = "CFBundleURLSchemes";

class AuthWebUtils {
public:
    using Query = std::map<std::string, std::string, std::less<>>;

    // The query of a link as key and value texts. The raw query is split at "&" and each piece at its
    // first "="; key and value are then percent-decoded once, so an encoded "&" or "=" stays inside its
    // value. A piece without "=", or whose key or value does not decode to UTF-8, is skipped; a later
    // piece replaces an earlier one with the same key. Never fails: a text that is no URL (a malformed
    // "%" makes one), or one without a query, gives an empty map.
    static Query parseURLQuery(std::string_view link);

    // True when one of the URL types (each a dictionary as in the information property list's
    // "CFBundleURLTypes") lists the scheme under "CFBundleURLSchemes", compared without case.
    static bool isCallbackSchemeRegistered(std::string_view scheme, const platform::Array& urlTypes);

    // The pieces of a raw query, split and decoded as parseURLQuery does; with `skipEmpty` (the form of
    // e-mail action links) the "=" signs right after the key count as one ("mode==signIn" is "signIn"),
    // the value keeps any later ones ("oobCode=ab==" is "ab=="), and a piece with an empty key or an
    // empty value is skipped.
    static Query parseQueryText(std::string_view rawQuery, bool skipEmpty);
};

}  // namespace brisko::auth
