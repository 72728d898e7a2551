// X11 idle time through MIT-SCREEN-SAVER.
#include "platform/desktop/x11/X11IdleTime.hpp"

#include "platform/desktop/x11/X11Connection.hpp"

namespace brisko::platform {

X11IdleTime::X11IdleTime(std::shared_ptr<X11Connection> connection) : connection_(std::move(connection)) {}

std::optional<double> X11IdleTime::secondsSinceLastInput() {
    auto conn = connection_ ? connection_ : X11Connection::shared();
    if (!conn) return std::nullopt;
    auto ms = conn->millisecondsSinceUserInput();
    if (!ms) return std::nullopt;
    return *ms / 1000.0;
}

}  // namespace brisko::platform
