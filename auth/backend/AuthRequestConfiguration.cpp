// The request configuration's guarded fields.
#include "auth/backend/AuthRequestConfiguration.hpp"

namespace brisko::auth {

AuthRequestConfiguration::AuthRequestConfiguration(std::string apiKey, std::string appID,
                                                   const std::shared_ptr<AuthBackendClient>& auth,
                                                   std::shared_ptr<core::HeartbeatLoggerProtocol> heartbeatLogger,
                                                   std::shared_ptr<core::AppVouchInterop> appVouch)
    : apiKey_(std::move(apiKey)), appID_(std::move(appID)), heartbeatLogger_(std::move(heartbeatLogger)),
      appVouch_(std::move(appVouch)), auth_(auth) {
    settings_.additionalFrameworkMarker = std::string(kDefaultFrameworkMarker);
}

std::optional<std::string> AuthRequestConfiguration::languageCode() const {
    std::lock_guard lock(mutex_);
    return settings_.languageCode;
}

void AuthRequestConfiguration::setLanguageCode(std::optional<std::string> languageCode) {
    std::lock_guard lock(mutex_);
    settings_.languageCode = std::move(languageCode);
}

std::shared_ptr<AuthBackendClient> AuthRequestConfiguration::auth() const {
    std::lock_guard lock(mutex_);
    return auth_.lock();
}

void AuthRequestConfiguration::setAuth(const std::shared_ptr<AuthBackendClient>& auth) {
    std::lock_guard lock(mutex_);
    auth_ = auth;
}

std::string AuthRequestConfiguration::additionalFrameworkMarker() const {
    std::lock_guard lock(mutex_);
    return settings_.additionalFrameworkMarker;
}

void AuthRequestConfiguration::setAdditionalFrameworkMarker(std::string marker) {
    std::lock_guard lock(mutex_);
    settings_.additionalFrameworkMarker = std::move(marker);
}

std::optional<std::string> AuthRequestConfiguration::emulatorHostAndPort() const {
    std::lock_guard lock(mutex_);
    return settings_.emulatorHostAndPort;
}

void AuthRequestConfiguration::setEmulatorHostAndPort(std::optional<std::string> hostAndPort) {
    std::lock_guard lock(mutex_);
    settings_.emulatorHostAndPort = std::move(hostAndPort);
}

AuthRequestConfiguration::Snapshot AuthRequestConfiguration::snapshot() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

}  // namespace brisko::auth
