// The utilities' logger entry points for keyword-style callers.
#pragma once

#include <initializer_list>
#include <string_view>

#include "core/UtilitiesLogger.hpp"

namespace brisko::core {

class UtilitiesLoggerWrapper {
  public:
    static void logWithLevel(long level, std::string_view subsystem, std::string_view category,
                             std::string_view messageCode, std::string_view message,
                             std::initializer_list<platform::FormatArg> arguments) {
        UtilitiesLogger::logBasic(level, subsystem, category, false, messageCode, message, arguments);
    }
    // The service is the category; the subsystem is the utilities' logger subsystem.
    static void logWithLevel(long level, std::string_view service, std::string_view code,
                             std::string_view message, std::initializer_list<platform::FormatArg> args) {
        UtilitiesLogger::logBasic(level, kUtilitiesLoggerSubsystem, service, false, code, message, args);
    }
};

}  // namespace brisko::core
