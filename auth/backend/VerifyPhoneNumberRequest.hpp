// Verifying the code a phone received, and its reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

// The identity client's kinds of operation.
enum class AuthOperationType : int { unspecified = 0, signUpOrSignIn = 1, reauth = 2, update = 3, link = 4 };
// "VERIFY_OP_UNSPECIFIED", "SIGN_UP_OR_IN", "REAUTH", "UPDATE", "LINK".
std::string_view operationText(AuthOperationType operation);

struct VerifyPhoneNumberResponse {
    std::optional<std::string> idToken;
    std::optional<std::string> refreshToken;
    std::optional<std::string> localID;
    std::optional<std::string> phoneNumber;
    std::optional<std::string> temporaryProof;
    bool isNewUser = false;
    std::optional<platform::Date> approximateExpirationDate;

    static VerifyPhoneNumberResponse initFromJSON(const nlohmann::json& object);
};

class VerifyPhoneNumberRequest : public IdentityToolkitRequest {
public:
    using Response = VerifyPhoneNumberResponse;

    VerifyPhoneNumberRequest(AuthOperationType operation,
                             std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> verificationID;
    std::optional<std::string> verificationCode;
    std::optional<std::string> accessToken;
    std::optional<std::string> temporaryProof;
    std::optional<std::string> phoneNumber;
    AuthOperationType operation;
};

}  // namespace brisko::auth
