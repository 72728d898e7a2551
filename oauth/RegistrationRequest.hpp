// A dynamic client registration request: the client's metadata as JSON for the registration endpoint.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "oauth/OAuthTypes.hpp"
#include "oauth/ServiceConfiguration.hpp"
#include "platform/net/URLRequest.hpp"

namespace brisko::oauth {

inline constexpr std::string_view kApplicationTypeNative = "native";

class RegistrationRequest {
  public:
    static constexpr std::string_view kArchiveClassName = "OACRegistrationRequest";

    // Additional parameters are extra top-level JSON members (any JSON value).
    static std::shared_ptr<const RegistrationRequest> make(ServiceConfigurationPtr configuration,
                                                           std::vector<URL> redirectURIs,
                                                           std::optional<std::vector<std::string>> responseTypes,
                                                           std::optional<std::vector<std::string>> grantTypes,
                                                           std::optional<std::string> subjectType,
                                                           std::optional<std::string> tokenEndpointAuthMethod,
                                                           std::optional<std::string> initialAccessToken,
                                                           Dictionary additionalParameters);

    const ServiceConfigurationPtr& configuration() const { return configuration_; }
    const std::optional<std::string>& initialAccessToken() const { return initialAccessToken_; }
    const std::string& applicationType() const { return applicationType_; }
    const std::vector<URL>& redirectURIs() const { return redirectURIs_; }
    const std::optional<std::vector<std::string>>& responseTypes() const { return responseTypes_; }
    const std::optional<std::vector<std::string>>& grantTypes() const { return grantTypes_; }
    const std::optional<std::string>& subjectType() const { return subjectType_; }
    const std::optional<std::string>& tokenEndpointAuthenticationMethod() const { return tokenEndpointAuthMethod_; }
    const Dictionary& additionalParameters() const { return additionalParameters_; }

    // The JSON body, or nothing when it cannot be serialised.
    std::optional<Data> JSONString() const;
    // POST to the registration endpoint; nothing when the body cannot be made or there is no endpoint.
    std::optional<platform::URLRequest> URLRequest() const;

    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<RegistrationRequest> initWithCoder(platform::KeyedUnarchiver& coder);

    RegistrationRequest() = default;  // for make and decoding only

  private:
    ServiceConfigurationPtr configuration_;
    std::optional<std::string> initialAccessToken_;
    std::string applicationType_{kApplicationTypeNative};
    std::vector<URL> redirectURIs_;
    std::optional<std::vector<std::string>> responseTypes_;
    std::optional<std::vector<std::string>> grantTypes_;
    std::optional<std::string> subjectType_;
    std::optional<std::string> tokenEndpointAuthMethod_;
    Dictionary additionalParameters_;
};

using RegistrationRequestPtr = std::shared_ptr<const RegistrationRequest>;

}  // namespace brisko::oauth
