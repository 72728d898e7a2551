// The X11 workspace: the active window's process and class, named through the desktop entries.
#include "platform/desktop/x11/X11Workspace.hpp"

#include "platform/desktop/ApplicationIndex.hpp"
#include "platform/desktop/x11/X11Connection.hpp"

namespace brisko::platform {

X11Workspace::X11Workspace() : X11Workspace(Options{}) {}

X11Workspace::X11Workspace(Options options)
    : options_(std::move(options)),
      index_(std::make_unique<ApplicationIndex>(options_.applicationDirs,
                                                options_.languages.value_or(ApplicationIndex::preferredLanguages()))) {}

X11Workspace::~X11Workspace() = default;

std::shared_ptr<X11Connection> X11Workspace::connection() const {
    return options_.connection ? options_.connection : X11Connection::shared();
}

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
    auto conn = connection();
    if (!conn) return std::nullopt;
    auto window = conn->activeWindow();
    if (!window) return std::nullopt;
    return applicationForWindow(*window);
}

std::optional<RunningApplication> X11Workspace::applicationForWindow(std::uint32_t window) {
    auto conn = connection();
    if (!conn) return std::nullopt;
    auto info = conn->windowInfo(window, false);
    if (!info) return std::nullopt;
    return index_->applicationFor({.pid = info->pid, .instanceName = info->instanceName, .className = info->className});
}

bool X11Workspace::openURL(std::string_view url) {
    return launchURLOpener(url);
}

}  // namespace brisko::platform
