// The activity recorder: while recording, one sample every 30 s of the frontmost application, its
// focused window's title, the idle seconds and whether the machine is awake, buffered and uploaded
// every 300 s, at stop and at sleep.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/recording/ActivityBuffer.hpp"
#include "app/recording/ActivityEntry.hpp"
#include "platform/desktop/Accessibility.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/desktop/IdleTime.hpp"
#include "platform/base/NotificationCenter.hpp"
#include "platform/desktop/Workspace.hpp"

namespace brisko::app {

class ActivityUploader;
class AuthService;
class IdentityUser;

// The text trimmed of white space and newlines at both ends, or the fallback (unchanged) when nothing
// remains.
std::string trimmedOrFallback(std::string_view text, std::string_view fallback);
// An idle reading in whole seconds: none when not finite or negative, the largest integer from 2^63 on,
// else truncated toward zero.
std::optional<std::int64_t> idleSecondsFromReading(std::optional<double> seconds);

class ActivityTrackingService : public std::enable_shared_from_this<ActivityTrackingService> {
  public:
    struct Dependencies {
        std::shared_ptr<platform::Workspace> workspace;
        std::shared_ptr<platform::Accessibility> accessibility;
        std::shared_ptr<platform::IdleTime> idleTime;
        // This application's identifier: no samples while it is frontmost.
        std::optional<std::string> mainBundleIdentifier;
        std::shared_ptr<ActivityBuffer> buffer;
        std::shared_ptr<ActivityUploader> uploader;
        // When set, each sample belongs to the account signed in when it is taken; the recorder follows
        // the identity state: another account's samples are discarded when one signs in, and the
        // account's own when it signs out.
        std::shared_ptr<AuthService> authService;
    };

    static constexpr int kCollectIntervalSeconds = 30;
    static constexpr int kUploadIntervalSeconds = 300;

    // The recorder of the process, made on first use on the main thread, with the desktop's services,
    // the buffer file under the app's data folder and the account service.
    static std::shared_ptr<ActivityTrackingService> shared();
    static std::shared_ptr<ActivityTrackingService> make(Dependencies dependencies);
    // The lock that makes one process the owner of the buffer file under the app's data folder; only
    // its holder may make the shared recorder.
    static std::filesystem::path bufferLockPath();

    // Main thread only.
    void start();
    void stop();
    void captureEntry();
    void handleSleep();
    void handleWake();
    // Uploads what the buffer holds (see ActivityUploader).
    platform::Task<void> upload();
    // Drops every undelivered sample of an account (buffered, on disk and in uploads under way) and logs
    // the count. Called when the signed-in account signs out, so its samples never go out under another
    // account; samples taken while nobody was signed in stay for the next one.
    std::size_t discardUndeliveredEntries();

    bool isTracking() const { return isTracking_; }
    bool isAwake() const { return isAwake_; }
    const std::string& latestAppName() const { return latestAppName_; }
    const std::optional<std::string>& latestWindowTitle() const { return latestWindowTitle_; }
    int collectIntervalSeconds() const { return collectIntervalSeconds_; }
    int uploadIntervalSeconds() const { return uploadIntervalSeconds_; }

    const std::shared_ptr<ActivityBuffer>& buffer() const { return deps_.buffer; }
    const std::shared_ptr<ActivityUploader>& uploader() const { return deps_.uploader; }
    // The timers while recording (tests fire them).
    const std::shared_ptr<platform::Timer>& collectTimer() const { return collectTimer_; }
    const std::shared_ptr<platform::Timer>& uploadTimer() const { return uploadTimer_; }

    ~ActivityTrackingService();

  private:
    explicit ActivityTrackingService(Dependencies dependencies);
    void observeWorkspace();
    void startUpload(std::shared_ptr<void> keepAlive = nullptr);
    std::optional<std::string> currentUid() const;
    void handleAccountChange(const std::shared_ptr<IdentityUser>& user);

    Dependencies deps_;
    int collectIntervalSeconds_ = kCollectIntervalSeconds;
    int uploadIntervalSeconds_ = kUploadIntervalSeconds;
    std::shared_ptr<platform::Timer> collectTimer_;
    std::shared_ptr<platform::Timer> uploadTimer_;
    bool isTracking_ = false;
    bool isAwake_ = true;
    std::string latestAppName_ = "-";
    std::optional<std::string> latestWindowTitle_;
    platform::ObserverRegistration sleepObserver_;
    platform::ObserverRegistration wakeObserver_;
    // The account the identity state reported last (main thread).
    std::optional<std::string> reportedUid_;
};

}  // namespace brisko::app
