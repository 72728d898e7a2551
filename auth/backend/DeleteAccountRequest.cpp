// The account deletion call.
#include "auth/backend/DeleteAccountRequest.hpp"

namespace brisko::auth {

DeleteAccountRequest::DeleteAccountRequest(std::string localIdentifier, std::string token,
                                           std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("deleteAccount", std::move(configuration)), accessToken(std::move(token)),
      localID(std::move(localIdentifier)) {}

std::optional<JSONBody> DeleteAccountRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["idToken"] = accessToken;
    body["localId"] = localID;
    return body;
}

}  // namespace brisko::auth
