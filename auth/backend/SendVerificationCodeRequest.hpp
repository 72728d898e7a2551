// Sending a verification code to a phone number, and its reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "auth/backend/CodeIdentity.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct SendVerificationCodeResponse {
    std::optional<std::string> verificationID;  // "sessionInfo"
    static SendVerificationCodeResponse initFromJSON(const nlohmann::json& object);
};

class SendVerificationCodeRequest : public IdentityToolkitRequest {
public:
    using Response = SendVerificationCodeResponse;

    SendVerificationCodeRequest(std::string phoneNumber, CodeIdentity codeIdentity,
                                std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string phoneNumber;
    CodeIdentity codeIdentity;
    std::optional<std::string> captchaResponse;
    std::optional<std::string> recaptchaVersion;
};

}  // namespace brisko::auth
