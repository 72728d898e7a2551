// Starting a second-factor enrollment ("accounts/mfaEnrollment:start") and its reply.
#pragma once

#include <optional>
#include <string>

#include "auth/backend/AuthProtoMFAPayloads.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct StartMFAEnrollmentResponse {
    std::optional<AuthProtoStartMFAPhoneResponseInfo> phoneSessionInfo;
    std::optional<AuthProtoStartMFATOTPEnrollmentResponseInfo> totpSessionInfo;

    // Exactly one is set; a reply with neither object, or a TOTP object without a text
    // "sharedSecretKey", fails with the unexpected-response error carrying the whole reply.
    static StartMFAEnrollmentResponse initFromJSON(const nlohmann::json& object);
};

class StartMFAEnrollmentRequest : public IdentityToolkitRequest {
public:
    using Response = StartMFAEnrollmentResponse;

    StartMFAEnrollmentRequest(std::optional<std::string> idToken,
                              std::optional<AuthProtoStartMFATOTPEnrollmentRequestInfo> totpEnrollmentInfo,
                              std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> idToken;
    std::optional<AuthProtoStartMFAPhoneRequestInfo> phoneEnrollmentInfo;
    std::optional<AuthProtoStartMFATOTPEnrollmentRequestInfo> totpEnrollmentInfo;
};

}  // namespace brisko::auth
