// The app registry: configuration steps, checks and their exceptions, look-ups, deletion, the
// data-collection switch and library registration.
#include "core/App.hpp"

#include <clocale>
#include <cwctype>
#include <mutex>

#include <locale.h>

#include "core/AnalyticsConfiguration.hpp"
#include "core/AppEnvironmentUtil.hpp"
#include "core/AuthInterop.hpp"
#include "core/BundleUtil.hpp"
#include "core/CoreLogger.hpp"
#include "core/NumberValue.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kConsoleAddress = "https://console.zudiridi.com/";
constexpr std::string_view kSetUpGuideAddress = "https://zudiridi.com/docs/setup";

constexpr std::string_view kNoDefaultOptionsReason =
    "`ZudiridiApp.configure()` could not find a valid EzevarService-Info.plist in your project. Please "
    "download one "
    "from %@.";
constexpr std::string_view kNilOptionsReason = "Options is nil. Please pass a valid options.";
constexpr std::string_view kNilNameOrOptionsReason = "Neither name nor options can be nil.";
constexpr std::string_view kEmptyNameReason = "Name cannot be empty.";
constexpr std::string_view kBadNameReason =
    "App name can only contain alphanumeric, hyphen (-), and underscore (_) characters";
constexpr std::string_view kConfigurationFailedReason =
    "Configuration fails. It may be caused by an invalid EZEVAR_APP_ID in EzevarService-Info.plist or set in "
    "the "
    "customized options.";
constexpr std::string_view kDefaultConfiguredTwiceReason = "Default app has already been configured.";
constexpr std::string_view kNamedConfiguredTwiceReason = "App named %@ has already been configured.";
constexpr std::string_view kNotALibraryReason =
    "Class %@ attempted to register components, but it does not conform to `ZIRLibrary or provide a "
    "`componentsToRegister:` method.";

constexpr std::string_view kConfiguringDefaultCode = "I-COR000001";
constexpr std::string_view kConfiguringDefaultMessage = "Configuring the default app.";
constexpr std::string_view kConfiguringNamedCode = "I-COR000002";
constexpr std::string_view kConfiguringNamedMessage = "Configuring app named %@";
constexpr std::string_view kNoDefaultAppCode = "I-COR000003";
constexpr std::string_view kNoDefaultAppMessage =
    "The default Zudiridi app has not yet been configured. Add `ZudiridiApp.configure()` to your application "
    "initialization. This can be done in in the App Delegate's "
    "application(_:didFinishLaunchingWithOptions:)` (or "
    "the `@main` struct's initializer in SwiftUI). Read more: %@";
constexpr std::string_view kNoSuchAppCode = "I-COR000004";
constexpr std::string_view kNoSuchAppMessage = "App with name %@ does not exist.";
constexpr std::string_view kNoAppsCode = "I-COR000005";
constexpr std::string_view kNoAppsMessage = "No app has been configured yet.";
constexpr std::string_view kDeletingCode = "I-COR000006";
constexpr std::string_view kDeletingMessage = "Deleting app named %@";
constexpr std::string_view kDeleteMissingCode = "I-COR000007";
constexpr std::string_view kDeleteMissingMessage = "App does not exist.";
constexpr std::string_view kBundleIDMismatchCode = "I-COR000008";
constexpr std::string_view kBundleIDMismatchMessage =
    "The project's Bundle ID is inconsistent with either the Bundle ID in '%@.%@', or the Bundle ID in the "
    "options if "
    "you are using a customized options. To ensure that everything can be configured correctly, you may need "
    "to make "
    "the Bundle IDs consistent. To continue with this plist file, you may change your app's bundle "
    "identifier to "
    "'%@'. Or you can download a new configuration file that matches your bundle identifier from %@ and "
    "replace the "
    "current one.";
constexpr std::string_view kInvalidAppIDCode = "I-COR000009";
constexpr std::string_view kInvalidAppIDMessage =
    "The EZEVAR_APP_ID either in the plist file '%@.%@' or the one set in the customized options is invalid. "
    "If you "
    "are using the plist file, use the iOS version of bundle identifier to download the file, and do not "
    "manually "
    "edit the EZEVAR_APP_ID. You may change your app's bundle identifier to '%@'. Or you can download a new "
    "configuration file that matches your bundle identifier from %@ and replace the current one.";
