// Installs the X11 workspace, accessibility and idle-time services as the shared ones, over one
// connection to the display.
#pragma once

namespace brisko::platform {

// Call once at start-up (the app does, before sampling). Without a display the services still
// install and answer "none" / untrusted, reconnecting when a display comes up.
void installX11Services();

}  // namespace brisko::platform
