// Provider endpoints and their archive.
#include "oauth/ServiceConfiguration.hpp"

#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {
using detail::decodeURL;
using detail::encodeURL;

ServiceConfiguration::ServiceConfiguration(URL authorizationEndpoint, URL tokenEndpoint, std::optional<URL> issuer,
                                           std::optional<URL> registrationEndpoint,
                                           std::optional<URL> endSessionEndpoint,
                                           std::shared_ptr<const ServiceDiscovery> discoveryDocument)
    : authorizationEndpoint_(std::move(authorizationEndpoint)),
      tokenEndpoint_(std::move(tokenEndpoint)),
      issuer_(std::move(issuer)),
      registrationEndpoint_(std::move(registrationEndpoint)),
      endSessionEndpoint_(std::move(endSessionEndpoint)),
      discoveryDocument_(std::move(discoveryDocument)) {}

std::shared_ptr<const ServiceConfiguration> ServiceConfiguration::initWithDiscoveryDocument(
    std::shared_ptr<const ServiceDiscovery> discoveryDocument) {
    if (!discoveryDocument) return nullptr;
    auto authorization = discoveryDocument->authorizationEndpoint();
    auto token = discoveryDocument->tokenEndpoint();
    if (!authorization || !token) return nullptr;
    return std::make_shared<const ServiceConfiguration>(
        std::move(*authorization), std::move(*token), discoveryDocument->issuer(),
        discoveryDocument->registrationEndpoint(), discoveryDocument->endSessionEndpoint(), discoveryDocument);
}

std::string ServiceConfiguration::description() const {
    return platform::format(
        "OACServiceConfiguration authorizationEndpoint: %@, tokenEndpoint: %@, registrationEndpoint: %@, "
        "endSessionEndpoint: %@, discoveryDocument: [%@]",
        {authorizationEndpoint_.absoluteString(), tokenEndpoint_.absoluteString(), detail::orNull(registrationEndpoint_),
         detail::orNull(endSessionEndpoint_),
         discoveryDocument_ ? Value(discoveryDocument_->discoveryDictionary()).description() : std::string("(null)")});
}

void ServiceConfiguration::encodeWithCoder(platform::KeyedArchiver& coder) const {
    encodeURL(coder, authorizationEndpoint_, "authorizationEndpoint");
    encodeURL(coder, tokenEndpoint_, "tokenEndpoint");
    encodeURL(coder, issuer_, "issuer");
    encodeURL(coder, registrationEndpoint_, "registrationEndpoint");
    detail::encodeRecord(coder, discoveryDocument_, "discoveryDocument");
    encodeURL(coder, endSessionEndpoint_, "endSessionEndpoint");
}

std::shared_ptr<ServiceConfiguration> ServiceConfiguration::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto authorization = decodeURL(coder, "authorizationEndpoint");
    auto token = decodeURL(coder, "tokenEndpoint");
    if (!authorization || !token) return nullptr;
    auto issuer = decodeURL(coder, "issuer");
    auto registration = decodeURL(coder, "registrationEndpoint");
    auto endSession = decodeURL(coder, "endSessionEndpoint");
    auto document = detail::decodeRecord<ServiceDiscovery>(coder, "discoveryDocument");
    return std::make_shared<ServiceConfiguration>(std::move(*authorization), std::move(*token), std::move(issuer),
                                                  std::move(registration), std::move(endSession), std::move(document));
}

}  // namespace brisko::oauth
