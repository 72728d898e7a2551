// The shared logger's entry point for the identity library and other keyword-style callers.
#pragma once

#include <string_view>

#include "core/CoreLogger.hpp"

namespace brisko::core {

class LoggerWrapper {
  public:
    // One line at that level (3 error ... 7 debug), written unchanged; dropped above the maximum level.
    static void logWithLevel(long level, std::string_view service, std::string_view code,
                             std::string_view message) {
        CoreLogger::logBasic(level, service, code, message);
    }
};

}  // namespace brisko::core
