// The identity stack's error vocabulary: public codes with their names and default messages, the
// internal codes, the two error domains and the user-info keys.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/base/Error.hpp"

namespace brisko::auth {

// Public error codes (domain "ZIRAuthErrorDomain"); the raw value is the error's code.
enum class AuthErrorCode : std::int64_t {
    invalidCustomToken = 17000,
    customTokenMismatch = 17002,
    invalidCredential = 17004,
    userDisabled = 17005,
    operationNotAllowed = 17006,
    emailAlreadyInUse = 17007,
    invalidEmail = 17008,
    wrongPassword = 17009,
    tooManyRequests = 17010,
    userNotFound = 17011,
    accountExistsWithDifferentCredential = 17012,
    requiresRecentLogin = 17014,
    providerAlreadyLinked = 17015,
    noSuchProvider = 17016,
    invalidUserToken = 17017,
    networkRequestFailed = 17020,
    userTokenExpired = 17021,
    invalidAPIKey = 17023,
    userMismatch = 17024,
    credentialAlreadyInUse = 17025,
    weakPassword = 17026,
    appNotAuthorized = 17028,
    expiredActionCode = 17029,
    invalidActionCode = 17030,
    invalidMessagePayload = 17031,
    invalidSender = 17032,
    invalidRecipientEmail = 17033,
    missingEmail = 17034,
    missingIOSBundleID = 17036,
    missingAndroidPkgName = 17037,
    unauthorizedDomain = 17038,
    invalidContinueURI = 17039,
    missingContinueURI = 17040,
    missingPhoneNumber = 17041,
    invalidPhoneNumber = 17042,
    missingVerificationCode = 17043,
    invalidVerificationCode = 17044,
    missingVerificationID = 17045,
    invalidVerificationID = 17046,
    missingAppCredential = 17047,
    invalidAppCredential = 17048,
    sessionExpired = 17051,
    quotaExceeded = 17052,
    missingAppToken = 17053,
    notificationNotForwarded = 17054,
    appNotVerified = 17055,
    captchaCheckFailed = 17056,
    webContextAlreadyPresented = 17057,
    webContextCancelled = 17058,
    appVerificationFailed = 17059,
    invalidClientID = 17060,
    webNetworkRequestFailed = 17061,
    webInternalError = 17062,
    webUserInteractionFailure = 17063,
    localPlayerNotAuthenticated = 17066,
    nullUser = 17067,
    invalidProviderID = 17071,
    tenantIDMismatch = 17072,
    unsupportedTenantOperation = 17073,
    rejectedCredential = 17075,
    gameKitNotLinked = 17076,
    secondFactorRequired = 17078,
    missingMultiFactorSession = 17081,
    missingMultiFactorInfo = 17082,
    invalidMultiFactorSession = 17083,
    multiFactorInfoNotFound = 17084,
    adminRestrictedOperation = 17085,
    unverifiedEmail = 17086,
    secondFactorAlreadyEnrolled = 17087,
    maximumSecondFactorCountExceeded = 17088,
    unsupportedFirstFactor = 17089,
    emailChangeNeedsVerification = 17090,
    missingClientIdentifier = 17093,
    missingOrInvalidNonce = 17094,
    blockingCloudFunctionReturnedError = 17105,
    recaptchaNotEnabled = 17200,
    missingRecaptchaToken = 17201,
    invalidRecaptchaToken = 17202,
    invalidRecaptchaAction = 17203,
    missingClientType = 17204,
    missingRecaptchaVersion = 17205,
    invalidRecaptchaVersion = 17206,
    invalidReqType = 17207,
    recaptchaSDKNotLinked = 17208,
    recaptchaSiteKeyMissing = 17209,
    recaptchaActionCreationFailed = 17210,
    invalidHostingLinkDomain = 17214,
    keychainError = 17995,
    internalError = 17999,
    malformedJWT = 18000,
};

// Internal codes (domain "ZIRAuthInternalErrorDomain"); they reach callers only wrapped in 17999.
enum class AuthInternalErrorCode : std::int64_t {
    networkError = 17020,
    unusedInternalError = 1,  // produced by nothing
    jsonSerializationError = 2,
    unexpectedErrorResponse = 3,
    unexpectedResponse = 4,
    responseDecodingError = 5,
};

// The domains and the published user-info keys.
struct AuthErrors {
    static constexpr std::string_view domain = "ZIRAuthErrorDomain";
    static constexpr std::string_view userInfoNameKey = "ZIRAuthErrorUserInfoNameKey";
    static constexpr std::string_view userInfoEmailKey = "ZIRAuthErrorUserInfoEmailKey";
    static constexpr std::string_view userInfoUpdatedCredentialKey = "ZIRAuthErrorUserInfoUpdatedCredentialKey";
    static constexpr std::string_view userInfoMultiFactorResolverKey = "ZIRAuthErrorUserInfoMultiFactorResolverKey";
};
inline constexpr std::string_view kAuthInternalErrorDomain = "ZIRAuthInternalErrorDomain";
inline constexpr std::string_view kAuthErrorUserInfoDeserializedResponseKey =
    "ZIRAuthErrorUserInfoDeserializedResponseKey";
inline constexpr std::string_view kAuthErrorUserInfoDataKey = "ZIRAuthErrorUserInfoDataKey";
// The domain of a bare code used as an error value (nothing in the system throws one).
inline constexpr std::string_view kAuthErrorCodeTypeDomain = "ZudiridiRozu.AuthErrorCode";

// The code for a raw value, or nothing for any integer outside the list (the gaps included).
std::optional<AuthErrorCode> authErrorCodeFromRawValue(std::int64_t rawValue);
// "ERROR_USER_NOT_FOUND" and the like.
std::string_view errorCodeString(AuthErrorCode code);
// The code's default English message.
std::string_view errorDescription(AuthErrorCode code);
constexpr std::int64_t rawValue(AuthErrorCode code) {
    return static_cast<std::int64_t>(code);
}
constexpr std::int64_t rawValue(AuthInternalErrorCode code) {
    return static_cast<std::int64_t>(code);
}

// A bare code as an error value ("ZudiridiRozu.AuthErrorCode"), and back (only from that domain).
platform::Error toError(AuthErrorCode code);
std::optional<AuthErrorCode> authErrorCodeFromError(const platform::Error& error);

}  // namespace brisko::auth
