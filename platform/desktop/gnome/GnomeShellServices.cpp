// Installs the GNOME Shell desktop services as the shared ones.
#include "platform/desktop/gnome/GnomeShellServices.hpp"

#include "platform/desktop/gnome/GnomeShellAccessibility.hpp"
#include "platform/desktop/gnome/GnomeShellWorkspace.hpp"
#include "platform/desktop/gnome/MutterIdleTime.hpp"

namespace brisko::platform {

void installGnomeShellServices() {
    // The workspace and accessibility share one view of the extension (one signal subscription).
    auto extension = std::make_shared<GnomeShellExtension>();
    Workspace::setShared(std::make_shared<GnomeShellWorkspace>(extension));
    Accessibility::setShared(std::make_shared<GnomeShellAccessibility>(extension));
    IdleTime::setShared(std::make_shared<MutterIdleTime>());
}

}  // namespace brisko::platform
