// The wlroots workspace: the activated toplevel's app_id, named through the desktop entries.
#include "platform/desktop/wayland/WlrootsWorkspace.hpp"

#include <algorithm>

#include "platform/base/Text.hpp"
#include "platform/desktop/ApplicationIndex.hpp"
#include "platform/desktop/wayland/WaylandConnection.hpp"

namespace brisko::platform {

WlrootsWorkspace::WlrootsWorkspace(Options options)
    : options_(std::move(options)),
      index_(std::make_unique<ApplicationIndex>(options_.applicationDirs,
                                                options_.languages.value_or(ApplicationIndex::preferredLanguages()))) {
    if (!options_.connection) options_.connection = WaylandConnection::shared();
    for (auto& id : options_.ownAppIDs) id = asciiLowercase(id);
}

WlrootsWorkspace::~WlrootsWorkspace() = default;

std::optional<RunningApplication> WlrootsWorkspace::frontmostApplication() {
    auto active = options_.connection->activeToplevel();
    if (!active) return std::nullopt;
    if (active->appID.empty()) return RunningApplication{};
    const std::string id = asciiLowercase(active->appID);
    if (std::find(options_.ownAppIDs.begin(), options_.ownAppIDs.end(), id) != options_.ownAppIDs.end())
        return currentApplication();
    return index_->applicationFor({.className = active->appID});
}

bool WlrootsWorkspace::openURL(std::string_view url) {
    return launchURLOpener(url);
}

}  // namespace brisko::platform
