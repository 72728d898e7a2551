// Lets library code see the application's events without the application's help: interceptors
// register by identifier, and the application hands each event it has to them before handling it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ApplicationDelegate.hpp"
#include "core/MutableDictionary.hpp"

namespace brisko::core {

inline constexpr std::string_view kAppDelegateProxyEnabledCoreKey = "ZudiridiAppDelegateProxyEnabled";
inline constexpr std::string_view kAppDelegateProxyEnabledUtilitiesKey =
    "EzevarUtilitiesAppDelegateProxyEnabled";

class AppDelegateSwizzler {
  public:
    using Interceptors = MutableDictionary<std::string, std::weak_ptr<ApplicationDelegate>>;

    // Both switches of the information property list are on; each counts as on unless it is a number
    // (or Boolean) whose value is false.
    static bool isAppDelegateProxyEnabled();

    // "EUL_" + the interceptor's address; nothing (logged) for no interceptor. Registering the same
    // object twice gives the same identifier and one entry.
    static std::optional<std::string> registerAppDelegateInterceptor(
        const std::shared_ptr<ApplicationDelegate>& interceptor);
    static void unregisterAppDelegateInterceptorWithID(std::string_view interceptorID);
    static void clearInterceptors();

    // Starts handing the application's events to the interceptors (once, until reset); logged and
    // refused when the proxy is switched off.
    static void proxyOriginalDelegate();
    // The same: this platform has no remote-notification events.
    static void proxyOriginalDelegateIncludingAPNSMethods();
    static void resetProxyOriginalDelegateOnceToken();
    static bool isProxying();

    // Calls the callback with every live interceptor; released ones are dropped (logged).
    static void notifyInterceptors(const std::function<void(ApplicationDelegate&)>& callback);
    // The application calls this when asked to open URLs, before its own handling: true when an
    // interceptor handled them. Does nothing unless proxying.
    static bool applicationOpenURLs(const std::vector<std::string>& urls);

    static std::string correctAppDelegateProxyKey();
    static std::string correctAlternativeWhenAppDelegateProxyNotCreated();

    static Interceptors& interceptors();
};

// The scene-delegate counterpart: scenes do not exist on this platform.
class SceneDelegateSwizzler {
  public:
    static bool isSceneDelegateProxyEnabled() { return AppDelegateSwizzler::isAppDelegateProxyEnabled(); }
    static void proxyOriginalSceneDelegate() {}
};

}  // namespace brisko::core
