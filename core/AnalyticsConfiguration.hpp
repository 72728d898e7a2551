// The shared analytics switch: stores the measurement state and tells listening libraries.
#pragma once

#include <optional>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::core {

inline constexpr std::string_view kAnalyticsConfigurationSetEnabledNotification =
    "ZIRAnalyticsConfigurationSetEnabledNotification";
inline constexpr std::string_view kMeasurementEnabledStateKey =
    "/ezevar/measurement/measurement_enabled_state";

class AnalyticsConfiguration {
  public:
    enum MeasurementState : long { kMeasurementEnabled = 1, kMeasurementDisabled = 2 };

    static AnalyticsConfiguration& sharedInstance();

    // With `persistSetting`, stores 1 (enabled) or 2 (disabled); always posts the notification.
    void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting);
    // Posts only for a non-empty name and a value.
    void postNotificationName(std::string_view name, const std::optional<platform::Value>& value);

  private:
    AnalyticsConfiguration() = default;
};

}  // namespace brisko::core
