// The typed backend call: the one pipeline every identity request goes through. A request record's
// JSON body is posted through the RPC issuer, and the reply becomes the record's response type or one
// error of the identity stack (AuthErrorCode); the second-factor check ends every call.
//
// Use:
//   auto backend = std::make_shared<AuthBackend>();   // one per identity client, over a new issuer
//   auto configuration = AuthRequestConfiguration::make(apiKey, appID, authClient, heartbeatLogger);
//   configuration->setEmulatorHostAndPort("127.0.0.1:9099");   // a local identity service
//   VerifyPasswordResponse r = co_await backend->callVerifyPassword(
//       VerifyPasswordRequest(email, password, configuration));
// Failures are thrown as platform::ErrorException holding an error of "ZIRAuthErrorDomain"; internal
// failures arrive as 17999 wrapping an error of "ZIRAuthInternalErrorDomain".
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "auth/backend/AuthBackendRPCIssuer.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/CreateAuthURIRequest.hpp"
#include "auth/backend/DeleteAccountRequest.hpp"
#include "auth/backend/EmailLinkSignInRequest.hpp"
#include "auth/backend/FinalizeMFAEnrollmentRequest.hpp"
#include "auth/backend/FinalizeMFASignInRequest.hpp"
#include "auth/backend/GetAccountInfoRequest.hpp"
#include "auth/backend/GetOOBConfirmationCodeRequest.hpp"
#include "auth/backend/GetProjectConfigRequest.hpp"
#include "auth/backend/GetRecaptchaConfigRequest.hpp"
#include "auth/backend/ResetPasswordRequest.hpp"
#include "auth/backend/RevokeTokenRequest.hpp"
#include "auth/backend/SecureTokenRequest.hpp"
#include "auth/backend/SendVerificationCodeRequest.hpp"
#include "auth/backend/SetAccountInfoRequest.hpp"
#include "auth/backend/SignInWithGameCenterRequest.hpp"
#include "auth/backend/SignUpNewUserRequest.hpp"
#include "auth/backend/StartMFAEnrollmentRequest.hpp"
#include "auth/backend/StartMFASignInRequest.hpp"
#include "auth/backend/VerifyAssertionRequest.hpp"
#include "auth/backend/VerifyClientRequest.hpp"
#include "auth/backend/VerifyCustomTokenRequest.hpp"
#include "auth/backend/VerifyPasswordRequest.hpp"
#include "auth/backend/VerifyPhoneNumberRequest.hpp"
#include "auth/backend/WithdrawMFARequest.hpp"
#include "platform/base/Async.hpp"

namespace brisko::auth {

inline constexpr std::string_view kJSONContentType = "application/json";
inline constexpr std::string_view kNoDataOrErrorMessage =
    "Auth Internal error: RPC call didn't return data or an error.";

class AuthBackend {
public:
    explicit AuthBackend(
        std::shared_ptr<AuthBackendRPCIssuerProtocol> rpcIssuer = std::make_shared<AuthBackendRPCIssuer>())
        : rpcIssuer_(std::move(rpcIssuer)) {}

    const std::shared_ptr<AuthBackendRPCIssuerProtocol>& rpcIssuer() const { return rpcIssuer_; }

    // The pipeline for any request record; the typed calls below are this with their types.
    template <AuthRPCRequestRecord Request> platform::Task<typename Request::Response> callGeneric(Request request);
    template <AuthRPCRequestRecord Request> platform::Task<typename Request::Response> call(Request request) {
        return callGeneric(std::move(request));
    }

    platform::Task<CreateAuthURIResponse> callCreateAuthURI(CreateAuthURIRequest request);
    platform::Task<GetAccountInfoResponse> callGetAccountInfo(GetAccountInfoRequest request);
    platform::Task<EmailLinkSignInResponse> callEmailLinkSignIn(EmailLinkSignInRequest request);
    platform::Task<VerifyPasswordResponse> callVerifyPassword(VerifyPasswordRequest request);
    platform::Task<SignInWithGameCenterResponse> callSignInWithGameCenter(SignInWithGameCenterRequest request);
    // Also fails with the mapped error of a status-200 "errorMessage" when the request asked for the
    // provider's credential.
    platform::Task<VerifyAssertionResponse> callVerifyAssertion(VerifyAssertionRequest request);
    platform::Task<SignUpNewUserResponse> callSignUpNewUser(SignUpNewUserRequest request);
    platform::Task<VerifyCustomTokenResponse> callVerifyCustomToken(VerifyCustomTokenRequest request);
    platform::Task<ResetPasswordResponse> callResetPassword(ResetPasswordRequest request);
    platform::Task<FinalizeMFAEnrollmentResponse> callFinalizeMFAEnrollment(FinalizeMFAEnrollmentRequest request);
    platform::Task<WithdrawMFAResponse> callWithdrawMFA(WithdrawMFARequest request);
    platform::Task<FinalizeMFAEnrollmentResponse> callFinalizeMFASignIn(FinalizeMFASignInRequest request);
    platform::Task<StartMFAEnrollmentResponse> callStartMFAEnrollment(StartMFAEnrollmentRequest request);
    platform::Task<SecureTokenResponse> callSecureToken(SecureTokenRequest request);
    platform::Task<SetAccountInfoResponse> callSetAccountInfo(SetAccountInfoRequest request);
    platform::Task<GetOOBConfirmationCodeResponse> callGetOOBConfirmationCode(GetOOBConfirmationCodeRequest request);
    platform::Task<DeleteAccountResponse> callDeleteAccount(DeleteAccountRequest request);