constexpr std::string_view kUnknownAppIDVersionCode = "I-COR000010";
constexpr std::string_view kUnknownAppIDVersionMessage = "Unknown EZEVAR_APP_ID version: %@";
constexpr std::string_view kBadLibraryNameCode = "I-COR000027";
constexpr std::string_view kBadLibraryNameMessage =
    "The library name (%@) or version number (%@) contain invalid characters. Only alphanumeric, dash, "
    "underscore and "
    "period characters are allowed.";
constexpr std::string_view kIgnoringSecondConfigureCode = "I-COR000035";
constexpr std::string_view kIgnoringSecondConfigureMessage =
    "Ignoring second `configure` call in an extension.";

constexpr std::string_view kCoreLibraryName = "zudi-ios";
constexpr std::string_view kAppIDPlatform = "ios";
constexpr std::string_view kKnownAppIDVersion = "1";

// Registrants: libraries with components; then libraries recorded in the user agent only.
constexpr std::pair<std::string_view, std::string_view> kRegistrantLibraries[] = {
    {"ZIRSessions", "zudi-ses"},
    {kAuthComponentClassName, kAuthLibraryName},
};
constexpr std::pair<std::string_view, std::string_view> kUserAgentOnlyLibraries[] = {
    {"ZIRCombineAuthLibrary", "comb-auth"},
    {"ZIRCombineZudistoreLibrary", "comb-zudistore"},
    {"ZIRCombineFunctionsLibrary", "comb-functions"},
    {"ZIRCombineStorageLibrary", "comb-storage"},
    {"ZIRFunctions", "zudi-fun"},
    {"ZIRStorage", "zudi-str"},
    {"ZIRGenAIComponent", "zudi-genai"},
    {"ZIRDataConnectComponent", "zudi-dc"},
};

struct Registry {
    std::recursive_mutex mutex;
    std::shared_ptr<App> defaultApp;
    std::optional<App::Apps> apps;
};

Registry& registry() {
    static Registry r;
    return r;
}

[[noreturn]] void raise(std::string reason) {
    throw platform::ProgrammingException(std::string(kCoreExceptionName), std::move(reason));
}

bool isASCIIDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
    return isASCIIDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A reader over text that skips nothing, like the platform's scanner with no characters to skip.
struct Scanner {
    std::string_view text;
    std::size_t pos = 0;
    bool atEnd() const { return pos >= text.size(); }
    std::optional<std::string_view> scanDigits() {
        const auto start = pos;
        while (!atEnd() && isASCIIDigit(text[pos])) ++pos;
        if (pos == start) return std::nullopt;
        return text.substr(start, pos - start);
    }
    bool scanString(std::string_view s) {
        if (text.substr(pos, s.size()) != s) return false;
        pos += s.size();
        return true;
    }
    std::string_view scanUpTo(char c) {
        const auto start = pos;
        while (!atEnd() && text[pos] != c) ++pos;
        return text.substr(start, pos - start);
    }
    // Hexadecimal digits with an optional "0x" prefix.
    bool scanHex() {
        const auto start = pos;
        if (text.substr(pos, 2) == "0x" || text.substr(pos, 2) == "0X") {
            if (pos + 2 < text.size() && isHexDigit(text[pos + 2])) pos += 2;
        }
        const auto digits = pos;
        while (!atEnd() && isHexDigit(text[pos])) ++pos;
        if (pos == digits) {
            pos = start;
            return false;
        }
        return true;
    }
};

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return parts;
}

// Letters and digits of any script, decided by the C library's Unicode tables.
bool isUnicodeAlphanumeric(char32_t c) {
    static const locale_t kUTF8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (!kUTF8) return false;
    return iswalnum_l(static_cast<wint_t>(c), kUTF8) != 0;
}

}  // namespace

// MARK: configuration

void App::configure() {
    auto options = Options::defaultOptions();
    if (!options) raise(platform::format(kNoDefaultOptionsReason, {kConsoleAddress}));
    configureWithOptions(options);
}

void App::configureWithOptions(const std::shared_ptr<Options>& options) {
    if (!options) raise(std::string(kNilOptionsReason));
    configureWithName(std::string(kDefaultAppName), options);
}

