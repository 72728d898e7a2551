// Verifying a phone's code.
#include "auth/backend/VerifyPhoneNumberRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

std::string_view operationText(AuthOperationType operation) {
    switch (operation) {
    case AuthOperationType::unspecified:
        return "VERIFY_OP_UNSPECIFIED";
    case AuthOperationType::signUpOrSignIn:
        return "SIGN_UP_OR_IN";
    case AuthOperationType::reauth:
        return "REAUTH";
    case AuthOperationType::update:
        return "UPDATE";
    case AuthOperationType::link:
        return "LINK";
    }
    return "VERIFY_OP_UNSPECIFIED";
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

}  // namespace brisko::auth
