// Accessibility on X11: trusted when the display's window manager publishes the active window; the
// focused window's title is the active window's _NET_WM_NAME, else its decoded WM_NAME.
#pragma once

#include <memory>

#include "platform/desktop/Accessibility.hpp"

namespace brisko::platform {

class X11Connection;

class X11Accessibility : public Accessibility {
public:
    // With no connection given, uses the shared one.
    explicit X11Accessibility(std::shared_ptr<X11Connection> connection = nullptr);

    std::string untrustedReason() override;
    std::optional<std::string> focusedWindowTitle(std::int64_t pid) override;

private:
    std::shared_ptr<X11Connection> connection() const;
    std::shared_ptr<X11Connection> connection_;
};

}  // namespace brisko::platform
