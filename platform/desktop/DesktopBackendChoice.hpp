// Which desktop backend serves this session: chosen at start-up from the session's environment
// (WAYLAND_DISPLAY, XDG_SESSION_TYPE, XDG_CURRENT_DESKTOP, DISPLAY) and what the compositor offers.
#pragma once

#include <string>
#include <string_view>

#include "platform/desktop/wayland/WaylandConnection.hpp"

namespace brisko::platform {

enum class DesktopBackend { x11, wlroots, kwin, gnomeShell, none };

// The backend's name as log lines write it.
std::string_view caseName(DesktopBackend backend);

struct DesktopSessionFacts {
    bool waylandSession = false;  // WAYLAND_DISPLAY is set or XDG_SESSION_TYPE is "wayland"
    bool x11Display = false;      // DISPLAY is set
    std::string currentDesktop;   // XDG_CURRENT_DESKTOP, a colon-separated list ("ubuntu:GNOME")
    WaylandOffers offers;         // what the compositor offers (read only in a Wayland session)

    // The facts of this process's environment; the offers are left for the caller to read.
    static DesktopSessionFacts fromEnvironment();
};

struct DesktopBackendChoice {
    DesktopBackend backend = DesktopBackend::none;
    // Why no backend can see the frontmost window, in a sentence for the user; empty otherwise.
    std::string reason;
    bool operator==(const DesktopBackendChoice&) const = default;
};

// X11 outside a Wayland session, and in one whose compositor does not answer while an X display
// does (only XWayland is left); KWin's script on KDE Plasma; the GNOME Shell extension on GNOME;
// foreign-toplevel management elsewhere (wlroots compositors). A compositor offering none of these
// gets no backend, with the reason, rather than XWayland's view, which misses every native window.
DesktopBackendChoice chooseDesktopBackend(const DesktopSessionFacts& facts);

// True when XDG_CURRENT_DESKTOP names the desktop (one of its entries, ignoring case).
bool currentDesktopIs(std::string_view currentDesktop, std::string_view desktop);

}  // namespace brisko::platform
