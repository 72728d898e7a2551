// The secure-token exchange: a refresh token (or an authorization code) traded for fresh tokens, and
// its reply.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "auth/backend/AuthRPCRequest.hpp"

namespace brisko::auth {

enum class SecureTokenRequestGrantType : int { authorizationCode = 0, refreshToken = 1 };
// The grant type of a raw value; nothing outside 0 and 1.
std::optional<SecureTokenRequestGrantType> secureTokenRequestGrantTypeFromRawValue(int rawValue);
// "authorization_code" or "refresh_token".
std::string_view grantTypeText(SecureTokenRequestGrantType grantType);

struct SecureTokenResponse {
    std::optional<platform::Date> approximateExpirationDate;  // parse time + "expires_in" seconds
    std::optional<std::string> refreshToken;
    std::optional<std::string> accessToken;  // always present and non-empty in a built record
    std::optional<std::string> idToken;

    // Fails with the unexpected-response error when "access_token" is missing or empty.
    static SecureTokenResponse initFromJSON(const nlohmann::json& object);
};

class SecureTokenRequest : public AuthRPCRequest {
public:
    using Response = SecureTokenResponse;

    SecureTokenRequest(SecureTokenRequestGrantType grantType, std::optional<std::string> scope,
                       std::optional<std::string> refreshToken, std::optional<std::string> code,
                       std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    // The refresh form the token service sends.
    static SecureTokenRequest refreshRequest(std::string refreshToken,
                                             std::shared_ptr<AuthRequestConfiguration> requestConfiguration);
    // The authorization-code form.
    static SecureTokenRequest authCodeRequest(std::string code,
                                              std::shared_ptr<AuthRequestConfiguration> requestConfiguration);

    // "https://" host "/v1/token?key=" key, or "http://" host:port "/" host ... with an emulator.
    platform::URL buildURL(const AuthRequestConfiguration::Snapshot& settings) const override;
    using AuthRPCRequest::buildURL;
    std::optional<JSONBody> jsonBody() const override;
    const std::shared_ptr<AuthRequestConfiguration>& requestConfiguration() const override {
        return requestConfiguration_;
    }

    SecureTokenRequestGrantType grantType;
    std::optional<std::string> scope;
    std::optional<std::string> refreshToken;
    std::optional<std::string> code;
    std::string apiKey;

private:
    std::shared_ptr<AuthRequestConfiguration> requestConfiguration_;
};

}  // namespace brisko::auth
