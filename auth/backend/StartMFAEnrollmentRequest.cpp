// Starting a second-factor enrollment.
#include "auth/backend/StartMFAEnrollmentRequest.hpp"

#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

StartMFAEnrollmentResponse StartMFAEnrollmentResponse::initFromJSON(const nlohmann::json& object) {
    StartMFAEnrollmentResponse r;
    if (const auto* phone = member(object, "phoneSessionInfo"); phone && phone->is_object()) {
        r.phoneSessionInfo = AuthProtoStartMFAPhoneResponseInfo{readText(*phone, "sessionInfo")};
        return r;
    }
    if (const auto* totp = member(object, "totpSessionInfo"); totp && totp->is_object()) {
        // A TOTP start without its shared secret cannot be shown to the user: the reply is malformed.
        r.totpSessionInfo = AuthProtoStartMFATOTPEnrollmentResponseInfo::initFromJSON(*totp);
        if (!r.totpSessionInfo) throwUnexpectedResponse(object);
        return r;
    }
    throwUnexpectedResponse(object);
}

StartMFAEnrollmentRequest::StartMFAEnrollmentRequest(std::optional<std::string> token,
                                                     std::optional<AuthProtoStartMFATOTPEnrollmentRequestInfo> totp,
                                                     std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaEnrollment:start", std::move(configuration), true), idToken(std::move(token)),
      totpEnrollmentInfo(totp) {}

std::optional<JSONBody> StartMFAEnrollmentRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (idToken) body["idToken"] = *idToken;
    if (phoneEnrollmentInfo) {
        body["phoneEnrollmentInfo"] = phoneEnrollmentInfo->dictionary();
    } else if (totpEnrollmentInfo) {
        body["totpEnrollmentInfo"] = JSONBody::object();
    }
    addTenant(body);
    return body;
}

}  // namespace brisko::auth
