// Accessibility on wlroots compositors: trusted while the compositor offers foreign-toplevel
// management; the focused window's title is the activated toplevel's title.
#pragma once

#include <memory>

#include "platform/desktop/Accessibility.hpp"

namespace brisko::platform {

class WaylandConnection;

class WlrootsAccessibility : public Accessibility {
public:
    // With no connection given, uses the shared one.
    explicit WlrootsAccessibility(std::shared_ptr<WaylandConnection> connection = nullptr);

    std::string untrustedReason() override;
    // The activated toplevel's title; the process id must be 0, as the workspace reports it here.
    std::optional<std::string> focusedWindowTitle(std::int64_t pid) override;

private:
    std::shared_ptr<WaylandConnection> connection_;
};

}  // namespace brisko::platform
