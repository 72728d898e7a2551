// The app core's shared configuration: the shared logger's level and the analytics configuration.
#pragma once

#include <mutex>

#include "core/AnalyticsConfiguration.hpp"

namespace brisko::core {

class Configuration {
  public:
    static Configuration& sharedInstance();

    // A level outside 3 to 7 is a programming error (NSInternalInconsistencyException).
    void setLoggerLevel(long level);
    long loggerLevel();

    AnalyticsConfiguration& analyticsConfiguration() { return *analyticsConfiguration_; }
    void setAnalyticsConfiguration(AnalyticsConfiguration& configuration) {
        analyticsConfiguration_ = &configuration;
    }

  private:
    Configuration() = default;
    std::mutex mutex_;
    AnalyticsConfiguration* analyticsConfiguration_ = &AnalyticsConfiguration::sharedInstance();
};

}  // namespace brisko::core
