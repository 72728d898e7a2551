// The nested records that carry the phone and TOTP specifics of the multi-factor requests and replies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "auth/backend/CodeIdentity.hpp"
#include "platform/base/Value.hpp"

namespace brisko::auth {

// Request payloads; each builds its JSON object with only the keys whose values are set.
struct AuthProtoStartMFAPhoneRequestInfo {
    std::optional<std::string> phoneNumber;
    CodeIdentity codeIdentity;
    std::optional<std::string> captchaResponse;
    std::optional<std::string> recaptchaVersion;
    std::optional<std::string> clientType;
    nlohmann::ordered_json dictionary() const;
};

// No fields: the start-enrollment request sends an empty object in its place.
struct AuthProtoStartMFATOTPEnrollmentRequestInfo {};

struct AuthProtoFinalizeMFAPhoneRequestInfo {
    std::optional<std::string> sessionInfo;
    std::optional<std::string> code;
    nlohmann::ordered_json dictionary() const;
};

struct AuthProtoFinalizeMFATOTPEnrollmentRequestInfo {
    std::optional<std::string> sessionInfo;
    std::optional<std::string> verificationCode;
    nlohmann::ordered_json dictionary() const;
};

// "verificationCode" only: the sign-in finalize request writes the enrollment ID at its top level.
struct AuthProtoFinalizeMFATOTPSignInRequestInfo {
    std::optional<std::string> mfaEnrollmentID;
    std::optional<std::string> verificationCode;
    nlohmann::ordered_json dictionary() const;
};

// Reply payloads.
struct AuthProtoStartMFAPhoneResponseInfo {
    std::optional<std::string> sessionInfo;
};

struct AuthProtoFinalizeMFAPhoneResponseInfo {
    std::optional<std::string> phoneNumber;
};

// The TOTP secret to show the user.
struct AuthProtoStartMFATOTPEnrollmentResponseInfo {
    std::string sharedSecretKey;
    std::int64_t verificationCodeLength = 0;
    std::optional<std::string> hashingAlgorithm;
    std::int64_t periodSec = 0;
    std::optional<std::string> sessionInfo;
    std::optional<platform::Date> finalizeEnrollmentTime;

    // Nothing when the object has no text "sharedSecretKey".
    static std::optional<AuthProtoStartMFATOTPEnrollmentResponseInfo> initFromJSON(const nlohmann::json& object);
};

struct AuthProtoFinalizeMFATOTPEnrollmentResponseInfo {
    std::optional<std::string> sessionInfo;  // not read from the reply
};

}  // namespace brisko::auth
