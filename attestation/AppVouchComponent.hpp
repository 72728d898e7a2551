// The attestation client in an app's component container: when the host has chosen a provider, each
// app gets a client that answers the identity requests' token asks; without one, no component answers
// and identity requests go out without the attestation header.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "attestation/AppVouch.hpp"
#include "core/App.hpp"
#include "core/AppVouchInterop.hpp"

namespace brisko::attestation {

inline constexpr std::string_view kAppVouchResourceNameFormat = "projects/%@/apps/%@";

// The client behind the container's App Vouch slot.
class AppVouchInteropComponent : public core::AppVouchInterop {
public:
    explicit AppVouchInteropComponent(std::shared_ptr<AppVouch> appVouch) : appVouch_(std::move(appVouch)) {}
    void getTokenForcingRefresh(bool forcingRefresh, TokenCompletion completion) override;
    const std::shared_ptr<AppVouch>& appVouch() const { return appVouch_; }

private:
    std::shared_ptr<AppVouch> appVouch_;
};

class AppVouchComponent {
public:
    // Makes the provider of an app's client (the app's name is the service name, its resource name the
    // project and app IDs).
    using ProviderFactory =
        std::function<std::shared_ptr<AppVouchProvider>(const core::App& app, const std::string& resourceName)>;

    // Chooses the provider of the clients made from now on and registers the component (once). An app's
    // client is made at the first lookup of its slot, which the identity client does when it is created:
    // choose the provider before the app is configured.
    static void setProviderFactory(ProviderFactory factory);
    // Removes the provider: slots looked up later stay empty.
    static void clearProviderFactory();
    // The container's client of an app, or null.
    static std::shared_ptr<AppVouch> appVouchForApp(const std::shared_ptr<core::App>& app);
    static std::string resourceNameForApp(const core::App& app);
};

}  // namespace brisko::attestation
