// Populating a container from the registrants, eager creation, look-up and caching.
#include "core/ComponentContainer.hpp"

#include "core/App.hpp"
#include "core/ComponentLifecycleMaintainer.hpp"
#include "core/CoreLogger.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kDuplicateProtocolCode = "I-COR000029";
constexpr std::string_view kDuplicateProtocolMessage =
    "Attempted to register protocol %@, but it already has an implementation.";
constexpr std::string_view kNonConformingInstanceCode = "I-COR000030";
constexpr std::string_view kNonConformingInstanceMessage =
    "An instance conforming to %@ was requested, but the instance provided does not conform to the protocol";

struct RegistrantSet {
    std::mutex mutex;
    ComponentContainer::Registrants classes;
};

RegistrantSet& registrantSet() {
    static RegistrantSet set;
    return set;
}

}  // namespace

void ComponentContainer::registerAsComponentRegistrant(std::shared_ptr<const LibraryClass> registrant) {
    auto& set = registrantSet();
    std::lock_guard lock(set.mutex);
    for (const auto& existing : set.classes) {
        if (existing->className == registrant->className) return;
    }
    set.classes.push_back(std::move(registrant));
}

ComponentContainer::Registrants ComponentContainer::registeredRegistrants() {
    auto& set = registrantSet();
    std::lock_guard lock(set.mutex);
    return set.classes;
}

ComponentContainer::ComponentContainer(const std::shared_ptr<App>& app)
    : ComponentContainer(app, [&] {
          auto registrants = registeredRegistrants();
          // The XR core app never gets the attestation component.
          if (app && isAppForXRCore(*app)) {
              std::erase_if(registrants,
                            [](const auto& r) { return r->className == kAppVouchComponentClassName; });
          }
          return registrants;
      }()) {}

ComponentContainer::ComponentContainer(const std::shared_ptr<App>& app, const Registrants& registrants)
    : app_(app) {
    populateComponentsFromRegisteredClasses(registrants, app);
}

bool ComponentContainer::isAppForXRCore(const App& app) {
    return app.name() == kXRCoreAppName && app.options()->ECMSenderID() == kXRCoreECMSenderID;
}

void ComponentContainer::populateComponentsFromRegisteredClasses(const Registrants& registrants,
                                                                 const std::shared_ptr<App>& app) {
    eagerProtocolsToInstantiate_.emplace();
    const bool isDefaultApp = app && app->isDefaultApp();
    for (const auto& registrant : registrants) {
        if (!registrant->isLibrary()) continue;
        for (auto& component : registrant->componentsToRegister()) {
            const std::string& key = component.protocol().name();
            if (components_.contains(key)) {
                CoreLogger::logError(kLoggerServiceCore, kDuplicateProtocolCode, kDuplicateProtocolMessage,
                                     {key});
                continue;
            }
            const auto timing = component.instantiationTiming();
            if (timing == InstantiationTiming::alwaysEager ||
                (timing == InstantiationTiming::eagerInDefaultApp && isDefaultApp)) {
                eagerProtocolsToInstantiate_->push_back(component.protocol());
            }
            components_.emplace(key, std::move(component));
        }
    }
}

void ComponentContainer::instantiateEagerComponents() {
    std::lock_guard lock(mutex_);
    if (!eagerProtocolsToInstantiate_) return;
    auto eager = std::move(*eagerProtocolsToInstantiate_);
    eagerProtocolsToInstantiate_.reset();
    for (const auto& protocol : eager) instanceForProtocol(protocol);
}

std::shared_ptr<ComponentInstance> ComponentContainer::instanceForProtocol(const Protocol& protocol) {
    std::lock_guard lock(mutex_);
    if (auto it = cachedInstances_.find(protocol.name()); it != cachedInstances_.end()) return it->second;
    auto component = components_.find(protocol.name());
    if (component == components_.end()) return nullptr;
    // A copy: the block may run look-ups that change the component table.
    const Component::CreationBlock block = component->second.creationBlock();
    return instantiateInstanceForProtocol(protocol, block);
}

std::shared_ptr<ComponentInstance> ComponentContainer::instantiateInstanceForProtocol(
    const Protocol& protocol, const Component::CreationBlock& block) {
    if (!block) return nullptr;
    bool isCacheable = false;
    auto instance = block(*this, isCacheable);
    if (!instance) return nullptr;
    if (!protocol.isConformedToBy(*instance)) {
        CoreLogger::logError(kLoggerServiceCore, kNonConformingInstanceCode, kNonConformingInstanceMessage,
                             {protocol.name()});
    }
    if (isCacheable) cachedInstances_[protocol.name()] = instance;
    return instance;
}

void ComponentContainer::removeAllCachedInstances() {
    std::lock_guard lock(mutex_);
    auto app = app_.lock();
    for (const auto& [name, instance] : cachedInstances_) {
        if (auto maintainer = std::dynamic_pointer_cast<ComponentLifecycleMaintainer>(instance)) {
            maintainer->appWillBeDeleted(app);
        }
    }
    cachedInstances_.clear();
}

void ComponentContainer::removeAllComponents() {
    std::lock_guard lock(mutex_);
    components_.clear();
}

}  // namespace brisko::core
