// Idle time on Wayland: from the compositor's idle notification (ext-idle-notify, else KDE's idle
// protocol), shared by the wlroots and KDE backends.
#pragma once

#include <memory>

#include "platform/desktop/IdleTime.hpp"

namespace brisko::platform {

class WaylandConnection;

class WaylandIdleTime : public IdleTime {
public:
    // With no connection given, uses the shared one.
    explicit WaylandIdleTime(std::shared_ptr<WaylandConnection> connection = nullptr);
    std::optional<double> secondsSinceLastInput() override;

private:
    std::shared_ptr<WaylandConnection> connection_;
};

}  // namespace brisko::platform
