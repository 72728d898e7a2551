// The desktop backend choice.
#include "platform/desktop/DesktopBackendChoice.hpp"

#include <cstdlib>

#include "platform/base/Text.hpp"

namespace brisko::platform {

namespace {
constexpr std::string_view kNoDisplayReason =
    "No Wayland compositor answers and no X11 display is set, so the frontmost window cannot be seen.";
constexpr std::string_view kNoInterfaceReasonLead =
    "This Wayland compositor offers no way for applications to see the active window (neither "
    "foreign-toplevel management nor a desktop shell of KDE Plasma or GNOME), so the frontmost window "
    "cannot be seen";

std::string envText(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}
}  // namespace

std::string_view caseName(DesktopBackend backend) {
    switch (backend) {
    case DesktopBackend::x11:
        return "x11";
    case DesktopBackend::wlroots:
        return "wlroots";
    case DesktopBackend::kwin:
        return "kwin";
    case DesktopBackend::gnomeShell:
        return "gnomeShell";
    case DesktopBackend::none:
        return "none";
    }
    return "none";
}

bool currentDesktopIs(std::string_view currentDesktop, std::string_view desktop) {
    const std::string wanted = asciiLowercase(desktop);
    while (true) {
        const auto colon = currentDesktop.find(':');
        if (asciiLowercase(currentDesktop.substr(0, colon)) == wanted) return true;
        if (colon == std::string_view::npos) return false;
        currentDesktop.remove_prefix(colon + 1);
    }
}

DesktopSessionFacts DesktopSessionFacts::fromEnvironment() {
    DesktopSessionFacts facts;
    facts.waylandSession = !envText("WAYLAND_DISPLAY").empty() || envText("XDG_SESSION_TYPE") == "wayland";
    facts.x11Display = !envText("DISPLAY").empty();
    facts.currentDesktop = envText("XDG_CURRENT_DESKTOP");
    return facts;
}

DesktopBackendChoice chooseDesktopBackend(const DesktopSessionFacts& facts) {
    if (!facts.waylandSession) return {DesktopBackend::x11, {}};
    if (!facts.offers.connected) {
        if (facts.x11Display) return {DesktopBackend::x11, {}};
        return {DesktopBackend::none, std::string(kNoDisplayReason)};
    }
    if (currentDesktopIs(facts.currentDesktop, "KDE")) return {DesktopBackend::kwin, {}};
    if (currentDesktopIs(facts.currentDesktop, "GNOME")) return {DesktopBackend::gnomeShell, {}};
    if (facts.offers.foreignToplevels) return {DesktopBackend::wlroots, {}};
    std::string reason(kNoInterfaceReasonLead);
    if (!facts.currentDesktop.empty()) reason += " (XDG_CURRENT_DESKTOP=" + sanitizeUTF8(facts.currentDesktop) + ")";
    reason += ". Log in with GNOME, KDE Plasma, a wlroots compositor (such as sway) or an X11 session.";
    return {DesktopBackend::none, std::move(reason)};
}

}  // namespace brisko::platform
