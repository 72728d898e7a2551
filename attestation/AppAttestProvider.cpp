// The App Attest state machine: state read, initial handshake, assertion refresh, reset and retry.
#include "attestation/AppAttestProvider.hpp"

#include "attestation/promises/Promises.hpp"
#include "platform/base/Text.hpp"

namespace brisko::attestation {

using platform::Data;
using promises::Nothing;
using promises::Queue;

namespace {

class UnsupportedAppAttestService final : public AppAttestService {
public:
    bool isSupported() const override { return false; }
    void generateKeyWithCompletionHandler(KeyIDCompletion completion) override {
        completion(std::nullopt, unsupported());
    }
    void attestKey(const std::string&, const Data&, DataCompletion completion) override {
        completion(std::nullopt, unsupported());
    }
    void generateAssertion(const std::string&, const Data&, DataCompletion completion) override {
        completion(std::nullopt, unsupported());
    }

private:
    static Error unsupported() { return Error(std::string(kDeviceCheckErrorDomain), kDCErrorFeatureUnsupported); }
};

bool isInvalidKeyOrInput(const Error& error) {
    return error.domain() == kDeviceCheckErrorDomain &&
           (error.code() == kDCErrorInvalidInput || error.code() == kDCErrorInvalidKey);
}

// A platform call with a (value, error) completion as a promise; a call that gives neither fails.
template <class T, class Call> Promise<T> platformCall(Call call) {
    using P = Promise<T>;
    return P::async(promises::defaultDispatchQueue(),
                    [call](const typename P::Fulfill& fulfill, const typename P::Reject& reject) {
                        call([fulfill, reject](std::optional<T> value, std::optional<Error> error) {
                            if (error) {
                                reject(std::move(*error));
                            } else if (value) {
                                fulfill(std::move(*value));
                            } else {
                                reject(Error(std::string(kDeviceCheckErrorDomain), kDCErrorUnknownSystemFailure));
                            }
                        });
                    });
}

}  // namespace

std::shared_ptr<AppAttestService> sharedAppAttestService() {
    static const auto service = std::make_shared<UnsupportedAppAttestService>();
    return service;
}

AppAttestProvider::AppAttestProvider(std::shared_ptr<AppAttestService> appAttestService,
                                     std::shared_ptr<AppAttestAPIServiceProtocol> APIService,
                                     std::shared_ptr<AppAttestKeyIDStorageProtocol> keyIDStorage,
                                     std::shared_ptr<AppAttestArtifactStorageProtocol> artifactStorage,
                                     std::shared_ptr<AppVouchBackoffWrapper> backoffWrapper)
    : appAttestService_(std::move(appAttestService)), APIService_(std::move(APIService)),
      keyIDStorage_(std::move(keyIDStorage)), artifactStorage_(std::move(artifactStorage)),
      backoffWrapper_(std::move(backoffWrapper)),
      queue_(platform::DispatchQueue::make(std::string(kAppAttestProviderQueueLabel))),
      stateQueue_(Queue::serial(std::string(kAppAttestStateQueueLabel), std::make_shared<promises::ThreadPool>(1))) {}

std::string AppAttestProvider::storageKeySuffixWithServiceName(const std::string& serviceName,
                                                               const std::string& resourceName) {
    return platform::format(kStorageKeySuffixFormat, {serviceName, resourceName});
}

std::shared_ptr<AppAttestProvider>
AppAttestProvider::initWithServiceName(const std::string& serviceName, const std::string& resourceName,
                                       std::optional<std::string> baseURL, std::optional<std::string> APIKey,
                                       std::optional<std::string> keychainAccessGroup,
                                       std::vector<RequestHook> requestHooks) {
    const auto suffix = storageKeySuffixWithServiceName(serviceName, resourceName);
    auto api = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), std::move(baseURL), std::move(APIKey),
                                                    std::move(requestHooks));
    return std::make_shared<AppAttestProvider>(
        sharedAppAttestService(), std::make_shared<AppAttestAPIService>(std::move(api), resourceName),
        std::make_shared<AppAttestKeyIDStorage>(suffix),
        std::make_shared<AppAttestArtifactStorage>(suffix, std::move(keychainAccessGroup)),
        std::make_shared<AppVouchBackoffWrapper>());
}

