// Wayland idle time, read from the connection's latest idle state.
#include "platform/desktop/wayland/WaylandIdleTime.hpp"

#include "platform/desktop/wayland/WaylandConnection.hpp"

namespace brisko::platform {

WaylandIdleTime::WaylandIdleTime(std::shared_ptr<WaylandConnection> connection)
    : connection_(connection ? std::move(connection) : WaylandConnection::shared()) {}

std::optional<double> WaylandIdleTime::secondsSinceLastInput() {
    return connection_->secondsSinceLastInput();
}

}  // namespace brisko::platform