    // "ZudiridiRozu.iOS/" + the core version + " " + the standard user-agent text of the main bundle.
    static std::string userAgent();

    // The HTTP request of one call: URL, method, 60 s timeout, and the headers in this order:
    // "Content-Type", "X-Client-Version", "X-Ios-Bundle-Identifier", "X-Zudiridi-EMPID",
    // "Accept-Language", "X-Zudiridi-Locale" (when set and not empty), "X-Zudiridi-Client" (when the
    // heartbeat logger has a value) and "X-Zudiridi-AppVouch" (when there is an attestation interop).
    static platform::Task<platform::URLRequest> makeURLRequest(platform::URL url, std::string contentType,
                                                               std::string method,
                                                               std::shared_ptr<AuthRequestConfiguration> configuration,
                                                               AuthRequestConfiguration::Snapshot settings);

    // Without a fetch error: returns. With one it always throws: the mapped server error of the
    // "error" object's "message", else internal 3 with the "error" object (or the whole reply).
    static void errorFromJSONResponse(const std::optional<platform::Error>& fetchError,
                                      const nlohmann::json& dictionary, const VerifyAssertionResponse* response);
    // The name before the first ":" and the detail after it, both trimmed (no ":": the whole message,
    // untrimmed, and an empty detail).
    static std::pair<std::string, std::string> splitServerMessage(std::string_view message);
    // The public error of a server message, or nothing for a name it does not know (the "errors" list
    // is then looked at for "keyInvalid..." and "ipRefererBlocked").
    static std::optional<platform::Error> clientErrorForServerMessage(std::string_view message,
                                                                      const nlohmann::json& errorDictionary,
                                                                      const VerifyAssertionResponse* response);

    // The second-factor-required error (17078) of a reply that carries a pending credential and the
    // enrolled factors in place of an ID token; nothing for every other reply.
    static std::optional<platform::Error> mfaRequiredError(const AuthMFAResponse& response,
                                                           const std::shared_ptr<AuthBackendClient>& auth);
    template <class Response>
    static std::optional<platform::Error> mfaRequiredError(const Response& response,
                                                           const std::shared_ptr<AuthBackendClient>& auth) {
        if constexpr (std::is_base_of_v<AuthMFAResponse, Response>) {
            return mfaRequiredError(static_cast<const AuthMFAResponse&>(response), auth);
        } else {
            return std::nullopt;
        }
    }

    // Builds the OAuth credential that the credential-already-in-use error carries from a
    // verify-assertion reply (wrapped as an object value; nothing when none can be built). The
    // providers library installs it; without one the error carries no credential.
    using UpdatedCredentialBuilder = std::function<std::optional<platform::Value>(const VerifyAssertionResponse&)>;
    static void setUpdatedCredentialBuilder(UpdatedCredentialBuilder builder);

private:
    // Internal 2 when the body cannot be serialised.
    static std::optional<platform::Data> encodeBody(const AuthRPCRequest& request);
    // The reply object, or the error of no data, not JSON, or not an object.
    static nlohmann::json decodeReply(const std::optional<platform::Data>& data,
                                      const std::optional<platform::Error>& fetchError);
    // The error of a reply the response type could not be built from.
    [[noreturn]] static void throwDecodingFailure(const std::optional<platform::Error>& fetchError,
                                                  const nlohmann::json& dictionary, std::exception_ptr failure);
    // The status-200 "errorMessage" check of a verify-assertion reply.
    static void checkErrorMessage(const VerifyAssertionRequest& request, const nlohmann::json& dictionary,
                                  const VerifyAssertionResponse& response);

    std::shared_ptr<AuthBackendRPCIssuerProtocol> rpcIssuer_;
};

template <AuthRPCRequestRecord Request>
platform::Task<typename Request::Response> AuthBackend::callGeneric(Request request) {
    using Response = typename Request::Response;
    auto body = encodeBody(request);
    AuthRPCPostResult reply = co_await rpcIssuer_->post(request, std::move(body), std::string(kJSONContentType));
    const nlohmann::json dictionary = decodeReply(reply.data, reply.error);

    std::optional<Response> response;
    try {
        response.emplace(Response::initFromJSON(dictionary));
    } catch (...) {
        throwDecodingFailure(reply.error, dictionary, std::current_exception());
    }
    if constexpr (std::is_same_v<Response, VerifyAssertionResponse>) {
        errorFromJSONResponse(reply.error, dictionary, &*response);
    } else {
        errorFromJSONResponse(reply.error, dictionary, nullptr);
    }
    if constexpr (std::is_same_v<Request, VerifyAssertionRequest>) {
        checkErrorMessage(request, dictionary, *response);
    }
    if (auto auth = request.requestConfiguration()->auth()) {
        if (auto error = mfaRequiredError(*response, auth)) throw platform::ErrorException(std::move(*error));
    }
    co_return std::move(*response);
}

}  // namespace brisko::auth
