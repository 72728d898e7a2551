// The reversed-client-ID URL scheme the sign-in redirect comes back on, and whether the app declares it.
#pragma once

#include <string>
#include <vector>

#include "platform/net/URL.hpp"

namespace brisko::signin {

class SignInCallbackSchemes {
public:
    explicit SignInCallbackSchemes(std::string clientIdentifier) : clientIdentifier_(std::move(clientIdentifier)) {}

    // The client ID's dot-separated labels in reverse order, lower-cased.
    std::string clientIdentifierScheme() const;
    std::vector<std::string> allSchemes() const;
    // The schemes the app must declare but does not.
    std::vector<std::string> unsupportedSchemes() const;
    bool URLSchemeIsCallbackScheme(const platform::URL& url) const;
    // Every "CFBundleURLSchemes" entry of every "CFBundleURLTypes" entry of the main bundle, lower-cased.
    static std::vector<std::string> relevantURLSchemes();

private:
    std::string clientIdentifier_;
};

}  // namespace brisko::signin
