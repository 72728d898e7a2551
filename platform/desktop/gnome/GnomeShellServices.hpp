// Installs the GNOME Shell workspace, accessibility and idle-time services as the shared ones, over
// Brisko Desktop's shell extension and Mutter's idle monitor on the session bus.
#pragma once

namespace brisko::platform {

// Call once at start-up on the main thread, with the QApplication made (the app does, before
// sampling). Without the extension the services still install: untrusted, with a reason that says how
// to turn it on, and trusted from the moment it answers.
void installGnomeShellServices();

}  // namespace brisko::platform
