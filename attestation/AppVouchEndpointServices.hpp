// The three endpoint services of the attestation backend: App Attest (challenge, attestation and
// assertion exchanges), DeviceCheck and debug token exchanges.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "attestation/AppVouchAPIService.hpp"

namespace brisko::attestation {

inline constexpr std::string_view kGenerateAppAttestChallengeMethod = "generateAppAttestChallenge";
inline constexpr std::string_view kExchangeAppAttestAttestationMethod = "exchangeAppAttestAttestation";
inline constexpr std::string_view kExchangeAppAttestAssertionMethod = "exchangeAppAttestAssertion";
inline constexpr std::string_view kExchangeDeviceCheckTokenFormat = "%@/%@:exchangeDeviceCheckToken";
inline constexpr std::string_view kExchangeDebugTokenFormat = "%@/%@:exchangeDebugToken";
inline constexpr std::string_view kResourceURLFormat = "%@/%@";
inline constexpr std::string_view kEndpointURLFormat = "%@:%@";

inline constexpr std::string_view kFieldChallenge = "challenge";
inline constexpr std::string_view kFieldKeyID = "key_id";
inline constexpr std::string_view kFieldAttestationStatement = "attestation_statement";
inline constexpr std::string_view kFieldLimitedUse = "limited_use";
inline constexpr std::string_view kFieldArtifact = "artifact";
inline constexpr std::string_view kFieldAssertion = "assertion";
inline constexpr std::string_view kFieldAppVouchToken = "appVouchToken";
inline constexpr std::string_view kFieldDeviceToken = "device_token";
inline constexpr std::string_view kFieldDebugToken = "debug_token";

inline constexpr std::string_view kMissingRequestParameterReason = "Missing or empty request parameter.";
inline constexpr std::string_view kEmptyDeviceCheckTokenReason = "DeviceCheck token must not be empty.";
inline constexpr std::string_view kEmptyDebugTokenReason = "Debug token must not be empty.";
inline constexpr std::string_view kEmptyHandshakeResponseReason =
    "Failed to parse the initial handshake response. Empty server response body.";

struct AppAttestAttestationResponse {
    platform::Data artifact;
    AppVouchToken token;

    // Parses an attestation exchange reply received at the request date.
    static Resolution<AppAttestAttestationResponse> initWithResponseData(const platform::Data& body, Date requestDate);
};

class AppAttestAPIServiceProtocol {
public:
    virtual ~AppAttestAPIServiceProtocol() = default;
    virtual Promise<platform::Data> getRandomChallenge() = 0;
    virtual Promise<AppAttestAttestationResponse> attestKeyWithAttestation(const platform::Data& attestation,
                                                                           const std::string& keyID,
                                                                           const platform::Data& challenge,
                                                                           bool limitedUse) = 0;
    virtual Promise<AppVouchToken> getAppVouchTokenWithArtifact(const platform::Data& artifact,
                                                                const platform::Data& challenge,
                                                                const platform::Data& assertion, bool limitedUse) = 0;
};

class AppAttestAPIService : public AppAttestAPIServiceProtocol,
                            public std::enable_shared_from_this<AppAttestAPIService> {
public:
    AppAttestAPIService(std::shared_ptr<AppVouchAPIServiceProtocol> APIService, std::string resourceName);

    Promise<platform::Data> getRandomChallenge() override;
    Promise<AppAttestAttestationResponse> attestKeyWithAttestation(const platform::Data& attestation,
                                                                   const std::string& keyID,
                                                                   const platform::Data& challenge,
                                                                   bool limitedUse) override;
    Promise<AppVouchToken> getAppVouchTokenWithArtifact(const platform::Data& artifact, const platform::Data& challenge,
                                                        const platform::Data& assertion, bool limitedUse) override;

    static std::string URLWithBaseURL(std::string_view baseURL, std::string_view resourceName);
    std::string URLForEndpoint(std::string_view endpoint) const;
    // The challenge of a reply body; an error for an empty body, no JSON object, or a missing or
    // undecodable "challenge".
    static Resolution<platform::Data> randomChallengeFromResponseBody(const platform::Data& body);

    const std::shared_ptr<AppVouchAPIServiceProtocol>& APIService() const { return APIService_; }
    const std::string& resourceName() const { return resourceName_; }
    static Queue backgroundQueue() { return Queue::global(); }

private:
    std::shared_ptr<AppVouchAPIServiceProtocol> APIService_;
    std::string resourceName_;
};

class DeviceCheckAPIServiceProtocol {
public:
    virtual ~DeviceCheckAPIServiceProtocol() = default;
    virtual Promise<AppVouchToken> appVouchTokenWithDeviceToken(const platform::Data& deviceToken, bool limitedUse) = 0;
};

class DeviceCheckAPIService : public DeviceCheckAPIServiceProtocol {
public:
    DeviceCheckAPIService(std::shared_ptr<AppVouchAPIServiceProtocol> APIService, std::string resourceName)
        : APIService_(std::move(APIService)), resourceName_(std::move(resourceName)) {}
    Promise<AppVouchToken> appVouchTokenWithDeviceToken(const platform::Data& deviceToken, bool limitedUse) override;
    static Queue backgroundQueue() { return Queue::globalUtility(); }

private:
    std::shared_ptr<AppVouchAPIServiceProtocol> APIService_;
    std::string resourceName_;
};

class AppVouchDebugProviderAPIServiceProtocol {
public:
    virtual ~AppVouchDebugProviderAPIServiceProtocol() = default;
    virtual Promise<AppVouchToken> appVouchTokenWithDebugToken(const std::string& debugToken, bool limitedUse) = 0;
};

class AppVouchDebugProviderAPIService : public AppVouchDebugProviderAPIServiceProtocol {
public:
    AppVouchDebugProviderAPIService(std::shared_ptr<AppVouchAPIServiceProtocol> APIService, std::string resourceName)
        : APIService_(std::move(APIService)), resourceName_(std::move(resourceName)) {}
    Promise<AppVouchToken> appVouchTokenWithDebugToken(const std::string& debugToken, bool limitedUse) override;
    static Queue backgroundQueue() { return Queue::globalUtility(); }

private:
    std::shared_ptr<AppVouchAPIServiceProtocol> APIService_;
    std::string resourceName_;
};

}  // namespace brisko::attestation
