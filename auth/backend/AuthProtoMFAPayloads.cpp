// The multi-factor payload records.
#include "auth/backend/AuthProtoMFAPayloads.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

nlohmann::ordered_json AuthProtoStartMFAPhoneRequestInfo::dictionary() const {
    auto o = nlohmann::ordered_json::object();
    if (phoneNumber) o["phoneNumber"] = *phoneNumber;
    if (captchaResponse) o["captchaResponse"] = *captchaResponse;
    if (recaptchaVersion) o["recaptchaVersion"] = *recaptchaVersion;
    if (clientType) o["clientType"] = *clientType;
    codeIdentity.addTo(o);
    return o;
}

nlohmann::ordered_json AuthProtoFinalizeMFAPhoneRequestInfo::dictionary() const {
    auto o = nlohmann::ordered_json::object();
    if (sessionInfo) o["sessionInfo"] = *sessionInfo;
    if (code) o["code"] = *code;
    return o;
}

nlohmann::ordered_json AuthProtoFinalizeMFATOTPEnrollmentRequestInfo::dictionary() const {
    auto o = nlohmann::ordered_json::object();
    if (sessionInfo) o["sessionInfo"] = *sessionInfo;
    if (verificationCode) o["verificationCode"] = *verificationCode;
    return o;
}

nlohmann::ordered_json AuthProtoFinalizeMFATOTPSignInRequestInfo::dictionary() const {
    auto o = nlohmann::ordered_json::object();
    if (verificationCode) o["verificationCode"] = *verificationCode;
    return o;
}

std::optional<AuthProtoStartMFATOTPEnrollmentResponseInfo>
AuthProtoStartMFATOTPEnrollmentResponseInfo::initFromJSON(const nlohmann::json& object) {
    auto secret = readText(object, "sharedSecretKey");
    if (!secret) return std::nullopt;
    AuthProtoStartMFATOTPEnrollmentResponseInfo r;
    r.sharedSecretKey = std::move(*secret);
    r.verificationCodeLength = readInteger(object, "verificationCodeLength");
    r.hashingAlgorithm = readText(object, "hashingAlgorithm");
    r.periodSec = readInteger(object, "periodSec");
    r.sessionInfo = readText(object, "sessionInfo");
    r.finalizeEnrollmentTime = readEnrollmentDate(object, "finalizeEnrollmentTime");
    return r;
}

}  // namespace brisko::auth
