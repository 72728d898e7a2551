// The shared configuration's logger level, handed to the shared logger under a lock.
#include "core/Configuration.hpp"

#include "core/CoreLogger.hpp"
#include "platform/base/Error.hpp"
#include "platform/base/Text.hpp"

namespace brisko::core {

Configuration& Configuration::sharedInstance() {
    static Configuration instance;
    return instance;
}

void Configuration::setLoggerLevel(long level) {
    if (level < kLoggerLevelError || level > kLoggerLevelDebug) {
        throw platform::ProgrammingException("NSInternalInconsistencyException",
                                             platform::format("Invalid logger level, %ld", {level}));
    }
    std::lock_guard lock(mutex_);
    CoreLogger::setLevel(level);
}

long Configuration::loggerLevel() {
    std::lock_guard lock(mutex_);
    return CoreLogger::getLevel();
}

}  // namespace brisko::core
