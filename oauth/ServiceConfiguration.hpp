// The endpoints of one OAuth / OpenID Connect provider, given directly or taken from discovery.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "oauth/OAuthTypes.hpp"
#include "oauth/ServiceDiscovery.hpp"

namespace brisko::oauth {

class ServiceConfiguration {
  public:
    static constexpr std::string_view kArchiveClassName = "OACServiceConfiguration";

    ServiceConfiguration(URL authorizationEndpoint, URL tokenEndpoint, std::optional<URL> issuer = std::nullopt,
                         std::optional<URL> registrationEndpoint = std::nullopt,
                         std::optional<URL> endSessionEndpoint = std::nullopt,
                         std::shared_ptr<const ServiceDiscovery> discoveryDocument = nullptr);

    // The endpoints and issuer of a checked document, which is kept; nullptr when the document names no
    // authorization or token endpoint.
    static std::shared_ptr<const ServiceConfiguration> initWithDiscoveryDocument(
        std::shared_ptr<const ServiceDiscovery> discoveryDocument);

    const URL& authorizationEndpoint() const { return authorizationEndpoint_; }
    const URL& tokenEndpoint() const { return tokenEndpoint_; }
    const std::optional<URL>& issuer() const { return issuer_; }
    const std::optional<URL>& registrationEndpoint() const { return registrationEndpoint_; }
    const std::optional<URL>& endSessionEndpoint() const { return endSessionEndpoint_; }
    const std::shared_ptr<const ServiceDiscovery>& discoveryDocument() const { return discoveryDocument_; }

    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // nullptr without an authorization or a token endpoint.
    static std::shared_ptr<ServiceConfiguration> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    URL authorizationEndpoint_;
    URL tokenEndpoint_;
    std::optional<URL> issuer_;
    std::optional<URL> registrationEndpoint_;
    std::optional<URL> endSessionEndpoint_;
    std::shared_ptr<const ServiceDiscovery> discoveryDocument_;
};

using ServiceConfigurationPtr = std::shared_ptr<const ServiceConfiguration>;

}  // namespace brisko::oauth
