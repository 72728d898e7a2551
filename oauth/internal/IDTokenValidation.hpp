// The checks an ID token must pass before its claims are trusted: issuer, audience, expiry, issued-at
// window and nonce.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "oauth/OAuthTypes.hpp"
#include "oauth/ServiceConfiguration.hpp"

namespace brisko::oauth::detail {

// nullopt when the token parses and passes; otherwise the error (-14 parsing, -15 a failed check). The
// issuer is checked when the configuration has one; the nonce when one is expected.
OptionalError validateIDToken(std::string_view idToken, const ServiceConfiguration& configuration,
                              std::string_view clientID, const std::optional<std::string>& expectedNonce);

}  // namespace brisko::oauth::detail
