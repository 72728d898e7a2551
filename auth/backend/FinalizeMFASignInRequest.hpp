// Finishing a sign-in with a second factor ("accounts/mfaSignIn:finalize"); its reply is the enrollment finalize reply.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "auth/backend/AuthProtoMFAPayloads.hpp"
#include "auth/backend/FinalizeMFAEnrollmentRequest.hpp"

namespace brisko::auth {

// The proof of the second factor: a phone code or a TOTP code.
using MFASignInVerificationInfo =
    std::variant<std::monostate, AuthProtoFinalizeMFAPhoneRequestInfo, AuthProtoFinalizeMFATOTPSignInRequestInfo>;

class FinalizeMFASignInRequest : public IdentityToolkitRequest {
public:
    using Response = FinalizeMFAEnrollmentResponse;

    FinalizeMFASignInRequest(std::optional<std::string> mfaPendingCredential,
                             MFASignInVerificationInfo verificationInfo,
                             std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> mfaPendingCredential;
    MFASignInVerificationInfo verificationInfo;
};

}  // namespace brisko::auth
