// A controllable idle-time source for tests.
#pragma once

#include <mutex>
#include <optional>

#include "platform/desktop/IdleTime.hpp"

namespace brisko::platform {

class FakeIdleTime : public IdleTime {
  public:
    std::optional<double> secondsSinceLastInput() override {
        std::lock_guard lock(mutex_);
        return seconds_;
    }
    void setSeconds(std::optional<double> seconds) {
        std::lock_guard lock(mutex_);
        seconds_ = seconds;
    }

  private:
    std::mutex mutex_;
    std::optional<double> seconds_ = 0.0;
};

}  // namespace brisko::platform
