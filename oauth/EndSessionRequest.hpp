// A relying-party-initiated logout request: the end-session URL with the ID-token hint and the state.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "oauth/ExternalUserAgent.hpp"
#include "oauth/OAuthTypes.hpp"
#include "oauth/ServiceConfiguration.hpp"

namespace brisko::oauth {

class EndSessionRequest : public ExternalUserAgentRequest {
  public:
    static constexpr std::string_view kArchiveClassName = "OACEndSessionRequest";

    static std::shared_ptr<const EndSessionRequest> make(ServiceConfigurationPtr configuration,
                                                         std::optional<std::string> idTokenHint,
                                                         std::optional<URL> postLogoutRedirectURL,
                                                         std::optional<std::string> state,
                                                         StringMap additionalParameters);
    // With a generated state; throws platform::ErrorException (ErrorCode::randomSourceError) when the
    // secure random source fails.
    static std::shared_ptr<const EndSessionRequest> make(ServiceConfigurationPtr configuration,
                                                         std::optional<std::string> idTokenHint,
                                                         std::optional<URL> postLogoutRedirectURL,
                                                         StringMap additionalParameters);
    static std::optional<std::string> generateState();

    const ServiceConfigurationPtr& configuration() const { return configuration_; }
    const std::optional<URL>& postLogoutRedirectURL() const { return postLogoutRedirectURL_; }
    const std::optional<std::string>& idTokenHint() const { return idTokenHint_; }
    const std::optional<std::string>& state() const { return state_; }
    const StringMap& additionalParameters() const { return additionalParameters_; }

    // Without an end-session endpoint in the configuration, a programming error.
    URL endSessionRequestURL() const;
    std::optional<URL> externalUserAgentRequestURL() const override { return endSessionRequestURL(); }
    std::optional<std::string> redirectScheme() const override;

    // The ID-token hint and the state redacted.
    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<EndSessionRequest> initWithCoder(platform::KeyedUnarchiver& coder);

    EndSessionRequest() = default;  // for make and decoding only

  private:
    ServiceConfigurationPtr configuration_;
    std::optional<URL> postLogoutRedirectURL_;
    std::optional<std::string> idTokenHint_;
    std::optional<std::string> state_;
    StringMap additionalParameters_;
};

using EndSessionRequestPtr = std::shared_ptr<const EndSessionRequest>;

}  // namespace brisko::oauth
