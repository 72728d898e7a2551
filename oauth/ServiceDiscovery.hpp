// An OpenID discovery document: the provider's metadata, checked for its required fields.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "oauth/OAuthTypes.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::oauth {

class ServiceDiscovery {
  public:
    static constexpr std::string_view kArchiveClassName = "OACServiceDiscovery";

    // Parse and check a document; nothing (and the error, when asked) for bad JSON (-7), a JSON value
    // that is not an object (-2 "Discovery document isn't a dictionary") or a missing required field.
    static std::shared_ptr<const ServiceDiscovery> initWithJSON(std::string_view json, OptionalError* error = nullptr);
    static std::shared_ptr<const ServiceDiscovery> initWithJSONData(std::span<const std::uint8_t> data,
                                                                    OptionalError* error = nullptr);
    static std::shared_ptr<const ServiceDiscovery> initWithDictionary(const Dictionary& dictionary,
                                                                      OptionalError* error = nullptr);
    // The required members are present ("issuer", "authorization_endpoint", "token_endpoint", "jwks_uri",
    // "response_types_supported", "subject_types_supported", "id_token_signing_alg_values_supported") and
    // the endpoints among them are URLs; otherwise false with a -2 error ("Missing field: %@",
    // "Invalid URL: %@").
    static bool dictionaryHasRequiredFields(const Dictionary& dictionary, OptionalError* error = nullptr);

    const Dictionary& discoveryDictionary() const { return dictionary_; }

    std::optional<URL> issuer() const;
    std::optional<URL> authorizationEndpoint() const;
    std::optional<URL> deviceAuthorizationEndpoint() const;
    std::optional<URL> tokenEndpoint() const;
    std::optional<URL> userinfoEndpoint() const;
    std::optional<URL> jwksURL() const;
    std::optional<URL> registrationEndpoint() const;
    std::optional<URL> endSessionEndpoint() const;
    std::optional<URL> serviceDocumentation() const;
    std::optional<URL> OPPolicyURI() const;
    std::optional<URL> OPTosURI() const;
    // Lists come back as stored (no type check); absent when missing.
    const Value* scopesSupported() const;
    const Value* responseTypesSupported() const;
    const Value* responseModesSupported() const;
    const Value* grantTypesSupported() const;
    const Value* acrValuesSupported() const;
    const Value* subjectTypesSupported() const;
    const Value* IDTokenSigningAlgorithmValuesSupported() const;
    const Value* IDTokenEncryptionAlgorithmValuesSupported() const;
    const Value* IDTokenEncryptionEncodingValuesSupported() const;
    const Value* userinfoSigningAlgorithmValuesSupported() const;
    const Value* userinfoEncryptionAlgorithmValuesSupported() const;
    const Value* userinfoEncryptionEncodingValuesSupported() const;
    const Value* requestObjectSigningAlgorithmValuesSupported() const;
    const Value* requestObjectEncryptionAlgorithmValuesSupported() const;
    const Value* requestObjectEncryptionEncodingValuesSupported() const;
    const Value* tokenEndpointAuthMethodsSupported() const;
    const Value* tokenEndpointAuthSigningAlgorithmValuesSupported() const;
    const Value* displayValuesSupported() const;
    const Value* claimTypesSupported() const;
    const Value* claimsSupported() const;
    const Value* claimsLocalesSupported() const;
    const Value* UILocalesSupported() const;
    bool claimsParameterSupported() const;        // false when absent
    bool requestParameterSupported() const;       // false when absent
    bool requestURIParameterSupported() const;    // true when absent
    bool requireRequestURIRegistration() const;   // false when absent

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Reads "discoveryDictionary", or the archive's own members (the older layout); nullptr when the
    // document does not pass the checks.
    static std::shared_ptr<ServiceDiscovery> initWithCoder(platform::KeyedUnarchiver& coder);

    explicit ServiceDiscovery(Dictionary dictionary) : dictionary_(std::move(dictionary)) {}

  private:
    std::optional<URL> url(std::string_view key) const;
    const Value* list(std::string_view key) const;
    std::optional<bool> flag(std::string_view key) const;
    Dictionary dictionary_;
};

}  // namespace brisko::oauth
