// The running application behind a window, from what a display server or shell says of the window:
// its process id and its class (X11 WM_CLASS, a Wayland app_id).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/desktop/Workspace.hpp"

namespace brisko::platform {

class X11ApplicationIndex;

// This process for its own windows; otherwise named by the desktop entry matching the class, instance
// or executable (the entry's id is the bundle identifier), else the class, else the process name.
// pid 0: the window names no process.
RunningApplication applicationForWindow(X11ApplicationIndex& index, std::int64_t pid,
                                        const std::optional<std::string>& instanceName,
                                        const std::optional<std::string>& className);

// The executable's base name of a local process; the kernel's short name when the executable cannot
// be read (another user's process); none when the process is gone.
std::optional<std::string> processName(std::int64_t pid);

}  // namespace brisko::platform