void AppAttestProvider::getTokenWithCompletion(TokenCompletion completion) {
    detail::completeWith(getTokenWithLimitedUse(false), std::move(completion));
}

void AppAttestProvider::getLimitedUseTokenWithCompletion(TokenCompletion completion) {
    detail::completeWith(getTokenWithLimitedUse(true), std::move(completion));
}

// MARK: - Sharing

Promise<AppVouchToken> AppAttestProvider::getTokenWithLimitedUse(bool limitedUse) {
    auto self = shared_from_this();
    return Promise<AppVouchToken>::do_(queue_, [self, limitedUse]() -> Promise<AppVouchToken> {
        if (!self->ongoingGetTokenOperation_) {
            self->ongoingGetTokenOperationLimitedUse_ = limitedUse;
            auto sequence = self->createGetTokenSequenceWithBackoffPromiseWithLimitedUse(limitedUse);
            auto ongoing = sequence.always(self->queue_, [self] { self->ongoingGetTokenOperation_.reset(); });
            self->ongoingGetTokenOperation_ = ongoing;
            return ongoing;
        }
        auto running = *self->ongoingGetTokenOperation_;
        if (!limitedUse && !self->ongoingGetTokenOperationLimitedUse_) return running;
        // A limited-use request, or a running limited-use sequence: wait for it, then run anew.
        return running.then(self->queue_, [self, limitedUse](const AppVouchToken&) {
            return self->getTokenWithLimitedUse(limitedUse);
        });
    });
}

Promise<AppVouchToken> AppAttestProvider::createGetTokenSequenceWithBackoffPromiseWithLimitedUse(bool limitedUse) {
    auto self = shared_from_this();
    return backoffWrapper_->applyBackoffToOperation<AppVouchToken>(
        [self, limitedUse] { return self->createGetTokenSequencePromiseWithLimitedUse(limitedUse); },
        AppVouchBackoffWrapper::defaultAppVouchProviderErrorHandler());
}

Promise<AppVouchToken> AppAttestProvider::createGetTokenSequencePromiseWithLimitedUse(bool limitedUse) {
    auto self = shared_from_this();
    return Promise<AppVouchToken>::retry(
               queue_, 1, 0.0, [](std::int64_t, const Error& error) { return AppAttestRejectionError::is(error); },
               [self, limitedUse] { return self->onePass(limitedUse); })
        .recover(queue_, [](const Error& error) -> Resolution<AppVouchToken> {
            if (AppAttestRejectionError::is(error)) {
                if (auto underlying = AppAttestRejectionError::underlyingError(error)) return *underlying;
            }
            return error;
        });
}

Promise<AppVouchToken> AppAttestProvider::onePass(bool limitedUse) {
    auto self = shared_from_this();
    return attestationState().then(
        queue_, [self, limitedUse](const AppAttestProviderState& state) -> Promise<AppVouchToken> {
            switch (state.state) {
            case AppAttestProviderState::supportedInitial:
            case AppAttestProviderState::generatedKeyID:
                return self->initialHandshakeWithKeyID(state.appAttestKeyID, limitedUse);
            case AppAttestProviderState::registeredKeyID:
                return self->refreshTokenWithKeyID(*state.appAttestKeyID, *state.attestationArtifact, limitedUse);
            case AppAttestProviderState::unsupported:
                break;
            }
            appVouchLog(kLogCodeAppAttestNotSupported, AppVouchLogLevel::debug, kAppAttestNotSupportedMessage);
            return Promise<AppVouchToken>::resolvedWith(*state.appAttestUnsupportedError);
        });
}

// MARK: - State

