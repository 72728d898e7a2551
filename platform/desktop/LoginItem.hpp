// The login item: an XDG autostart entry that starts the application when the user logs in.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Error.hpp"

namespace brisko::platform {

// Login-item states, numbered as the platform's service-management status.
enum class LoginItemStatus {
    notRegistered = 0,   // no autostart entry
    enabled = 1,         // the entry starts the application at login
    disabledByUser = 2,  // the entry exists but the user switched it off (Hidden=true or
                         // X-GNOME-Autostart-enabled=false): it is never re-enabled by the application
};

// The error domain of login-item failures; codes are below.
inline constexpr std::string_view kLoginItemErrorDomain = "com.brisko.LoginItem";
enum class LoginItemError { writeFailed = 1, removeFailed = 2, disabledByUser = 3 };

class LoginItem {
  public:
    struct Options {
        // The entry's file name under $XDG_CONFIG_HOME/autostart/.
        std::string fileName = "brisko-desktop.desktop";
        std::string name = "Brisko Desktop";
        std::string comment = "Records the frontmost application for Brisko";
        std::string icon = "brisko-desktop";
        // The program and its arguments; empty: this process's executable (/proc/self/exe).
        std::vector<std::string> command;
        // Seconds the desktop waits after login before starting it (lets the tray come up first).
        int autostartDelaySeconds = 5;
        // The configuration folder; none: $XDG_CONFIG_HOME, else ~/.config.
        std::optional<std::filesystem::path> configHome;
    };

    // The main application's login item with the default options.
    static LoginItem mainAppService();
    LoginItem();
    explicit LoginItem(Options options);

    LoginItemStatus status() const;
    // Writes the autostart entry (atomically). Refuses, with LoginItemError::disabledByUser, to touch an
    // entry the user switched off.
    OptionalError registerAndReturnError() const;
    // Removes the entry; no error when there is none.
    OptionalError unregisterAndReturnError() const;

    // Where the entry lives.
    std::filesystem::path path() const;
    // The entry's text as registerAndReturnError writes it.
    std::string desktopEntry() const;

  private:
    Options options_;
};

}  // namespace brisko::platform
