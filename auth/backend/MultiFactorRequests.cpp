// The second-factor calls.
#include "auth/backend/MultiFactorRequests.hpp"

#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

namespace {
[[noreturn]] void unexpected(const nlohmann::json& object) {
    throw platform::ErrorException(AuthErrorUtils::unexpectedResponseWithDictionary(valueFromJSON(object)));
}
}  // namespace

StartMFAEnrollmentResponse StartMFAEnrollmentResponse::initFromJSON(const nlohmann::json& object) {
    StartMFAEnrollmentResponse r;
    if (const auto* phone = member(object, "phoneSessionInfo"); phone && phone->is_object()) {
        r.phoneSessionInfo = AuthProtoStartMFAPhoneResponseInfo{readText(*phone, "sessionInfo")};
        return r;
    }
    if (const auto* totp = member(object, "totpSessionInfo"); totp && totp->is_object()) {
        // A TOTP start without its shared secret cannot be shown to the user: the reply is malformed.
        r.totpSessionInfo = AuthProtoStartMFATOTPEnrollmentResponseInfo::initFromJSON(*totp);
        if (!r.totpSessionInfo) unexpected(object);
        return r;
    }
    unexpected(object);
}

StartMFAEnrollmentRequest::StartMFAEnrollmentRequest(
    std::optional<std::string> token, std::optional<AuthProtoStartMFATOTPEnrollmentRequestInfo> totp,
    std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaEnrollment:start", std::move(configuration), true),
      idToken(std::move(token)),
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
      idToken(std::move(token)),
      displayName(std::move(name)),
      phoneVerificationInfo(std::move(phone)) {}

FinalizeMFAEnrollmentRequest::FinalizeMFAEnrollmentRequest(std::optional<std::string> token,
                                                           std::optional<std::string> name,
                                                           AuthProtoFinalizeMFATOTPEnrollmentRequestInfo totp,
                                                           std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaEnrollment:finalize", std::move(configuration), true),
      idToken(std::move(token)),
      displayName(std::move(name)),
      totpVerificationInfo(std::move(totp)) {}

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

WithdrawMFAResponse WithdrawMFAResponse::initFromJSON(const nlohmann::json& object) {
    return {readText(object, "idToken"), readText(object, "refreshToken")};
}

WithdrawMFARequest::WithdrawMFARequest(std::optional<std::string> token, std::optional<std::string> enrollmentID,
                                       std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaEnrollment:withdraw", std::move(configuration), true),
      idToken(std::move(token)),
      mfaEnrollmentID(std::move(enrollmentID)) {}

std::optional<JSONBody> WithdrawMFARequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (idToken) body["idToken"] = *idToken;
    if (mfaEnrollmentID) body["mfaEnrollmentId"] = *mfaEnrollmentID;
    addTenant(body);
    return body;
}

StartMFASignInResponse StartMFASignInResponse::initFromJSON(const nlohmann::json& object) {
    const auto* info = member(object, "phoneResponseInfo");
    if (!info || !info->is_object()) unexpected(object);
    return {AuthProtoStartMFAPhoneResponseInfo{readText(*info, "sessionInfo")}};
}

StartMFASignInRequest::StartMFASignInRequest(std::optional<std::string> pendingCredential,
                                             std::optional<std::string> enrollmentID,
                                             std::optional<AuthProtoStartMFAPhoneRequestInfo> info,
                                             std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaSignIn:start", std::move(configuration), true),
      MFAPendingCredential(std::move(pendingCredential)),
      MFAEnrollmentID(std::move(enrollmentID)),
      signInInfo(std::move(info)) {}

std::optional<JSONBody> StartMFASignInRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (MFAPendingCredential) body["mfaPendingCredential"] = *MFAPendingCredential;
    if (MFAEnrollmentID) body["mfaEnrollmentId"] = *MFAEnrollmentID;
    if (signInInfo) body["phoneSignInInfo"] = signInInfo->dictionary();
    addTenant(body);
    return body;
}

FinalizeMFASignInRequest::FinalizeMFASignInRequest(std::optional<std::string> pendingCredential,
                                                   MFASignInVerificationInfo info,
                                                   std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("accounts/mfaSignIn:finalize", std::move(configuration), true),
      mfaPendingCredential(std::move(pendingCredential)),
      verificationInfo(std::move(info)) {}

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
