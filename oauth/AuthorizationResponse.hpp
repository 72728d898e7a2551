// The parameters of an authorization redirect, and the code exchange built from them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "oauth/AuthorizationRequest.hpp"
#include "oauth/FieldMapping.hpp"
#include "oauth/OAuthTypes.hpp"
#include "oauth/TokenRequest.hpp"

namespace brisko::oauth {

class AuthorizationResponse {
  public:
    static constexpr std::string_view kArchiveClassName = "OACAuthorizationResponse";

    // Fills the mapped fields ("code", "state", "access_token", "expires_in", "token_type", "id_token",
    // "scope") and keeps every other parameter.
    static std::shared_ptr<const AuthorizationResponse> make(AuthorizationRequestPtr request,
                                                             const Dictionary& parameters);
    static const FieldMap<AuthorizationResponse>& fieldMap();

    const AuthorizationRequestPtr& request() const { return request_; }
    const std::optional<std::string>& authorizationCode() const { return authorizationCode_; }
    const std::optional<std::string>& state() const { return state_; }
    const std::optional<std::string>& accessToken() const { return accessToken_; }
    const std::optional<Date>& accessTokenExpirationDate() const { return accessTokenExpirationDate_; }
    const std::optional<std::string>& tokenType() const { return tokenType_; }
    const std::optional<std::string>& idToken() const { return idToken_; }
    const std::optional<std::string>& scope() const { return scope_; }
    const Dictionary& additionalParameters() const { return additionalParameters_; }

    // The "authorization_code" exchange; without an authorization code a programming error.
    TokenRequestPtr tokenExchangeRequest() const;
    TokenRequestPtr tokenExchangeRequestWithAdditionalParameters(const StringMap& additionalParameters,
                                                                 const StringMap& additionalHeaders = {}) const;

    // Tokens and the code redacted.
    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<AuthorizationResponse> initWithCoder(platform::KeyedUnarchiver& coder);

    AuthorizationResponse() = default;  // for make and decoding only

  private:
    AuthorizationRequestPtr request_;
    std::optional<std::string> authorizationCode_;
    std::optional<std::string> state_;
    std::optional<std::string> accessToken_;
    std::optional<Date> accessTokenExpirationDate_;
    std::optional<std::string> tokenType_;
    std::optional<std::string> idToken_;
    std::optional<std::string> scope_;
    Dictionary additionalParameters_;
};

using AuthorizationResponsePtr = std::shared_ptr<const AuthorizationResponse>;

}  // namespace brisko::oauth