void App::configureWithName(const std::optional<std::string>& name, const std::shared_ptr<Options>& options) {
    if (!name || !options) raise(std::string(kNilNameOrOptionsReason));
    if (name->empty()) raise(std::string(kEmptyNameReason));
    if (*name != kDefaultAppName && !isAllowedApplicationName(*name)) raise(std::string(kBadNameReason));
    auto& r = registry();
    // The check for an existing app and the storing of the new one happen under one hold of the lock,
    // so two threads configuring the same name cannot both succeed (and make its components twice).
    std::lock_guard lock(r.mutex);
    if (*name == kDefaultAppName) {
        if (r.defaultApp) {
            appWasConfiguredTwice(*r.defaultApp, options);
            return;
        }
        CoreLogger::logDebug(kLoggerServiceCore, kConfiguringDefaultCode, kConfiguringDefaultMessage);
    } else {
        if (r.apps) {
            if (auto it = r.apps->find(*name); it != r.apps->end()) {
                appWasConfiguredTwice(*it->second, options);
                return;
            }
        }
        CoreLogger::logDebug(kLoggerServiceCore, kConfiguringNamedCode, kConfiguringNamedMessage, {*name});
    }

    registerSwiftComponents();

    auto app = initInstanceWithName(*name, options);
    if (app->isDefaultApp()) r.defaultApp = app;
    addAppToAppDictionary(app);
    app->container()->instantiateEagerComponents();
    sendNotificationsToSDKs(*app);
}

std::shared_ptr<App> App::initInstanceWithName(const std::string& name,
                                               const std::shared_ptr<Options>& options) {
    auto locked = options->copy();
    locked->setEditingLocked(true);
    auto app = std::make_shared<App>(name, std::move(locked));
    app->container_ = std::make_shared<ComponentContainer>(app);
    return app;
}

App::App(std::string name, std::shared_ptr<Options> options)
    : isDefaultApp_(name == kDefaultAppName),
      options_(std::move(options)),
      name_(std::move(name)),
      heartbeatLogger_(std::make_shared<HeartbeatLogger>(options_->ezevarAppID().value_or(""))) {}

App::~App() = default;

void App::addAppToAppDictionary(const std::shared_ptr<App>& app) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.apps) r.apps.emplace();
    if (!app->configureCore()) raise(std::string(kConfigurationFailedReason));
    (*r.apps)[app->name()] = app;
}

void App::sendNotificationsToSDKs(const App& app) {
    platform::Dictionary userInfo{
        {std::string(kAppNameKey), app.name()},
        {std::string(kAppIsDefaultAppKey), app.isDefaultApp()},
    };
    if (auto appID = app.options_->ezevarAppID()) userInfo.emplace(std::string(kEzevarAppIDKey), *appID);
    platform::NotificationCenter::defaultCenter().post(std::string(kAppReadyToConfigureSDKNotification),
                                                       classObject(), std::move(userInfo));
}

void App::appWasConfiguredTwice(const App& app, const std::shared_ptr<Options>& options) {
    if (!AppEnvironmentUtil::isAppExtension()) {
        if (app.isDefaultApp()) raise(std::string(kDefaultConfiguredTwiceReason));
        raise(platform::format(kNamedConfiguredTwiceReason, {app.name()}));
    }
    if (app.options_->isEqualToOptions(*options)) {
        CoreLogger::logDebug(kLoggerServiceCore, kIgnoringSecondConfigureCode,
                             kIgnoringSecondConfigureMessage);
        return;
    }
    raise(platform::format(kNamedConfiguredTwiceReason, {app.name()}));
}

bool App::configureCore() {
    checkExpectedBundleID();
    if (!isAppIDValid()) {
        CoreLogger::logError(
            kLoggerServiceCore, kInvalidAppIDCode, kInvalidAppIDMessage,
            {kOptionsFileName, kOptionsFileType, actualBundleID().value_or(""), kConsoleAddress});
        return false;
    }
    // No analytics library exists on this platform, so there is nothing to start for the default app.
    subscribeForAppDidBecomeActiveNotifications();
    return true;
}

void App::checkExpectedBundleID() {
    auto expected = expectedBundleID();
    if (!expected) return;
    if (!BundleUtil::hasBundleIdentifierPrefix(*expected, BundleUtil::relevantBundles())) {
        CoreLogger::logError(kLoggerServiceCore, kBundleIDMismatchCode, kBundleIDMismatchMessage,
                             {kOptionsFileName, kOptionsFileType, *expected, kConsoleAddress});
    }
}

bool App::isAppIDValid() const {
    return validateAppID(options_->ezevarAppID().value_or(""));
}

