// The second-factor calls of the identity platform: start and finalize an enrollment, withdraw one,
// and start and finalize a sign-in that a first factor left pending.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "auth/backend/AuthProtoMFAPayloads.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"

namespace brisko::auth {

struct StartMFAEnrollmentResponse {
    std::optional<AuthProtoStartMFAPhoneResponseInfo> phoneSessionInfo;
    std::optional<AuthProtoStartMFATOTPEnrollmentResponseInfo> totpSessionInfo;

    // Exactly one is set; a reply with neither object, or a TOTP object without a text
    // "sharedSecretKey", fails with the unexpected-response error carrying the whole reply.
    static StartMFAEnrollmentResponse initFromJSON(const nlohmann::json& object);
};

class StartMFAEnrollmentRequest : public IdentityToolkitRequest {
  public:
    using Response = StartMFAEnrollmentResponse;

    StartMFAEnrollmentRequest(std::optional<std::string> idToken,
                              std::optional<AuthProtoStartMFATOTPEnrollmentRequestInfo> totpEnrollmentInfo,
                              std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> idToken;
    std::optional<AuthProtoStartMFAPhoneRequestInfo> phoneEnrollmentInfo;
    std::optional<AuthProtoStartMFATOTPEnrollmentRequestInfo> totpEnrollmentInfo;
};

// Also the reply of the second-factor sign-in finalize.
struct FinalizeMFAEnrollmentResponse {
    std::optional<std::string> idToken;
    std::optional<std::string> refreshToken;
    std::optional<AuthProtoFinalizeMFAPhoneResponseInfo> phoneSessionInfo;
    std::optional<AuthProtoFinalizeMFATOTPEnrollmentResponseInfo> totpSessionInfo;

    static FinalizeMFAEnrollmentResponse initFromJSON(const nlohmann::json& object);
};

class FinalizeMFAEnrollmentRequest : public IdentityToolkitRequest {
  public:
    using Response = FinalizeMFAEnrollmentResponse;

    FinalizeMFAEnrollmentRequest(std::optional<std::string> idToken, std::optional<std::string> displayName,
                                 AuthProtoFinalizeMFAPhoneRequestInfo phoneVerificationInfo,
                                 std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    FinalizeMFAEnrollmentRequest(std::optional<std::string> idToken, std::optional<std::string> displayName,
                                 AuthProtoFinalizeMFATOTPEnrollmentRequestInfo totpVerificationInfo,
                                 std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> idToken;
    std::optional<std::string> displayName;
    std::optional<AuthProtoFinalizeMFAPhoneRequestInfo> phoneVerificationInfo;
    std::optional<AuthProtoFinalizeMFATOTPEnrollmentRequestInfo> totpVerificationInfo;
};

struct WithdrawMFAResponse {
    std::optional<std::string> idToken;
    std::optional<std::string> refreshToken;

    static WithdrawMFAResponse initFromJSON(const nlohmann::json& object);
};

class WithdrawMFARequest : public IdentityToolkitRequest {
  public:
    using Response = WithdrawMFAResponse;

    WithdrawMFARequest(std::optional<std::string> idToken, std::optional<std::string> mfaEnrollmentID,
                       std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> idToken;
    std::optional<std::string> mfaEnrollmentID;
};

struct StartMFASignInResponse {
    AuthProtoStartMFAPhoneResponseInfo responseInfo;

    // Fails with the unexpected-response error unless "phoneResponseInfo" is an object.
    static StartMFASignInResponse initFromJSON(const nlohmann::json& object);
};

// "accounts/mfaSignIn:start"; nothing in the system sends it.
class StartMFASignInRequest : public IdentityToolkitRequest {
  public:
    using Response = StartMFASignInResponse;

    StartMFASignInRequest(std::optional<std::string> MFAPendingCredential, std::optional<std::string> MFAEnrollmentID,
                          std::optional<AuthProtoStartMFAPhoneRequestInfo> signInInfo,
                          std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    std::optional<JSONBody> jsonBody() const override;

    std::optional<std::string> MFAPendingCredential;
    std::optional<std::string> MFAEnrollmentID;
    std::optional<AuthProtoStartMFAPhoneRequestInfo> signInInfo;
};

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
