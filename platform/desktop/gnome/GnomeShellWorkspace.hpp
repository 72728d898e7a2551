// The workspace on GNOME Shell (Wayland): the frontmost application is the focused window that Brisko
// Desktop's shell extension publishes, named through the desktop entry that matches its WM class.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Workspace.hpp"
#include "platform/desktop/gnome/GnomeShellExtension.hpp"

namespace brisko::platform {

class ApplicationIndex;

class GnomeShellWorkspace : public Workspace {
public:
    struct Options {
        // Folders holding .desktop files; empty: $XDG_DATA_HOME/applications and each
        // $XDG_DATA_DIRS/applications.
        std::vector<std::filesystem::path> applicationDirs;
        // The user's languages for localised names; none: from the locale environment.
        std::optional<std::vector<std::string>> languages;
    };

    explicit GnomeShellWorkspace(std::shared_ptr<GnomeShellExtension> extension);
    GnomeShellWorkspace(std::shared_ptr<GnomeShellExtension> extension, Options options);
    ~GnomeShellWorkspace() override;

    // This process for its own windows; otherwise named by the matching desktop entry, else the WM
    // class, else the process name.
    std::optional<RunningApplication> frontmostApplication() override;
    bool openURL(std::string_view url) override;

private:
    std::shared_ptr<GnomeShellExtension> extension_;
    std::unique_ptr<ApplicationIndex> index_;
};

}  // namespace brisko::platform
