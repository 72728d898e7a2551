// Installs the X11 desktop services as the shared ones.
#include "platform/desktop/x11/X11Services.hpp"

#include "platform/desktop/x11/X11Accessibility.hpp"
#include "platform/desktop/x11/X11IdleTime.hpp"
#include "platform/desktop/x11/X11Workspace.hpp"

namespace brisko::platform {

void installX11Services() {
    // All three follow X11Connection::shared(), which reconnects after the display went away.
    Workspace::setShared(std::make_shared<X11Workspace>());
    Accessibility::setShared(std::make_shared<X11Accessibility>());
    IdleTime::setShared(std::make_shared<X11IdleTime>());
}

}  // namespace brisko::platform
