// The view model and the permission monitor: the switch, the running-state notification both ways,
// the sign-out stop, and the prompt rules.
#include <doctest/doctest.h>

#include "app/AccessibilityPermissionMonitor.hpp"
#include "app/CompanionViewModel.hpp"
#include "platform/base/Log.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;

namespace {
struct MonitorFixture {
    bool trusted = false;
    int prompts = 0;
    std::vector<std::string> opened;
    std::shared_ptr<AccessibilityPermissionMonitor> monitor = AccessibilityPermissionMonitor::make({
        [this] { return trusted; },
        [this] { ++prompts; },
        [this](std::string_view url) {
            opened.emplace_back(url);
            return true;
        },
    });
};

std::vector<bool> runningPosts(std::vector<platform::Notification>& seen) {
    std::vector<bool> out;
    for (auto& n : seen) out.push_back(*n.userInfo.at("isRunning").boolean());
    return out;
}
}  // namespace

TEST_CASE("the prompt shows at most once per launch from the switches, and every time on explicit request") {
    MonitorFixture m;
    platform::LogCapture log;
    m.monitor->requestIfNeeded();
    m.monitor->requestIfNeeded();
    CHECK(m.prompts == 1);
    CHECK(m.monitor->state() == AccessibilityPermissionState::untrustedRequested);
    CHECK(log.messages() ==
          std::vector<std::string>{"[Accessibility] prompt shown (origin=toggle)",
                                   "[Accessibility] prompt skipped (state=untrustedRequested)"});
    log.clear();
    m.monitor->requestExplicitly();
    CHECK(m.prompts == 2);
    CHECK(m.opened == std::vector<std::string>{
                          "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"});
    CHECK(log.messages() == std::vector<std::string>{"[Accessibility] prompt shown (origin=explicit)",
                                                     "[Accessibility] opened System Settings (success=YES)"});

    // Granting trust: the next poll notices, logs the change, and neither request prompts any more.
    log.clear();
    m.trusted = true;
    int delivered = 0;
    auto subscription = m.monitor->subscribe([&](AccessibilityPermissionState) { ++delivered; });
    m.monitor->pollTick();
    m.monitor->pollTick();
    CHECK(delivered == 2);  // a refresh without change still re-assigns
    CHECK(log.messages() == std::vector<std::string>{"[Accessibility] trusted changed: NO -> YES"});
    m.monitor->requestIfNeeded();
    m.monitor->requestExplicitly();
    CHECK(m.prompts == 2);
    CHECK(m.opened.size() == 1);
    CHECK(log.contains("[Accessibility] prompt skipped (state=trusted)"));
}

TEST_CASE("where no settings page governs the permission, the explicit request opens nothing and says why") {
    int opens = 0;
    auto monitor = AccessibilityPermissionMonitor::make({
        .isTrustedProvider = [] { return false; },
        .promptHandler = [] {},
        .settingsOpener =
            [&](std::string_view) {
                ++opens;
                return true;
            },
        .settingsAddress = std::nullopt,
        .untrustedReason = [] { return std::string("No X11 display answers."); },
    });
    platform::LogCapture log;
    monitor->requestExplicitly();
    CHECK(opens == 0);
    CHECK(log.messages() ==
          std::vector<std::string>{"[Accessibility] prompt shown (origin=explicit)",
                                   "[Accessibility] no settings page governs this here: No X11 display answers."});
}

TEST_CASE(
    "the switch starts and stops the recorder and tells the tray; the tray's change moves the switch only") {
    qtApp();
    RecorderFixture f;
    f.signInUser();
    MonitorFixture m;
    f.workspace->setFrontmostApplication(app("Editor"));
    CompanionViewModel vm(m.monitor, f.recorder, f.auth);
    std::vector<platform::Notification> seen;
    auto& center = platform::NotificationCenter::defaultCenter();
    platform::ObserverRegistration watch(
        center, center.addObserver(std::string(kTrackingRunningStateDidChange), nullptr, nullptr,
                                   [&](const auto& n) { seen.push_back(n); }));
    int switchChanges = 0;
    QObject::connect(&vm, &CompanionViewModel::isRunningChanged, [&](bool) { ++switchChanges; });

    vm.setSwitchValue(true);
    CHECK(f.recorder->isTracking());
    CHECK(m.prompts == 1);  // not trusted: prompted once, recording starts anyway
    CHECK(runningPosts(seen) == std::vector<bool>{true});

    vm.setSwitchValue(false);
    CHECK_FALSE(f.recorder->isTracking());
    REQUIRE(waitFor([&] { return f.service.ingests().size() == 1; }));  // stopping uploads the buffer
    CHECK(runningPosts(seen) == std::vector<bool>{true, false});

    // The tray started recording: the switch follows without starting the recorder a second time.
    f.recorder->start();
    const auto samples = f.buffer->count();
    postTrackingRunningState(true);
    CHECK(vm.isRunning());
    CHECK(f.buffer->count() == samples);
    CHECK(switchChanges == 3);

    // Notifications without a Bool "isRunning" change nothing.
    center.post(std::string(kTrackingRunningStateDidChange));
    center.post(std::string(kTrackingRunningStateDidChange), nullptr, {{"isRunning", "no"}});
    center.post(std::string(kTrackingRunningStateDidChange), nullptr, {{"other", false}});
    CHECK(vm.isRunning());
    f.recorder->stop();
    waitFor([&] { return f.service.ingests().size() == 2; });
}

TEST_CASE("signing out while recording turns the switch off, stops and broadcasts; signing in never starts") {
    qtApp();
    RecorderFixture f;
    MonitorFixture m;
    m.trusted = true;
    f.workspace->setFrontmostApplication(app("Editor"));
    CompanionViewModel vm(m.monitor, f.recorder, f.auth);
    int changes = 0;
    QObject::connect(&vm, &CompanionViewModel::changed, [&] { ++changes; });
    f.signInUser();
    REQUIRE(waitFor([&] { return changes >= 1; }));
    CHECK_FALSE(vm.isRunning());
    CHECK_FALSE(f.recorder->isTracking());

    vm.setSwitchValue(true);
    std::vector<platform::Notification> seen;
    auto& center = platform::NotificationCenter::defaultCenter();
    platform::ObserverRegistration watch(
        center, center.addObserver(std::string(kTrackingRunningStateDidChange), nullptr, nullptr,
                                   [&](const auto& n) { seen.push_back(n); }));
    f.identity->setUser(nullptr);
    REQUIRE(waitFor([&] { return !vm.isRunning(); }));
    CHECK_FALSE(f.recorder->isTracking());
    CHECK(runningPosts(seen) == std::vector<bool>{false});
}

TEST_CASE("the view model mirrors the monitor's state asynchronously on the main queue") {
    qtApp();
    RecorderFixture f;
    MonitorFixture m;
    CompanionViewModel vm(m.monitor, f.recorder, f.auth);
    CHECK(vm.permissionState() == AccessibilityPermissionState::untrustedNotRequested);
    m.monitor->requestIfNeeded();
    CHECK(vm.permissionState() == AccessibilityPermissionState::untrustedNotRequested);
    platform::MainLoop::drain();
    CHECK(vm.permissionState() == AccessibilityPermissionState::untrustedRequested);
}
