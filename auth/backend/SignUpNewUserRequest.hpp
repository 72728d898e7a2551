// New account or anonymous account ("signupNewUser") and its reply.
#pragma once

#include <optional>
#include <string>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct SignUpNewUserResponse {
    std::optional<std::string> idToken;
    std::optional<platform::Date> approximateExpirationDate;
    std::optional<std::string> refreshToken;

    static SignUpNewUserResponse initFromJSON(const nlohmann::json& object);
};

// With nothing filled: an anonymous account; with e-mail and password: a new account; with those and
// an ID token: an e-mail and password linked to the signed-in user.
class SignUpNewUserRequest : public IdentityToolkitRequest {
public:
    using Response = SignUpNewUserResponse;

    explicit SignUpNewUserRequest(std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    SignUpNewUserRequest(std::optional<std::string> email, std::optional<std::string> password,
                         std::optional<std::string> displayName, std::optional<std::string> idToken,
                         std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> email;
    std::optional<std::string> password;
    std::optional<std::string> displayName;
    std::optional<std::string> idToken;
    std::optional<std::string> captchaResponse;
    std::optional<std::string> recaptchaVersion;
    bool returnSecureToken = true;
};

}  // namespace brisko::auth
