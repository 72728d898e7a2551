// The main window's view model: the recording switch (`isRunning`) and a copy of the permission state.
// It turns a flip of the switch into starting or stopping the recorder, keeps the window and the tray
// in step through "TrackingRunningStateDidChange", and stops recording when the account signs out.
// Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include <QObject>

#include "app/AccessibilityPermissionMonitor.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/NotificationCenter.hpp"

namespace brisko::app {

class ActivityTrackingService;
class AuthService;
class IdentityUser;

// The notification both the window and the tray post when recording starts or stops.
inline constexpr std::string_view kTrackingRunningStateDidChange = "TrackingRunningStateDidChange";
inline constexpr std::string_view kIsRunningKey = "isRunning";

// Posts "TrackingRunningStateDidChange" on the default centre with {"isRunning": running}.
void postTrackingRunningState(bool running);

class CompanionViewModel : public QObject {
    Q_OBJECT
  public:
    // The window's view model over the shared recorder, monitor and account service.
    explicit CompanionViewModel(std::shared_ptr<AccessibilityPermissionMonitor> permission);
    CompanionViewModel(std::shared_ptr<AccessibilityPermissionMonitor> permission,
                       std::shared_ptr<ActivityTrackingService> trackingService,
                       std::shared_ptr<AuthService> authService);
    ~CompanionViewModel() override;

    bool isRunning() const { return isRunning_; }
    AccessibilityPermissionState permissionState() const { return permissionState_; }
    const std::shared_ptr<AccessibilityPermissionMonitor>& permission() const { return permission_; }
    const std::shared_ptr<ActivityTrackingService>& trackingService() const { return trackingService_; }
    const std::shared_ptr<AuthService>& authService() const { return authService_; }

    // The switch binding: reading gives isRunning; writing stores the value, then applies it.
    bool switchValue() const { return isRunning_; }
    void setSwitchValue(bool value);

    void applyRunningState();
    void broadcastRunningState();
    void handleAuthStateChange(std::shared_ptr<IdentityUser> user);
    void handleRunningStateNotification(const platform::Notification& note);

  signals:
    void isRunningChanged(bool running);
    void permissionStateChanged(AccessibilityPermissionState state);
    // Sent after every identity change: the window re-reads who is signed in.
    void changed();

  private:
    void setRunning(bool running);
    void setPermissionState(AccessibilityPermissionState state);

    bool isRunning_ = false;
    AccessibilityPermissionState permissionState_ = AccessibilityPermissionState::untrustedNotRequested;
    std::shared_ptr<ActivityTrackingService> trackingService_;
    std::shared_ptr<AccessibilityPermissionMonitor> permission_;
    std::shared_ptr<AuthService> authService_;
    AccessibilityPermissionMonitor::Subscription permissionCancellable_;
    platform::ObserverRegistration runningObserver_;
};

// The window's account tasks: they never throw to their caller; failures are logged.
// Ezevar sign-in over the window (native id; 0 means no key window, and nothing happens).
platform::Task<void> signIn(std::shared_ptr<AuthService> authService, std::uint64_t presentingWindow);
// Delivers what the buffer holds, unpairs, signs out of the identity client and then of Ezevar.
platform::Task<void> signOut(std::shared_ptr<AuthService> authService,
                             std::shared_ptr<ActivityTrackingService> trackingService);

}  // namespace brisko::app
