// The shared accessibility service; untrusted until the app installs a display-backed one.
#include "platform/desktop/Accessibility.hpp"

#include "platform/base/Log.hpp"
#include "platform/base/ServiceSlot.hpp"

namespace brisko::platform {

namespace {

class UnavailableAccessibility : public Accessibility {
public:
    explicit UnavailableAccessibility(std::string reason = "No desktop backend reads window titles in this process.")
        : reason_(std::move(reason)) {}
    std::string untrustedReason() override { return reason_; }
    std::optional<std::string> focusedWindowTitle(std::int64_t) override { return std::nullopt; }

private:
    std::string reason_;
};

using Slot = ServiceSlot<Accessibility, UnavailableAccessibility>;

}  // namespace

std::shared_ptr<Accessibility> Accessibility::shared() {
    return Slot::get();
}

std::shared_ptr<Accessibility> Accessibility::untrusted(std::string reason) {
    return std::make_shared<UnavailableAccessibility>(std::move(reason));
}

bool Accessibility::isProcessTrusted() {
    return untrustedReason().empty();
}

bool Accessibility::promptForTrust() {
    std::string reason = untrustedReason();
    if (!reason.empty()) log(LogLevel::warning, "platform", "[Accessibility] " + reason);
    return reason.empty();
}

void Accessibility::setShared(std::shared_ptr<Accessibility> accessibility) {
    Slot::set(std::move(accessibility));
}

}  // namespace brisko::platform
