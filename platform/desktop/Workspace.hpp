// The desktop workspace: the frontmost application, this application, opening URLs, and the
// workspace notifications (sleep and wake).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/NotificationCenter.hpp"

namespace brisko::platform {

// A running application as the workspace sees it.
struct RunningApplication {
    // The process id; 0 when the window names no process.
    std::int64_t processIdentifier = 0;
    // The name the user knows the application by (desktop entry name, else window class, else process).
    std::optional<std::string> localizedName;
    // The desktop-file id ("org.gnome.Terminal", "firefox-esr"), else the executable's name. For this
    // process: the identifier set with Workspace::setCurrentBundleIdentifier, else the executable's name.
    std::optional<std::string> bundleIdentifier;

    bool operator==(const RunningApplication&) const = default;
};

// Names of the notifications posted on the workspace centre (NotificationCenter::workspaceCenter()).
inline constexpr std::string_view kWorkspaceWillSleepNotification = "NSWorkspaceWillSleepNotification";
inline constexpr std::string_view kWorkspaceDidWakeNotification = "NSWorkspaceDidWakeNotification";

class Workspace {
  public:
    virtual ~Workspace() = default;

    // The process-wide workspace: the one installed with setShared (the app installs the X11 one, see
    // X11Services.hpp), else a basic one that opens URLs but sees no frontmost application.
    static std::shared_ptr<Workspace> shared();
    static void setShared(std::shared_ptr<Workspace> workspace);

    // The application owning the active window; none when there is no active window or no display.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;

    // Opens the URL with the user's default handler (xdg-open); true when it opened it, false when the
    // opener could not start or reported failure (nothing handles the URL). Never waits for the browser
    // itself. Texts that are empty, start with '-' or carry control characters are refused.
    virtual bool openURL(std::string_view url) = 0;

    // The workspace notification centre (sleep and wake are posted there on the main thread).
    NotificationCenter& notificationCenter() { return NotificationCenter::workspaceCenter(); }

    // This process as a running application.
    static RunningApplication currentApplication();
    // The identifier this process reports for itself (the main bundle's identifier), so that a
    // comparison of bundle identifiers recognises this application when it is frontmost.
    static void setCurrentBundleIdentifier(std::optional<std::string> identifier);
    // True when the application is this process (by process id).
    static bool isCurrentApplication(const RunningApplication& app);
};

// Opens a URL with the shared workspace.
bool openURL(std::string_view url);

// Starts xdg-open (or the program named) with the URL, detached and reaped, and waits up to `grace`
// for its verdict: false when it could not start or exited with a failure status within that time;
// true when it succeeded or is still running then (a browser started in the foreground). The
// workspaces use it; exposed for the one place that needs another opener.
inline constexpr std::chrono::milliseconds kURLOpenerGrace{2000};
bool launchURLOpener(std::string_view url, const char* opener = "xdg-open",
                     std::chrono::milliseconds grace = kURLOpenerGrace);

}  // namespace brisko::platform
