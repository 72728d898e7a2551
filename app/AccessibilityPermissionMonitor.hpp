// Tracks whether this process may read other applications' window titles, shows the trust prompt at
// most once per launch when recording is switched on, and on request prompts and opens the settings.
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Dispatch.hpp"

namespace brisko::app {

enum class AccessibilityPermissionState { trusted, untrustedNotRequested, untrustedRequested };

// The state's case name, as log lines write it.
std::string_view caseName(AccessibilityPermissionState state);

class AccessibilityPermissionMonitor : public std::enable_shared_from_this<AccessibilityPermissionMonitor> {
  public:
    static constexpr std::string_view kSystemSettingsURL =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
    static constexpr double kPollIntervalSeconds = 2.0;

    struct Operations {
        std::function<bool()> isTrustedProvider;               // trust, without prompting
        std::function<void()> promptHandler;                   // shows the trust prompt
        std::function<bool(std::string_view)> settingsOpener;  // opens the settings address
        // The settings page that governs the trust, none where no such page exists (on Linux the
        // session decides: an X11 display whose window manager publishes the active window).
        std::optional<std::string> settingsAddress = std::string(kSystemSettingsURL);
        // Why the process is not trusted, in a sentence for the user; empty when trusted or unknown.
        std::function<std::string()> untrustedReason = nullptr;
    };
    using Subscriber = std::function<void(AccessibilityPermissionState)>;
    // Keeps a subscription alive; dropping it unsubscribes.
    using Subscription = std::shared_ptr<void>;

    // The monitor of the process over the desktop's accessibility service; made on first use.
    static std::shared_ptr<AccessibilityPermissionMonitor> shared();
    // A monitor whose initial state comes from the operations' trust.
    static std::shared_ptr<AccessibilityPermissionMonitor> make(Operations operations);

    bool refresh();
    void requestIfNeeded();
    void requestExplicitly();
    void openSystemSettings();
    void pollTick();

    AccessibilityPermissionState state() const { return state_; }
    const std::optional<std::string>& settingsAddress() const { return ops_.settingsAddress; }
    std::string untrustedReason() const { return ops_.untrustedReason ? ops_.untrustedReason() : std::string(); }
    bool hasPromptedThisLaunch() const { return hasPromptedThisLaunch_; }
    // Every assignment of the state is delivered, changed or not, synchronously.
    Subscription subscribe(Subscriber subscriber);

    // The poll timer, owned here and started and stopped by the window's signed-in content.
    const std::shared_ptr<platform::Timer>& timer() const { return timer_; }
    void setTimer(std::shared_ptr<platform::Timer> timer) { timer_ = std::move(timer); }

  private:
    explicit AccessibilityPermissionMonitor(Operations operations);
    void assign(AccessibilityPermissionState state);
    void showPrompt(std::string_view origin);

    Operations ops_;
    AccessibilityPermissionState state_ = AccessibilityPermissionState::untrustedNotRequested;
    bool hasPromptedThisLaunch_ = false;
    std::shared_ptr<platform::Timer> timer_;
    std::shared_ptr<std::vector<std::pair<std::uint64_t, Subscriber>>> subscribers_;
    std::uint64_t nextSubscriber_ = 1;
};

}  // namespace brisko::app
