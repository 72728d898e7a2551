// The permission monitor's states, prompts and poll.
#include "app/AccessibilityPermissionMonitor.hpp"

#include "platform/desktop/Accessibility.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URL.hpp"
#include "platform/desktop/Workspace.hpp"

namespace brisko::app {

namespace {
constexpr const char* kInitialLog = "[Accessibility] trusted=%@ (initial)";
constexpr const char* kChangedLog = "[Accessibility] trusted changed: %@ -> %@";
constexpr const char* kPromptShownLog = "[Accessibility] prompt shown (origin=%@)";
constexpr const char* kPromptSkippedLog = "[Accessibility] prompt skipped (state=%@)";
constexpr const char* kBadSettingsURLLog = "[Accessibility] failed to build System Settings URL";
constexpr const char* kOpenedSettingsLog = "[Accessibility] opened System Settings (success=%@)";
constexpr const char* kNoSettingsPageLog = "[Accessibility] no settings page governs this here: %@";
constexpr const char* kOriginToggle = "toggle";
constexpr const char* kOriginExplicit = "explicit";

const char* yesNo(bool b) {
    return b ? "YES" : "NO";
}
}  // namespace

std::string_view caseName(AccessibilityPermissionState state) {
    switch (state) {
        case AccessibilityPermissionState::trusted:
            return "trusted";
        case AccessibilityPermissionState::untrustedNotRequested:
            return "untrustedNotRequested";
        case AccessibilityPermissionState::untrustedRequested:
            return "untrustedRequested";
    }
    return "trusted";
}

std::shared_ptr<AccessibilityPermissionMonitor> AccessibilityPermissionMonitor::shared() {
    static const std::shared_ptr<AccessibilityPermissionMonitor> instance = [] {
        auto monitor = make(Operations{
            .isTrustedProvider = [] { return platform::Accessibility::shared()->isProcessTrusted(); },
            .promptHandler = [] { platform::Accessibility::shared()->promptForTrust(); },
            .settingsOpener =
                [](std::string_view url) { return platform::Workspace::shared()->openURL(url); },
            // No settings page decides it here: the session does (an X11 display with a window manager
            // that publishes the active window).
            .settingsAddress = std::nullopt,
            .untrustedReason = [] { return platform::Accessibility::shared()->untrustedReason(); },
        });
        platform::logLine(platform::format(
            kInitialLog, {yesNo(monitor->state() == AccessibilityPermissionState::trusted)}));
        return monitor;
    }();
    return instance;
}

std::shared_ptr<AccessibilityPermissionMonitor> AccessibilityPermissionMonitor::make(Operations operations) {
    return std::shared_ptr<AccessibilityPermissionMonitor>(
        new AccessibilityPermissionMonitor(std::move(operations)));
}

AccessibilityPermissionMonitor::AccessibilityPermissionMonitor(Operations operations)
    : ops_(std::move(operations)),
      subscribers_(std::make_shared<std::vector<std::pair<std::uint64_t, Subscriber>>>()) {
    state_ = ops_.isTrustedProvider() ? AccessibilityPermissionState::trusted
                                      : AccessibilityPermissionState::untrustedNotRequested;
}

AccessibilityPermissionMonitor::Subscription AccessibilityPermissionMonitor::subscribe(
    Subscriber subscriber) {
    const auto id = nextSubscriber_++;
    subscribers_->emplace_back(id, std::move(subscriber));
    std::weak_ptr<std::vector<std::pair<std::uint64_t, Subscriber>>> weak = subscribers_;
    return std::shared_ptr<void>(nullptr, [weak, id](void*) {
        if (auto list = weak.lock()) std::erase_if(*list, [id](const auto& s) { return s.first == id; });
    });
}

void AccessibilityPermissionMonitor::assign(AccessibilityPermissionState state) {
    state_ = state;
    auto snapshot = *subscribers_;  // a subscriber may unsubscribe while being told
    for (auto& [id, subscriber] : snapshot) subscriber(state);
}

bool AccessibilityPermissionMonitor::refresh() {
    const bool wasTrusted = state_ == AccessibilityPermissionState::trusted;
    const bool trusted = ops_.isTrustedProvider();
    if (trusted != wasTrusted)
        platform::logLine(platform::format(kChangedLog, {yesNo(wasTrusted), yesNo(trusted)}));
    assign(trusted ? AccessibilityPermissionState::trusted
                   : (hasPromptedThisLaunch_ ? AccessibilityPermissionState::untrustedRequested
                                             : AccessibilityPermissionState::untrustedNotRequested));
    return trusted;
}

void AccessibilityPermissionMonitor::showPrompt(std::string_view origin) {
    hasPromptedThisLaunch_ = true;
    platform::logLine(platform::format(kPromptShownLog, {origin}));
    ops_.promptHandler();
    assign(AccessibilityPermissionState::untrustedRequested);
}

void AccessibilityPermissionMonitor::requestIfNeeded() {
    if (!refresh() && !hasPromptedThisLaunch_) {
        showPrompt(kOriginToggle);
        return;
    }
    platform::logLine(platform::format(kPromptSkippedLog, {caseName(state_)}));
}

void AccessibilityPermissionMonitor::requestExplicitly() {
    if (!refresh()) showPrompt(kOriginExplicit);
    if (!refresh()) openSystemSettings();
}

void AccessibilityPermissionMonitor::openSystemSettings() {
    if (!ops_.settingsAddress) {
        // Nothing to open: an address of another system's settings cannot exist here.
        platform::logLine(platform::format(kNoSettingsPageLog, {untrustedReason()}));
        return;
    }
    auto url = platform::URL::parse(*ops_.settingsAddress);
    if (!url) {
        platform::logLine(kBadSettingsURLLog);
        return;
    }
    const bool opened = ops_.settingsOpener(url->absoluteString());
    platform::logLine(platform::format(kOpenedSettingsLog, {yesNo(opened)}));
}

void AccessibilityPermissionMonitor::pollTick() {
    refresh();
}

}  // namespace brisko::app
