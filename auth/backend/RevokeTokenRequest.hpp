// Token revocation: an authorization code of the Apple sign-in provider revoked through the identity platform.
#pragma once

#include <string>
#include <string_view>

#include "auth/backend/EmptyResponse.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

using RevokeTokenResponse = EmptyResponse;

// The identifier of the sign-in provider whose authorization codes are revoked.
inline constexpr std::string_view kAppleSignInProviderID = "apple.com";

// Asks the identity platform to revoke an authorization code of the provider above.
class RevokeTokenRequest : public IdentityToolkitRequest {
public:
    using Response = RevokeTokenResponse;
    enum class TokenType : int { unspecified = 0, refreshToken = 1, accessToken = 2, authorizationCode = 3 };

    RevokeTokenRequest(std::string token, std::string idToken,
                       std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string providerID{kAppleSignInProviderID};
    TokenType tokenType = TokenType::authorizationCode;
    std::string token;
    std::string idToken;
};

}  // namespace brisko::auth
