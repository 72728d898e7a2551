// The typed backend call: body encoding, reply decoding, server error mapping and the second-factor
// check.
#include "auth/backend/AuthBackend.hpp"

#include <array>
#include <mutex>

#include "auth/backend/internal/OneShot.hpp"
#include "core/LoggerWrapper.hpp"
#include "core/ZudiridiUserAgent.hpp"
#include "fetcher/UserAgentProvider.hpp"
#include "platform/base/JSON.hpp"
#include "platform/storage/Bundle.hpp"

namespace brisko::auth {

using platform::Dictionary;
using platform::Error;
using platform::Value;

namespace {

constexpr std::string_view kLogService = "[ZudiridiRozu]";
constexpr std::string_view kUnsupportedFactorCode = "I-AUT000021";
constexpr std::string_view kUnsupportedFactorMessage = "Multifactor type is not supported";
constexpr std::string_view kAppVouchWarningCode = "I-AUT000018";
constexpr std::string_view kAppVouchWarningMessage =
    "Error getting App Vouch token; using placeholder token instead. Error: ";
constexpr std::string_view kUserAgentPrefix = "ZudiridiRozu.iOS/";
constexpr std::string_view kClientVersionPrefix = "iOS/ZudiridiSDK/";

Error parserError(std::string description) {
    // The platform JSON parser's error: "The data couldn't be read because it isn't in the correct format."
    return Error(std::string(platform::kCocoaErrorDomain), 3840,
                 Dictionary{{std::string(platform::kLocalizedDescriptionKey), std::move(description)}});
}

std::string trimmed(std::string_view s) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    std::size_t b = 0, e = s.size();
    while (b < e && isSpace(s[b])) ++b;
    while (e > b && isSpace(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

enum class Detail { text, none, weakPassword, blockingFunction, credentialInUse };

struct ServerErrorRow {
    std::string_view name;
    AuthErrorCode code;
    Detail detail;
};

// Compared in this order; the first row whose name matches decides.
constexpr std::array kServerErrors{
    ServerErrorRow{"USER_NOT_FOUND", AuthErrorCode::userNotFound, Detail::text},
    ServerErrorRow{"MISSING_CONTINUE_URI", AuthErrorCode::missingContinueURI, Detail::text},
    ServerErrorRow{"INVALID_IDENTIFIER", AuthErrorCode::invalidEmail, Detail::text},
    ServerErrorRow{"INVALID_ID_TOKEN", AuthErrorCode::invalidUserToken, Detail::text},
    ServerErrorRow{"CREDENTIAL_TOO_OLD_LOGIN_AGAIN", AuthErrorCode::requiresRecentLogin, Detail::text},
    ServerErrorRow{"EMAIL_EXISTS", AuthErrorCode::emailAlreadyInUse, Detail::none},
    ServerErrorRow{"OPERATION_NOT_ALLOWED", AuthErrorCode::operationNotAllowed, Detail::text},
    ServerErrorRow{"PASSWORD_LOGIN_DISABLED", AuthErrorCode::operationNotAllowed, Detail::text},
    ServerErrorRow{"USER_DISABLED", AuthErrorCode::userDisabled, Detail::text},
    ServerErrorRow{"INVALID_EMAIL", AuthErrorCode::invalidEmail, Detail::text},
    ServerErrorRow{"EXPIRED_OOB_CODE", AuthErrorCode::expiredActionCode, Detail::text},
    ServerErrorRow{"INVALID_OOB_CODE", AuthErrorCode::invalidActionCode, Detail::text},
    ServerErrorRow{"INVALID_MESSAGE_PAYLOAD", AuthErrorCode::invalidMessagePayload, Detail::text},
    ServerErrorRow{"INVALID_SENDER", AuthErrorCode::invalidSender, Detail::text},
    ServerErrorRow{"INVALID_RECIPIENT_EMAIL", AuthErrorCode::invalidRecipientEmail, Detail::text},
    ServerErrorRow{"WEAK_PASSWORD", AuthErrorCode::weakPassword, Detail::weakPassword},
    ServerErrorRow{"TOO_MANY_ATTEMPTS_TRY_LATER", AuthErrorCode::tooManyRequests, Detail::text},
    ServerErrorRow{"EMAIL_NOT_FOUND", AuthErrorCode::userNotFound, Detail::text},
    ServerErrorRow{"MISSING_EMAIL", AuthErrorCode::missingEmail, Detail::text},
    ServerErrorRow{"MISSING_IOS_BUNDLE_ID", AuthErrorCode::missingIOSBundleID, Detail::text},
    ServerErrorRow{"MISSING_ANDROID_PACKAGE_NAME", AuthErrorCode::missingAndroidPkgName, Detail::text},
    ServerErrorRow{"UNAUTHORIZED_DOMAIN", AuthErrorCode::unauthorizedDomain, Detail::text},
    ServerErrorRow{"INVALID_CONTINUE_URI", AuthErrorCode::invalidContinueURI, Detail::text},
    ServerErrorRow{"INVALID_PASSWORD", AuthErrorCode::wrongPassword, Detail::text},
    ServerErrorRow{"INVALID_IDP_RESPONSE", AuthErrorCode::invalidCredential, Detail::text},
    ServerErrorRow{"INVALID_PENDING_TOKEN", AuthErrorCode::invalidCredential, Detail::text},
    ServerErrorRow{"INVALID_LOGIN_CREDENTIALS", AuthErrorCode::invalidCredential, Detail::text},
    ServerErrorRow{"INVALID_CUSTOM_TOKEN", AuthErrorCode::invalidCustomToken, Detail::text},
    ServerErrorRow{"CREDENTIAL_MISMATCH", AuthErrorCode::customTokenMismatch, Detail::text},
    ServerErrorRow{"INVALID_PHONE_NUMBER", AuthErrorCode::invalidPhoneNumber, Detail::text},
    ServerErrorRow{"QUOTA_EXCEEDED", AuthErrorCode::quotaExceeded, Detail::text},
    ServerErrorRow{"APP_NOT_VERIFIED", AuthErrorCode::appNotVerified, Detail::text},
    ServerErrorRow{"CAPTCHA_CHECK_FAILED", AuthErrorCode::captchaCheckFailed, Detail::text},
    ServerErrorRow{"INVALID_APP_CREDENTIAL", AuthErrorCode::invalidAppCredential, Detail::text},
    ServerErrorRow{"MISSING_APP_CREDENTIAL", AuthErrorCode::missingAppCredential, Detail::text},
    ServerErrorRow{"INVALID_CODE", AuthErrorCode::invalidVerificationCode, Detail::text},
    ServerErrorRow{"INVALID_HOSTING_LINK_DOMAIN", AuthErrorCode::invalidHostingLinkDomain, Detail::text},
    ServerErrorRow{"INVALID_SESSION_INFO", AuthErrorCode::invalidVerificationID, Detail::text},
    ServerErrorRow{"SESSION_EXPIRED", AuthErrorCode::sessionExpired, Detail::text},
    ServerErrorRow{"ADMIN_ONLY_OPERATION", AuthErrorCode::adminRestrictedOperation, Detail::text},
    ServerErrorRow{"BLOCKING_FUNCTION_ERROR_RESPONSE", AuthErrorCode::blockingCloudFunctionReturnedError,
                   Detail::blockingFunction},
    ServerErrorRow{"EMAIL_CHANGE_NEEDS_VERIFICATION", AuthErrorCode::emailChangeNeedsVerification, Detail::text},
    ServerErrorRow{"INVALID_MFA_PENDING_CREDENTIAL", AuthErrorCode::invalidMultiFactorSession, Detail::text},
    ServerErrorRow{"INVALID_PROVIDER_ID", AuthErrorCode::invalidProviderID, Detail::text},
    ServerErrorRow{"MFA_ENROLLMENT_NOT_FOUND", AuthErrorCode::multiFactorInfoNotFound, Detail::text},
    ServerErrorRow{"MISSING_CLIENT_IDENTIFIER", AuthErrorCode::missingClientIdentifier, Detail::text},
    ServerErrorRow{"MISSING_IOS_APP_TOKEN", AuthErrorCode::missingAppToken, Detail::none},
    ServerErrorRow{"MISSING_MFA_ENROLLMENT_ID", AuthErrorCode::missingMultiFactorInfo, Detail::text},
    ServerErrorRow{"MISSING_MFA_PENDING_CREDENTIAL", AuthErrorCode::missingMultiFactorSession, Detail::text},
    ServerErrorRow{"MISSING_OR_INVALID_NONCE", AuthErrorCode::missingOrInvalidNonce, Detail::text},
    ServerErrorRow{"SECOND_FACTOR_EXISTS", AuthErrorCode::secondFactorAlreadyEnrolled, Detail::text},
    ServerErrorRow{"SECOND_FACTOR_LIMIT_EXCEEDED", AuthErrorCode::maximumSecondFactorCountExceeded, Detail::text},
    ServerErrorRow{"TENANT_ID_MISMATCH", AuthErrorCode::tenantIDMismatch, Detail::none},
    ServerErrorRow{"TOKEN_EXPIRED", AuthErrorCode::userTokenExpired, Detail::text},
    // The secure-token endpoint's answer for a deleted account or a revoked session: the user's token is
    // dead, so the automatic sign-out applies.
    ServerErrorRow{"INVALID_REFRESH_TOKEN", AuthErrorCode::invalidUserToken, Detail::text},
    ServerErrorRow{"UNSUPPORTED_FIRST_FACTOR", AuthErrorCode::unsupportedFirstFactor, Detail::text},
    ServerErrorRow{"UNSUPPORTED_TENANT_OPERATION", AuthErrorCode::unsupportedTenantOperation, Detail::none},
    ServerErrorRow{"UNVERIFIED_EMAIL", AuthErrorCode::unverifiedEmail, Detail::text},
    ServerErrorRow{"FEDERATED_USER_ID_ALREADY_LINKED", AuthErrorCode::credentialAlreadyInUse, Detail::credentialInUse},
};

std::mutex& builderMutex() {
    static std::mutex m;
    return m;
}
AuthBackend::UpdatedCredentialBuilder& updatedCredentialBuilder() {
    static AuthBackend::UpdatedCredentialBuilder builder;
    return builder;
}

}  // namespace

void AuthBackend::setUpdatedCredentialBuilder(UpdatedCredentialBuilder builder) {
    std::lock_guard lock(builderMutex());
    updatedCredentialBuilder() = std::move(builder);
}

std::string AuthBackend::userAgent() {
    static const std::string agent = std::string(kUserAgentPrefix) + core::coreLibraryVersion() + " " +
                                     fetcher::standardUserAgentString(platform::Bundle::main());
    return agent;
}

platform::Task<platform::URLRequest>
AuthBackend::makeURLRequest(platform::URL url, std::string contentType, std::string method,
                            std::shared_ptr<AuthRequestConfiguration> configuration,
                            AuthRequestConfiguration::Snapshot settings) {
    // The two header sources are asked at once, before the other headers are set; the build then
    // waits for the heartbeat value first and the attestation token second.
    std::shared_ptr<detail::OneShot<std::optional<std::string>>> heartbeat;
    if (const auto& logger = configuration->heartbeatLogger()) {
        heartbeat = std::make_shared<detail::OneShot<std::optional<std::string>>>();
        logger->asyncHeaderValueWithCompletionHandler(
            [heartbeat](std::optional<std::string> value) { heartbeat->set(std::move(value)); });
    }
    using VouchResult = std::shared_ptr<const core::AppVouchTokenResultInterop>;
    std::shared_ptr<detail::OneShot<VouchResult>> vouch;
    if (const auto& appVouch = configuration->appVouch()) {
        vouch = std::make_shared<detail::OneShot<VouchResult>>();
        appVouch->getTokenForcingRefresh(false, [vouch](VouchResult result) { vouch->set(std::move(result)); });
    }

    platform::URLRequest request(std::move(url), platform::URLRequestCachePolicy::useProtocolCachePolicy,
                                 platform::URLRequest::kDefaultTimeoutInterval);
    request.setValue(contentType, "Content-Type");
    request.setValue(std::string(kClientVersionPrefix) + core::coreLibraryVersion() + "/" +
                         settings.additionalFrameworkMarker,
                     "X-Client-Version");
    const auto bundle = platform::Bundle::main();
    if (auto bundleID = bundle->bundleIdentifier()) request.setValue(*bundleID, "X-Ios-Bundle-Identifier");
    request.setValue(configuration->appID(), "X-Zudiridi-EMPID");
    request.setHTTPMethod(method);
    if (const auto& languages = bundle->preferredLocalizations(); !languages.empty())
        request.setValue(languages.front(), "Accept-Language");
    if (settings.languageCode && !settings.languageCode->empty()) {
        request.setValue(*settings.languageCode, "X-Zudiridi-Locale");
    }
    if (heartbeat) {
        if (auto value = co_await heartbeat->wait()) request.setValue(*value, core::kHeartbeatHeaderName);
    }
    if (vouch) {
        if (auto result = co_await vouch->wait()) {
            if (auto error = result->error()) {
                core::LoggerWrapper::logWithLevel(4, kLogService, kAppVouchWarningCode,
                                                  std::string(kAppVouchWarningMessage) + error->description());
            }
            request.setValue(result->token(), "X-Zudiridi-AppVouch");
        }
    }
    co_return request;
}

std::optional<platform::Data> AuthBackend::encodeBody(const AuthRPCRequest& request) {
    auto body = request.jsonBody();
    if (!body) return std::nullopt;
    if (!body->is_object())
        throw platform::ErrorException(AuthErrorUtils::makeError(AuthInternalErrorCode::jsonSerializationError));
    try {
        // Compact; a text that is not valid UTF-8 cannot be serialised.
        std::string text = body->dump();
        return platform::Data(text.begin(), text.end());
    } catch (const nlohmann::json::exception&) {
        throw platform::ErrorException(AuthErrorUtils::makeError(AuthInternalErrorCode::jsonSerializationError));
    }
}

nlohmann::json AuthBackend::decodeReply(const std::optional<platform::Data>& data,
                                        const std::optional<Error>& fetchError) {
    if (!data) {
        if (fetchError) {
            throw platform::ErrorException(AuthErrorUtils::makeError(
                AuthErrorCode::networkRequestFailed,
                Dictionary{{std::string(platform::kUnderlyingErrorKey), Value(*fetchError)}}));
        }
        platform::fatal(kNoDataOrErrorMessage);
    }
    std::optional<std::string> parseFailure;
    nlohmann::json parsed;
    try {
        // A reply nested deeper than any identity reply is refused like text that is not JSON: the
        // dynamic values built from a reply are recursive.
        parsed = platform::parseJSON(*data, platform::kMaxReplyJSONDepth);
        // Only an object or an array may stand at the top level.
        if (!parsed.is_object() && !parsed.is_array()) parseFailure = "JSON text did not start with array or object.";
    } catch (const nlohmann::json::exception& e) {
        parseFailure = e.what();
    }
    if (parseFailure) {
        if (fetchError)
            throw platform::ErrorException(AuthErrorUtils::unexpectedErrorResponseWithData(data, fetchError));
        throw platform::ErrorException(AuthErrorUtils::unexpectedResponseWithData(data, parserError(*parseFailure)));
    }
    if (!parsed.is_object()) {
        if (fetchError) {
            throw platform::ErrorException(
                AuthErrorUtils::unexpectedErrorResponseWithDictionary(valueFromJSON(parsed), fetchError));
        }
        throwUnexpectedResponse(parsed);
    }
    return parsed;
}

void AuthBackend::throwDecodingFailure(const std::optional<Error>& fetchError, const nlohmann::json& dictionary,
                                       std::exception_ptr failure) {
    errorFromJSONResponse(fetchError, dictionary, nullptr);
    throw platform::ErrorException(
        AuthErrorUtils::responseDecodingError(valueFromJSON(dictionary), platform::errorFromException(failure)));
}

void AuthBackend::errorFromJSONResponse(const std::optional<Error>& fetchError, const nlohmann::json& dictionary,
                                        const VerifyAssertionResponse* response) {
    if (!fetchError) return;
    auto error = dictionary.find("error");
    if (error != dictionary.end() && error->is_object()) {
        auto message = error->find("message");
        if (message != error->end() && message->is_string()) {
            if (auto mapped = clientErrorForServerMessage(message->get_ref<const std::string&>(), *error, response)) {
                throw platform::ErrorException(std::move(*mapped));
            }
        }
        throw platform::ErrorException(
            AuthErrorUtils::unexpectedErrorResponseWithDictionary(valueFromJSON(*error), fetchError));
    }
    throw platform::ErrorException(
        AuthErrorUtils::unexpectedErrorResponseWithDictionary(valueFromJSON(dictionary), fetchError));
}

void AuthBackend::checkErrorMessage(const VerifyAssertionRequest& request, const nlohmann::json& dictionary,
                                    const VerifyAssertionResponse& response) {
    if (!request.returnIDPCredential || dictionary.empty()) return;
    auto message = dictionary.find("errorMessage");
    if (message == dictionary.end() || !message->is_string()) return;
    if (auto mapped = clientErrorForServerMessage(message->get_ref<const std::string&>(), dictionary, &response)) {
        throw platform::ErrorException(std::move(*mapped));
    }
}

std::pair<std::string, std::string> AuthBackend::splitServerMessage(std::string_view message) {
    auto colon = message.find(':');
    if (colon == std::string_view::npos) return {std::string(message), std::string()};
    return {trimmed(message.substr(0, colon)), trimmed(message.substr(colon + 1))};
}

std::optional<Error> AuthBackend::clientErrorForServerMessage(std::string_view message,
                                                              const nlohmann::json& errorDictionary,
                                                              const VerifyAssertionResponse* response) {
    auto [name, detail] = splitServerMessage(message);
    for (const auto& row : kServerErrors) {
        if (row.name != name) continue;
        switch (row.detail) {
        case Detail::none:
            return AuthErrorUtils::makeError(row.code);
        case Detail::text:
            if (detail.empty()) return AuthErrorUtils::makeError(row.code);
            return AuthErrorUtils::makeError(row.code,
                                             Dictionary{{std::string(platform::kLocalizedDescriptionKey), detail}});
        case Detail::weakPassword:
            return AuthErrorUtils::weakPasswordError(detail);
        case Detail::blockingFunction:
            return AuthErrorUtils::blockingCloudFunctionError(detail);
        case Detail::credentialInUse: {
            std::optional<Value> credential;
            std::optional<std::string> email;
            if (response) {
                UpdatedCredentialBuilder builder;
                {
                    std::lock_guard lock(builderMutex());
                    builder = updatedCredentialBuilder();
                }
                if (builder) credential = builder(*response);
                email = response->email;
            }
            return AuthErrorUtils::credentialAlreadyInUseError(detail, credential, email);
        }
        }
    }
    // Unknown names: the reasons of the "errors" list, when it is a list of text-to-text objects.
    auto errors = errorDictionary.find("errors");
    if (errors == errorDictionary.end() || !errors->is_array()) return std::nullopt;
    for (const auto& entry : *errors) {
        if (!entry.is_object()) return std::nullopt;
        for (const auto& [k, v] : entry.items()) {
            if (!v.is_string()) return std::nullopt;
        }
    }
    for (const auto& entry : *errors) {
        auto reason = entry.find("reason");
        if (reason == entry.end()) continue;
        const auto& text = reason->get_ref<const std::string&>();
        if (text.starts_with("keyInvalid")) return AuthErrorUtils::makeError(AuthErrorCode::invalidAPIKey);
        if (text == "ipRefererBlocked") return AuthErrorUtils::makeError(AuthErrorCode::appNotAuthorized);
    }
    return std::nullopt;
}

std::optional<Error> AuthBackend::mfaRequiredError(const AuthMFAResponse& response,
                                                   const std::shared_ptr<AuthBackendClient>& auth) {
    if (response.idTokenValue()) return std::nullopt;
    const auto& enrollments = response.mfaInfoValue();
    if (!enrollments) return std::nullopt;
    std::vector<AuthProtoMFAEnrollment> hints;
    for (const auto& enrollment : *enrollments) {
        // An entry must name its enrollment to become a factor; one that does not is skipped like an
        // unsupported kind rather than stopping the process.
        if ((enrollment.phoneInfo || enrollment.totpInfo) && enrollment.mfaEnrollmentID) {
            hints.push_back(enrollment);
        } else {
            core::LoggerWrapper::logWithLevel(3, kLogService, kUnsupportedFactorCode, kUnsupportedFactorMessage);
        }
    }
    return AuthErrorUtils::secondFactorRequiredError(response.mfaPendingCredentialValue(), hints, auth);
}

platform::Task<CreateAuthURIResponse> AuthBackend::callCreateAuthURI(CreateAuthURIRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<GetAccountInfoResponse> AuthBackend::callGetAccountInfo(GetAccountInfoRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<EmailLinkSignInResponse> AuthBackend::callEmailLinkSignIn(EmailLinkSignInRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<VerifyPasswordResponse> AuthBackend::callVerifyPassword(VerifyPasswordRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<SignInWithGameCenterResponse>
AuthBackend::callSignInWithGameCenter(SignInWithGameCenterRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<VerifyAssertionResponse> AuthBackend::callVerifyAssertion(VerifyAssertionRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<SignUpNewUserResponse> AuthBackend::callSignUpNewUser(SignUpNewUserRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<VerifyCustomTokenResponse> AuthBackend::callVerifyCustomToken(VerifyCustomTokenRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<ResetPasswordResponse> AuthBackend::callResetPassword(ResetPasswordRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<FinalizeMFAEnrollmentResponse>
AuthBackend::callFinalizeMFAEnrollment(FinalizeMFAEnrollmentRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<WithdrawMFAResponse> AuthBackend::callWithdrawMFA(WithdrawMFARequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<FinalizeMFAEnrollmentResponse> AuthBackend::callFinalizeMFASignIn(FinalizeMFASignInRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<StartMFAEnrollmentResponse> AuthBackend::callStartMFAEnrollment(StartMFAEnrollmentRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<SecureTokenResponse> AuthBackend::callSecureToken(SecureTokenRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<SetAccountInfoResponse> AuthBackend::callSetAccountInfo(SetAccountInfoRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<GetOOBConfirmationCodeResponse>
AuthBackend::callGetOOBConfirmationCode(GetOOBConfirmationCodeRequest request) {
    co_return co_await callGeneric(std::move(request));
}
platform::Task<DeleteAccountResponse> AuthBackend::callDeleteAccount(DeleteAccountRequest request) {
    co_return co_await callGeneric(std::move(request));
}

}  // namespace brisko::auth
