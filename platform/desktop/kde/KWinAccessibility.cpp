// KDE Plasma accessibility over the KWin script's reports.
#include "platform/desktop/kde/KWinAccessibility.hpp"

#include "platform/desktop/kde/KWinActiveWindow.hpp"

namespace brisko::platform {

KWinAccessibility::KWinAccessibility(std::shared_ptr<KWinActiveWindow> activeWindow)
    : activeWindow_(std::move(activeWindow)) {}

std::string KWinAccessibility::untrustedReason() {
    // The permission monitor asks every few seconds while the window is shown: a script that could not
    // be started is tried again then.
    activeWindow_->startIfDue();
    return activeWindow_->untrustedReason();
}

std::optional<std::string> KWinAccessibility::focusedWindowTitle(std::int64_t pid) {
    auto window = activeWindow_->activeWindow();
    // The active window may have changed hands since the frontmost application was read.
    if (!window || window->pid != pid || window->caption.empty()) return std::nullopt;
    return window->caption;
}

}  // namespace brisko::platform
