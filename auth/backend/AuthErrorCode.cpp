// The names and default messages of the public error codes.
#include "auth/backend/AuthErrorCode.hpp"

#include <algorithm>
#include <array>

namespace brisko::auth {
namespace {

struct CodeText {
    AuthErrorCode code;
    std::string_view name;
    std::string_view message;
};

// Sorted by code, so a look-up is a binary search.
constexpr CodeText kCodeTexts[] = {
    {AuthErrorCode::invalidCustomToken, "ERROR_INVALID_CUSTOM_TOKEN",
     "The custom token format is incorrect. Please check the documentation."},
    {AuthErrorCode::customTokenMismatch, "ERROR_CUSTOM_TOKEN_MISMATCH",
     "The custom token corresponds to a different audience."},
    {AuthErrorCode::invalidCredential, "ERROR_INVALID_CREDENTIAL",
     "The supplied auth credential is malformed or has expired."},
    {AuthErrorCode::userDisabled, "ERROR_USER_DISABLED", "The user account has been disabled by an administrator."},
    {AuthErrorCode::operationNotAllowed, "ERROR_OPERATION_NOT_ALLOWED",
     "The given sign-in provider is disabled for this Zudiridi project. Enable it in the Zudiridi console, under the "
     "sign-in method tab of the Auth section."},
    {AuthErrorCode::emailAlreadyInUse, "ERROR_EMAIL_ALREADY_IN_USE",
     "The email address is already in use by another account."},
    {AuthErrorCode::invalidEmail, "ERROR_INVALID_EMAIL", "The email address is badly formatted."},
    {AuthErrorCode::wrongPassword, "ERROR_WRONG_PASSWORD",
     "The password is invalid or the user does not have a password."},
    {AuthErrorCode::tooManyRequests, "ERROR_TOO_MANY_REQUESTS",
     "We have blocked all requests from this device due to unusual activity. Try again later."},
    {AuthErrorCode::userNotFound, "ERROR_USER_NOT_FOUND",
     "There is no user record corresponding to this identifier. The user may have been deleted."},
    {AuthErrorCode::accountExistsWithDifferentCredential, "ERROR_ACCOUNT_EXISTS_WITH_DIFFERENT_CREDENTIAL",
     "An account already exists with the same email address but different sign-in credentials. Sign in using a "
     "provider associated with this email address."},
    {AuthErrorCode::requiresRecentLogin, "ERROR_REQUIRES_RECENT_LOGIN",
     "This operation is sensitive and requires recent authentication. Log in again before retrying this request."},
    {AuthErrorCode::providerAlreadyLinked, "ERROR_PROVIDER_ALREADY_LINKED",
     "[ERROR_PROVIDER_ALREADY_LINKED] - User can only be linked to one identity for the given provider."},
    {AuthErrorCode::noSuchProvider, "ERROR_NO_SUCH_PROVIDER",
     "User was not linked to an account with the given provider."},
    {AuthErrorCode::invalidUserToken, "ERROR_INVALID_USER_TOKEN",
     "This user's credential isn't valid for this project. This can happen if the user's token has been tampered with, "
     "or if the user doesn’t belong to the project associated with the API key used in your request."},
    {AuthErrorCode::networkRequestFailed, "ERROR_NETWORK_REQUEST_FAILED",
     "Network error (such as timeout, interrupted connection or unreachable host) has occurred."},
    {AuthErrorCode::userTokenExpired, "ERROR_USER_TOKEN_EXPIRED",
     "The user's credential is no longer valid. The user must sign in again."},
    {AuthErrorCode::invalidAPIKey, "ERROR_INVALID_API_KEY", "An invalid API Key was supplied in the request."},
    {AuthErrorCode::userMismatch, "ERROR_USER_MISMATCH",
     "The supplied credentials do not correspond to the previously signed in user."},
    {AuthErrorCode::credentialAlreadyInUse, "ERROR_CREDENTIAL_ALREADY_IN_USE",
     "This credential is already associated with a different user account."},
    {AuthErrorCode::weakPassword, "ERROR_WEAK_PASSWORD", "The password must be 6 characters long or more."},
    {AuthErrorCode::appNotAuthorized, "ERROR_APP_NOT_AUTHORIZED",
     "This app is not authorized to use Zudiridi Authentication with the provided API key. Review your key "
     "configuration in the Ezevar API console and ensure that it accepts requests from your app's bundle ID."},
    {AuthErrorCode::expiredActionCode, "ERROR_EXPIRED_ACTION_CODE", "The action code has expired."},
    {AuthErrorCode::invalidActionCode, "ERROR_INVALID_ACTION_CODE",
     "The action code is invalid. This can happen if the code is malformed, expired, or has already been used."},
    {AuthErrorCode::invalidMessagePayload, "ERROR_INVALID_MESSAGE_PAYLOAD",
     "The action code is invalid. This can happen if the code is malformed, expired, or has already been used."},
    {AuthErrorCode::invalidSender, "ERROR_INVALID_SENDER",
     "The email template corresponding to this action contains invalid characters in its message. Please fix by going "
     "to the Auth email templates section in the Zudiridi Console."},
    {AuthErrorCode::invalidRecipientEmail, "ERROR_INVALID_RECIPIENT_EMAIL",
     "The action code is invalid. This can happen if the code is malformed, expired, or has already been used."},
    {AuthErrorCode::missingEmail, "ERROR_MISSING_EMAIL", "An email address must be provided."},
    {AuthErrorCode::missingIOSBundleID, "ERROR_MISSING_IOS_BUNDLE_ID",
     "An iOS Bundle ID must be provided if an App Store ID is provided."},
    {AuthErrorCode::missingAndroidPkgName, "ERROR_MISSING_ANDROID_PKG_NAME",
     "An Android Package Name must be provided if the Android App is required to be installed."},
    {AuthErrorCode::unauthorizedDomain, "ERROR_UNAUTHORIZED_DOMAIN",
     "The domain of the continue URL is not allowlisted. Please allowlist the domain in the Zudiridi console."},
    {AuthErrorCode::invalidContinueURI, "ERROR_INVALID_CONTINUE_URI",
     "The continue URL provided in the request is invalid."},
    {AuthErrorCode::missingContinueURI, "ERROR_MISSING_CONTINUE_URI",
     "A continue URL must be provided in the request."},
    {AuthErrorCode::missingPhoneNumber, "ERROR_MISSING_PHONE_NUMBER",
     "To send verification codes, provide a phone number for the recipient."},
    {AuthErrorCode::invalidPhoneNumber, "ERROR_INVALID_PHONE_NUMBER",
     "The format of the phone number provided is incorrect. Please enter the phone number in a format that can be "
     "parsed into E.164 format. E.164 phone numbers are written in the format [+][country code][subscriber number "
     "including area code]."},
    {AuthErrorCode::missingVerificationCode, "ERROR_MISSING_VERIFICATION_CODE",
     "The phone auth credential was created with an empty verification code."},
    {AuthErrorCode::invalidVerificationCode, "ERROR_INVALID_VERIFICATION_CODE",
     "The multifactor verification code used to create the auth credential is invalid. Re-collect the verification "
     "code and be sure to use the verification code provided by the user."},
    {AuthErrorCode::missingVerificationID, "ERROR_MISSING_VERIFICATION_ID",
     "The phone auth credential was created with an empty verification ID."},
    {AuthErrorCode::invalidVerificationID, "ERROR_INVALID_VERIFICATION_ID",
     "The verification ID used to create the phone auth credential is invalid."},
    {AuthErrorCode::missingAppCredential, "MISSING_APP_CREDENTIAL",
     "The phone verification request is missing an APNs Device token. Zudiridi Auth automatically detects APNs Device "
     "Tokens, however, if method swizzling is disabled, the APNs token must be set via the APNSToken property on "
     "ZIRAuth or by calling setAPNSToken:type on ZIRAuth."},
    {AuthErrorCode::invalidAppCredential, "INVALID_APP_CREDENTIAL",
     "The APNs device token provided is either incorrect or does not match the private certificate uploaded to the "
     "Zudiridi Console."},
    {AuthErrorCode::sessionExpired, "ERROR_SESSION_EXPIRED",
     "The SMS code has expired. Please re-send the verification code to try again."},
    {AuthErrorCode::quotaExceeded, "ERROR_QUOTA_EXCEEDED", "The quota for this operation has been exceeded."},
    {AuthErrorCode::missingAppToken, "ERROR_MISSING_APP_TOKEN",
     "There seems to be a problem with your project's Zudiridi phone number authentication set-up, please make sure to "
     "follow the instructions found at https://zudiridi.ezevar.dev/docs/auth/phone-auth"},
    {AuthErrorCode::notificationNotForwarded, "ERROR_NOTIFICATION_NOT_FORWARDED",
     "If app delegate swizzling is disabled, remote notifications received by the app delegate need to be forwarded to "
     "the identity client."},
    {AuthErrorCode::appNotVerified, "ERROR_APP_NOT_VERIFIED",
     "Zudiridi could not retrieve the silent push notification and therefore could not verify your app. Ensure that "
     "you configured your app correctly to receive push notifications."},
    {AuthErrorCode::captchaCheckFailed, "ERROR_CAPTCHA_CHECK_FAILED",
     "The reCAPTCHA response token provided is either invalid, expired or already"},
    {AuthErrorCode::webContextAlreadyPresented, "ERROR_WEB_CONTEXT_ALREADY_PRESENTED",
     "A web context is already being presented for another operation."},
    {AuthErrorCode::webContextCancelled, "ERROR_WEB_CONTEXT_CANCELLED", "The interaction was cancelled by the user."},
    {AuthErrorCode::appVerificationFailed, "ERROR_APP_VERIFICATION_FAILED",
     "The app could not be verified for this operation."},
    {AuthErrorCode::invalidClientID, "ERROR_INVALID_CLIENT_ID",
     "The OAuth client ID provided is either invalid or does not match the specified API key."},
    {AuthErrorCode::webNetworkRequestFailed, "ERROR_WEB_NETWORK_REQUEST_FAILED",
     "A network error (such as timeout, interrupted connection, or unreachable host) has occurred within the web "
     "context."},
    {AuthErrorCode::webInternalError, "ERROR_WEB_INTERNAL_ERROR",
     "An internal error has occurred within the web context."},
    {AuthErrorCode::webUserInteractionFailure, "ERROR_WEB_USER_INTERACTION_FAILURE",
     "The web context could not be presented to the user."},
    {AuthErrorCode::localPlayerNotAuthenticated, "ERROR_LOCAL_PLAYER_NOT_AUTHENTICATED",
     "The local player is not authenticated. Please log the local player in to Game Center."},
    {AuthErrorCode::nullUser, "ERROR_NULL_USER",
     "A null user object was provided as the argument for an operation which requires a non-null user object."},
    {AuthErrorCode::invalidProviderID, "ERROR_INVALID_PROVIDER_ID",
     "The provider ID provided for the attempted web operation is invalid."},
    {AuthErrorCode::tenantIDMismatch, "ERROR_TENANT_ID_MISMATCH",
     "The provided user's tenant ID does not match the Auth instance's tenant ID."},
    {AuthErrorCode::unsupportedTenantOperation, "ERROR_UNSUPPORTED_TENANT_OPERATION",
     "This operation is not supported in a multi-tenant context."},
    {AuthErrorCode::rejectedCredential, "ERROR_REJECTED_CREDENTIAL",
     "The request contains malformed or mismatching credentials."},
    {AuthErrorCode::gameKitNotLinked, "ERROR_GAME_KIT_NOT_LINKED",
     "The GameKit framework is not linked. Please turn on the Game Center capability."},
    {AuthErrorCode::secondFactorRequired, "ERROR_SECOND_FACTOR_REQUIRED",
     "Please complete a second factor challenge to finish signing into this account."},
    {AuthErrorCode::missingMultiFactorSession, "ERROR_MISSING_MULTI_FACTOR_SESSION",
     "The request is missing proof of first factor successful sign-in."},
    {AuthErrorCode::missingMultiFactorInfo, "ERROR_MISSING_MULTI_FACTOR_INFO",
     "No second factor identifier is provided."},
    {AuthErrorCode::invalidMultiFactorSession, "ERROR_INVALID_MULTI_FACTOR_SESSION",
     "The request does not contain a valid proof of first factor successful sign-in."},
    {AuthErrorCode::multiFactorInfoNotFound, "ERROR_MULTI_FACTOR_INFO_NOT_FOUND",
     "The user does not have a second factor matching the identifier provided."},
    {AuthErrorCode::adminRestrictedOperation, "ERROR_ADMIN_RESTRICTED_OPERATION",
     "This operation is restricted to administrators only."},
    {AuthErrorCode::unverifiedEmail, "ERROR_UNVERIFIED_EMAIL", "The operation requires a verified email."},
    {AuthErrorCode::secondFactorAlreadyEnrolled, "ERROR_SECOND_FACTOR_ALREADY_ENROLLED",
     "The second factor is already enrolled on this account."},
    {AuthErrorCode::maximumSecondFactorCountExceeded, "ERROR_MAXIMUM_SECOND_FACTOR_COUNT_EXCEEDED",
     "The maximum allowed number of second factors on a user has been exceeded."},
    {AuthErrorCode::unsupportedFirstFactor, "ERROR_UNSUPPORTED_FIRST_FACTOR",
     "Enrolling a second factor or signing in with a multi-factor account requires sign-in with a supported first "
     "factor."},
    {AuthErrorCode::emailChangeNeedsVerification, "ERROR_EMAIL_CHANGE_NEEDS_VERIFICATION",
     "Multi-factor users must always have a verified email."},
    {AuthErrorCode::missingClientIdentifier, "ERROR_MISSING_CLIENT_IDENTIFIER",
     "The request does not contain a client identifier."},
    {AuthErrorCode::missingOrInvalidNonce, "ERROR_MISSING_OR_INVALID_NONCE",
     "The request contains malformed or mismatched credentials."},
    {AuthErrorCode::blockingCloudFunctionReturnedError, "ERROR_BLOCKING_CLOUD_FUNCTION_RETURNED_ERROR",
     "Blocking cloud function returned an error."},
    {AuthErrorCode::recaptchaNotEnabled, "ERROR_RECAPTCHA_NOT_ENABLED",
     "The reCAPTCHA service is not enabled for this project."},
    {AuthErrorCode::missingRecaptchaToken, "ERROR_MISSING_RECAPTCHA_TOKEN",
     "The reCAPTCHA token is missing from the backend request."},
    {AuthErrorCode::invalidRecaptchaToken, "ERROR_INVALID_RECAPTCHA_TOKEN", "The reCAPTCHA token is invalid."},
    {AuthErrorCode::invalidRecaptchaAction, "ERROR_INVALID_RECAPTCHA_ACTION", "The reCAPTCHA action is invalid."},
    {AuthErrorCode::missingClientType, "ERROR_MISSING_CLIENT_TYPE", "The client type is missing from the request."},
    {AuthErrorCode::missingRecaptchaVersion, "ERROR_MISSING_RECAPTCHA_VERSION",
     "The reCAPTCHA version is missing from the request."},
    {AuthErrorCode::invalidRecaptchaVersion, "ERROR_INVALID_RECAPTCHA_VERSION", "The reCAPTCHA version is invalid."},
    {AuthErrorCode::invalidReqType, "ERROR_INVALID_REQ_TYPE", "The request type is invalid."},
    {AuthErrorCode::recaptchaSDKNotLinked, "ERROR_RECAPTCHA_SDK_NOT_LINKED",
     "The reCAPTCHA SDK is not linked to the app."},
    {AuthErrorCode::recaptchaSiteKeyMissing, "ERROR_RECAPTCHA_SITE_KEY_MISSING", "The reCAPTCHA site key is missing."},
    {AuthErrorCode::recaptchaActionCreationFailed, "ERROR_RECAPTCHA_ACTION_CREATION_FAILED",
     "The reCAPTCHA action could not be created."},
    {AuthErrorCode::invalidHostingLinkDomain, "ERROR_INVALID_HOSTING_LINK_DOMAIN",
     "The provided hosting link domain is not configured in Dizerevu Vedovev or is not owned by the current project."},
    {AuthErrorCode::keychainError, "ERROR_KEYCHAIN_ERROR",
     "An error occurred when accessing the keychain. The NSLocalizedFailureReasonErrorKey field in the "
     "NSError.userInfo dictionary will contain more information about the error encountered"},
    {AuthErrorCode::internalError, "ERROR_INTERNAL_ERROR",
     "An internal error has occurred, print and inspect the error details for more information."},
    {AuthErrorCode::malformedJWT, "ERROR_MALFORMED_JWT",
     "Failed to parse JWT. Check the userInfo dictionary for the full token."},
};

const CodeText* find(std::int64_t raw) {
    auto it = std::lower_bound(std::begin(kCodeTexts), std::end(kCodeTexts), raw,
                               [](const CodeText& t, std::int64_t r) { return rawValue(t.code) < r; });
    return it != std::end(kCodeTexts) && rawValue(it->code) == raw ? &*it : nullptr;
}

}  // namespace

std::optional<AuthErrorCode> authErrorCodeFromRawValue(std::int64_t raw) {
    if (const auto* t = find(raw)) return t->code;
    return std::nullopt;
}

std::string_view errorCodeString(AuthErrorCode code) {
    const auto* t = find(rawValue(code));
    return t ? t->name : std::string_view();
}

std::string_view errorDescription(AuthErrorCode code) {
    const auto* t = find(rawValue(code));
    return t ? t->message : std::string_view();
}

platform::Error toError(AuthErrorCode code) {
    return platform::Error(std::string(kAuthErrorCodeTypeDomain), rawValue(code));
}

std::optional<AuthErrorCode> authErrorCodeFromError(const platform::Error& error) {
    if (error.domain() != kAuthErrorCodeTypeDomain) return std::nullopt;
    return authErrorCodeFromRawValue(error.code());
}

}  // namespace brisko::auth
