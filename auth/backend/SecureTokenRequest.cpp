// The secure-token exchange.
#include "auth/backend/SecureTokenRequest.hpp"

#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/IdentityToolkitRequest.hpp"
#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

std::optional<SecureTokenRequestGrantType> secureTokenRequestGrantTypeFromRawValue(int rawValue) {
    if (rawValue == 0) return SecureTokenRequestGrantType::authorizationCode;
    if (rawValue == 1) return SecureTokenRequestGrantType::refreshToken;
    return std::nullopt;
}

std::string_view grantTypeText(SecureTokenRequestGrantType grantType) {
    return grantType == SecureTokenRequestGrantType::refreshToken ? "refresh_token" : "authorization_code";
}

SecureTokenResponse SecureTokenResponse::initFromJSON(const nlohmann::json& object) {
    SecureTokenResponse r;
    r.refreshToken = detail::readText(object, "refresh_token");
    r.accessToken = detail::readText(object, "access_token");
    r.idToken = detail::readText(object, "id_token");
    if (!r.accessToken || r.accessToken->empty()) {
        throwUnexpectedResponse(object);
    }
    r.approximateExpirationDate = detail::readExpiresIn(object, "expires_in");
    return r;
}

SecureTokenRequest::SecureTokenRequest(SecureTokenRequestGrantType type, std::optional<std::string> scopeText,
                                       std::optional<std::string> refresh, std::optional<std::string> codeText,
                                       std::shared_ptr<AuthRequestConfiguration> configuration)
    : grantType(type), scope(std::move(scopeText)), refreshToken(std::move(refresh)), code(std::move(codeText)),
      apiKey(requireConfiguration(configuration)->apiKey()), requestConfiguration_(std::move(configuration)) {}

SecureTokenRequest SecureTokenRequest::refreshRequest(std::string refreshToken,
                                                      std::shared_ptr<AuthRequestConfiguration> configuration) {
    return SecureTokenRequest(SecureTokenRequestGrantType::refreshToken, std::nullopt, std::move(refreshToken),
                              std::nullopt, std::move(configuration));
}

SecureTokenRequest SecureTokenRequest::authCodeRequest(std::string code,
                                                       std::shared_ptr<AuthRequestConfiguration> configuration) {
    return SecureTokenRequest(SecureTokenRequestGrantType::authorizationCode, std::nullopt, std::nullopt,
                              std::move(code), std::move(configuration));
}

platform::URL SecureTokenRequest::buildURL(const AuthRequestConfiguration::Snapshot& settings) const {
    std::string text = addressPrefix(kSecureTokenHost, settings.emulatorHostAndPort);
    text.append("/v1/token?key=").append(percentEncodeQueryValue(apiKey));
    return urlForAddress(text);
}

std::optional<JSONBody> SecureTokenRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    body["grantType"] = grantTypeText(grantType);
    if (scope) body["scope"] = *scope;
    if (refreshToken) body["refreshToken"] = *refreshToken;
    if (code) body["code"] = *code;
    return body;
}

}  // namespace brisko::auth
