// The recorder: sampling, its timers, sleep and wake, and the hand-over to the upload.
#include "app/recording/ActivityTrackingService.hpp"

#include <cmath>
#include <limits>

#include "app/recording/ActivityUploader.hpp"
#include "app/account/AuthService.hpp"
#include "app/CompanionService.hpp"
#include "platform/base/Clock.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Log.hpp"
#include "platform/desktop/SleepWatcher.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::app {

namespace {
constexpr const char* kStartedLog = "[ActivityTracking] Started: collect=%ds, upload=%ds";
constexpr const char* kStoppedLog = "[ActivityTracking] Stopped";
constexpr const char* kSleepLog = "[ActivityTracking] Mac going to sleep";
constexpr const char* kWakeLog = "[ActivityTracking] Mac woke up";
constexpr const char* kUnknownAppName = "Unknown";
constexpr const char* kBufferFileName = "activity-buffer.jsonl";
constexpr const char* kBufferLockName = "activity-buffer.lock";

std::unique_ptr<ActivityBufferFile> defaultBufferFile() {
    try {
        return std::make_unique<ActivityBufferFile>(platform::FileSystem::applicationSupportDirectory() /
                                                    kBufferFileName);
    } catch (const platform::ErrorException& e) {
        platform::logLine(platform::format("[ActivityTracking] Buffer kept in memory only: %@",
                                           {e.error().localizedDescription()}));
        return nullptr;
    }
}

// Runs one upload that keeps the recorder (and, at sleep, the suspend delay) alive until it ends.
platform::Task<void> runUpload(std::shared_ptr<ActivityTrackingService> recorder,
                               std::shared_ptr<void> keepAlive) {
    co_await recorder->upload();
    keepAlive.reset();
}
}  // namespace

std::string trimmedOrFallback(std::string_view text, std::string_view fallback) {
    std::string trimmed = platform::trimWhitespaceAndNewlines(text);
    return trimmed.empty() ? std::string(fallback) : trimmed;
}

std::optional<std::int64_t> idleSecondsFromReading(std::optional<double> seconds) {
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0) return std::nullopt;
    if (*seconds >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(*seconds);
}

std::shared_ptr<ActivityTrackingService> ActivityTrackingService::shared() {
    static const std::shared_ptr<ActivityTrackingService> instance = [] {
        auto buffer = std::make_shared<ActivityBuffer>(defaultBufferFile());
        auto auth = AuthService::shared();
        auto base = companionServiceBaseURL();
        return make(Dependencies{
            .workspace = platform::Workspace::shared(),
            .accessibility = platform::Accessibility::shared(),
            .idleTime = platform::IdleTime::shared(),
            .mainBundleIdentifier = platform::Workspace::currentApplication().bundleIdentifier,
            .buffer = buffer,
            .uploader =
                std::make_shared<ActivityUploader>(buffer, auth, companionServiceSession(), base),
            .authService = auth,
        });
    }();
    return instance;
}

std::filesystem::path ActivityTrackingService::bufferLockPath() {
    return platform::FileSystem::applicationSupportDirectory() / kBufferLockName;
}

std::shared_ptr<ActivityTrackingService> ActivityTrackingService::make(Dependencies dependencies) {
    auto recorder =
        std::shared_ptr<ActivityTrackingService>(new ActivityTrackingService(std::move(dependencies)));
    recorder->observeWorkspace();
    if (recorder->deps_.authService) {
        std::weak_ptr<ActivityTrackingService> weak = recorder;
        recorder->deps_.authService->identity()->addStateDidChangeListener(
            [weak](std::shared_ptr<IdentityUser> user) {
                if (auto self = weak.lock()) self->handleAccountChange(user);
            });
    }
    return recorder;
}

ActivityTrackingService::ActivityTrackingService(Dependencies dependencies)
    : deps_(std::move(dependencies)) {}

ActivityTrackingService::~ActivityTrackingService() {
    if (collectTimer_) collectTimer_->invalidate();
    if (uploadTimer_) uploadTimer_->invalidate();
}

void ActivityTrackingService::observeWorkspace() {
    std::weak_ptr<ActivityTrackingService> weak = weak_from_this();
    auto& center = deps_.workspace ? deps_.workspace->notificationCenter()
                                   : platform::NotificationCenter::workspaceCenter();
    auto main = platform::DispatchQueue::main();
    sleepObserver_ = platform::ObserverRegistration(
        center, center.addObserver(std::string(platform::kWorkspaceWillSleepNotification), nullptr, main,
                                   [weak](const platform::Notification&) {
                                       if (auto self = weak.lock()) self->handleSleep();
                                   }));
    wakeObserver_ = platform::ObserverRegistration(
        center, center.addObserver(std::string(platform::kWorkspaceDidWakeNotification), nullptr, main,
                                   [weak](const platform::Notification&) {
                                       if (auto self = weak.lock()) self->handleWake();
                                   }));
}

