// GNOME Shell accessibility: trust is the shell extension answering.
#include "platform/desktop/gnome/GnomeShellAccessibility.hpp"

namespace brisko::platform {

GnomeShellAccessibility::GnomeShellAccessibility(std::shared_ptr<GnomeShellExtension> extension)
    : extension_(std::move(extension)) {}

bool GnomeShellAccessibility::isProcessTrusted() {
    return extension_->isAnswering();
}

bool GnomeShellAccessibility::promptForTrust() {
    return extension_->enable();
}

std::string GnomeShellAccessibility::untrustedReason() {
    return extension_->unavailableReason();
}

std::optional<std::string> GnomeShellAccessibility::focusedWindowTitle(std::int64_t pid) {
    auto window = extension_->focusedWindow();
    // The focus may have moved since the frontmost application was read.
    if (!window || window->pid != pid) return std::nullopt;
    return window->title;
}

}  // namespace brisko::platform
