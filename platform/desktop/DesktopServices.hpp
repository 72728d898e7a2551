// Chooses the desktop backend of this session and installs its workspace, accessibility and
// idle-time services as the shared ones.
#pragma once

#include "platform/desktop/DesktopBackendChoice.hpp"

namespace brisko::platform {

// Call before the QApplication is made: in a Wayland session lets Qt run the app as a native
// Wayland client (falling back to X11 where Qt's Wayland platform is missing or fails), unless the
// user chose a platform (QT_QPA_PLATFORM).
void prepareDesktopSession();

// Call once at start-up, after the QApplication is made and before sampling: X11, wlroots, KWin or
// (in a session no backend sees into) services that are untrusted with the reason; waits at most a
// moment for the Wayland compositor. The KWin script is unloaded when the application quits.
// Returns the choice made.
DesktopBackendChoice installDesktopServices();

}  // namespace brisko::platform
