// Finishing a second-factor enrollment ("accounts/mfaEnrollment:finalize") and its reply, which also answers the
// second-factor sign-in finalize.
#pragma once

#include <optional>
#include <string>

#include "auth/backend/AuthProtoMFAPayloads.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

// Also the reply of the second-factor sign-in finalize.
struct FinalizeMFAEnrollmentResponse {
    std::optional<std::string> idToken;
    std::optional<std::string> refreshToken;
    std::optional<AuthProtoFinalizeMFAPhoneResponseInfo> phoneSessionInfo;
    std::optional<AuthProtoFinalizeMFATOTPEnrollmentResponseInfo> totpSessionInfo;

    static FinalizeMFAEnrollmentResponse initFromJSON(const nlohmann::json& object);
};

class FinalizeMFAEnrollmentRequest : public IdentityToolkitRequest {
public:
    using Response = FinalizeMFAEnrollmentResponse;

    FinalizeMFAEnrollmentRequest(std::optional<std::string> idToken, std::optional<std::string> displayName,
                                 AuthProtoFinalizeMFAPhoneRequestInfo phoneVerificationInfo,
                                 std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    FinalizeMFAEnrollmentRequest(std::optional<std::string> idToken, std::optional<std::string> displayName,
                                 AuthProtoFinalizeMFATOTPEnrollmentRequestInfo totpVerificationInfo,
                                 std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> idToken;
    std::optional<std::string> displayName;
    std::optional<AuthProtoFinalizeMFAPhoneRequestInfo> phoneVerificationInfo;
    std::optional<AuthProtoFinalizeMFATOTPEnrollmentRequestInfo> totpVerificationInfo;
};

}  // namespace brisko::auth
