// The attestation client: serves a cached token while it has 300 s of life left, otherwise obtains one
// from its provider, stores it, tells its delegate and lets the refresher renew it in the background.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "attestation/AppVouchProvider.hpp"
#include "attestation/AppVouchStorage.hpp"
#include "attestation/AppVouchTokenRefresher.hpp"

namespace brisko::attestation {

inline constexpr double kTokenMinimumRemainingLifetimeSeconds = 300;

class AppVouch : public std::enable_shared_from_this<AppVouch> {
public:
    using ResultCompletion = std::function<void(const AppVouchTokenResult&)>;

    static std::shared_ptr<AppVouch> initWithServiceName(std::string serviceName,
                                                         std::shared_ptr<AppVouchProvider> provider,
                                                         std::shared_ptr<AppVouchStorageProtocol> storage,
                                                         std::shared_ptr<AppVouchTokenRefresher> tokenRefresher,
                                                         std::shared_ptr<AppVouchSettingsProtocol> settings,
                                                         std::weak_ptr<AppVouchTokenDelegate> tokenDelegate,
                                                         DateProvider dateProvider = currentDateProvider());
    // Builds the refresher (never refreshed yet) and the keychain store of "app_vouch_token.<service>.<resource>".
    static std::shared_ptr<AppVouch> initWithServiceName(std::string serviceName, const std::string& resourceName,
                                                         std::shared_ptr<AppVouchProvider> provider,
                                                         std::shared_ptr<AppVouchSettingsProtocol> settings,
                                                         std::weak_ptr<AppVouchTokenDelegate> tokenDelegate,
                                                         std::optional<std::string> keychainAccessGroup);

    void tokenForcingRefresh(bool forcingRefresh, const ResultCompletion& completion);
    void limitedUseTokenWithCompletion(const ResultCompletion& completion);

    Promise<AppVouchToken> retrieveOrRefreshTokenForcingRefresh(bool forcingRefresh);
    Promise<AppVouchToken> createRetrieveOrRefreshTokenPromiseForcingRefresh(bool forcingRefresh);
    Promise<AppVouchToken> getCachedValidTokenForcingRefresh(bool forcingRefresh);
    Promise<AppVouchToken> refreshToken();
    Promise<AppVouchToken> limitedUseToken();
    void periodicTokenRefreshWithCompletion(const AppVouchTokenRefresher::RefreshCompletion& completion);

    const std::string& serviceName() const { return serviceName_; }
    const std::shared_ptr<AppVouchProvider>& appVouchProvider() const { return provider_; }
    const std::shared_ptr<AppVouchStorageProtocol>& storage() const { return storage_; }
    const std::shared_ptr<AppVouchSettingsProtocol>& settings() const { return settings_; }
    const std::shared_ptr<AppVouchTokenRefresher>& tokenRefresher() const { return refresher_; }
    void setTokenDelegate(std::weak_ptr<AppVouchTokenDelegate> delegate);

private:
    AppVouch() = default;

    std::string serviceName_;
    std::shared_ptr<AppVouchProvider> provider_;
    std::shared_ptr<AppVouchStorageProtocol> storage_;
    std::shared_ptr<AppVouchSettingsProtocol> settings_;
    std::shared_ptr<AppVouchTokenRefresher> refresher_;
    DateProvider dateProvider_;
    std::mutex mutex_;
    std::weak_ptr<AppVouchTokenDelegate> tokenDelegate_;
    std::optional<Promise<AppVouchToken>> ongoingRetrieveOrRefreshTokenPromise_;
};

}  // namespace brisko::attestation