Promise<AppAttestProviderState> AppAttestProvider::attestationState() {
    auto self = shared_from_this();
    return Promise<AppAttestProviderState>::do_(stateQueue_, [self]() -> AppAttestProviderState {
        AppAttestProviderState state;
        if (!self->appAttestService_->isSupported()) {
            state.state = AppAttestProviderState::unsupported;
            state.appAttestUnsupportedError = AppVouchErrorUtil::unsupportedAttestationProvider(kAppAttestProviderName);
            return state;
        }
        auto keyID = promises::await(self->keyIDStorage_->getAppAttestKeyID());
        if (!keyID) return state;
        state.appAttestKeyID = keyID;
        auto artifact = promises::await(self->artifactStorage_->getArtifactForKey(*keyID));
        if (artifact && *artifact) {
            state.state = AppAttestProviderState::registeredKeyID;
            state.attestationArtifact = **artifact;
        } else {
            state.state = AppAttestProviderState::generatedKeyID;
        }
        return state;
    });
}

// MARK: - Initial handshake

Promise<AppVouchToken> AppAttestProvider::initialHandshakeWithKeyID(std::optional<std::string> keyID, bool limitedUse) {
    auto self = shared_from_this();
    return attestKeyGenerateIfNeededWithID(std::move(keyID), limitedUse)
        .then(queue_, [self](const std::tuple<AppAttestKeyAttestationResult, AppAttestAttestationResponse>& pair) {
            const auto& [result, response] = pair;
            auto token = response.token;
            return self->artifactStorage_->setArtifact(response.artifact, result.keyID)
                .then(self->queue_, [token](const std::optional<Data>&) { return token; });
        });
}

template <class T> Promise<T> AppAttestProvider::resetAndReject(const Error& error) {
    return resetAttestation().then(
        queue_, [error](const Nothing&) -> Resolution<T> { return AppAttestRejectionError::make(error); });
}

Promise<std::tuple<AppAttestKeyAttestationResult, AppAttestAttestationResponse>>
AppAttestProvider::attestKeyGenerateIfNeededWithID(std::optional<std::string> keyID, bool limitedUse) {
    using Pair = std::tuple<AppAttestKeyAttestationResult, AppAttestAttestationResponse>;
    auto self = shared_from_this();
    return promises::all(queue_, APIService_->getRandomChallenge(), generateAppAttestKeyIDIfNeeded(std::move(keyID)))
        .then(queue_,
              [self](const std::tuple<Data, std::string>& inputs) {
                  return self->attestKey(std::get<1>(inputs), std::get<0>(inputs));
              })
        .recover(queue_,
                 [self](const Error& error) -> Promise<AppAttestKeyAttestationResult> {
                     auto underlying = error.underlyingError();
                     if (underlying && isInvalidKeyOrInput(*underlying)) {
                         appVouchLog(kLogCodeAppAttestAttestationRejected, AppVouchLogLevel::debug,
                                     platform::format(kAppAttestInvalidKeyFormat, {underlying->code()}));
                         return self->resetAndReject<AppAttestKeyAttestationResult>(error);
                     }
                     return Promise<AppAttestKeyAttestationResult>::resolvedWith(error);
                 })
        .then(queue_,
              [self, limitedUse](const AppAttestKeyAttestationResult& result) {
                  return promises::all(self->queue_, Promise<AppAttestKeyAttestationResult>::resolvedWith(result),
                                       self->APIService_->attestKeyWithAttestation(result.attestation, result.keyID,
                                                                                   result.challenge, limitedUse));
              })
        .recover(queue_, [self](const Error& error) -> Promise<Pair> {
            auto http = AppVouchHTTPError::from(error);
            if (http && http->HTTPResponse() && http->HTTPResponse()->statusCode() == 403) {
                appVouchLog(kLogCodeAppAttestAttestationRejected, AppVouchLogLevel::debug,
                            kAppAttestRejectedByBackendMessage);
                return self->resetAndReject<Pair>(error);
            }
            return Promise<Pair>::resolvedWith(error);
        });
}

Promise<std::string> AppAttestProvider::generateAppAttestKeyIDIfNeeded(std::optional<std::string> keyID) {
    if (keyID) return Promise<std::string>::resolvedWith(std::move(*keyID));
    return generateAppAttestKey();
}

