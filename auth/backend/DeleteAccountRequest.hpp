// Account deletion and token revocation: two calls whose replies carry nothing the system reads.
#pragma once

#include <string>
#include <string_view>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

// The reply of both calls: no fields; any reply object yields it.
struct EmptyResponse {
    static EmptyResponse initFromJSON(const nlohmann::json&) { return {}; }
};
using DeleteAccountResponse = EmptyResponse;
using RevokeTokenResponse = EmptyResponse;

class DeleteAccountRequest : public IdentityToolkitRequest {
  public:
    using Response = DeleteAccountResponse;

    // Note the order: the user's identifier first, its token second.
    DeleteAccountRequest(std::string localID, std::string accessToken,
                         std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string accessToken;
    std::string localID;
};

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
