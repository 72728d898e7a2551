// What the caller wants an e-mail action link to do once its code is handled: continue URL, handling in
// the app, the apps that open it and the link domain. Safe to read and write from several threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/UnfairLock.hpp"
#include "platform/net/URL.hpp"

namespace brisko::auth {

// The settings' values, each behind its own lock: one property is always consistent on its own, but
// nothing covers two properties at once.
class SendableActionCodeSettings {
  public:
    SendableActionCodeSettings();

    core::UnfairLock<std::optional<platform::URL>> url{std::nullopt};
    core::UnfairLock<bool> handleCodeInApp{false};
    core::UnfairLock<std::optional<std::string>> iOSBundleID;
    core::UnfairLock<std::optional<std::string>> androidPackageName{std::nullopt};
    core::UnfairLock<std::optional<std::string>> androidMinimumVersion{std::nullopt};
    core::UnfairLock<bool> androidInstallIfNotAvailable{false};
    core::UnfairLock<std::optional<std::string>> linkDomain{std::nullopt};
};

class ActionCodeSettings {
  public:
    // Starting values: no URL, no in-app handling, the main bundle's identifier as iOSBundleID.
    ActionCodeSettings() : impl_(std::make_shared<SendableActionCodeSettings>()) {}

    std::optional<platform::URL> url() const { return impl_->url.value(); }
    void setURL(std::optional<platform::URL> value) { set(impl_->url, std::move(value)); }
    bool handleCodeInApp() const { return impl_->handleCodeInApp.value(); }
    void setHandleCodeInApp(bool value) { set(impl_->handleCodeInApp, value); }
    std::optional<std::string> iOSBundleID() const { return impl_->iOSBundleID.value(); }
    void setIOSBundleID(std::optional<std::string> value) { set(impl_->iOSBundleID, std::move(value)); }
    std::optional<std::string> androidPackageName() const { return impl_->androidPackageName.value(); }
    void setAndroidPackageName(std::optional<std::string> value) { set(impl_->androidPackageName, std::move(value)); }
    std::optional<std::string> androidMinimumVersion() const { return impl_->androidMinimumVersion.value(); }
    void setAndroidMinimumVersion(std::optional<std::string> value) {
        set(impl_->androidMinimumVersion, std::move(value));
    }
    bool androidInstallIfNotAvailable() const { return impl_->androidInstallIfNotAvailable.value(); }
    void setAndroidInstallIfNotAvailable(bool value) { set(impl_->androidInstallIfNotAvailable, value); }
    std::optional<std::string> linkDomain() const { return impl_->linkDomain.value(); }
    void setLinkDomain(std::optional<std::string> value) { set(impl_->linkDomain, std::move(value)); }

    // Sets the package name, then the install flag, then the minimum version, each under its own lock.
    void setAndroidPackageName(std::string packageName, bool installIfNotAvailable,
                               std::optional<std::string> minimumVersion) {
        setAndroidPackageName(std::optional<std::string>(std::move(packageName)));
        setAndroidInstallIfNotAvailable(installIfNotAvailable);
        setAndroidMinimumVersion(std::move(minimumVersion));
    }

    const std::shared_ptr<SendableActionCodeSettings>& impl() const { return impl_; }

  private:
    template <class T> static void set(core::UnfairLock<T>& lock, T value) {
        lock.withLock([&](T& stored) { stored = std::move(value); });
    }

    std::shared_ptr<SendableActionCodeSettings> impl_;
};

}  // namespace brisko::auth
