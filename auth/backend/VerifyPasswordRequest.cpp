// E-mail and password sign-in.
#include "auth/backend/VerifyPasswordRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

VerifyPasswordResponse VerifyPasswordResponse::initFromJSON(const nlohmann::json& object) {
    VerifyPasswordResponse r;
    r.localID = readText(object, "localId");
    r.email = readText(object, "email");
    r.displayName = readText(object, "displayName");
    r.idToken = readText(object, "idToken");
    r.approximateExpirationDate = readExpiresIn(object, "expiresIn");
    r.refreshToken = readText(object, "refreshToken");
    r.photoURL = readURL(object, "photoUrl");
    r.mfaPendingCredential = readText(object, "mfaPendingCredential");
    r.mfaInfo = AuthProtoMFAEnrollment::listFromJSON(object, "mfaInfo");
    return r;
}

VerifyPasswordRequest::VerifyPasswordRequest(std::string emailText, std::string passwordText,
                                             std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("verifyPassword", std::move(configuration)), email(std::move(emailText)),
      password(std::move(passwordText)) {}

std::optional<JSONBody> VerifyPasswordRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["email"] = email;
    body["password"] = password;
    if (pendingIDToken) body["pendingIdToken"] = *pendingIDToken;
    if (captchaChallenge) body["captchaChallenge"] = *captchaChallenge;
    if (captchaResponse) body["captchaResponse"] = *captchaResponse;
    if (recaptchaVersion) body["recaptchaVersion"] = *recaptchaVersion;
    if (returnSecureToken) body["returnSecureToken"] = true;
    addTenant(body);
    body["clientType"] = clientType;
    return body;
}

}  // namespace brisko::auth
