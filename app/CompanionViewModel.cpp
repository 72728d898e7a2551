// The view model and the window's account tasks.
#include "app/CompanionViewModel.hpp"

#include <QPointer>

#include "app/recording/ActivityTrackingService.hpp"
#include "app/account/AuthService.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::app {

namespace {
constexpr const char* kSignInFailedLog = "[Companion] ログイン失敗: %@#%ld";
constexpr const char* kSignOutFailedLog = "[Companion] ログアウト失敗: %@#%ld";
}  // namespace

void postTrackingRunningState(bool running) {
    platform::NotificationCenter::defaultCenter().post(std::string(kTrackingRunningStateDidChange), nullptr,
                                                       {{std::string(kIsRunningKey), running}});
}

CompanionViewModel::CompanionViewModel(std::shared_ptr<AccessibilityPermissionMonitor> permission)
    : CompanionViewModel(std::move(permission), ActivityTrackingService::shared(), AuthService::shared()) {}

CompanionViewModel::CompanionViewModel(std::shared_ptr<AccessibilityPermissionMonitor> permission,
                                       std::shared_ptr<ActivityTrackingService> trackingService,
                                       std::shared_ptr<AuthService> authService)
    : trackingService_(std::move(trackingService)),
      permission_(std::move(permission)),
      authService_(std::move(authService)) {
    permissionState_ = permission_->state();

    QPointer<CompanionViewModel> weak(this);
    permissionCancellable_ = permission_->subscribe([weak](AccessibilityPermissionState state) {
        platform::DispatchQueue::main()->async([weak, state] {
            if (weak) weak->setPermissionState(state);
        });
    });
    // The slot holds one handler: the view model made last receives the identity changes.
    authService_->setOnAuthStateChange([weak](std::shared_ptr<IdentityUser> user) {
        platform::DispatchQueue::main()->async([weak, user = std::move(user)] {
            if (weak) weak->handleAuthStateChange(user);
        });
    });
    auto& center = platform::NotificationCenter::defaultCenter();
    runningObserver_ = platform::ObserverRegistration(
        center,
        center.addObserver(std::string(kTrackingRunningStateDidChange), nullptr,
                           platform::DispatchQueue::main(), [weak](const platform::Notification& note) {
                               if (weak) weak->handleRunningStateNotification(note);
                           }));
}

CompanionViewModel::~CompanionViewModel() = default;

void CompanionViewModel::setRunning(bool running) {
    if (running == isRunning_) return;
    isRunning_ = running;
    emit isRunningChanged(running);
}

void CompanionViewModel::setPermissionState(AccessibilityPermissionState state) {
    const bool differs = state != permissionState_;
    permissionState_ = state;
    if (differs) emit permissionStateChanged(state);
}

void CompanionViewModel::setSwitchValue(bool value) {
    setRunning(value);
    applyRunningState();
}

void CompanionViewModel::applyRunningState() {
    if (isRunning_) {
        permission_->requestIfNeeded();
        trackingService_->start();
    } else {
        trackingService_->stop();
    }
    broadcastRunningState();
}

void CompanionViewModel::broadcastRunningState() {
    postTrackingRunningState(isRunning_);
}

void CompanionViewModel::handleRunningStateNotification(const platform::Notification& note) {
    auto it = note.userInfo.find(kIsRunningKey);
    if (it == note.userInfo.end()) return;
    auto value = it->second.boolean();
    if (!value || *value == isRunning_) return;
    setRunning(*value);
}

void CompanionViewModel::handleAuthStateChange(std::shared_ptr<IdentityUser> user) {
    if (!user && isRunning_) {
        setRunning(false);
        trackingService_->stop();
        broadcastRunningState();
    }
    emit changed();
}

platform::Task<void> signIn(std::shared_ptr<AuthService> authService, std::uint64_t presentingWindow) {
    if (presentingWindow == 0) co_return;
    std::optional<platform::Error> failure;
    try {
        co_await authService->signIn(presentingWindow);
    } catch (...) {
        failure = platform::errorFromException(std::current_exception());
    }
    if (failure) platform::logLine(platform::format(kSignInFailedLog, {failure->domain(), failure->code()}));
}

platform::Task<void> signOut(std::shared_ptr<AuthService> authService,
                             std::shared_ptr<ActivityTrackingService> trackingService) {
    // Deliver the account's samples while its token still works; whatever cannot go is discarded
    // when the sign-out is reported.
    if (trackingService) co_await trackingService->upload();
    co_await authService->unregisterDesktopCompanion();
    try {
        authService->identity()->signOut();
    } catch (...) {
        auto error = platform::errorFromException(std::current_exception());
        platform::logLine(platform::format(kSignOutFailedLog, {error.domain(), error.code()}));
        co_return;
    }
    authService->ezevar()->signOut();
}

}  // namespace brisko::app