std::optional<std::string> App::actualBundleID() {
    return platform::Bundle::main()->bundleIdentifier();
}

void App::subscribeForAppDidBecomeActiveNotifications() {
    std::weak_ptr<App> weak = weak_from_this();
    didBecomeActiveObserver_ = platform::ObserverRegistration(
        platform::NotificationCenter::defaultCenter(),
        platform::NotificationCenter::defaultCenter().addObserver(
            std::string(kApplicationDidBecomeActiveNotification), nullptr, platform::DispatchQueue::main(),
            [weak](const platform::Notification& notification) {
                if (auto app = weak.lock()) app->appDidBecomeActive(notification);
            }));
}

void App::appDidBecomeActive(const platform::Notification&) {
    if (isDataCollectionDefaultEnabled()) heartbeatLogger_->log();
}

std::shared_ptr<const void> App::classObject() {
    static const auto kObject = std::make_shared<const int>(0);
    return kObject;
}

// MARK: look-ups

std::shared_ptr<App> App::defaultApp() {
    auto& r = registry();
    std::shared_ptr<App> app;
    {
        std::lock_guard lock(r.mutex);
        app = r.defaultApp;
    }
    if (!app)
        CoreLogger::logError(kLoggerServiceCore, kNoDefaultAppCode, kNoDefaultAppMessage,
                             {kSetUpGuideAddress});
    return app;
}

std::shared_ptr<App> App::appNamed(std::string_view name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.apps) {
        if (auto it = r.apps->find(name); it != r.apps->end()) return it->second;
    }
    CoreLogger::logError(kLoggerServiceCore, kNoSuchAppCode, kNoSuchAppMessage, {name});
    return nullptr;
}

std::optional<App::Apps> App::allApps() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.apps) CoreLogger::logError(kLoggerServiceCore, kNoAppsCode, kNoAppsMessage);
    return r.apps;
}

bool App::isDefaultAppConfigured() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.defaultApp != nullptr;
}

void App::resetApps() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.defaultApp.reset();
    if (r.apps) r.apps->clear();
    r.apps.reset();
    userAgent().reset();
}

void App::deleteApp(const std::function<void(bool)>& completion) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.apps ? r.apps->find(name_) : App::Apps::iterator{};
    if (!r.apps || it == r.apps->end()) {
        CoreLogger::logError(kLoggerServiceCore, kDeleteMissingCode, kDeleteMissingMessage);
        if (completion) completion(false);
        return;
    }
    CoreLogger::logDebug(kLoggerServiceCore, kDeletingCode, kDeletingMessage, {name_});
    container_->removeAllComponents();
    container_->removeAllCachedInstances();
    // Keep this app alive while the registry lets go of it.
    auto self = shared_from_this();
    r.apps->erase(it);
    clearDataCollectionSwitchFromUserDefaults();
    if (name_ == kDefaultAppName) r.defaultApp.reset();
    platform::NotificationCenter::defaultCenter().post(std::string(kAppDeleteNotification), classObject(),
                                                       {{std::string(kAppNameKey), name_}});
    if (completion) completion(true);
}

// MARK: app ID checks

bool App::validateAppID(std::string_view appID) {
    if (appID.empty()) return false;
    Scanner scanner{appID};
    auto version = scanner.scanDigits();
    if (!version || !scanner.scanString(":")) return false;
    if (*version != kKnownAppIDVersion) {
        CoreLogger::logInfo(kLoggerServiceCore, kUnknownAppIDVersionCode, kUnknownAppIDVersionMessage,
                            {*version});
        return true;
    }
    return validateAppIDFormat(appID, *version) && validateBundleIDHashWithinAppID(appID, *version);
}

bool App::validateAppIDFormat(std::string_view appID, std::string_view version) {
    if (appID.empty() || version.empty()) return false;
    Scanner scanner{appID};
    if (!scanner.scanString(version) || !scanner.scanString(":")) return false;
    if (!scanner.scanDigits() || !scanner.scanString(":")) return false;
    if (scanner.scanUpTo(':') != kAppIDPlatform || !scanner.scanString(":")) return false;
    if (!scanner.scanHex()) return false;
    return scanner.atEnd();
}

bool App::validateBundleIDHashWithinAppID(std::string_view appID, std::string_view version) {
    const auto parts = split(appID, ':');
    if (parts.size() != 4 || parts[3].empty()) return false;
    Scanner scanner{parts[3]};
    if (!scanner.scanHex()) return false;
    return version == kKnownAppIDVersion;
}

