// The analytics switch's stored state and notification.
#include "core/AnalyticsConfiguration.hpp"

#include <memory>

#include "platform/base/NotificationCenter.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::core {

AnalyticsConfiguration& AnalyticsConfiguration::sharedInstance() {
    static AnalyticsConfiguration instance;
    return instance;
}

void AnalyticsConfiguration::setAnalyticsCollectionEnabled(bool enabled, bool persistSetting) {
    if (persistSetting) {
        auto defaults = platform::UserDefaults::standard();
        defaults->setInteger(enabled ? kMeasurementEnabled : kMeasurementDisabled,
                             kMeasurementEnabledStateKey);
        defaults->synchronize();
    }
    postNotificationName(kAnalyticsConfigurationSetEnabledNotification, platform::Value(enabled));
}

void AnalyticsConfiguration::postNotificationName(std::string_view name,
                                                  const std::optional<platform::Value>& value) {
    if (name.empty() || !value) return;
    // The shared instance lives for the whole process; the notification's object identifies it.
    static const std::shared_ptr<const void> kObject(&sharedInstance(), [](const void*) {});
    platform::NotificationCenter::defaultCenter().post(std::string(name), kObject,
                                                       {{std::string(name), *value}});
}

}  // namespace brisko::core
