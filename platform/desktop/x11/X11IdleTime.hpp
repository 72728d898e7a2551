// Idle time on X11: the MIT-SCREEN-SAVER extension's time since the last user input.
#pragma once

#include <memory>

#include "platform/desktop/IdleTime.hpp"

namespace brisko::platform {

class X11Connection;

class X11IdleTime : public IdleTime {
public:
    // With no connection given, uses the shared one.
    explicit X11IdleTime(std::shared_ptr<X11Connection> connection = nullptr);
    std::optional<double> secondsSinceLastInput() override;

private:
    std::shared_ptr<X11Connection> connection_;
};

}  // namespace brisko::platform
