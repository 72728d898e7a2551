// The OpenID discovery document and its checks.
#include "oauth/ServiceDiscovery.hpp"

#include <array>

#include <nlohmann/json.hpp>

#include "oauth/ErrorUtilities.hpp"
#include "oauth/internal/JSONDocument.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {
namespace {

constexpr std::string_view kDiscoveryDictionaryKey = "discoveryDictionary";

// Members that must be present, in the order they are checked; then those that must be URLs.
constexpr std::array<std::string_view, 7> kRequiredFields{"issuer",
                                                          "authorization_endpoint",
                                                          "token_endpoint",
                                                          "jwks_uri",
                                                          "response_types_supported",
                                                          "subject_types_supported",
                                                          "id_token_signing_alg_values_supported"};
// "authorization_endpoint" is checked as well: a configuration cannot be made without it.
constexpr std::array<std::string_view, 4> kRequiredURLFields{"issuer", "token_endpoint", "jwks_uri",
                                                             "authorization_endpoint"};

// Every member the document's properties read, for archives of the older layout.
constexpr std::array<std::string_view, 37> kKnownFields{"issuer",
                                                        "authorization_endpoint",
                                                        "device_authorization_endpoint",
                                                        "token_endpoint",
                                                        "userinfo_endpoint",
                                                        "jwks_uri",
                                                        "registration_endpoint",
                                                        "end_session_endpoint",
                                                        "scopes_supported",
                                                        "response_types_supported",
                                                        "response_modes_supported",
                                                        "grant_types_supported",
                                                        "acr_values_supported",
                                                        "subject_types_supported",
                                                        "id_token_signing_alg_values_supported",
                                                        "id_token_encryption_alg_values_supported",
                                                        "id_token_encryption_enc_values_supported",
                                                        "userinfo_signing_alg_values_supported",
                                                        "userinfo_encryption_alg_values_supported",
                                                        "userinfo_encryption_enc_values_supported",
                                                        "request_object_signing_alg_values_supported",
                                                        "request_object_encryption_alg_values_supported",
                                                        "request_object_encryption_enc_values_supported",
                                                        "token_endpoint_auth_methods_supported",
                                                        "token_endpoint_auth_signing_alg_values_supported",
                                                        "display_values_supported",
                                                        "claim_types_supported",
                                                        "claims_supported",
                                                        "service_documentation",
                                                        "claims_locales_supported",
                                                        "ui_locales_supported",
                                                        "claims_parameter_supported",
                                                        "request_parameter_supported",
                                                        "request_uri_parameter_supported",
                                                        "require_request_uri_registration",
                                                        "op_policy_uri",
                                                        "op_tos_uri"};

void setError(OptionalError* error, Error e) {
    if (error) *error = std::move(e);
}

platform::ArchiveClassList documentClasses() {
    return platform::archiveClasses<Dictionary, platform::Array, std::string, platform::ArchiveNumber>();
}

}  // namespace

std::shared_ptr<const ServiceDiscovery> ServiceDiscovery::initWithJSON(std::string_view json, OptionalError* error) {
    return initWithJSONData(std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()), error);
}

std::shared_ptr<const ServiceDiscovery> ServiceDiscovery::initWithJSONData(std::span<const std::uint8_t> data,
                                                                           OptionalError* error) {
    Value value;
    try {
        value = detail::parseJSONValue(data);
    } catch (const nlohmann::json::exception& e) {
        Error parseError(std::string(platform::kCocoaErrorDomain), 3840,
                         Dictionary{{std::string(platform::kLocalizedDescriptionKey), std::string(e.what())}});
        setError(error, ErrorUtilities::errorWithCode(ErrorCode::JSONDeserializationError, parseError,
                                                      parseError.localizedDescription()));
        return nullptr;
    }
    const auto* document = value.dictionary();
    if (!document) {
        setError(error, ErrorUtilities::errorWithCode(ErrorCode::invalidDiscoveryDocument, std::nullopt,
                                                      "Discovery document isn't a dictionary"));
        return nullptr;
    }
    return initWithDictionary(*document, error);
}

