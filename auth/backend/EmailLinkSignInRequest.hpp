// The email-link sign-in call: an e-mail address and the one-time code of its link traded for tokens.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct EmailLinkSignInResponse : AuthMFAResponse {
    std::optional<std::string> idToken;
    std::optional<std::string> email;
    std::optional<std::string> refreshToken;
    std::optional<platform::Date> approximateExpirationDate;
    bool isNewUser = false;
    std::optional<std::string> mfaPendingCredential;
    std::optional<std::vector<AuthProtoMFAEnrollment>> mfaInfo;

    static EmailLinkSignInResponse initFromJSON(const nlohmann::json& object);

    const std::optional<std::string>& mfaPendingCredentialValue() const override { return mfaPendingCredential; }
    const std::optional<std::vector<AuthProtoMFAEnrollment>>& mfaInfoValue() const override { return mfaInfo; }
    const std::optional<std::string>& idTokenValue() const override { return idToken; }
};

class EmailLinkSignInRequest : public IdentityToolkitRequest {
public:
    using Response = EmailLinkSignInResponse;

    EmailLinkSignInRequest(std::string email, std::string oobCode,
                           std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string email;
    std::string oobCode;
    std::optional<std::string> idToken;  // set when linking or re-authenticating
};

}  // namespace brisko::auth
