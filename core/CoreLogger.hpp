// The core logger: the app core's and the identity library's coded log lines over the utilities' back
// end, with the debug-mode launch arguments and user default.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/UtilitiesLogger.hpp"

namespace brisko::platform {
class UserDefaults;
}

namespace brisko::core {

inline constexpr std::string_view kCoreLoggerSubsystem = "com.ezevar.zudiridi";

// Services (categories) of the shared logger.
inline constexpr std::string_view kLoggerServiceCore = "[ZudiridiCore]";
inline constexpr std::string_view kLoggerServiceAuth = "[ZudiridiRozu]";
inline constexpr std::string_view kLoggerServiceAnalytics = "[ZudiridiAnalytics]";
inline constexpr std::string_view kLoggerServiceCrash = "[ZudiridiCrash]";
inline constexpr std::string_view kLoggerServiceRemoteConfig = "[ZudiridiRemoteConfig]";

inline constexpr std::string_view kDebugModeUserDefaultKey = "/ezevar/zudiridi/debug_mode";
inline constexpr std::string_view kDebugEnabledArgument = "-ZIRDebugEnabled";
inline constexpr std::string_view kDebugDisabledArgument = "-ZIRDebugDisabled";

class CoreLogger {
  public:
    // Runs the core set-up once per process: version, launch arguments, the stored debug mode.
    static void ensureInitialized();

    static long getLevel();
    static void setLevel(long level);
    static void setLevelNotice() { setLevel(kLoggerLevelNotice); }
    static void setLevelWarning() { setLevel(kLoggerLevelWarning); }
    static void setLevelError() { setLevel(kLoggerLevelError); }
    static void setLevelDebug() { setLevel(kLoggerLevelDebug); }

    // With the analytics flag, true whenever the analytics debug mode is on.
    static bool isLoggableLevel(long level, bool analytics);
    static bool isLoggableLevelNotice() { return isLoggableLevel(kLoggerLevelNotice, false); }
    static bool isLoggableLevelWarning() { return isLoggableLevel(kLoggerLevelWarning, false); }
    static bool isLoggableLevelError() { return isLoggableLevel(kLoggerLevelError, false); }
    static bool isLoggableLevelDebug() { return isLoggableLevel(kLoggerLevelDebug, false); }

    static void setAnalyticsDebug(bool enabled);

    // Writes the message unchanged ("%" is not expanded).
    static void logBasic(long level, std::string_view service, std::string_view code,
                         std::string_view message);
    static void logBasic(long level, std::string_view service, std::string_view code, std::string_view format,
                         std::initializer_list<platform::FormatArg> args);

    static void logError(std::string_view service, std::string_view code, std::string_view format,
                         std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelError, service, code, format, args);
    }
    static void logWarning(std::string_view service, std::string_view code, std::string_view format,
                           std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelWarning, service, code, format, args);
    }
    static void logNotice(std::string_view service, std::string_view code, std::string_view format,
                          std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelNotice, service, code, format, args);
    }
    static void logInfo(std::string_view service, std::string_view code, std::string_view format,
                        std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelInfo, service, code, format, args);
    }
    static void logDebug(std::string_view service, std::string_view code, std::string_view format,
                         std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelDebug, service, code, format, args);
    }

    // Runs the core set-up again as a new process would, with these launch arguments and defaults (tests).
    static void resetForTesting(const std::vector<std::string>& arguments,
                                const std::shared_ptr<platform::UserDefaults>& defaults);
};

}  // namespace brisko::core
