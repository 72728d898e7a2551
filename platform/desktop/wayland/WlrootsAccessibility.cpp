// wlroots accessibility: trust is an answering compositor with foreign-toplevel management.
#include "platform/desktop/wayland/WlrootsAccessibility.hpp"

#include "platform/desktop/wayland/WaylandConnection.hpp"

namespace brisko::platform {

namespace {
constexpr std::string_view kNoCompositorReason =
    "No Wayland compositor answers, so the frontmost window's title cannot be read.";
constexpr std::string_view kNoForeignToplevelsReason =
    "The Wayland compositor does not offer foreign-toplevel management (zwlr_foreign_toplevel_manager_v1), "
    "so the frontmost window's title cannot be read.";
}  // namespace

WlrootsAccessibility::WlrootsAccessibility(std::shared_ptr<WaylandConnection> connection)
    : connection_(connection ? std::move(connection) : WaylandConnection::shared()) {}

std::string WlrootsAccessibility::untrustedReason() {
    const auto offers = connection_->offers();
    if (!offers.connected) return std::string(kNoCompositorReason);
    if (!offers.foreignToplevels) return std::string(kNoForeignToplevelsReason);
    return {};
}

std::optional<std::string> WlrootsAccessibility::focusedWindowTitle(std::int64_t pid) {
    if (pid != 0) return std::nullopt;
    auto active = connection_->activeToplevel();
    if (!active || active->title.empty()) return std::nullopt;
    return active->title;
}

}  // namespace brisko::platform
