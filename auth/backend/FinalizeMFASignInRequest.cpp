// Finishing a sign-in with a second factor.
#include "auth/backend/FinalizeMFASignInRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

FinalizeMFASignInRequest::FinalizeMFASignInRequest(std::optional<std::string> pendingCredential,
                                                   MFASignInVerificationInfo info,
                                                   std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaSignIn:finalize", std::move(configuration), true),
      mfaPendingCredential(std::move(pendingCredential)), verificationInfo(std::move(info)) {}

std::optional<JSONBody> FinalizeMFASignInRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (mfaPendingCredential) body["mfaPendingCredential"] = *mfaPendingCredential;
    if (const auto* phone = std::get_if<AuthProtoFinalizeMFAPhoneRequestInfo>(&verificationInfo)) {
        body["phoneVerificationInfo"] = phone->dictionary();
    } else if (const auto* totp = std::get_if<AuthProtoFinalizeMFATOTPSignInRequestInfo>(&verificationInfo)) {
        body["totpVerificationInfo"] = totp->dictionary();
        if (totp->mfaEnrollmentID) body["mfaEnrollmentId"] = *totp->mfaEnrollmentID;
    }
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
