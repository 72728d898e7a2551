// The email-link sign-in call.
#include "auth/backend/EmailLinkSignInRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

EmailLinkSignInResponse EmailLinkSignInResponse::initFromJSON(const nlohmann::json& object) {
    EmailLinkSignInResponse r;
    r.email = readText(object, "email");
    r.idToken = readText(object, "idToken");
    r.isNewUser = readBoolean(object, "isNewUser");
    r.refreshToken = readText(object, "refreshToken");
    r.approximateExpirationDate = readExpiresIn(object, "expiresIn");
    r.mfaInfo = AuthProtoMFAEnrollment::listFromJSON(object, "mfaInfo");
    r.mfaPendingCredential = readText(object, "mfaPendingCredential");
    return r;
}

EmailLinkSignInRequest::EmailLinkSignInRequest(std::string emailText, std::string code,
                                               std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("emailLinkSignin", std::move(configuration)), email(std::move(emailText)),
      oobCode(std::move(code)) {}

std::optional<JSONBody> EmailLinkSignInRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["email"] = email;
    body["oobCode"] = oobCode;
    if (idToken) body["idToken"] = *idToken;
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
