// Account deletion and token revocation.
#include "auth/backend/DeleteAccountRequest.hpp"

namespace brisko::auth {

DeleteAccountRequest::DeleteAccountRequest(std::string localIdentifier, std::string token,
                                           std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("deleteAccount", std::move(configuration)),
      accessToken(std::move(token)),
      localID(std::move(localIdentifier)) {}

std::optional<JSONBody> DeleteAccountRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["idToken"] = accessToken;
    body["localId"] = localID;
    return body;
}

RevokeTokenRequest::RevokeTokenRequest(std::string tokenText, std::string idTokenText,
                                       std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts:revokeToken", std::move(configuration), true),
      token(std::move(tokenText)),
      idToken(std::move(idTokenText)) {}

std::optional<JSONBody> RevokeTokenRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["providerId"] = providerID;
    // The token type travels as decimal text, not as a number.
    body["tokenType"] = std::to_string(static_cast<int>(tokenType));
    body["token"] = token;
    body["idToken"] = idToken;
    return body;
}

}  // namespace brisko::auth
