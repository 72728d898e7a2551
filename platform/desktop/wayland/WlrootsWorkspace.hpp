// The workspace on wlroots compositors (sway, Hyprland, labwc, Wayfire): the frontmost application is
// the activated foreign toplevel, named through the desktop entry whose id matches its app_id.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Workspace.hpp"

namespace brisko::platform {

class ApplicationIndex;
class WaylandConnection;

class WlrootsWorkspace : public Workspace {
public:
    struct Options {
        // Folders holding .desktop files; empty: the XDG ones.
        std::vector<std::filesystem::path> applicationDirs;
        // The user's languages for localised names; none: from the locale environment.
        std::optional<std::vector<std::string>> languages;
        // The app_ids of this application's own windows (its desktop-file name; under XWayland its
        // WM class), compared ignoring case: the protocol names no process.
        std::vector<std::string> ownAppIDs;
        // The connection to use; null: the shared one.
        std::shared_ptr<WaylandConnection> connection;
    };

    explicit WlrootsWorkspace(Options options);
    ~WlrootsWorkspace() override;

    // The activated toplevel's application: this process for its own app_id; otherwise the
    // matching desktop entry's name and id, else the app_id. The process id is 0 (not known).
    std::optional<RunningApplication> frontmostApplication() override;
    bool openURL(std::string_view url) override;

private:
    Options options_;
    std::unique_ptr<ApplicationIndex> index_;
};

}  // namespace brisko::platform
