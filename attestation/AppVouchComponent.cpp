// The registrant that puts the attestation client into each app's component container.
#include "attestation/AppVouchComponent.hpp"

#include <mutex>

#include "core/ComponentContainer.hpp"
#include "core/Library.hpp"
#include "platform/base/Text.hpp"

namespace brisko::attestation {

namespace {

class TokenResult final : public core::AppVouchTokenResultInterop {
public:
    explicit TokenResult(AppVouchTokenResult result) : result_(std::move(result)) {}
    std::string token() const override { return result_.token().token; }
    std::optional<platform::Error> error() const override { return result_.error(); }

private:
    AppVouchTokenResult result_;
};

struct FactorySlot {
    std::mutex mutex;
    AppVouchComponent::ProviderFactory factory;
    bool registered = false;
};

FactorySlot& factorySlot() {
    static auto* slot = new FactorySlot;
    return *slot;
}

AppVouchComponent::ProviderFactory currentFactory() {
    auto& slot = factorySlot();
    std::lock_guard lock(slot.mutex);
    return slot.factory;
}

std::vector<core::Component> componentsToRegister() {
    return {core::Component::componentWithProtocol(
        core::AppVouchInterop::protocol(),
        [](core::ComponentContainer& container, bool& isCacheable) -> std::shared_ptr<core::ComponentInstance> {
            auto app = container.app();
            auto factory = currentFactory();
            if (!app || !factory) return nullptr;
            const auto resourceName = AppVouchComponent::resourceNameForApp(*app);
            auto provider = factory(*app, resourceName);
            if (!provider) return nullptr;
            isCacheable = true;
            auto client = AppVouch::initWithServiceName(app->name(), resourceName, std::move(provider),
                                                        std::make_shared<AppVouchSettings>(), {}, std::nullopt);
            return std::make_shared<AppVouchInteropComponent>(std::move(client));
        })};
}

}  // namespace

void AppVouchInteropComponent::getTokenForcingRefresh(bool forcingRefresh, TokenCompletion completion) {
    appVouch_->tokenForcingRefresh(forcingRefresh, [completion](const AppVouchTokenResult& result) {
        completion(std::make_shared<TokenResult>(result));
    });
}

void AppVouchComponent::setProviderFactory(ProviderFactory factory) {
    auto& slot = factorySlot();
    bool registerNow = false;
    {
        std::lock_guard lock(slot.mutex);
        slot.factory = std::move(factory);
        registerNow = !slot.registered;
        slot.registered = true;
    }
    if (registerNow) {
        core::LibraryClass libraryClass{std::string(core::kAppVouchComponentClassName), componentsToRegister, nullptr};
        core::LibraryClassRegistry::registerClass(libraryClass);
        core::ComponentContainer::registerAsComponentRegistrant(
            core::LibraryClassRegistry::classNamed(core::kAppVouchComponentClassName));
    }
}

void AppVouchComponent::clearProviderFactory() {
    auto& slot = factorySlot();
    std::lock_guard lock(slot.mutex);
    slot.factory = nullptr;
}

std::shared_ptr<AppVouch> AppVouchComponent::appVouchForApp(const std::shared_ptr<core::App>& app) {
    if (!app) return nullptr;
    auto interop = app->container()->instanceForProtocol<AppVouchInteropComponent>(core::AppVouchInterop::protocol());
    return interop ? interop->appVouch() : nullptr;
}

std::string AppVouchComponent::resourceNameForApp(const core::App& app) {
    auto options = app.options();
    return platform::format(kAppVouchResourceNameFormat,
                            {options->projectID().value_or(""), options->ezevarAppID().value_or("")});
}

}  // namespace brisko::attestation
