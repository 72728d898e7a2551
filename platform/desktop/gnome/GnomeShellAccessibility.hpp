// Accessibility on GNOME Shell (Wayland): trusted while Brisko Desktop's shell extension answers; the
// trust prompt turns the extension on where the shell allows it; the focused window's title comes
// from the extension.
#pragma once

#include <memory>

#include "platform/desktop/Accessibility.hpp"
#include "platform/desktop/gnome/GnomeShellExtension.hpp"

namespace brisko::platform {

class GnomeShellAccessibility : public Accessibility {
public:
    explicit GnomeShellAccessibility(std::shared_ptr<GnomeShellExtension> extension);

    bool isProcessTrusted() override;
    // Turns the extension on (it is the user's 許可する); logs why when that cannot be done.
    bool promptForTrust() override;
    std::string untrustedReason() override;
    std::optional<std::string> focusedWindowTitle(std::int64_t pid) override;

private:
    std::shared_ptr<GnomeShellExtension> extension_;
};

}  // namespace brisko::platform
