// Identity-toolkit addresses.
#include "auth/backend/IdentityToolkitRequest.hpp"

#include "platform/base/Error.hpp"

namespace brisko::auth {

namespace {
constexpr std::string_view kURLFailureMessage = "Internal Auth error: Failed to generate URL for ";
constexpr std::string_view kV1Path = "/identitytoolkit/v3/relyingparty/";
constexpr std::string_view kV2Path = "/v2/";
}  // namespace

std::string percentEncodeQueryValue(std::string_view value) {
    static const platform::CharacterSet allowed = platform::CharacterSet::urlQueryAllowed().without("&=+#");
    return platform::percentEncode(value, allowed);
}

platform::URL urlForAddress(const std::string& text, std::source_location source) {
    auto url = platform::URL::parse(text);
    if (!url) platform::fatal(std::string(kURLFailureMessage) + text, source);
    return std::move(*url);
}

std::string addressPrefix(std::string_view host, const std::optional<std::string>& emulatorHostAndPort) {
    std::string out;
    if (emulatorHostAndPort) {
        // The emulator address may only name a host and port: anything that would start a path, a
        // query or a fragment is encoded.
        static const platform::CharacterSet allowed = platform::CharacterSet::urlHostAllowed();
        out.append("http://").append(platform::percentEncode(*emulatorHostAndPort, allowed)).append("/");
    } else {
        out.append("https://");
    }
    out.append(host);
    return out;
}

const std::shared_ptr<AuthRequestConfiguration>&
requireConfiguration(const std::shared_ptr<AuthRequestConfiguration>& configuration) {
    if (!configuration) platform::fatal(kMissingConfigurationMessage);
    return configuration;
}

IdentityToolkitRequest::IdentityToolkitRequest(std::string endpointName,
                                               std::shared_ptr<AuthRequestConfiguration> configuration,
                                               bool identityPlatform, bool staging)
    : endpoint(std::move(endpointName)), apiKey(requireConfiguration(configuration)->apiKey()),
      useIdentityPlatform(identityPlatform), useStaging(staging), requestConfiguration_(std::move(configuration)) {
    if (auto client = requestConfiguration_->auth()) tenantID = client->tenantID();
}

platform::URL IdentityToolkitRequest::buildURL(const AuthRequestConfiguration::Snapshot& settings) const {
    static const platform::CharacterSet endpointAllowed = platform::CharacterSet::urlPathAllowed();
    std::string text =
        addressPrefix(useIdentityPlatform ? kIdentityPlatformHost : kIdentityToolkitHost, settings.emulatorHostAndPort);
    text.append(useIdentityPlatform ? kV2Path : kV1Path)
        .append(platform::percentEncode(endpoint, endpointAllowed))
        .append("?key=")
        .append(percentEncodeQueryValue(apiKey))
        .append(queryParameters());
    return urlForAddress(text);
}

void IdentityToolkitRequest::addTenant(JSONBody& body) const {
    if (tenantID) body["tenantId"] = *tenantID;
}

}  // namespace brisko::auth
