// Custom-token sign-in.
#include "auth/backend/VerifyCustomTokenRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

VerifyCustomTokenResponse VerifyCustomTokenResponse::initFromJSON(const nlohmann::json& object) {
    VerifyCustomTokenResponse r;
    r.idToken = readText(object, "idToken");
    r.approximateExpirationDate = readExpiresIn(object, "expiresIn");
    r.refreshToken = readText(object, "refreshToken");
    r.isNewUser = readBoolean(object, "isNewUser");
    return r;
}

VerifyCustomTokenRequest::VerifyCustomTokenRequest(std::string tokenText,
                                                   std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("verifyCustomToken", std::move(configuration)), token(std::move(tokenText)) {}

std::optional<JSONBody> VerifyCustomTokenRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["token"] = token;
    if (returnSecureToken) body["returnSecureToken"] = true;
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
