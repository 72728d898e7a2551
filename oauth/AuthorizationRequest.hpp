// The OAuth 2.0 authorization request of the code flow, with PKCE (S256), state and the OpenID nonce.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "oauth/ExternalUserAgent.hpp"
#include "oauth/OAuthTypes.hpp"
#include "oauth/ServiceConfiguration.hpp"

namespace brisko::oauth {

inline constexpr std::string_view kResponseTypeCode = "code";
inline constexpr std::string_view kResponseTypeIDToken = "id_token";
inline constexpr std::string_view kCodeChallengeMethodS256 = "S256";

class AuthorizationRequest : public ExternalUserAgentRequest,
                             public std::enable_shared_from_this<AuthorizationRequest> {
  public:
    static constexpr std::string_view kArchiveClassName = "OACAuthorizationRequest";

    // Every value as given. An unsupported response type is a programming error (ProgrammingException).
    static std::shared_ptr<const AuthorizationRequest> make(
        ServiceConfigurationPtr configuration, std::string clientID, std::optional<std::string> clientSecret,
        std::optional<std::string> scope, std::optional<URL> redirectURL, std::string responseType,
        std::optional<std::string> state, std::optional<std::string> nonce, std::optional<std::string> codeVerifier,
        std::optional<std::string> codeChallenge, std::optional<std::string> codeChallengeMethod,
        StringMap additionalParameters);

    // Generates the PKCE verifier and its S256 challenge, the state and (unless given) the nonce, and joins
    // the scopes. Throws platform::ErrorException (kGeneralErrorDomain, ErrorCode::randomSourceError)
    // when the secure random source fails: a request without them would be open to forgery.
    static std::shared_ptr<const AuthorizationRequest> make(ServiceConfigurationPtr configuration,
                                                            std::string clientID,
                                                            std::optional<std::string> clientSecret,
                                                            const std::vector<std::string>& scopes,
                                                            std::optional<URL> redirectURL, std::string responseType,
                                                            StringMap additionalParameters,
                                                            std::optional<std::string> nonce = std::nullopt);

    static bool isSupportedResponseType(std::string_view responseType);
    static std::optional<std::string> generateCodeVerifier();
    static std::optional<std::string> generateState();
    static std::optional<std::string> codeChallengeS256ForVerifier(const std::optional<std::string>& codeVerifier);

    const ServiceConfigurationPtr& configuration() const { return configuration_; }
    const std::string& responseType() const { return responseType_; }
    const std::string& clientID() const { return clientID_; }
    const std::optional<std::string>& clientSecret() const { return clientSecret_; }
    const std::optional<std::string>& scope() const { return scope_; }
    const std::optional<URL>& redirectURL() const { return redirectURL_; }
    const std::optional<std::string>& state() const { return state_; }
    const std::optional<std::string>& nonce() const { return nonce_; }
    const std::optional<std::string>& codeVerifier() const { return codeVerifier_; }
    const std::optional<std::string>& codeChallenge() const { return codeChallenge_; }
    const std::optional<std::string>& codeChallengeMethod() const { return codeChallengeMethod_; }
    const StringMap& additionalParameters() const { return additionalParameters_; }

    // The URL to open: the endpoint's own query, then the request's parameters (never the verifier).
    URL authorizationRequestURL() const;
    std::optional<URL> externalUserAgentRequestURL() const override { return authorizationRequestURL(); }
    std::optional<std::string> redirectScheme() const override;

    // "<OACAuthorizationRequest: 0x..., request: URL>" with state and nonce redacted.
    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // nullptr for a damaged archive (no configuration, client ID or response type, or an unsupported
    // response type).
    static std::shared_ptr<AuthorizationRequest> initWithCoder(platform::KeyedUnarchiver& coder);

    AuthorizationRequest() = default;  // for make and decoding only

  private:
    ServiceConfigurationPtr configuration_;
    std::string responseType_;
    std::string clientID_;
    std::optional<std::string> clientSecret_;
    std::optional<std::string> scope_;
    std::optional<URL> redirectURL_;
    std::optional<std::string> state_;
    std::optional<std::string> nonce_;
    std::optional<std::string> codeVerifier_;
    std::optional<std::string> codeChallenge_;
    std::optional<std::string> codeChallengeMethod_;
    StringMap additionalParameters_;
};

using AuthorizationRequestPtr = std::shared_ptr<const AuthorizationRequest>;

}  // namespace brisko::oauth
