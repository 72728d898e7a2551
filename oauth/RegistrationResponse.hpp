// The registration endpoint's reply: the client ID, its secret and the values to manage the registration.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "oauth/FieldMapping.hpp"
#include "oauth/OAuthTypes.hpp"
#include "oauth/RegistrationRequest.hpp"

namespace brisko::oauth {

class RegistrationResponse {
  public:
    static constexpr std::string_view kArchiveClassName = "OACRegistrationResponse";

    // nullptr when the reply has no client ID, has a secret without "client_secret_expires_at", or only
    // one of "registration_access_token" and "registration_client_uri".
    static std::shared_ptr<const RegistrationResponse> make(RegistrationRequestPtr request,
                                                            const Dictionary& parameters);
    static const FieldMap<RegistrationResponse>& fieldMap();

    const RegistrationRequestPtr& request() const { return request_; }
    const std::optional<std::string>& clientID() const { return clientID_; }
    const std::optional<Date>& clientIDIssuedAt() const { return clientIDIssuedAt_; }
    const std::optional<std::string>& clientSecret() const { return clientSecret_; }
    const std::optional<Date>& clientSecretExpiresAt() const { return clientSecretExpiresAt_; }
    const std::optional<std::string>& registrationAccessToken() const { return registrationAccessToken_; }
    const std::optional<URL>& registrationClientURI() const { return registrationClientURI_; }
    const std::optional<std::string>& tokenEndpointAuthenticationMethod() const { return tokenEndpointAuthMethod_; }
    const Dictionary& additionalParameters() const { return additionalParameters_; }

    // The secret and the registration access token redacted.
    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<RegistrationResponse> initWithCoder(platform::KeyedUnarchiver& coder);

    RegistrationResponse() = default;  // for make and decoding only

  private:
    RegistrationRequestPtr request_;
    std::optional<std::string> clientID_;
    std::optional<Date> clientIDIssuedAt_;
    std::optional<std::string> clientSecret_;
    std::optional<Date> clientSecretExpiresAt_;
    std::optional<std::string> registrationAccessToken_;
    std::optional<URL> registrationClientURI_;
    std::optional<std::string> tokenEndpointAuthMethod_;
    Dictionary additionalParameters_;
};

using RegistrationResponsePtr = std::shared_ptr<const RegistrationResponse>;

}  // namespace brisko::oauth
