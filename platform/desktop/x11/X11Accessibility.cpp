// X11 accessibility: trust is an EWMH window manager on an answering display; titles come from the
// active window.
#include "platform/desktop/x11/X11Accessibility.hpp"

#include "platform/desktop/x11/X11Connection.hpp"

namespace brisko::platform {

namespace {
constexpr std::string_view kNoDisplayReason =
    "No X11 display answers, so the frontmost window's title cannot be read (a Wayland session without "
    "Xwayland does not let applications see other windows).";
constexpr std::string_view kNoWindowManagerReason =
    "The window manager does not publish the active window (_NET_ACTIVE_WINDOW), so the frontmost "
    "window's title cannot be read.";
}  // namespace

X11Accessibility::X11Accessibility(std::shared_ptr<X11Connection> connection) : connection_(std::move(connection)) {}

std::shared_ptr<X11Connection> X11Accessibility::connection() const {
    return connection_ ? connection_ : X11Connection::shared();
}

std::string X11Accessibility::untrustedReason() {
    auto conn = connection();
    if (!conn || !conn->isUsable()) return std::string(kNoDisplayReason);
    if (!conn->supportsActiveWindow()) return std::string(kNoWindowManagerReason);
    return {};
}

std::optional<std::string> X11Accessibility::focusedWindowTitle(std::int64_t pid) {
    auto conn = connection();
    if (!conn) return std::nullopt;
    auto window = conn->activeWindow();
    if (!window) return std::nullopt;
    auto info = conn->windowInfo(*window, true);
    // The active window may have changed hands since the frontmost application was read.
    if (!info || info->pid.value_or(0) != pid) return std::nullopt;
    return info->title;
}

}  // namespace brisko::platform
