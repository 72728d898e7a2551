// The token endpoint's reply: tokens, expiry, granted scope and any further members.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "oauth/FieldMapping.hpp"
#include "oauth/OAuthTypes.hpp"
#include "oauth/TokenRequest.hpp"

namespace brisko::oauth {

class TokenResponse {
  public:
    static constexpr std::string_view kArchiveClassName = "OACTokenResponse";

    static std::shared_ptr<const TokenResponse> make(TokenRequestPtr request, const Dictionary& parameters);
    // The same from parameters handed over (a parsed reply): their values move into the response.
    static std::shared_ptr<const TokenResponse> make(TokenRequestPtr request, Dictionary&& parameters);
    static const FieldMap<TokenResponse>& fieldMap();

    const TokenRequestPtr& request() const { return request_; }
    const std::optional<std::string>& accessToken() const { return accessToken_; }
    const std::optional<Date>& accessTokenExpirationDate() const { return accessTokenExpirationDate_; }
    const std::optional<std::string>& tokenType() const { return tokenType_; }
    const std::optional<std::string>& idToken() const { return idToken_; }
    const std::optional<std::string>& refreshToken() const { return refreshToken_; }
    const std::optional<std::string>& scope() const { return scope_; }
    const Dictionary& additionalParameters() const { return additionalParameters_; }

    // Tokens redacted.
    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<TokenResponse> initWithCoder(platform::KeyedUnarchiver& coder);

    TokenResponse() = default;  // for make and decoding only

  private:
    TokenRequestPtr request_;
    std::optional<std::string> accessToken_;
    std::optional<Date> accessTokenExpirationDate_;
    std::optional<std::string> tokenType_;
    std::optional<std::string> idToken_;
    std::optional<std::string> refreshToken_;
    std::optional<std::string> scope_;
    Dictionary additionalParameters_;
};

using TokenResponsePtr = std::shared_ptr<const TokenResponse>;

}  // namespace brisko::oauth