Promise<std::string> AppAttestProvider::generateAppAttestKey() {
    auto self = shared_from_this();
    auto service = appAttestService_;
    return platformCall<std::string>(
               [service](auto completion) { service->generateKeyWithCompletionHandler(completion); })
        .recover(queue_,
                 [](const Error& error) -> Resolution<std::string> {
                     return AppVouchErrorUtil::appAttestGenerateKeyFailedWithError(error);
                 })
        .then(queue_, [self](const std::string& keyID) {
            return self->keyIDStorage_->setAppAttestKeyID(keyID).then(
                self->queue_, [keyID](const std::optional<std::string>&) { return keyID; });
        });
}

Promise<AppAttestKeyAttestationResult> AppAttestProvider::attestKey(const std::string& keyID, const Data& challenge) {
    auto hash = AppVouchCryptoUtils::sha256HashFromData(challenge);
    auto service = appAttestService_;
    return platformCall<Data>([service, keyID, hash](auto completion) { service->attestKey(keyID, hash, completion); })
        .then(queue_,
              [keyID, challenge](const Data& attestation) {
                  return AppAttestKeyAttestationResult{keyID, challenge, attestation};
              })
        .recover(queue_, [keyID, hash](const Error& error) -> Resolution<AppAttestKeyAttestationResult> {
            return AppVouchErrorUtil::appAttestAttestKeyFailedWithError(error, keyID, hash);
        });
}

// MARK: - Refresh with an assertion

Promise<AppVouchToken> AppAttestProvider::refreshTokenWithKeyID(const std::string& keyID, const Data& artifact,
                                                                bool limitedUse) {
    auto self = shared_from_this();
    return APIService_->getRandomChallenge()
        .then(queue_,
              [self, keyID, artifact](const Data& challenge) {
                  return self->generateAssertionWithKeyID(keyID, artifact, challenge);
              })
        .then(queue_, [self, limitedUse](const AppAttestAssertionData& assertion) {
            return self->APIService_->getAppVouchTokenWithArtifact(assertion.artifact, assertion.challenge,
                                                                   assertion.assertion, limitedUse);
        });
}

Promise<AppAttestAssertionData>
AppAttestProvider::generateAssertionWithKeyID(const std::string& keyID, const Data& artifact, const Data& challenge) {
    Data clientData = artifact;
    clientData.insert(clientData.end(), challenge.begin(), challenge.end());
    auto hash = AppVouchCryptoUtils::sha256HashFromData(clientData);
    auto self = shared_from_this();
    auto service = appAttestService_;
    return platformCall<Data>(
               [service, keyID, hash](auto completion) { service->generateAssertion(keyID, hash, completion); })
        .then(queue_,
              [challenge, artifact](const Data& assertion) {
                  return AppAttestAssertionData{challenge, artifact, assertion};
              })
        .recover(queue_, [self, keyID, hash](const Error& error) -> Promise<AppAttestAssertionData> {
            auto converted = AppVouchErrorUtil::appAttestGenerateAssertionFailedWithError(error, keyID, hash);
            if (isInvalidKeyOrInput(error)) {
                appVouchLog(kLogCodeAppAttestAssertionRejected, AppVouchLogLevel::debug,
                            platform::format(kAppAttestInvalidKeyFormat, {error.code()}));
                return self->resetAndReject<AppAttestAssertionData>(converted);
            }
            return Promise<AppAttestAssertionData>::resolvedWith(converted);
        });
}

Promise<Nothing> AppAttestProvider::resetAttestation() {
    auto self = shared_from_this();
    return keyIDStorage_->setAppAttestKeyID(std::nullopt)
        .then(
            queue_,
            [self](const std::optional<std::string>&) { return self->artifactStorage_->setArtifact(std::nullopt, ""); })
        .then(queue_, [](const std::optional<Data>&) { return Nothing{}; });
}

}  // namespace brisko::attestation
