// One shared connection to the X display (Xlib over xcb) with the EWMH queries the desktop services
// make: the active window, its process id, class and title, and the idle time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace brisko::platform {

// What the desktop services read from one window, in one round trip.
struct X11WindowInfo {
    std::uint32_t window = 0;
    std::optional<std::int64_t> pid;          // _NET_WM_PID
    std::optional<std::string> instanceName;  // WM_CLASS, first part
    std::optional<std::string> className;     // WM_CLASS, second part
    std::optional<std::string> title;         // _NET_WM_NAME, else WM_NAME decoded; valid UTF-8; none when empty
};

class X11Connection {
public:
    // A connection to the display named (or $DISPLAY when null); nullptr when none answers.
    static std::shared_ptr<X11Connection> open(const char* displayName = nullptr);
    // A lazily opened connection that the services share; reopened after the server went away, and
    // retried at most every few seconds while no display answers. nullptr while none answers.
    static std::shared_ptr<X11Connection> shared();

    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    // False once the connection broke (the server went away).
    bool isUsable() const;

    // True when the window manager publishes _NET_ACTIVE_WINDOW in _NET_SUPPORTED.
    bool supportsActiveWindow();
    // The active window (_NET_ACTIVE_WINDOW on the root); none when unset or 0.
    std::optional<std::uint32_t> activeWindow();
    // The window's facts; the title only when asked. Errors (a window that vanished) give none.
    // COMPOUND_TEXT titles are converted by Xlib in the process's locale, which must be a UTF-8 one
    // (QCoreApplication makes sure of that).
    std::optional<X11WindowInfo> windowInfo(std::uint32_t window, bool withTitle);
    // Milliseconds since the last input event (MIT-SCREEN-SAVER); none without the extension.
    std::optional<double> millisecondsSinceUserInput();

    struct Impl;

private:
    explicit X11Connection(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace brisko::platform
