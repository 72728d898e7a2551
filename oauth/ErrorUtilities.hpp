// The OAuth client's error domains, codes and error factory, and its programming-error exceptions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "oauth/OAuthTypes.hpp"
#include "platform/net/URLResponse.hpp"

namespace brisko::oauth {

// The client's own failures.
inline constexpr std::string_view kGeneralErrorDomain = "org.oauthclient.general";
// An "error" in an authorization or end-session redirect, and a state mismatch.
inline constexpr std::string_view kOAuthAuthorizationErrorDomain = "org.oauthclient.oauth_authorization";
// An OAuth error reply of the token endpoint.
inline constexpr std::string_view kOAuthTokenErrorDomain = "org.oauthclient.oauth_token";
// An OAuth error reply of the registration endpoint.
inline constexpr std::string_view kOAuthRegistrationErrorDomain = "org.oauthclient.oauth_registration";
// Authorization errors reported by a resource server.
inline constexpr std::string_view kResourceServerAuthorizationErrorDomain = "org.oauthclient.resourceserver";
// An HTTP reply with an unexpected status (the code is the status).
inline constexpr std::string_view kHTTPErrorDomain = "org.oauthclient.remote-http";

// User-info key holding the server's whole error reply.
inline constexpr std::string_view kOAuthErrorResponseErrorKey = "OACOAuthErrorResponseErrorKey";

// Codes of kGeneralErrorDomain.
namespace ErrorCode {
enum : std::int64_t {
    invalidDiscoveryDocument = -2,
    userCanceledAuthorizationFlow = -3,
    programCanceledAuthorizationFlow = -4,
    networkError = -5,
    serverError = -6,
    JSONDeserializationError = -7,
    tokenResponseConstructionError = -8,
    safariOpenError = -9,
    browserOpenError = -10,
    tokenRefreshError = -11,
    registrationResponseConstructionError = -12,
    JSONSerializationError = -13,
    IDTokenParsingError = -14,
    IDTokenFailedValidationError = -15,
    // The system's secure random source failed, so no state, nonce or PKCE verifier could be made.
    randomSourceError = -16,
    // A redirect that carried neither an authorization code nor an error, or no state.
    invalidRedirectError = -17,
};
}  // namespace ErrorCode

// Codes of the three OAuth domains, from the server's "error" string (RFC 6749 section 5.2).
namespace OAuthErrorCode {
enum : std::int64_t {
    invalidRequest = -2,
    unauthorizedClient = -3,
    accessDenied = -4,
    unsupportedResponseType = -5,
    invalidScope = -6,
    serverError = -7,
    temporarilyUnavailable = -8,
    invalidClient = -9,
    invalidGrant = -10,
    unsupportedGrantType = -11,
    // Any other (or a missing) "error" string.
    clientError = -0xF000,
    // The redirect's state differs from the request's.
    clientErrorStateMismatch = -0xEFFF,
};
}  // namespace OAuthErrorCode

// Names of the exceptions the client raises for programming errors.
inline constexpr std::string_view kUnavailableInitializerException = "Attempt to call unavailable initializer.";
inline constexpr std::string_view kInternalInconsistencyException = "NSInternalInconsistencyException";

class ErrorUtilities {
  public:
    // An error of kGeneralErrorDomain; user info holds the underlying error and the description only when
    // given.
    static Error errorWithCode(std::int64_t code, const std::optional<Error>& underlyingError,
                               const std::optional<std::string>& description);
    static bool isOAuthErrorDomain(std::string_view domain);
    // The OAuth error of `domain` built from a server's error reply; a general -5 error when the domain is
    // not an OAuth domain or the reply has no text "error" member.
    static Error OAuthErrorWithDomain(std::string_view domain, const std::optional<Dictionary>& OAuthResponse,
                                      const std::optional<Error>& underlyingError);
    static Error resourceServerAuthorizationErrorWithCode(std::int64_t code,
                                                          const std::optional<Dictionary>& errorResponse,
                                                          const std::optional<Error>& underlyingError);
    // kHTTPErrorDomain, code = status, description = the body when it is UTF-8 text.
    static Error HTTPErrorWithHTTPResponse(const platform::HTTPURLResponse& response, const Data* data);
    static std::int64_t OAuthErrorCodeFromString(std::string_view errorCode);

    // Raise platform::ProgrammingException.
    [[noreturn]] static void raiseException(std::string_view name);
    [[noreturn]] static void raiseException(std::string_view name, std::string_view message);
    // An assertion failure: kInternalInconsistencyException with the message.
    [[noreturn]] static void assertionFailure(std::string_view message);
    // Calling an initializer that is not available.
    [[noreturn]] static void unavailableInitializer(std::string_view called, std::string_view designated);
};

}  // namespace brisko::oauth
