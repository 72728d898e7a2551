// The shared idle-time source; it answers none until the app installs a display-backed one.
#include "platform/desktop/IdleTime.hpp"

#include "platform/base/ServiceSlot.hpp"

namespace brisko::platform {

namespace {

class UnavailableIdleTime : public IdleTime {
  public:
    std::optional<double> secondsSinceLastInput() override { return std::nullopt; }
};

using Slot = ServiceSlot<IdleTime, UnavailableIdleTime>;

}  // namespace

std::shared_ptr<IdleTime> IdleTime::shared() {
    return Slot::get();
}

void IdleTime::setShared(std::shared_ptr<IdleTime> idleTime) {
    Slot::set(std::move(idleTime));
}

std::optional<double> idleSeconds() {
    return IdleTime::shared()->secondsSinceLastInput();
}

}  // namespace brisko::platform
