// The core logger's set-up from launch arguments and the stored debug mode, and its writing.
#include "core/CoreLogger.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "core/ZudiridiUserAgent.hpp"
#include "platform/storage/ProcessInfo.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::core {
namespace {

std::atomic<bool> gAnalyticsDebug{false};
std::once_flag gSetUpOnce;

bool contains(const std::vector<std::string>& arguments, std::string_view argument) {
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

void setUp(const std::vector<std::string>& arguments, platform::UserDefaults& defaults) {
    UtilitiesLogger::setVersion(std::string(kCoreLibraryVersion));
    const std::string key(kDebugModeUserDefaultKey);
    if (contains(arguments, kDebugDisabledArgument)) {
        defaults.removeObjectForKey(key);
        UtilitiesLogger::ensureInitialized();
    } else if (defaults.boolForKey(key).value_or(false) || contains(arguments, kDebugEnabledArgument)) {
        // Stored, so debug mode persists to later launches.
        defaults.setBool(true, key);
        UtilitiesLogger::ensureInitialized();
        UtilitiesLogger::forceDebugUnlessAppStore();
    } else {
        UtilitiesLogger::ensureInitialized();
    }
}

}  // namespace

void CoreLogger::ensureInitialized() {
    std::call_once(gSetUpOnce, [] {
        setUp(platform::ProcessInfo::processInfo().arguments(), *platform::UserDefaults::standard());
    });
}

long CoreLogger::getLevel() {
    ensureInitialized();
    return UtilitiesLogger::getLevel();
}

void CoreLogger::setLevel(long level) {
    ensureInitialized();
    UtilitiesLogger::setLevel(level);
}

bool CoreLogger::isLoggableLevel(long level, bool analytics) {
    ensureInitialized();
    if (analytics && gAnalyticsDebug.load()) return true;
    return UtilitiesLogger::isLoggableLevel(level);
}

void CoreLogger::setAnalyticsDebug(bool enabled) {
    ensureInitialized();
    gAnalyticsDebug = enabled;
}

void CoreLogger::logBasic(long level, std::string_view service, std::string_view code,
                          std::string_view message) {
    ensureInitialized();
    const bool force = gAnalyticsDebug.load() && service == kLoggerServiceAnalytics;
    UtilitiesLogger::logBasic(level, kCoreLoggerSubsystem, service, force, code, message);
}

void CoreLogger::logBasic(long level, std::string_view service, std::string_view code,
                          std::string_view format, std::initializer_list<platform::FormatArg> args) {
    ensureInitialized();
    const bool force = gAnalyticsDebug.load() && service == kLoggerServiceAnalytics;
    UtilitiesLogger::logBasic(level, kCoreLoggerSubsystem, service, force, code, format, args);
}

void CoreLogger::resetForTesting(const std::vector<std::string>& arguments,
                                 const std::shared_ptr<platform::UserDefaults>& defaults) {
    ensureInitialized();
    UtilitiesLogger::resetForTesting();
    gAnalyticsDebug = false;
    setUp(arguments, *defaults);
}

}  // namespace brisko::core