bool App::isAllowedApplicationName(std::string_view name) {
    const std::string sanitized = platform::sanitizeUTF8(name);
    if (sanitized != name) return false;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            if (!(std::isalnum(c) || c == '-' || c == '_')) return false;
            ++i;
            continue;
        }
        const int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        char32_t cp = c & (0x3F >> (length - 1));
        for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(name[i + k]) & 0x3F);
        if (!isUnicodeAlphanumeric(cp)) return false;
        i += length;
    }
    return true;
}

// MARK: data collection

std::string App::dataCollectionUserDefaultKey() const {
    return platform::format(kDataCollectionUserDefaultKeyFormat, {name_});
}

std::optional<bool> App::readDataCollectionSwitchFromUserDefaultsForApp(const App& app) {
    const auto value = platform::UserDefaults::standard()->objectForKey(app.dataCollectionUserDefaultKey());
    return booleanOfNumber(value ? &*value : nullptr);
}

std::optional<bool> App::readDataCollectionSwitchFromPlist() {
    static const std::optional<bool> kValue = booleanOfNumber(
        platform::Bundle::main()->objectForInfoDictionaryKey(kDataCollectionDefaultEnabledInfoKey));
    return kValue;
}

bool App::isDataCollectionDefaultEnabled() const {
    if (auto stored = readDataCollectionSwitchFromUserDefaultsForApp(*this)) return *stored;
    if (auto plist = readDataCollectionSwitchFromPlist()) return *plist;
    return true;
}

void App::setDataCollectionDefaultEnabled(bool enabled) {
    platform::UserDefaults::standard()->setBool(enabled, dataCollectionUserDefaultKey());
    if (isDefaultApp_ && !options_->isAnalyticsCollectionExplicitlySet()) {
        AnalyticsConfiguration::sharedInstance().setAnalyticsCollectionEnabled(enabled, false);
    }
}

void App::clearDataCollectionSwitchFromUserDefaults() {
    platform::UserDefaults::standard()->removeObjectForKey(dataCollectionUserDefaultKey());
}

// MARK: libraries and user agent

ZudiridiUserAgent& App::userAgent() {
    static ZudiridiUserAgent* agent = [] {
        auto* a = new ZudiridiUserAgent();
        a->setValue(coreLibraryVersion(), std::string(kCoreLibraryName));
        return a;
    }();
    return *agent;
}

std::string App::zudiridiUserAgent() {
    return userAgent().zudiridiUserAgent();
}

void App::registerLibrary(const std::string& name, const std::string& version) {
    auto allowed = [](const std::string& text) {
        for (unsigned char c : text) {
            if (!(std::isalnum(c) || c == '-' || c == '_' || c == '.')) return false;
        }
        return true;
    };
    if (!allowed(name) || !allowed(version)) {
        CoreLogger::logError(kLoggerServiceCore, kBadLibraryNameCode, kBadLibraryNameMessage,
                             {name, version});
        return;
    }
    userAgent().setValue(version, name);
}

void App::registerInternalLibrary(const std::shared_ptr<const LibraryClass>& libraryClass,
                                  const std::string& name, const std::string& version) {
    if (!libraryClass || !libraryClass->isLibrary()) {
        throw platform::ProgrammingException(
            std::string(kInvalidArgumentException),
            platform::format(kNotALibraryReason,
                             {libraryClass ? libraryClass->className : std::string("(null)")}));
    }
    ComponentContainer::registerAsComponentRegistrant(libraryClass);
    registerLibrary(name, version);
}

void App::registerSwiftComponents() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (const auto& [className, libraryName] : kRegistrantLibraries) {
            auto libraryClass = LibraryClassRegistry::classNamed(className);
            if (libraryClass && libraryClass->isLibrary()) {
                registerInternalLibrary(libraryClass, std::string(libraryName));
            }
        }
        for (const auto& [className, libraryName] : kUserAgentOnlyLibraries) {
            auto libraryClass = LibraryClassRegistry::classNamed(className);
            if (!libraryClass) continue;
            std::optional<std::string> version;
            if (libraryClass->sdkVersion) version = libraryClass->sdkVersion();
            registerLibrary(std::string(libraryName), version.value_or(coreLibraryVersion()));
        }
    });
}

}  // namespace brisko::core