std::shared_ptr<const ServiceDiscovery> ServiceDiscovery::initWithDictionary(const Dictionary& dictionary,
                                                                             OptionalError* error) {
    if (!dictionaryHasRequiredFields(dictionary, error)) return nullptr;
    return std::make_shared<const ServiceDiscovery>(dictionary);
}

bool ServiceDiscovery::dictionaryHasRequiredFields(const Dictionary& dictionary, OptionalError* error) {
    for (auto key : kRequiredFields) {
        if (!dictionary.contains(key)) {
            setError(error, ErrorUtilities::errorWithCode(ErrorCode::invalidDiscoveryDocument, std::nullopt,
                                                          platform::format("Missing field: %@", {key})));
            return false;
        }
    }
    for (auto key : kRequiredURLFields) {
        const auto* text = dictionary.find(key)->second.string();
        if (!text || !URL::parse(*text)) {
            setError(error, ErrorUtilities::errorWithCode(ErrorCode::invalidDiscoveryDocument, std::nullopt,
                                                          platform::format("Invalid URL: %@", {key})));
            return false;
        }
    }
    return true;
}

std::optional<URL> ServiceDiscovery::url(std::string_view key) const {
    auto it = dictionary_.find(key);
    if (it == dictionary_.end() || !it->second.string()) return std::nullopt;
    return URL::parse(*it->second.string());
}

const Value* ServiceDiscovery::list(std::string_view key) const {
    auto it = dictionary_.find(key);
    return it == dictionary_.end() ? nullptr : &it->second;
}

std::optional<bool> ServiceDiscovery::flag(std::string_view key) const {
    auto it = dictionary_.find(key);
    if (it == dictionary_.end()) return std::nullopt;
    if (auto b = it->second.boolean()) return *b;
    if (auto n = it->second.number()) return *n != 0;
    return false;
}

