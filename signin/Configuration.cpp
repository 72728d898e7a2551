// The client configuration's description and archive.
#include "signin/Configuration.hpp"

#include <cstdio>

#include "platform/base/Text.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kClientIDKey = "clientID";
constexpr std::string_view kServerClientIDKey = "serverClientID";
constexpr std::string_view kHostedDomainKey = "hostedDomain";
constexpr std::string_view kOpenIDRealmKey = "openIDRealm";
constexpr std::string_view kDescriptionFormat =
    "<%@: %@, clientID: %@, serverClientID: %@, hostedDomain: %@, openIDRealm: %@>";

std::string orNull(const std::optional<std::string>& s) {
    return s ? *s : std::string("(null)");
}

void encodeOptional(platform::KeyedArchiver& coder, const std::optional<std::string>& value, std::string_view key) {
    if (value) coder.encodeObject(platform::Value(*value), key);
}
}  // namespace

std::string Configuration::description() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
    return platform::format(kDescriptionFormat, {std::string(kArchiveClassName), std::string(address), clientID_,
                                                 orNull(serverClientID_), orNull(hostedDomain_), orNull(openIDRealm_)});
}

void Configuration::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(clientID_), kClientIDKey);
    encodeOptional(coder, serverClientID_, kServerClientIDKey);
    encodeOptional(coder, hostedDomain_, kHostedDomainKey);
    encodeOptional(coder, openIDRealm_, kOpenIDRealmKey);
}

std::shared_ptr<Configuration> Configuration::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto clientID = coder.decodeObjectOfClass<std::string>(kClientIDKey);
    if (!clientID) return nullptr;
    return std::make_shared<Configuration>(std::move(*clientID),
                                           coder.decodeObjectOfClass<std::string>(kServerClientIDKey),
                                           coder.decodeObjectOfClass<std::string>(kHostedDomainKey),
                                           coder.decodeObjectOfClass<std::string>(kOpenIDRealmKey));
}

}  // namespace brisko::signin
