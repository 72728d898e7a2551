// The recorder and the permission monitor on a real headless GNOME Shell with Brisko Desktop's
// extension (scripts/with-gnome-shell.sh starts it): samples of foot windows reach the local companion
// service with the application, the title and the idle seconds; with the extension off the monitor is
// untrusted, and the prompt from the recording switch turns it on.
#include <doctest/doctest.h>

#include <fstream>

#include <QDBusConnection>
#include <QDBusMessage>
#include <nlohmann/json.hpp>

#include "app/AccessibilityPermissionMonitor.hpp"
#include "platform/desktop/gnome/GnomeShellAccessibility.hpp"
#include "platform/desktop/gnome/GnomeShellWorkspace.hpp"
#include "platform/desktop/gnome/MutterIdleTime.hpp"
#include "tests/app/AppTestSupport.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko;
using namespace brisko::app;
using namespace brisko::app::test;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<brisko::test::ChildProcess> foot(const std::string& appId, const std::string& title) {
    return std::make_unique<brisko::test::ChildProcess>(
        std::vector<std::string>{"foot", "--app-id=" + appId, "--title=" + title, "sleep", "120"});
}

// The GNOME services over one view of the extension, as installGnomeShellServices makes them, but
// patient: the test checks what they read, and a busy machine may slow the shell's answers.
constexpr auto kPatientTimeout = 5s;
struct GnomeServices {
    TempDir apps;
    std::shared_ptr<platform::GnomeShellExtension> extension = std::make_shared<platform::GnomeShellExtension>(
        platform::GnomeShellExtension::Options{.callTimeout = kPatientTimeout});
    std::shared_ptr<platform::GnomeShellWorkspace> workspace;
    std::shared_ptr<platform::GnomeShellAccessibility> accessibility =
        std::make_shared<platform::GnomeShellAccessibility>(extension);
    std::shared_ptr<platform::MutterIdleTime> idle = std::make_shared<platform::MutterIdleTime>(kPatientTimeout);

    GnomeServices() {
        std::ofstream(apps / "org.example.Notes.desktop")
            << "[Desktop Entry]\nType=Application\nName=Notes\nName[ja]=ノート\nExec=notes\n";
        workspace = std::make_shared<platform::GnomeShellWorkspace>(
            extension, platform::GnomeShellWorkspace::Options{.applicationDirs = {apps.path()}, .languages = {{"ja"}}});
    }

    // Runs Qt's events (the extension's signal) until the focused window is the process's.
    bool focusIs(pid_t pid) {
        return brisko::test::processEventsUntil([&] {
            auto app = workspace->frontmostApplication();
            return app && app->processIdentifier == pid;
        });
    }
};

void setExtensionOn(bool on) {
    auto message =
        QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
                                       QStringLiteral("org.gnome.Shell.Extensions"),
                                       on ? QStringLiteral("EnableExtension") : QStringLiteral("DisableExtension"));
    message.setArguments({QString::fromStdString(std::string(platform::GnomeShellExtension::kUUID))});
    REQUIRE(QDBusConnection::sessionBus().call(message, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage);
}

}  // namespace

TEST_CASE("recording on GNOME Shell uploads the focused window's application, title and idle seconds") {
    qtApp();
    RecorderFixture f;
    f.signInUser();
    GnomeServices gnome;
    auto recorder = ActivityTrackingService::make(ActivityTrackingService::Dependencies{
        .workspace = gnome.workspace,
        .accessibility = gnome.accessibility,
        .idleTime = gnome.idle,
        .mainBundleIdentifier = std::string("com.brisko.desktop"),
        .buffer = f.buffer,
        .uploader = std::make_shared<ActivityUploader>(f.buffer, f.auth, f.session, f.service.baseURL()),
        .authService = f.auth,
    });

    auto notes = foot("org.example.Notes", "メモ — 買い物 😀");
    REQUIRE(gnome.focusIs(notes->pid()));
    std::this_thread::sleep_for(1100ms);  // at least a second without input
    recorder->start();
    CHECK(recorder->latestAppName() == "ノート");
    CHECK(recorder->latestWindowTitle() == "メモ — 買い物 😀");

    auto scratch = foot("scratch.tool", "二つ目 ✨");
    REQUIRE(gnome.focusIs(scratch->pid()));
    recorder->captureEntry();
    recorder->stop();
    REQUIRE(waitFor([&] { return !f.service.ingests().empty(); }));

    auto entries = nlohmann::json::parse(f.service.ingests().at(0).body)["entries"];
    REQUIRE(entries.size() == 2);
    CHECK(entries[0]["appName"] == "ノート");
    CHECK(entries[0]["windowTitle"] == "メモ — 買い物 😀");
    CHECK(entries[0]["idleSeconds"].get<int>() >= 1);
    CHECK(entries[0]["isAwake"] == true);
    CHECK(entries[1]["appName"] == "scratch.tool");
    CHECK(entries[1]["windowTitle"] == "二つ目 ✨");
}

TEST_CASE("on GNOME Shell the monitor sees the extension turned off, and the switch's prompt turns it on") {
    qtApp();
    GnomeServices gnome;
    setExtensionOn(false);
    REQUIRE(brisko::test::processEventsUntil([&] { return !gnome.accessibility->isProcessTrusted(); }));

    auto monitor = AccessibilityPermissionMonitor::make(AccessibilityPermissionMonitor::Operations{
        .isTrustedProvider = [&] { return gnome.accessibility->isProcessTrusted(); },
        .promptHandler = [&] { gnome.accessibility->promptForTrust(); },
        .settingsOpener = [](std::string_view) { return false; },
        .settingsAddress = std::nullopt,
        .untrustedReason = [&] { return gnome.accessibility->untrustedReason(); },
    });
    CHECK(monitor->state() == AccessibilityPermissionState::untrustedNotRequested);
    CHECK(monitor->untrustedReason().find("gnome-extensions enable") != std::string::npos);

    monitor->requestIfNeeded();  // the recording switch
    CHECK(monitor->refresh());
    CHECK(monitor->state() == AccessibilityPermissionState::trusted);
    CHECK(monitor->untrustedReason().empty());
}
