// The shared logger: the level gate, the debug-mode launch arguments and stored default, and the line
// format with its codes.
#include <doctest/doctest.h>

#include "core/CoreLogger.hpp"
#include "core/LoggerWrapper.hpp"
#include "core/UtilitiesLoggerWrapper.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "tests/core/CoreTestEnvironment.hpp"

using namespace brisko;
using namespace brisko::core;
using testing::logged;

namespace {

std::shared_ptr<platform::UserDefaults> freshDefaults() {
    return std::make_shared<platform::UserDefaults>(std::string("logger-tests"),
                                                    platform::UserDefaults::Store::inMemory());
}

// A fresh process's logger, launched with these arguments.
void launch(std::vector<std::string> arguments, const std::shared_ptr<platform::UserDefaults>& defaults) {
    arguments.insert(arguments.begin(), "brisko-desktop");
    CoreLogger::resetForTesting(arguments, defaults);
    testing::clearLoggedLines();
}

struct RestoreLogger {
    ~RestoreLogger() { CoreLogger::resetForTesting({"brisko-desktop"}, freshDefaults()); }
};

}  // namespace

TEST_CASE("by default notice and above are written, info and debug are dropped") {
    RestoreLogger restore;
    launch({}, freshDefaults());
    LoggerWrapper::logWithLevel(7, kLoggerServiceAuth, "I-AUT000001", "debug line");
    LoggerWrapper::logWithLevel(6, kLoggerServiceAuth, "I-AUT000002", "info line");
    LoggerWrapper::logWithLevel(5, kLoggerServiceAuth, "I-AUT000003", "notice line");
    LoggerWrapper::logWithLevel(3, kLoggerServiceAuth, "I-AUT000004", "error line");
    CHECK_FALSE(logged("debug line"));
    CHECK_FALSE(logged("info line"));
    CHECK(logged("12.12.0 - [ZudiridiRozu][I-AUT000003] notice line"));
    CHECK(logged("12.12.0 - [ZudiridiRozu][I-AUT000004] error line"));
    CHECK(CoreLogger::getLevel() == 5);
    CHECK_FALSE(CoreLogger::isLoggableLevelDebug());
    CHECK(CoreLogger::isLoggableLevelNotice());
}

TEST_CASE(
    "a message through the wrapper is written unchanged, formats through the core logger are expanded") {
    RestoreLogger restore;
    launch({}, freshDefaults());
    LoggerWrapper::logWithLevel(3, kLoggerServiceCore, "I-COR000099", "50%d done %@");
    CoreLogger::logError(kLoggerServiceCore, "I-COR000098", "App with name %@ does not exist.", {"x"});
    CHECK(logged("12.12.0 - [ZudiridiCore][I-COR000099] 50%d done %@"));
    CHECK(logged("12.12.0 - [ZudiridiCore][I-COR000098] App with name x does not exist."));
}

TEST_CASE("the debug launch argument turns debug mode on for this and later launches; the other removes it") {
    RestoreLogger restore;
    auto defaults = freshDefaults();
    launch({"-ZIRDebugEnabled"}, defaults);
    LoggerWrapper::logWithLevel(7, kLoggerServiceCore, "I-COR000100", "debug one");
    CHECK(logged("debug one"));
    CHECK(CoreLogger::getLevel() == 7);
    CHECK(defaults->boolForKey(kDebugModeUserDefaultKey) == true);

    launch({}, defaults);  // a later launch without the argument
    LoggerWrapper::logWithLevel(7, kLoggerServiceCore, "I-COR000101", "debug two");
    CHECK(logged("debug two"));

    launch({"-ZIRDebugDisabled", "-ZIRDebugEnabled"}, defaults);  // disabling wins
    LoggerWrapper::logWithLevel(7, kLoggerServiceCore, "I-COR000102", "debug three");
    CHECK_FALSE(logged("debug three"));
    CHECK_FALSE(defaults->objectForKey(kDebugModeUserDefaultKey));
}

TEST_CASE("levels outside 3 to 7 are refused with a forced I-COR000023 line") {
    RestoreLogger restore;
    launch({}, freshDefaults());
    CoreLogger::setLevelWarning();
    CoreLogger::setLevel(8);
    CoreLogger::setLevel(2);
    CHECK(CoreLogger::getLevel() == 4);
    CHECK(logged("[EULLogger][I-COR000023] Invalid logger level, 8"));
    CHECK(logged("[EULLogger][I-COR000023] Invalid logger level, 2"));
    LoggerWrapper::logWithLevel(5, kLoggerServiceCore, "I-COR000103", "notice now filtered");
    CHECK_FALSE(logged("notice now filtered"));
    CoreLogger::setLevelDebug();
    CHECK(CoreLogger::isLoggableLevelDebug());
}

TEST_CASE("the analytics debug mode forces the analytics service only") {
    RestoreLogger restore;
    launch({}, freshDefaults());
    CoreLogger::setAnalyticsDebug(true);
    CoreLogger::logDebug(kLoggerServiceAnalytics, "I-ACS000001", "analytics detail");
    CoreLogger::logDebug(kLoggerServiceCore, "I-COR000104", "core detail");
    CHECK(logged("[ZudiridiAnalytics][I-ACS000001] analytics detail"));
    CHECK_FALSE(logged("core detail"));
    CHECK(CoreLogger::isLoggableLevel(7, true));
    CHECK_FALSE(CoreLogger::isLoggableLevel(7, false));
}

TEST_CASE("back-end lines carry the utilities' format, with an empty version before the core sets it") {
    RestoreLogger restore;
    UtilitiesLogger::resetForTesting();
    testing::clearLoggedLines();
    UtilitiesLoggerWrapper::logWithLevel(3, "[EULNetwork]", "I-NET900002", "Cannot set %@", {"x"});
    CHECK(logged(" - [EULNetwork][I-NET900002] Cannot set x"));
    CHECK(testing::loggedLines().back().starts_with(" - "));

    const auto handles = UtilitiesLogger::handleCountForTesting();
    UtilitiesLogger::logError("com.example.one", "[One]", false, "I-ONE000001", "a");
    UtilitiesLogger::logError("com.example.one", "[Two]", false, "I-ONE000002", "b");
    UtilitiesLogger::logError("com.example.one", "[Two]", false, "I-ONE000003", "c");
    CHECK(UtilitiesLogger::handleCountForTesting() == handles + 2);
}
