// Finishing a second-factor enrollment.
#include "auth/backend/FinalizeMFAEnrollmentRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

FinalizeMFAEnrollmentResponse FinalizeMFAEnrollmentResponse::initFromJSON(const nlohmann::json& object) {
    FinalizeMFAEnrollmentResponse r;
    r.idToken = readText(object, "idToken");
    r.refreshToken = readText(object, "refreshToken");
    if (const auto* phone = member(object, "phoneSessionInfo"); phone && phone->is_object()) {
        r.phoneSessionInfo = AuthProtoFinalizeMFAPhoneResponseInfo{readText(*phone, "phoneNumber")};
    } else if (const auto* totp = member(object, "totpSessionInfo"); totp && totp->is_object()) {
        r.totpSessionInfo = AuthProtoFinalizeMFATOTPEnrollmentResponseInfo{};
    }
    return r;
}

FinalizeMFAEnrollmentRequest::FinalizeMFAEnrollmentRequest(std::optional<std::string> token,
                                                           std::optional<std::string> name,
                                                           AuthProtoFinalizeMFAPhoneRequestInfo phone,
                                                           std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaEnrollment:finalize", std::move(configuration), true),
      idToken(std::move(token)), displayName(std::move(name)), phoneVerificationInfo(std::move(phone)) {}

FinalizeMFAEnrollmentRequest::FinalizeMFAEnrollmentRequest(std::optional<std::string> token,
                                                           std::optional<std::string> name,
                                                           AuthProtoFinalizeMFATOTPEnrollmentRequestInfo totp,
                                                           std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaEnrollment:finalize", std::move(configuration), true),
      idToken(std::move(token)), displayName(std::move(name)), totpVerificationInfo(std::move(totp)) {}

std::optional<JSONBody> FinalizeMFAEnrollmentRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (idToken) body["idToken"] = *idToken;
    if (displayName) body["displayName"] = *displayName;
    if (phoneVerificationInfo) {
        body["phoneVerificationInfo"] = phoneVerificationInfo->dictionary();
    } else if (totpVerificationInfo) {
        body["totpVerificationInfo"] = totpVerificationInfo->dictionary();
    }
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
