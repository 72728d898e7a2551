// The utilities' logging back end: a process-wide maximum level and debug mode, the coded line
// format, and writing on the serial client queue.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/base/Text.hpp"

namespace brisko::core {

inline constexpr std::string_view kUtilitiesLoggerSubsystem = "com.ezevar.utilities.logger";
inline constexpr std::string_view kUtilitiesLoggerCategory = "[EULLogger]";
inline constexpr std::string_view kLoggingClientQueueLabel = "EULLoggingClientQueue";

// Levels: 3 error, 4 warning, 5 notice, 6 info, 7 debug.
enum LoggerLevel : long {
    kLoggerLevelError = 3,
    kLoggerLevelWarning = 4,
    kLoggerLevelNotice = 5,
    kLoggerLevelInfo = 6,
    kLoggerLevelDebug = 7,
};

class UtilitiesLogger {
  public:
    static constexpr long kDefaultMaximumLevel = kLoggerLevelNotice;

    // Runs the back-end set-up once per process.
    static void ensureInitialized();
    // Levels outside 3 to 7 are refused with a forced error line "I-COR000023".
    static void setLevel(long level);
    static long getLevel();
    // Debug mode on, or the level at most the maximum level.
    static bool isLoggableLevel(long level);
    // Turns debug mode on and the maximum level to 7, unless the app came from an app store.
    static void forceDebugUnlessAppStore();
    static bool isDebugMode();
    // The text at the head of every line.
    static void setVersion(std::string version);

    // Writes "<version> - <category>[<code>] <message>" with the message unchanged.
    static void logBasic(long level, std::string_view subsystem, std::string_view category, bool force,
                         std::string_view code, std::string_view message);
    // As above, the message being the format expanded with the arguments (after the level test).
    static void logBasic(long level, std::string_view subsystem, std::string_view category, bool force,
                         std::string_view code, std::string_view format,
                         std::initializer_list<platform::FormatArg> args);

    // A line of the utilities' own subsystem whose code is a number in a code format ("I-REA%06ld").
    static void logCoded(long level, std::string_view category, std::string_view codeFormat, long code,
                         std::string_view format, std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(level, kUtilitiesLoggerSubsystem, category, false, platform::format(codeFormat, {code}),
                 format, args);
    }

    static void logError(std::string_view subsystem, std::string_view category, bool force,
                         std::string_view code, std::string_view format,
                         std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelError, subsystem, category, force, code, format, args);
    }
    static void logWarning(std::string_view subsystem, std::string_view category, bool force,
                           std::string_view code, std::string_view format,
                           std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelWarning, subsystem, category, force, code, format, args);
    }
    static void logNotice(std::string_view subsystem, std::string_view category, bool force,
                          std::string_view code, std::string_view format,
                          std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelNotice, subsystem, category, force, code, format, args);
    }
    static void logInfo(std::string_view subsystem, std::string_view category, bool force,
                        std::string_view code, std::string_view format,
                        std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelInfo, subsystem, category, force, code, format, args);
    }
    static void logDebug(std::string_view subsystem, std::string_view category, bool force,
                         std::string_view code, std::string_view format,
                         std::initializer_list<platform::FormatArg> args = {}) {
        logBasic(kLoggerLevelDebug, subsystem, category, force, code, format, args);
    }

    // Waits until every line handed to the client queue so far has been written (tests and exit).
    static void waitUntilWritten();
    // Restores the state of a fresh process: level 5, debug mode off, empty version (tests).
    static void resetForTesting();
    // The number of distinct (subsystem, category) writers made so far (tests).
    static std::size_t handleCountForTesting();
};

}  // namespace brisko::core
