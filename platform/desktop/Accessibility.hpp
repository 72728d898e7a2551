// Accessibility: whether this process may read other applications' windows, the trust prompt, and
// the title of the frontmost application's focused window.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace brisko::platform {

class Accessibility {
public:
    virtual ~Accessibility() = default;

    // The process-wide service: the one installed with setShared (the app installs the session's, see
    // DesktopServices.hpp), else one that is never trusted and reads no titles.
    static std::shared_ptr<Accessibility> shared();
    static void setShared(std::shared_ptr<Accessibility> accessibility);

    // A service that is never trusted, for the reason given, and reads no titles (a session no
    // backend can see into).
    static std::shared_ptr<Accessibility> untrusted(std::string reason);

    // Whether window titles can be read, without prompting: when there is no reason they cannot. On
    // X11: a display whose window manager publishes the active window (EWMH) answers; on Wayland: the
    // desktop's backend sees the active window.
    virtual bool isProcessTrusted();

    // The trust prompt: when not trusted, tells the user why (a log line with the reason); never
    // waits for the user. Returns the current trust.
    virtual bool promptForTrust();

    // Why the process is not trusted, in a sentence for the user; empty when trusted.
    virtual std::string untrustedReason() = 0;

    // The title of the focused window of the process with that id (0: a window naming no process),
    // when that process owns the active window. None on any failure, with no title, or an empty one.
    // The text is valid UTF-8 (ill-formed bytes are replaced) and otherwise unchanged.
    virtual std::optional<std::string> focusedWindowTitle(std::int64_t pid) = 0;
};

}  // namespace brisko::platform
