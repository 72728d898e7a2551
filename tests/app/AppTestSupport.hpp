// Shared set-up of the app's tests: the offscreen Qt application, temporary folders, and a recorder
// wired to controllable desktop services, a fake identity and a local companion service.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <QApplication>

#include "app/recording/ActivityBuffer.hpp"
#include "app/recording/ActivityBufferFile.hpp"
#include "app/recording/ActivityTrackingService.hpp"
#include "app/recording/ActivityUploader.hpp"
#include "app/account/AuthService.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Dispatch.hpp"
#include "tests/support/FakeAccessibility.hpp"
#include "tests/support/FakeIdleTime.hpp"
#include "tests/support/FakeWorkspace.hpp"
#include "platform/net/URLSession.hpp"
#include "tests/app/FakeCompanionService.hpp"
#include "tests/app/FakeIdentity.hpp"

namespace brisko::app::test {

// The one QApplication of the test process, on the offscreen platform unless a display was asked for.
QApplication& qtApp();

// A folder removed with its contents at the end of the test.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Runs main-queue work until the predicate holds (at most a few seconds).
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10));

template <class T>
T run(platform::Task<T> task) {
    return platform::runOnMainLoop(std::move(task), std::chrono::seconds(30));
}

inline platform::RunningApplication app(std::string name,
                                        std::optional<std::string> bundle = "org.example.editor",
                                        std::int64_t pid = 4242) {
    return platform::RunningApplication{pid, std::move(name), std::move(bundle)};
}

// A recorder over fakes: the workspace, accessibility and idle time are controllable; the buffer file
// lives in a temporary folder; uploads and pairing go to a local companion service through one companion
// service session, as in the app (`keepAlive`: the service keeps connections open between requests).
struct RecorderFixture {
    explicit RecorderFixture(std::string baseURL = {}, std::size_t capacity = ActivityBuffer::kCapacity,
                             bool keepAlive = false);
    ~RecorderFixture();

    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
    platform::ScopedClock scopedClock{clock};
    TempDir dir;
    FakeCompanionService service;
    std::shared_ptr<platform::FakeWorkspace> workspace = std::make_shared<platform::FakeWorkspace>();
    std::shared_ptr<platform::FakeAccessibility> accessibility =
        std::make_shared<platform::FakeAccessibility>();
    std::shared_ptr<platform::FakeIdleTime> idle = std::make_shared<platform::FakeIdleTime>();
    std::shared_ptr<FakeIdentityClient> identity = std::make_shared<FakeIdentityClient>();
    std::shared_ptr<FakeEzevarSignIn> ezevar = std::make_shared<FakeEzevarSignIn>();
    std::shared_ptr<platform::URLSession> session;
    std::shared_ptr<AuthService> auth;
    std::shared_ptr<ActivityBuffer> buffer;
    std::shared_ptr<ActivityTrackingService> recorder;

    std::filesystem::path bufferPath() const { return dir / "activity-buffer.jsonl"; }
    // A buffered sample with a given app name and time offset.
    ActivityEntry entry(int i) const;
    void fill(std::size_t count);
    // Signs the fake user in and lets the account service see it.
    std::shared_ptr<FakeIdentityUser> signInUser(std::string email = "user@example.com");
};

}  // namespace brisko::app::test
