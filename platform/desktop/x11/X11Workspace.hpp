// The workspace on X11: the frontmost application from the active window (_NET_ACTIVE_WINDOW ->
// _NET_WM_PID, WM_CLASS), named and identified through the desktop entries that match it.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Workspace.hpp"

namespace brisko::platform {

class X11Connection;
class ApplicationIndex;

class X11Workspace : public Workspace {
public:
    struct Options {
        // Folders holding .desktop files; empty: $XDG_DATA_HOME/applications and each
        // $XDG_DATA_DIRS/applications.
        std::vector<std::filesystem::path> applicationDirs;
        // The user's languages for localised names; none: from the locale environment.
        std::optional<std::vector<std::string>> languages;
        // The connection to use; null: the shared one.
        std::shared_ptr<X11Connection> connection;
    };

    X11Workspace();
    explicit X11Workspace(Options options);
    ~X11Workspace() override;

    std::optional<RunningApplication> frontmostApplication() override;
    bool openURL(std::string_view url) override;

    // The running application owning a window: this process for its own windows; otherwise named by
    // the matching desktop entry, else the window class, else the process name from /proc.
    std::optional<RunningApplication> applicationForWindow(std::uint32_t window);

private:
    std::shared_ptr<X11Connection> connection() const;
    Options options_;
    std::unique_ptr<ApplicationIndex> index_;
};

}  // namespace brisko::platform
