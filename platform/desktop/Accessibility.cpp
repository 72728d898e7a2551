// The shared accessibility service; untrusted until the app installs a display-backed one.
#include "platform/desktop/Accessibility.hpp"

#include "platform/base/ServiceSlot.hpp"

namespace brisko::platform {

namespace {

class UnavailableAccessibility : public Accessibility {
  public:
    bool isProcessTrusted() override { return false; }
    bool promptForTrust() override { return false; }
    std::string untrustedReason() override {
        return "No desktop backend reads window titles in this process.";
    }
    std::optional<std::string> focusedWindowTitle(std::int64_t) override { return std::nullopt; }
};

using Slot = ServiceSlot<Accessibility, UnavailableAccessibility>;

}  // namespace

std::shared_ptr<Accessibility> Accessibility::shared() {
    return Slot::get();
}

void Accessibility::setShared(std::shared_ptr<Accessibility> accessibility) {
    Slot::set(std::move(accessibility));
}

}  // namespace brisko::platform
