// The workspace on KDE Plasma: the frontmost application is the owner of the window our KWin script
// reports active (its process id, resource name and class), named through the desktop entries.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/Workspace.hpp"

namespace brisko::platform {

class ApplicationIndex;
class KWinActiveWindow;

class KWinWorkspace : public Workspace {
public:
    struct Options {
        // Folders holding .desktop files; empty: the XDG ones.
        std::vector<std::filesystem::path> applicationDirs;
        // The user's languages for localised names; none: from the locale environment.
        std::optional<std::vector<std::string>> languages;
    };

    KWinWorkspace(std::shared_ptr<KWinActiveWindow> activeWindow, Options options);
    ~KWinWorkspace() override;

    std::optional<RunningApplication> frontmostApplication() override;
    bool openURL(std::string_view url) override;

private:
    std::shared_ptr<KWinActiveWindow> activeWindow_;
    std::unique_ptr<ApplicationIndex> index_;
};

}  // namespace brisko::platform
