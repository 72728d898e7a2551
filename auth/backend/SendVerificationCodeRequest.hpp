// The phone and app verification records: sending a code to a phone number, verifying the received
// code, and verifying the app with a platform token.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "auth/backend/CodeIdentity.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

// The identity client's kinds of operation.
enum class AuthOperationType : int { unspecified = 0, signUpOrSignIn = 1, reauth = 2, update = 3, link = 4 };
// "VERIFY_OP_UNSPECIFIED", "SIGN_UP_OR_IN", "REAUTH", "UPDATE", "LINK".
std::string_view operationText(AuthOperationType operation);

struct SendVerificationCodeResponse {
    std::optional<std::string> verificationID;  // "sessionInfo"
    static SendVerificationCodeResponse initFromJSON(const nlohmann::json& object);
};

class SendVerificationCodeRequest : public IdentityToolkitRequest {
  public:
    using Response = SendVerificationCodeResponse;

    SendVerificationCodeRequest(std::string phoneNumber, CodeIdentity codeIdentity,
                                std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::string phoneNumber;
    CodeIdentity codeIdentity;
    std::optional<std::string> captchaResponse;
    std::optional<std::string> recaptchaVersion;
};

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

    VerifyPhoneNumberRequest(AuthOperationType operation, std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> verificationID;
    std::optional<std::string> verificationCode;
    std::optional<std::string> accessToken;
    std::optional<std::string> temporaryProof;
    std::optional<std::string> phoneNumber;
    AuthOperationType operation;
};

struct VerifyClientResponse {
    std::optional<std::string> receipt;
    std::optional<platform::Date> suggestedTimeOutDate;

    static VerifyClientResponse initFromJSON(const nlohmann::json& object);
};

class VerifyClientRequest : public IdentityToolkitRequest {
  public:
    using Response = VerifyClientResponse;

    VerifyClientRequest(std::optional<std::string> appToken, bool isSandbox,
                        std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> appToken;
    bool isSandbox = false;
};

}  // namespace brisko::auth
