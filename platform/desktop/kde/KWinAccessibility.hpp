// Accessibility on KDE Plasma: trusted while our KWin script runs; the focused window's title is the
// caption of the window it reports active.
#pragma once

#include <memory>

#include "platform/desktop/Accessibility.hpp"

namespace brisko::platform {

class KWinActiveWindow;

class KWinAccessibility : public Accessibility {
public:
    explicit KWinAccessibility(std::shared_ptr<KWinActiveWindow> activeWindow);

    std::string untrustedReason() override;
    std::optional<std::string> focusedWindowTitle(std::int64_t pid) override;

private:
    std::shared_ptr<KWinActiveWindow> activeWindow_;
};

}  // namespace brisko::platform
