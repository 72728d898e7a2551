// Seconds since the last input event on GNOME (Wayland or X11), from Mutter's idle monitor
// (org.gnome.Mutter.IdleMonitor on the session bus).
#pragma once

#include <chrono>
#include <memory>

#include "platform/desktop/IdleTime.hpp"

namespace brisko::platform {

class MutterIdleTime : public IdleTime {
public:
    // `timeout`: the longest one reading may block its caller.
    explicit MutterIdleTime(std::chrono::milliseconds timeout = std::chrono::milliseconds(250));
    ~MutterIdleTime() override;

    // None when Mutter does not answer in time.
    std::optional<double> secondsSinceLastInput() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace brisko::platform
