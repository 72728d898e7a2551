// The per-identity-client settings every identity request carries: the API key of the URL, the app ID,
// language and framework marker of the headers, the heartbeat and attestation header sources, the
// emulator address, and a weak reference to the identity client.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "auth/backend/AuthBackendClient.hpp"
#include "core/AppVouchInterop.hpp"
#include "core/HeartbeatLoggerProtocol.hpp"

namespace brisko::auth {

inline constexpr std::string_view kDefaultFrameworkMarker = "ZudiridiCore-iOS";

// The identity client changes the language, the emulator address and its own reference on its work
// queue while requests on other threads read them: every field that can change is guarded, and a
// request takes one snapshot of them so that its URL, headers and fetcher settings agree.
class AuthRequestConfiguration {
public:
    struct Snapshot {
        std::optional<std::string> languageCode;
        std::optional<std::string> emulatorHostAndPort;
        std::string additionalFrameworkMarker;
    };

    AuthRequestConfiguration(std::string apiKey, std::string appID,
                             const std::shared_ptr<AuthBackendClient>& auth = nullptr,
                             std::shared_ptr<core::HeartbeatLoggerProtocol> heartbeatLogger = nullptr,
                             std::shared_ptr<core::AppVouchInterop> appVouch = nullptr);
    static std::shared_ptr<AuthRequestConfiguration>
    make(std::string apiKey, std::string appID, const std::shared_ptr<AuthBackendClient>& auth = nullptr,
         std::shared_ptr<core::HeartbeatLoggerProtocol> heartbeatLogger = nullptr,
         std::shared_ptr<core::AppVouchInterop> appVouch = nullptr) {
        return std::make_shared<AuthRequestConfiguration>(std::move(apiKey), std::move(appID), auth,
                                                          std::move(heartbeatLogger), std::move(appVouch));
    }

    const std::string& apiKey() const { return apiKey_; }
    const std::string& appID() const { return appID_; }
    const std::shared_ptr<core::HeartbeatLoggerProtocol>& heartbeatLogger() const { return heartbeatLogger_; }
    const std::shared_ptr<core::AppVouchInterop>& appVouch() const { return appVouch_; }

    std::optional<std::string> languageCode() const;
    void setLanguageCode(std::optional<std::string> languageCode);
    // The identity client, or nullptr once it is gone (held weakly).
    std::shared_ptr<AuthBackendClient> auth() const;
    void setAuth(const std::shared_ptr<AuthBackendClient>& auth);
    std::string additionalFrameworkMarker() const;
    void setAdditionalFrameworkMarker(std::string marker);
    std::optional<std::string> emulatorHostAndPort() const;
    void setEmulatorHostAndPort(std::optional<std::string> hostAndPort);

    // The changeable fields, read together under the lock.
    Snapshot snapshot() const;

private:
    const std::string apiKey_;
    const std::string appID_;
    const std::shared_ptr<core::HeartbeatLoggerProtocol> heartbeatLogger_;
    const std::shared_ptr<core::AppVouchInterop> appVouch_;
    mutable std::mutex mutex_;
    std::weak_ptr<AuthBackendClient> auth_;
    Snapshot settings_;
};

}  // namespace brisko::auth
