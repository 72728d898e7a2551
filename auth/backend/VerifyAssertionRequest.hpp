// The verify-assertion request: a provider's proof (ID token, access token, OAuth 1 secret, pending
// token or response URI) exchanged for an identity-service user.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "auth/backend/IdentityToolkitRequest.hpp"
#include "auth/backend/VerifyAssertionResponse.hpp"
#include "platform/storage/PersonNameComponents.hpp"

namespace brisko::auth {

// "requestUri" when the caller gives none.
inline constexpr std::string_view kDefaultRequestURI = "http://localhost";
inline constexpr std::string_view kMissingProviderProofMessage =
    "One of IDToken, accessToken, pendingToken, or requestURI must be supplied.";

class VerifyAssertionRequest : public IdentityToolkitRequest {
public:
    using Response = VerifyAssertionResponse;

    VerifyAssertionRequest(std::string providerID, std::shared_ptr<AuthRequestConfiguration> requestConfiguration);

    // Refuses a record without any provider proof (17999 with the refusal as its description; nothing
    // is sent).
    std::optional<JSONBody> jsonBody() const override;
    // The provider post body: providerId, id_token, nonce, access_token, oauth_token_secret,
    // identifier and user, as a query text.
    std::string providerPostBody() const;

    std::optional<std::string> requestURI;
    std::optional<std::string> pendingToken;
    std::optional<std::string> accessToken;  // the user's own ID token when linking
    bool returnSecureToken = true;
    std::string providerID;
    std::optional<std::string> providerAccessToken;
    std::optional<std::string> providerIDToken;
    std::optional<std::string> providerRawNonce;
    bool returnIDPCredential = true;
    std::optional<std::string> sessionID;
    std::optional<std::string> providerOAuthTokenSecret;
    std::optional<std::string> inputEmail;
    bool autoCreate = true;
    std::optional<platform::PersonNameComponents> fullName;
};

}  // namespace brisko::auth
