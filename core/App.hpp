// The process-wide registry of configured apps: configuring from options, look-up by name, the app's
// component container, heartbeat logger and data-collection switch, and the Zudiridi user agent.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/ComponentContainer.hpp"
#include "core/HeartbeatLogger.hpp"
#include "core/Library.hpp"
#include "core/Options.hpp"
#include "core/ZudiridiUserAgent.hpp"
#include "platform/base/NotificationCenter.hpp"

namespace brisko::core {

// The name of the exceptions raised for misuse of the app core.
inline constexpr std::string_view kCoreExceptionName = "com.zudiridi.core";
inline constexpr std::string_view kInvalidArgumentException = "NSInvalidArgumentException";
inline constexpr std::string_view kDefaultAppName = "__ZIRAPP_DEFAULT";

inline constexpr std::string_view kAppReadyToConfigureSDKNotification =
    "ZIRAppReadyToConfigureSDKNotification";
inline constexpr std::string_view kAppDeleteNotification = "ZIRAppDeleteNotification";
inline constexpr std::string_view kAppNameKey = "ZIRAppNameKey";
inline constexpr std::string_view kAppIsDefaultAppKey = "ZIRAppIsDefaultAppKey";
inline constexpr std::string_view kEzevarAppIDKey = "ZIREzevarAppIDKey";
// Posted on the default centre by the application when it becomes active.
inline constexpr std::string_view kApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";

inline constexpr std::string_view kDataCollectionUserDefaultKeyFormat =
    "/ezevar/zudiridi/global_data_collection_enabled:%@";
inline constexpr std::string_view kDataCollectionDefaultEnabledInfoKey =
    "ZudiridiDataCollectionDefaultEnabled";

class App : public std::enable_shared_from_this<App> {
  public:
    using Apps = std::map<std::string, std::shared_ptr<App>, std::less<>>;

    // Configures the default app from the default options file; raises when there is none.
    static void configure();
    // Configures the default app with a locked copy of the options and creates its eager components.
    static void configureWithOptions(const std::shared_ptr<Options>& options);
    static void configureWithName(const std::optional<std::string>& name,
                                  const std::shared_ptr<Options>& options);

    // The default app, or null with an error line when none is configured.
    static std::shared_ptr<App> defaultApp();
    // The app of that name, or null with an error line.
    static std::shared_ptr<App> appNamed(std::string_view name);
    // A copy of the registry, or nothing (with an error line) when no app was ever configured.
    static std::optional<Apps> allApps();
    static bool isDefaultAppConfigured();
    // Empties the registry and the user agent's library entries.
    static void resetApps();

    // The Ezevar app ID check: "1:<project number>:ios:<hex hash>"; an unknown version passes with a log.
    static bool validateAppID(std::string_view appID);
    static bool validateAppIDFormat(std::string_view appID, std::string_view version);
    static bool validateBundleIDHashWithinAppID(std::string_view appID, std::string_view version);
    static std::optional<std::string> actualBundleID();
    // Letters and digits (any script), "-" and "_".
    static bool isAllowedApplicationName(std::string_view name);

    static std::optional<bool> readDataCollectionSwitchFromUserDefaultsForApp(const App& app);
    static std::optional<bool> readDataCollectionSwitchFromPlist();

    // The process-wide user agent and its line.
    static ZudiridiUserAgent& userAgent();
    static std::string zudiridiUserAgent();
    // Records a library in the user agent; names or versions with other characters than letters,
    // digits, "-", "_" and "." are refused with an error line.
    static void registerLibrary(const std::string& name, const std::string& version);
    // Registers the libraries linked into the process from the fixed table of class names (once).
    static void registerSwiftComponents();
    // Raises NSInvalidArgumentException for a class that is not a library.
    static void registerInternalLibrary(const std::shared_ptr<const LibraryClass>& libraryClass,
                                        const std::string& name,
                                        const std::string& version = coreLibraryVersion());

    // The designated way to make an app: a locked copy of the options, the container, the heartbeat logger.
    static std::shared_ptr<App> initInstanceWithName(const std::string& name,
                                                     const std::shared_ptr<Options>& options);

    // Removes the app from the registry; the completion gets false when it was not there.
    void deleteApp(const std::function<void(bool)>& completion);

    const std::string& name() const { return name_; }
    // A new copy of the app's options (still locked) on every call.
    std::shared_ptr<Options> options() const { return options_->copy(); }
    bool isDefaultApp() const { return isDefaultApp_; }
    const std::shared_ptr<ComponentContainer>& container() const { return container_; }
    const std::shared_ptr<HeartbeatLogger>& heartbeatLogger() const { return heartbeatLogger_; }

    // The app's stored switch, else the information property list's, else true.
    bool isDataCollectionDefaultEnabled() const;
    void setDataCollectionDefaultEnabled(bool enabled);
    void clearDataCollectionSwitchFromUserDefaults();

    bool configureCore();
    void checkExpectedBundleID();
    bool isAppIDValid() const;
    std::optional<std::string> expectedBundleID() const { return options_->bundleID(); }
    void subscribeForAppDidBecomeActiveNotifications();
    void appDidBecomeActive(const platform::Notification& notification);

    // Identifies the app registry as the object of its notifications.
    static std::shared_ptr<const void> classObject();

    App(std::string name, std::shared_ptr<Options> options);
    ~App();

  private:
    static void addAppToAppDictionary(const std::shared_ptr<App>& app);
    static void sendNotificationsToSDKs(const App& app);
    static void appWasConfiguredTwice(const App& app, const std::shared_ptr<Options>& options);

    std::string dataCollectionUserDefaultKey() const;

    const bool isDefaultApp_;
    const std::shared_ptr<Options> options_;
    const std::string name_;
    std::shared_ptr<ComponentContainer> container_;
    std::shared_ptr<HeartbeatLogger> heartbeatLogger_;
    platform::ObserverRegistration didBecomeActiveObserver_;
};

}  // namespace brisko::core
