// Each app's registry of library components by protocol: created on request (or eagerly at
// configuration), cached when the creation block allows it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/Component.hpp"
#include "core/Library.hpp"

namespace brisko::core {

class App;

inline constexpr std::string_view kXRCoreAppName = "XRCoreZIRApp";
inline constexpr std::string_view kXRCoreECMSenderID = "480963775968";
inline constexpr std::string_view kAppVouchComponentClassName = "ZIRAppVouchComponent";

class ComponentContainer {
  public:
    using Registrants = std::vector<std::shared_ptr<const LibraryClass>>;

    // Adds a registrant class to the process-wide set (once per class name).
    static void registerAsComponentRegistrant(std::shared_ptr<const LibraryClass> registrant);
    static Registrants registeredRegistrants();

    // A container of the app over the process-wide registrants.
    explicit ComponentContainer(const std::shared_ptr<App>& app);
    ComponentContainer(const std::shared_ptr<App>& app, const Registrants& registrants);

    // The app, or null once it is gone.
    std::shared_ptr<App> app() const { return app_.lock(); }

    // The cached instance, or a new one from the protocol's creation block; null when no component
    // provides the protocol or the block gives none.
    std::shared_ptr<ComponentInstance> instanceForProtocol(const Protocol& protocol);
    template <class P>
    std::shared_ptr<P> instanceForProtocol(const Protocol& protocol) {
        return std::dynamic_pointer_cast<P>(instanceForProtocol(protocol));
    }

    // Creates the components marked eager, once, at configuration.
    void instantiateEagerComponents();
    // Tells every cached lifecycle maintainer that its app is being deleted, then empties the cache.
    void removeAllCachedInstances();
    void removeAllComponents();

    static bool isAppForXRCore(const App& app);

  private:
    void populateComponentsFromRegisteredClasses(const Registrants& registrants,
                                                 const std::shared_ptr<App>& app);
    std::shared_ptr<ComponentInstance> instantiateInstanceForProtocol(const Protocol& protocol,
                                                                      const Component::CreationBlock& block);

    std::weak_ptr<App> app_;
    // Recursive: a creation block may look up other protocols of the same container.
    std::recursive_mutex mutex_;
    std::map<std::string, Component, std::less<>> components_;
    std::map<std::string, std::shared_ptr<ComponentInstance>, std::less<>> cachedInstances_;
    std::optional<std::vector<Protocol>> eagerProtocolsToInstantiate_;
};

}  // namespace brisko::core
