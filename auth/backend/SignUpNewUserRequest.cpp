// Sign-up.
#include "auth/backend/SignUpNewUserRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

SignUpNewUserResponse SignUpNewUserResponse::initFromJSON(const nlohmann::json& object) {
    SignUpNewUserResponse r;
    r.idToken = readText(object, "idToken");
    r.approximateExpirationDate = readExpiresIn(object, "expiresIn");
    r.refreshToken = readText(object, "refreshToken");
    return r;
}

SignUpNewUserRequest::SignUpNewUserRequest(std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("signupNewUser", std::move(configuration)) {}

SignUpNewUserRequest::SignUpNewUserRequest(std::optional<std::string> emailText,
                                           std::optional<std::string> passwordText,
                                           std::optional<std::string> displayNameText,
                                           std::optional<std::string> idTokenText,
                                           std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("signupNewUser", std::move(configuration)), email(std::move(emailText)),
      password(std::move(passwordText)), displayName(std::move(displayNameText)), idToken(std::move(idTokenText)) {}

std::optional<JSONBody> SignUpNewUserRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (email) body["email"] = *email;
    if (password) body["password"] = *password;
    if (displayName) body["displayName"] = *displayName;
    if (idToken) body["idToken"] = *idToken;
    if (captchaResponse) body["captchaResponse"] = *captchaResponse;
    body["clientType"] = clientType;
    if (recaptchaVersion) body["recaptchaVersion"] = *recaptchaVersion;
    if (returnSecureToken) body["returnSecureToken"] = true;
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