std::optional<URL> ServiceDiscovery::issuer() const {
    return url("issuer");
}
std::optional<URL> ServiceDiscovery::authorizationEndpoint() const {
    return url("authorization_endpoint");
}
std::optional<URL> ServiceDiscovery::deviceAuthorizationEndpoint() const {
    return url("device_authorization_endpoint");
}
std::optional<URL> ServiceDiscovery::tokenEndpoint() const {
    return url("token_endpoint");
}
std::optional<URL> ServiceDiscovery::userinfoEndpoint() const {
    return url("userinfo_endpoint");
}
std::optional<URL> ServiceDiscovery::jwksURL() const {
    return url("jwks_uri");
}
std::optional<URL> ServiceDiscovery::registrationEndpoint() const {
    return url("registration_endpoint");
}
std::optional<URL> ServiceDiscovery::endSessionEndpoint() const {
    return url("end_session_endpoint");
}
std::optional<URL> ServiceDiscovery::serviceDocumentation() const {
    return url("service_documentation");
}
std::optional<URL> ServiceDiscovery::OPPolicyURI() const {
    return url("op_policy_uri");
}
std::optional<URL> ServiceDiscovery::OPTosURI() const {
    return url("op_tos_uri");
}
const Value* ServiceDiscovery::scopesSupported() const {
    return list("scopes_supported");
}
const Value* ServiceDiscovery::responseTypesSupported() const {
    return list("response_types_supported");
}
const Value* ServiceDiscovery::responseModesSupported() const {
    return list("response_modes_supported");
}
const Value* ServiceDiscovery::grantTypesSupported() const {
    return list("grant_types_supported");
}
const Value* ServiceDiscovery::acrValuesSupported() const {
    return list("acr_values_supported");
}
const Value* ServiceDiscovery::subjectTypesSupported() const {
    return list("subject_types_supported");
}
const Value* ServiceDiscovery::IDTokenSigningAlgorithmValuesSupported() const {
    return list("id_token_signing_alg_values_supported");
}
const Value* ServiceDiscovery::IDTokenEncryptionAlgorithmValuesSupported() const {
    return list("id_token_encryption_alg_values_supported");
}
const Value* ServiceDiscovery::IDTokenEncryptionEncodingValuesSupported() const {
    return list("id_token_encryption_enc_values_supported");
}
const Value* ServiceDiscovery::userinfoSigningAlgorithmValuesSupported() const {
    return list("userinfo_signing_alg_values_supported");
}
const Value* ServiceDiscovery::userinfoEncryptionAlgorithmValuesSupported() const {
    return list("userinfo_encryption_alg_values_supported");
}
const Value* ServiceDiscovery::userinfoEncryptionEncodingValuesSupported() const {
    return list("userinfo_encryption_enc_values_supported");
}
const Value* ServiceDiscovery::requestObjectSigningAlgorithmValuesSupported() const {
    return list("request_object_signing_alg_values_supported");
}
const Value* ServiceDiscovery::requestObjectEncryptionAlgorithmValuesSupported() const {
    return list("request_object_encryption_alg_values_supported");
}
const Value* ServiceDiscovery::requestObjectEncryptionEncodingValuesSupported() const {
    return list("request_object_encryption_enc_values_supported");
}
const Value* ServiceDiscovery::tokenEndpointAuthMethodsSupported() const {
    return list("token_endpoint_auth_methods_supported");
}
const Value* ServiceDiscovery::tokenEndpointAuthSigningAlgorithmValuesSupported() const {
    return list("token_endpoint_auth_signing_alg_values_supported");
}
const Value* ServiceDiscovery::displayValuesSupported() const {
    return list("display_values_supported");
}
const Value* ServiceDiscovery::claimTypesSupported() const {
    return list("claim_types_supported");
}
const Value* ServiceDiscovery::claimsSupported() const {
    return list("claims_supported");
}
const Value* ServiceDiscovery::claimsLocalesSupported() const {
    return list("claims_locales_supported");
}
const Value* ServiceDiscovery::UILocalesSupported() const {
    return list("ui_locales_supported");
}
bool ServiceDiscovery::claimsParameterSupported() const {
    return flag("claims_parameter_supported").value_or(false);
}
bool ServiceDiscovery::requestParameterSupported() const {
    return flag("request_parameter_supported").value_or(false);
}
bool ServiceDiscovery::requestURIParameterSupported() const {
    return flag("request_uri_parameter_supported").value_or(true);
}
bool ServiceDiscovery::requireRequestURIRegistration() const {
    return flag("require_request_uri_registration").value_or(false);
}

void ServiceDiscovery::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(Value(dictionary_), kDiscoveryDictionaryKey);
    // The older layout: the members themselves beside it, so older readers find them.
    for (const auto& [key, value] : dictionary_) {
        if (key != kDiscoveryDictionaryKey) coder.encodeObject(value, key);
    }
}

std::shared_ptr<ServiceDiscovery> ServiceDiscovery::initWithCoder(platform::KeyedUnarchiver& coder) {
    Dictionary dictionary;
    if (coder.containsValueForKey(kDiscoveryDictionaryKey)) {
        Value value = coder.decodeObjectOfClasses(documentClasses(), kDiscoveryDictionaryKey);
        if (!value.dictionary()) return nullptr;
        dictionary = *value.dictionary();
    } else {
        for (auto key : kKnownFields) {
            Value value = coder.decodeObjectOfClasses(documentClasses(), key);
            if (!value.isNull()) dictionary.emplace(std::string(key), std::move(value));
        }
    }
    if (coder.error() || !dictionaryHasRequiredFields(dictionary)) return nullptr;
    return std::make_shared<ServiceDiscovery>(std::move(dictionary));
}

}  // namespace brisko::oauth
