// The App Attest provider: first a platform key attested against a backend challenge and exchanged for
// a token and an artifact, later assertions over the artifact; resets and one retry on rejection,
// backoff over the whole sequence, one shared sequence for concurrent requests. Also the platform
// App Attest service it runs over, which Linux does not have.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "attestation/AppAttestStorage.hpp"
#include "attestation/AppVouchBackoffWrapper.hpp"
#include "attestation/AppVouchEndpointServices.hpp"
#include "attestation/AppVouchProvider.hpp"

namespace brisko::attestation {

inline constexpr std::string_view kAppAttestProviderName = "AppAttestProvider";
inline constexpr std::string_view kAppAttestProviderQueueLabel = "com.ezevar.EAVAppAttestProvider";
inline constexpr std::string_view kAppAttestStateQueueLabel = "EAVAppAttestProvider.state";
inline constexpr std::string_view kStorageKeySuffixFormat = "%@.%@";
inline constexpr std::string_view kAppAttestNotSupportedMessage = "App Attest is not supported.";
inline constexpr std::string_view kAppAttestInvalidKeyFormat =
    "App Attest invalid key/input; the existing attestation will be reset. DC Error Code: %@.";
inline constexpr std::string_view kAppAttestRejectedByBackendMessage =
    "App Attest attestation was rejected by backend. The existing attestation will be reset.";

// The platform's App Attest service.
class AppAttestService {
public:
    using KeyIDCompletion = std::function<void(std::optional<std::string>, std::optional<Error>)>;
    using DataCompletion = std::function<void(std::optional<platform::Data>, std::optional<Error>)>;
    virtual ~AppAttestService() = default;
    virtual bool isSupported() const = 0;
    virtual void generateKeyWithCompletionHandler(KeyIDCompletion completion) = 0;
    virtual void attestKey(const std::string& keyID, const platform::Data& clientDataHash,
                           DataCompletion completion) = 0;
    virtual void generateAssertion(const std::string& keyID, const platform::Data& clientDataHash,
                                   DataCompletion completion) = 0;
};

// The shared service. Linux has no App Attest: it is not supported, and every operation fails with the
// platform's feature-unsupported error.
std::shared_ptr<AppAttestService> sharedAppAttestService();

struct AppAttestProviderState {
    enum State : std::int64_t { unsupported = 0, supportedInitial = 1, generatedKeyID = 2, registeredKeyID = 3 };
    State state = supportedInitial;
    std::optional<Error> appAttestUnsupportedError;
    std::optional<std::string> appAttestKeyID;
    std::optional<platform::Data> attestationArtifact;
};

struct AppAttestKeyAttestationResult {
    std::string keyID;
    platform::Data challenge;
    platform::Data attestation;
};

struct AppAttestAssertionData {
    platform::Data challenge;
    platform::Data artifact;
    platform::Data assertion;
};

class AppAttestProvider : public AppVouchProvider, public std::enable_shared_from_this<AppAttestProvider> {
public:
    AppAttestProvider(std::shared_ptr<AppAttestService> appAttestService,
                      std::shared_ptr<AppAttestAPIServiceProtocol> APIService,
                      std::shared_ptr<AppAttestKeyIDStorageProtocol> keyIDStorage,
                      std::shared_ptr<AppAttestArtifactStorageProtocol> artifactStorage,
                      std::shared_ptr<AppVouchBackoffWrapper> backoffWrapper);
    static std::shared_ptr<AppAttestProvider>
    initWithServiceName(const std::string& serviceName, const std::string& resourceName,
                        std::optional<std::string> baseURL, std::optional<std::string> APIKey,
                        std::optional<std::string> keychainAccessGroup, std::vector<RequestHook> requestHooks = {});
    static std::string storageKeySuffixWithServiceName(const std::string& serviceName, const std::string& resourceName);

    void getTokenWithCompletion(TokenCompletion completion) override;
    void getLimitedUseTokenWithCompletion(TokenCompletion completion) override;

    Promise<AppVouchToken> getTokenWithLimitedUse(bool limitedUse);
    Promise<AppAttestProviderState> attestationState();
    Promise<promises::Nothing> resetAttestation();

    const promises::Queue& queue() const { return queue_; }

private:
    Promise<AppVouchToken> createGetTokenSequenceWithBackoffPromiseWithLimitedUse(bool limitedUse);
    Promise<AppVouchToken> createGetTokenSequencePromiseWithLimitedUse(bool limitedUse);
    Promise<AppVouchToken> onePass(bool limitedUse);
    Promise<AppVouchToken> initialHandshakeWithKeyID(std::optional<std::string> keyID, bool limitedUse);
    Promise<std::tuple<AppAttestKeyAttestationResult, AppAttestAttestationResponse>>
    attestKeyGenerateIfNeededWithID(std::optional<std::string> keyID, bool limitedUse);
    Promise<std::string> generateAppAttestKeyIDIfNeeded(std::optional<std::string> keyID);
    Promise<std::string> generateAppAttestKey();
    Promise<AppAttestKeyAttestationResult> attestKey(const std::string& keyID, const platform::Data& challenge);
    Promise<AppVouchToken> refreshTokenWithKeyID(const std::string& keyID, const platform::Data& artifact,
                                                 bool limitedUse);
    Promise<AppAttestAssertionData> generateAssertionWithKeyID(const std::string& keyID, const platform::Data& artifact,
                                                               const platform::Data& challenge);
    // Resets the attestation and then fails with a rejection wrapping the error (or with the reset's error).
    template <class T> Promise<T> resetAndReject(const Error& error);

    std::shared_ptr<AppAttestService> appAttestService_;
    std::shared_ptr<AppAttestAPIServiceProtocol> APIService_;
    std::shared_ptr<AppAttestKeyIDStorageProtocol> keyIDStorage_;
    std::shared_ptr<AppAttestArtifactStorageProtocol> artifactStorage_;
    std::shared_ptr<AppVouchBackoffWrapper> backoffWrapper_;
    promises::Queue queue_;
    // The state read blocks while it waits, so it runs on a thread of its own, never on the shared pool.
    promises::Queue stateQueue_;
    // Touched only on `queue_`.
    std::optional<Promise<AppVouchToken>> ongoingGetTokenOperation_;
    bool ongoingGetTokenOperationLimitedUse_ = false;
};

}  // namespace brisko::attestation
