// The phone and app verification records.
#include "auth/backend/SendVerificationCodeRequest.hpp"

#include <cstdlib>

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

std::string_view operationText(AuthOperationType operation) {
    switch (operation) {
        case AuthOperationType::unspecified: return "VERIFY_OP_UNSPECIFIED";
        case AuthOperationType::signUpOrSignIn: return "SIGN_UP_OR_IN";
        case AuthOperationType::reauth: return "REAUTH";
        case AuthOperationType::update: return "UPDATE";
        case AuthOperationType::link: return "LINK";
    }
    return "VERIFY_OP_UNSPECIFIED";
}

SendVerificationCodeResponse SendVerificationCodeResponse::initFromJSON(const nlohmann::json& object) {
    return {readText(object, "sessionInfo")};
}

SendVerificationCodeRequest::SendVerificationCodeRequest(std::string phone, CodeIdentity identity,
                                                         std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("sendVerificationCode", std::move(configuration)),
      phoneNumber(std::move(phone)),
      codeIdentity(std::move(identity)) {}

std::optional<JSONBody> SendVerificationCodeRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["phoneNumber"] = phoneNumber;
    codeIdentity.addTo(body);
    if (captchaResponse) body["captchaResponse"] = *captchaResponse;
    if (recaptchaVersion) body["recaptchaVersion"] = *recaptchaVersion;
    addTenant(body);
    body["clientType"] = clientType;
    return body;
}

VerifyPhoneNumberResponse VerifyPhoneNumberResponse::initFromJSON(const nlohmann::json& object) {
    VerifyPhoneNumberResponse r;
    r.idToken = readText(object, "idToken");
    r.refreshToken = readText(object, "refreshToken");
    r.isNewUser = readBoolean(object, "isNewUser");
    r.localID = readText(object, "localId");
    r.phoneNumber = readText(object, "phoneNumber");
    r.temporaryProof = readText(object, "temporaryProof");
    r.approximateExpirationDate = readExpiresIn(object, "expiresIn");
    return r;
}

VerifyPhoneNumberRequest::VerifyPhoneNumberRequest(AuthOperationType op,
                                                   std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("verifyPhoneNumber", std::move(configuration)), operation(op) {}

std::optional<JSONBody> VerifyPhoneNumberRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (verificationID) body["sessionInfo"] = *verificationID;
    if (verificationCode) body["code"] = *verificationCode;
    if (accessToken) body["idToken"] = *accessToken;
    if (temporaryProof) body["temporaryProof"] = *temporaryProof;
    if (phoneNumber) body["phoneNumber"] = *phoneNumber;
    addTenant(body);
    body["operation"] = operationText(operation);
    return body;
}

VerifyClientResponse VerifyClientResponse::initFromJSON(const nlohmann::json& object) {
    VerifyClientResponse r;
    r.receipt = readText(object, "receipt");
    // Unlike "expiresIn", the timeout text must be a decimal number as a whole.
    if (auto timeout = readText(object, "suggestedTimeout"); timeout && isWholeDecimalNumber(*timeout)) {
        r.suggestedTimeOutDate = dateAfterSeconds(std::strtod(timeout->c_str(), nullptr));
    }
    return r;
}

VerifyClientRequest::VerifyClientRequest(std::optional<std::string> token, bool sandbox,
                                         std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("verifyClient", std::move(configuration)), appToken(std::move(token)), isSandbox(sandbox) {}

std::optional<JSONBody> VerifyClientRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (appToken) body["appToken"] = *appToken;
    if (isSandbox) body["isSandbox"] = true;
    return body;
}

}  // namespace brisko::auth