void ActivityTrackingService::start() {
    if (isTracking_) return;
    isTracking_ = true;

    std::weak_ptr<ActivityTrackingService> weak = weak_from_this();
    auto main = platform::DispatchQueue::main();
    if (collectTimer_) collectTimer_->invalidate();
    collectTimer_ =
        platform::Timer::scheduled(main, std::chrono::seconds(collectIntervalSeconds_), true, [weak] {
            if (auto self = weak.lock()) self->captureEntry();
        });
    if (uploadTimer_) uploadTimer_->invalidate();
    uploadTimer_ =
        platform::Timer::scheduled(main, std::chrono::seconds(uploadIntervalSeconds_), true, [weak] {
            if (auto self = weak.lock()) self->startUpload();
        });

    captureEntry();
    platform::logLine(platform::format(kStartedLog, {collectIntervalSeconds_, uploadIntervalSeconds_}));
}

void ActivityTrackingService::stop() {
    isTracking_ = false;
    if (collectTimer_) collectTimer_->invalidate();
    collectTimer_.reset();
    if (uploadTimer_) uploadTimer_->invalidate();
    uploadTimer_.reset();
    startUpload();
    platform::logLine(kStoppedLog);
}

void ActivityTrackingService::startUpload(std::shared_ptr<void> keepAlive) {
    platform::spawnDetached(platform::DispatchQueue::main(),
                            runUpload(shared_from_this(), std::move(keepAlive)), "upload");
}

void ActivityTrackingService::captureEntry() {
    auto app = deps_.workspace ? deps_.workspace->frontmostApplication() : std::nullopt;
    if (!app) return;
    if (app->bundleIdentifier == deps_.mainBundleIdentifier) return;

    std::string appName =
        trimmedOrFallback(app->localizedName.value_or(""), app->bundleIdentifier.value_or(kUnknownAppName));
    const std::int64_t idleSeconds =
        idleSecondsFromReading(deps_.idleTime ? deps_.idleTime->secondsSinceLastInput() : std::nullopt)
            .value_or(0);
    std::optional<std::string> windowTitle =
        deps_.accessibility ? deps_.accessibility->focusedWindowTitle(app->processIdentifier) : std::nullopt;
    if (windowTitle && windowTitle->empty()) windowTitle.reset();

    ActivityEntry entry{
        .timestamp = platform::iso8601(platform::now()),
        .appName = appName,
        .idleSeconds = idleSeconds,
        .isAwake = isAwake_,
        .windowTitle = windowTitle,
    };
    deps_.buffer->appendEntry(std::move(entry), currentUid());
    latestAppName_ = std::move(appName);
    latestWindowTitle_ = std::move(windowTitle);
}

void ActivityTrackingService::handleSleep() {
    isAwake_ = false;
    if (isTracking_) {
        captureEntry();
        // Keeps a pending suspend waiting (briefly) so the last samples can go out first.
        startUpload(platform::SleepWatcher::deferSleep());
    }
    platform::logLine(kSleepLog);
}

void ActivityTrackingService::handleWake() {
    isAwake_ = true;
    if (isTracking_) captureEntry();
    platform::logLine(kWakeLog);
}

platform::Task<void> ActivityTrackingService::upload() {
    co_await deps_.uploader->upload();
}

std::size_t ActivityTrackingService::discardUndeliveredEntries() {
    return deps_.buffer->discardAccountEntries();
}

std::optional<std::string> ActivityTrackingService::currentUid() const {
    if (!deps_.authService) return std::nullopt;
    auto user = deps_.authService->identity()->currentUser();
    if (!user) return std::nullopt;
    return user->uid();
}

void ActivityTrackingService::handleAccountChange(const std::shared_ptr<IdentityUser>& user) {
    if (user) {
        // Whoever signs in takes the samples nobody owns; another account's samples are discarded.
        reportedUid_ = user->uid();
        deps_.buffer->adoptAccount(*reportedUid_);
    } else if (reportedUid_) {
        // Signed out: the account's samples must never go out under the next account.
        reportedUid_.reset();
        discardUndeliveredEntries();
    }
}

}  // namespace brisko::app
