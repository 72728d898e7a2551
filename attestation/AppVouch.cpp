// Token requests: one shared retrieval at a time, the 300 s cache rule, refresh through the provider.
#include "attestation/AppVouch.hpp"

#include "attestation/promises/Promises.hpp"
#include "platform/base/Text.hpp"

namespace brisko::attestation {

namespace detail {
promises::Promise<AppVouchToken> tokenPromise(const std::function<void(AppVouchProvider::TokenCompletion)>& request) {
    using P = promises::Promise<AppVouchToken>;
    return P::async([request](const P::Fulfill& fulfill, const P::Reject& reject) {
        request([fulfill, reject](std::optional<AppVouchToken> token, std::optional<Error> error) {
            if (error || !token) {
                reject(error ? *error : AppVouchErrorUtil::errorWithFailureReason(kCachedTokenNotFoundReason));
            } else {
                fulfill(std::move(*token));
            }
        });
    });
}
}  // namespace detail

std::shared_ptr<AppVouch> AppVouch::initWithServiceName(std::string serviceName,
                                                        std::shared_ptr<AppVouchProvider> provider,
                                                        std::shared_ptr<AppVouchStorageProtocol> storage,
                                                        std::shared_ptr<AppVouchTokenRefresher> tokenRefresher,
                                                        std::shared_ptr<AppVouchSettingsProtocol> settings,
                                                        std::weak_ptr<AppVouchTokenDelegate> tokenDelegate,
                                                        DateProvider dateProvider) {
    auto client = std::shared_ptr<AppVouch>(new AppVouch);
    client->serviceName_ = std::move(serviceName);
    client->provider_ = std::move(provider);
    client->storage_ = std::move(storage);
    client->refresher_ = std::move(tokenRefresher);
    client->settings_ = std::move(settings);
    client->tokenDelegate_ = std::move(tokenDelegate);
    client->dateProvider_ = dateProvider ? std::move(dateProvider) : currentDateProvider();
    std::weak_ptr<AppVouch> weak = client;
    client->refresher_->setTokenRefreshHandler([weak](AppVouchTokenRefresher::RefreshCompletion completion) {
        if (auto self = weak.lock()) self->periodicTokenRefreshWithCompletion(completion);
    });
    return client;
}

std::shared_ptr<AppVouch> AppVouch::initWithServiceName(std::string serviceName, const std::string& resourceName,
                                                        std::shared_ptr<AppVouchProvider> provider,
                                                        std::shared_ptr<AppVouchSettingsProtocol> settings,
                                                        std::weak_ptr<AppVouchTokenDelegate> tokenDelegate,
                                                        std::optional<std::string> keychainAccessGroup) {
    auto refresher =
        std::make_shared<AppVouchTokenRefresher>(AppVouchTokenRefreshResult::initWithStatusNever(), settings);
    auto storage = std::make_shared<AppVouchStorage>(
        platform::format(kTokenStorageKeyFormat, {serviceName, resourceName}), std::move(keychainAccessGroup));
    return initWithServiceName(std::move(serviceName), std::move(provider), std::move(storage), std::move(refresher),
                               std::move(settings), std::move(tokenDelegate));
}

void AppVouch::setTokenDelegate(std::weak_ptr<AppVouchTokenDelegate> delegate) {
    std::lock_guard lock(mutex_);
    tokenDelegate_ = std::move(delegate);
}

void AppVouch::tokenForcingRefresh(bool forcingRefresh, const ResultCompletion& completion) {
    auto self = shared_from_this();
    Promise<AppVouchToken>::do_(
        [self, forcingRefresh] { return self->retrieveOrRefreshTokenForcingRefresh(forcingRefresh); })
        .observe(
            promises::defaultDispatchQueue(),
            [completion](const AppVouchToken& token) { completion(AppVouchTokenResult(token)); },
            [completion](const Error& error) { completion(AppVouchTokenResult(error)); });
}

void AppVouch::limitedUseTokenWithCompletion(const ResultCompletion& completion) {
    limitedUseToken().observe(
        promises::defaultDispatchQueue(),
        [completion](const AppVouchToken& token) { completion(AppVouchTokenResult(token)); },
        [completion](const Error& error) { completion(AppVouchTokenResult(error)); });
}

Promise<AppVouchToken> AppVouch::retrieveOrRefreshTokenForcingRefresh(bool forcingRefresh) {
    std::lock_guard lock(mutex_);
    // A retrieval in flight answers every request, forced or not.
    if (ongoingRetrieveOrRefreshTokenPromise_) return *ongoingRetrieveOrRefreshTokenPromise_;
    std::weak_ptr<AppVouch> weak = weak_from_this();
    auto clear = [weak] {
        if (auto self = weak.lock()) {
            std::lock_guard l(self->mutex_);
            self->ongoingRetrieveOrRefreshTokenPromise_.reset();
        }
    };
    auto ongoing = createRetrieveOrRefreshTokenPromiseForcingRefresh(forcingRefresh).always(clear);
    ongoingRetrieveOrRefreshTokenPromise_ = ongoing;
    return ongoing;
}

Promise<AppVouchToken> AppVouch::createRetrieveOrRefreshTokenPromiseForcingRefresh(bool forcingRefresh) {
    auto self = shared_from_this();
    return getCachedValidTokenForcingRefresh(forcingRefresh).recover([self](const Error&) {
        return self->refreshToken();
    });
}

Promise<AppVouchToken> AppVouch::getCachedValidTokenForcingRefresh(bool forcingRefresh) {
    if (forcingRefresh) return Promise<AppVouchToken>::resolvedWith(AppVouchErrorUtil::cachedTokenNotFound());
    auto now = dateProvider_;
    return storage_->getToken().then([now](const std::optional<AppVouchToken>& token) -> Resolution<AppVouchToken> {
        if (!token) return AppVouchErrorUtil::cachedTokenNotFound();
        const double remaining = std::chrono::duration<double>(token->expirationDate - now()).count();
        if (remaining < kTokenMinimumRemainingLifetimeSeconds) return AppVouchErrorUtil::cachedTokenExpired();
        return *token;
    });
}

Promise<AppVouchToken> AppVouch::refreshToken() {
    auto self = shared_from_this();
    auto provider = provider_;
    return detail::tokenPromise(
               [provider](AppVouchProvider::TokenCompletion c) { provider->getTokenWithCompletion(std::move(c)); })
        .then([self](const AppVouchToken& token) {
            return self->storage_->setToken(token).then([self, token](const std::optional<AppVouchToken>&) {
                self->refresher_->updateWithRefreshResult(
                    AppVouchTokenRefreshResult::initWithStatusSuccess(token.expirationDate, token.receivedAtDate));
                std::shared_ptr<AppVouchTokenDelegate> delegate;
                {
                    std::lock_guard lock(self->mutex_);
                    delegate = self->tokenDelegate_.lock();
                }
                if (delegate) delegate->tokenDidUpdate(token, self->serviceName_);
                return token;
            });
        });
}

Promise<AppVouchToken> AppVouch::limitedUseToken() {
    auto provider = provider_;
    return detail::tokenPromise(
        [provider](AppVouchProvider::TokenCompletion c) { provider->getLimitedUseTokenWithCompletion(std::move(c)); });
}

void AppVouch::periodicTokenRefreshWithCompletion(const AppVouchTokenRefresher::RefreshCompletion& completion) {
    retrieveOrRefreshTokenForcingRefresh(false).observe(
        promises::defaultDispatchQueue(),
        [completion](const AppVouchToken& token) {
            completion(AppVouchTokenRefreshResult::initWithStatusSuccess(token.expirationDate, token.receivedAtDate));
        },
        [completion](const Error&) { completion(AppVouchTokenRefreshResult::initWithStatusFailure()); });
}

}  // namespace brisko::attestation
