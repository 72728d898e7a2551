// The base of every identity-toolkit request record: endpoint, API key, tenant, API generation, client
// type and configuration, and the address forms built from them.
#pragma once

#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "auth/backend/AuthRPCRequest.hpp"

namespace brisko::auth {

// The public hosts of the identity service's three APIs.
inline constexpr std::string_view kIdentityToolkitHost = "www.ezevarapis.com";
inline constexpr std::string_view kIdentityPlatformHost = "identitytoolkit.ezevarapis.com";
inline constexpr std::string_view kSecureTokenHost = "securetoken.ezevarapis.com";
inline constexpr std::string_view kClientTypeIOS = "CLIENT_TYPE_IOS";

inline constexpr std::string_view kMissingConfigurationMessage =
    "Internal Auth error: a request record was made without a request configuration";
// The configuration of a record being made; a missing one is a programming error that stops the process.
const std::shared_ptr<AuthRequestConfiguration>&
requireConfiguration(const std::shared_ptr<AuthRequestConfiguration>& configuration);

// Percent-encodes a value for a URL query so that it stays one value: besides what a query may not
// hold, "&", "=", "+" and "#" are encoded.
std::string percentEncodeQueryValue(std::string_view value);
// The URL of an address text; a text that does not parse even with its parts encoded is a
// configuration error and stops the process with "Internal Auth error: Failed to generate URL for ".
platform::URL urlForAddress(const std::string& text, std::source_location source = std::source_location::current());
// "http://" + host:port + "/" + host when an emulator is set, else "https://" + host.
std::string addressPrefix(std::string_view host, const std::optional<std::string>& emulatorHostAndPort);

class IdentityToolkitRequest : public AuthRPCRequest {
public:
    IdentityToolkitRequest(std::string endpoint, std::shared_ptr<AuthRequestConfiguration> requestConfiguration,
                           bool useIdentityPlatform = false, bool useStaging = false);

    // "https:" "//" host "/identitytoolkit/v3/relyingparty/" (or "/v2/") endpoint "?key=" key and the
    // query suffix; with an emulator, "http:" "//" host:port "/" host and the same path.
    platform::URL buildURL(const AuthRequestConfiguration::Snapshot& settings) const override;
    using AuthRPCRequest::buildURL;
    // Text appended after the API key; empty here.
    virtual std::string queryParameters() const { return {}; }
    const std::shared_ptr<AuthRequestConfiguration>& requestConfiguration() const override {
        return requestConfiguration_;
    }

    std::string endpoint;
    std::string apiKey;
    std::optional<std::string> tenantID;  // the identity client's tenant when the record was made
    bool useIdentityPlatform = false;
    bool useStaging = false;  // no address form depends on it
    std::string clientType{kClientTypeIOS};

protected:
    // Adds "tenantId" last, when a tenant is set.
    void addTenant(JSONBody& body) const;

private:
    std::shared_ptr<AuthRequestConfiguration> requestConfiguration_;
};

}  // namespace brisko::auth
