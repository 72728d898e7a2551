// E-mail and password sign-in ("verifyPassword") and its reply, which may ask for a second factor.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct VerifyPasswordResponse : AuthMFAResponse {
    std::optional<std::string> localID;
    std::optional<std::string> email;
    std::optional<std::string> displayName;
    std::optional<std::string> idToken;
    std::optional<platform::Date> approximateExpirationDate;
    std::optional<std::string> refreshToken;
    std::optional<platform::URL> photoURL;
    std::optional<std::string> mfaPendingCredential;
    std::optional<std::vector<AuthProtoMFAEnrollment>> mfaInfo;

    static VerifyPasswordResponse initFromJSON(const nlohmann::json& object);

    const std::optional<std::string>& mfaPendingCredentialValue() const override { return mfaPendingCredential; }
    const std::optional<std::vector<AuthProtoMFAEnrollment>>& mfaInfoValue() const override { return mfaInfo; }
    const std::optional<std::string>& idTokenValue() const override { return idToken; }
};

class VerifyPasswordRequest : public IdentityToolkitRequest {
public:
    using Response = VerifyPasswordResponse;

    VerifyPasswordRequest(std::string email, std::string password,
                          std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string email;
    std::string password;
    std::optional<std::string> pendingIDToken;
    std::optional<std::string> captchaChallenge;
    std::optional<std::string> captchaResponse;
    std::optional<std::string> recaptchaVersion;
    bool returnSecureToken = true;
};

}  // namespace brisko::auth
