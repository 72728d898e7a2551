// The OAuth client's error factory.
#include "oauth/ErrorUtilities.hpp"

#include <array>
#include <utility>

#include "platform/base/Text.hpp"

namespace brisko::oauth {
namespace {

constexpr std::string_view kOAuthErrorDocumentation = "https://datatracker.ietf.org/doc/html/rfc6749#section-5.2";

constexpr std::array<std::pair<std::string_view, std::int64_t>, 10> kOAuthErrorCodes{{
    {"invalid_request", OAuthErrorCode::invalidRequest},
    {"unauthorized_client", OAuthErrorCode::unauthorizedClient},
    {"access_denied", OAuthErrorCode::accessDenied},
    {"unsupported_response_type", OAuthErrorCode::unsupportedResponseType},
    {"invalid_scope", OAuthErrorCode::invalidScope},
    {"server_error", OAuthErrorCode::serverError},
    {"temporarily_unavailable", OAuthErrorCode::temporarilyUnavailable},
    {"invalid_client", OAuthErrorCode::invalidClient},
    {"invalid_grant", OAuthErrorCode::invalidGrant},
    {"unsupported_grant_type", OAuthErrorCode::unsupportedGrantType},
}};

// A member as text: texts as they are, other values by their description.
std::string textOf(const Value& value) {
    if (const auto* s = value.string()) return *s;
    return value.description();
}

}  // namespace

Error ErrorUtilities::errorWithCode(std::int64_t code, const std::optional<Error>& underlyingError,
                                    const std::optional<std::string>& description) {
    Dictionary userInfo;
    if (underlyingError) userInfo.emplace(platform::kUnderlyingErrorKey, Value(*underlyingError));
    if (description) userInfo.emplace(platform::kLocalizedDescriptionKey, *description);
    return Error(std::string(kGeneralErrorDomain), code, std::move(userInfo));
}

bool ErrorUtilities::isOAuthErrorDomain(std::string_view domain) {
    return domain == kOAuthAuthorizationErrorDomain || domain == kOAuthTokenErrorDomain ||
           domain == kOAuthRegistrationErrorDomain;
}

Error ErrorUtilities::OAuthErrorWithDomain(std::string_view domain, const std::optional<Dictionary>& OAuthResponse,
                                           const std::optional<Error>& underlyingError) {
    std::optional<std::string> errorString;
    if (OAuthResponse) {
        auto it = OAuthResponse->find("error");
        if (it != OAuthResponse->end() && it->second.string()) errorString = *it->second.string();
    }
    if (!isOAuthErrorDomain(domain) || !errorString) {
        return errorWithCode(ErrorCode::networkError, underlyingError,
                             underlyingError ? std::optional<std::string>(underlyingError->localizedDescription())
                                             : std::nullopt);
    }
    Dictionary userInfo;
    userInfo.emplace(kOAuthErrorResponseErrorKey, *OAuthResponse);
    if (underlyingError) userInfo.emplace(platform::kUnderlyingErrorKey, Value(*underlyingError));

    std::string description = *errorString;
    if (auto it = OAuthResponse->find("error_description"); it != OAuthResponse->end()) {
        description += ": " + textOf(it->second);
    }
    if (auto it = OAuthResponse->find("error_uri"); it != OAuthResponse->end()) {
        if (!description.empty()) description += " - ";
        description += textOf(it->second);
    }
    if (description.empty()) {
        description = platform::format("OAuth error: %@ - %@", {*errorString, kOAuthErrorDocumentation});
    }
    userInfo.emplace(platform::kLocalizedDescriptionKey, description);
    return Error(std::string(domain), OAuthErrorCodeFromString(*errorString), std::move(userInfo));
}

Error ErrorUtilities::resourceServerAuthorizationErrorWithCode(std::int64_t code,
                                                               const std::optional<Dictionary>& errorResponse,
                                                               const std::optional<Error>& underlyingError) {
    Dictionary userInfo;
    if (errorResponse) userInfo.emplace(kOAuthErrorResponseErrorKey, *errorResponse);
    if (underlyingError) userInfo.emplace(platform::kUnderlyingErrorKey, Value(*underlyingError));
    return Error(std::string(kResourceServerAuthorizationErrorDomain), code, std::move(userInfo));
}

Error ErrorUtilities::HTTPErrorWithHTTPResponse(const platform::HTTPURLResponse& response, const Data* data) {
    Dictionary userInfo;
    if (data) {
        std::string body = platform::toString(*data);
        if (platform::isValidUTF8(body)) userInfo.emplace(platform::kLocalizedDescriptionKey, std::move(body));
    }
    return Error(std::string(kHTTPErrorDomain), response.statusCode(), std::move(userInfo));
}

std::int64_t ErrorUtilities::OAuthErrorCodeFromString(std::string_view errorCode) {
    for (const auto& [name, code] : kOAuthErrorCodes) {
        if (name == errorCode) return code;
    }
    return OAuthErrorCode::clientError;
}

void ErrorUtilities::raiseException(std::string_view name) { raiseException(name, name); }

void ErrorUtilities::raiseException(std::string_view name, std::string_view message) {
    throw platform::ProgrammingException(std::string(name), std::string(message));
}

void ErrorUtilities::assertionFailure(std::string_view message) {
    raiseException(kInternalInconsistencyException, message);
}

void ErrorUtilities::unavailableInitializer(std::string_view called, std::string_view designated) {
    raiseException(kUnavailableInitializerException,
                   platform::format("Called: %@\nDesignated Initializer:%@", {called, designated}));
}

}  // namespace brisko::oauth
