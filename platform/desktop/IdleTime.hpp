// Seconds since the user's last input event (keyboard, pointer), from the display server.
#pragma once

#include <memory>
#include <optional>

namespace brisko::platform {

class IdleTime {
  public:
    virtual ~IdleTime() = default;

    // The process-wide source: the one installed with setShared (the app installs the X11 one, see
    // X11Services.hpp), else one that always answers none.
    static std::shared_ptr<IdleTime> shared();
    static void setShared(std::shared_ptr<IdleTime> idleTime);

    // Seconds since the last input event; none when no display answers or it cannot tell.
    virtual std::optional<double> secondsSinceLastInput() = 0;
};

// Seconds since the last input event, from the shared source.
std::optional<double> idleSeconds();

}  // namespace brisko::platform
