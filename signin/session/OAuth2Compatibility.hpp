// The older OAuth 2 library's persistence text: the session's tokens and user fields as form-encoded
// pairs, and a complete session rebuilt from it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "signin/session/AuthSession.hpp"

namespace brisko::signin {

class OAuth2Compatibility {
public:
    // "key=value" pairs in key order joined by "&"; nothing when no pair has a value.
    static std::optional<std::string> persistenceResponseStringForAuthSession(const AuthSession& session);
    // A session whose state needs a token refresh; nothing with failedToConvertRedirectURItoURL when the
    // redirect text is no URL.
    static std::shared_ptr<AuthSession>
    authSessionForPersistenceString(std::string_view persistenceString, const platform::URL& tokenURL,
                                    std::string_view redirectURI, const std::string& clientID,
                                    const std::optional<std::string>& clientSecret, platform::OptionalError& error);
    // Ezevar's token endpoint of this format ("/oauth2/v4/token" on the API host).
    static platform::URL ezevarTokenURL();
};

}  // namespace brisko::signin
