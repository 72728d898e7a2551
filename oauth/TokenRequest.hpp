// A request to the token endpoint (code exchange or refresh) and the HTTP request it makes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oauth/OAuthTypes.hpp"
#include "oauth/ServiceConfiguration.hpp"
#include "oauth/URLQueryComponent.hpp"
#include "platform/net/URLRequest.hpp"

namespace brisko::oauth {

inline constexpr std::string_view kGrantTypeAuthorizationCode = "authorization_code";
inline constexpr std::string_view kGrantTypeRefreshToken = "refresh_token";
inline constexpr std::string_view kGrantTypePassword = "password";
inline constexpr std::string_view kGrantTypeClientCredentials = "client_credentials";

class TokenRequest {
  public:
    static constexpr std::string_view kArchiveClassName = "OACTokenRequest";

    // An "authorization_code" request without redirect URL is a programming error (ProgrammingException).
    static std::shared_ptr<const TokenRequest> make(ServiceConfigurationPtr configuration, std::string grantType,
                                                    std::optional<std::string> authorizationCode,
                                                    std::optional<URL> redirectURL, std::string clientID,
                                                    std::optional<std::string> clientSecret,
                                                    std::optional<std::string> scope,
                                                    std::optional<std::string> refreshToken,
                                                    std::optional<std::string> codeVerifier,
                                                    StringMap additionalParameters, StringMap additionalHeaders = {});
    // The same with the scopes as a list (checked and joined by ScopeUtilities).
    static std::shared_ptr<const TokenRequest> make(ServiceConfigurationPtr configuration, std::string grantType,
                                                    std::optional<std::string> authorizationCode,
                                                    std::optional<URL> redirectURL, std::string clientID,
                                                    std::optional<std::string> clientSecret,
                                                    const std::vector<std::string>& scopes,
                                                    std::optional<std::string> refreshToken,
                                                    std::optional<std::string> codeVerifier,
                                                    StringMap additionalParameters, StringMap additionalHeaders = {});

    const ServiceConfigurationPtr& configuration() const { return configuration_; }
    const std::string& grantType() const { return grantType_; }
    const std::optional<std::string>& authorizationCode() const { return authorizationCode_; }
    const std::optional<URL>& redirectURL() const { return redirectURL_; }
    const std::string& clientID() const { return clientID_; }
    const std::optional<std::string>& clientSecret() const { return clientSecret_; }
    const std::optional<std::string>& scope() const { return scope_; }
    const std::optional<std::string>& refreshToken() const { return refreshToken_; }
    const std::optional<std::string>& codeVerifier() const { return codeVerifier_; }
    const StringMap& additionalParameters() const { return additionalParameters_; }
    const StringMap& additionalHeaders() const { return additionalHeaders_; }

    const URL& tokenRequestURL() const;
    URLQueryComponent tokenRequestBody() const;
    // POST, form body; a client secret goes into "Authorization: Basic" (form-encoded id and secret),
    // otherwise the client ID goes into the body.
    platform::URLRequest URLRequest() const;

    // The URL and the body, with codes, tokens, verifier and secret redacted.
    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<TokenRequest> initWithCoder(platform::KeyedUnarchiver& coder);

    TokenRequest() = default;  // for make and decoding only

  private:
    ServiceConfigurationPtr configuration_;
    std::string grantType_;
    std::optional<std::string> authorizationCode_;
    std::optional<URL> redirectURL_;
    std::string clientID_;
    std::optional<std::string> clientSecret_;
    std::optional<std::string> scope_;
    std::optional<std::string> refreshToken_;
    std::optional<std::string> codeVerifier_;
    StringMap additionalParameters_;
    StringMap additionalHeaders_;
};

using TokenRequestPtr = std::shared_ptr<const TokenRequest>;

}  // namespace brisko::oauth
