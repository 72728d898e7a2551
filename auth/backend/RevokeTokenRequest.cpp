// Token revocation.
#include "auth/backend/RevokeTokenRequest.hpp"

namespace brisko::auth {

RevokeTokenRequest::RevokeTokenRequest(std::string tokenText, std::string idTokenText,
                                       std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts:revokeToken", std::move(configuration), true), token(std::move(tokenText)),
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
