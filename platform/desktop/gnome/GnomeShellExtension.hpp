// Brisko Desktop's GNOME Shell extension as the app sees it: the focused window it publishes on the
// session bus, whether it answers, why not, and turning it on.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace brisko::platform {

class GnomeShellExtension {
public:
    // The extension's uuid (its folder under gnome-shell/extensions/) and what it serves.
    static constexpr std::string_view kUUID = "brisko-desktop@brisko.example";
    static constexpr std::string_view kObjectPath = "/com/brisko/desktop/FocusedWindow";
    static constexpr std::string_view kInterface = "com.brisko.desktop.FocusedWindow";

    struct Options {
        // The extension to speak to (tests name one that is not installed).
        std::string uuid = std::string(kUUID);
        // The longest a call to the shell may block its caller (the main thread).
        std::chrono::milliseconds callTimeout{250};
    };

    // The focused window as the shell describes it; a field is none when the window does not say.
    struct Window {
        std::optional<std::string> wmClass;          // the Wayland app_id, or the X11 class
        std::optional<std::string> wmClassInstance;  // the X11 instance (the app_id on Wayland)
        std::optional<std::string> title;            // valid UTF-8, not empty
        std::int64_t pid = 0;                        // 0 when the shell knows no process
        bool operator==(const Window&) const = default;
    };

    // Create and use on the main thread of a QCoreApplication (the focus signal is received there).
    GnomeShellExtension();
    explicit GnomeShellExtension(Options options);
    ~GnomeShellExtension();
    GnomeShellExtension(const GnomeShellExtension&) = delete;
    GnomeShellExtension& operator=(const GnomeShellExtension&) = delete;

    // The focused window; none when no window has the focus or the extension does not answer. Kept
    // from the extension's change signal; asked for (one short call) only when not known.
    std::optional<Window> focusedWindow();

    // Whether the extension answers now.
    bool isAnswering();

    // Why the extension does not answer, and what the user can do about it; empty when it answers.
    std::string unavailableReason();

    // Turns the extension on through the shell (org.gnome.Shell.Extensions EnableExtension) where
    // the shell allows it: installed, loadable, and extensions not switched off as a whole. True when
    // the extension answers afterwards; otherwise the reason is logged.
    bool enable();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace brisko::platform
