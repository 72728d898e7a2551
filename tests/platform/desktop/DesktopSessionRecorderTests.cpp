// The app's recorder end to end in a Wayland session: installDesktopServices() chooses the backend
// from the session that scripts/with-compositor.sh started, and the recorder's samples carry the
// frontmost application's name, its title and the idle seconds. Suites "sway", "kwin", "weston".
#include <doctest/doctest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "app/recording/ActivityBuffer.hpp"
#include "app/recording/ActivityBufferFile.hpp"
#include "app/recording/ActivityTrackingService.hpp"
#include "platform/base/Log.hpp"
#include "platform/desktop/Accessibility.hpp"
#include "platform/desktop/DesktopServices.hpp"
#include "platform/desktop/IdleTime.hpp"
#include "platform/desktop/Workspace.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"
#include "tests/platform/desktop/kde/KWinTestSupport.hpp"

using namespace brisko;
using namespace brisko::test;
using namespace std::chrono_literals;

namespace {

constexpr const char* kBundleIdentifier = "com.brisko.desktop";

// The session as the app sets it up: its desktop-file name, the resources with the KWin script, and
// a data home whose desktop entry names the probe window's app_id.
struct Session {
    TemporaryFolder dataHome;
    platform::DesktopBackendChoice choice;
    // No input comes in these sessions: the idle time runs from the idle notification's set-up.
    std::chrono::steady_clock::time_point installed;

    Session() {
        std::filesystem::create_directories(dataHome.path() / "applications");
        std::ofstream(dataHome.path() / "applications" / "brisko-probe-recorded.desktop")
            << "[Desktop Entry]\nType=Application\nName=記録プローブ\nExec=true\n";
        ::setenv("XDG_DATA_HOME", dataHome.path().c_str(), 1);
        ::setenv("BRISKO_RESOURCES_DIR", BRISKO_SOURCE_DIR "/resources", 1);
        ensureQtApp();
        QGuiApplication::setDesktopFileName(QStringLiteral("brisko-desktop"));
        installed = std::chrono::steady_clock::now();
        choice = platform::installDesktopServices();
    }
};

std::shared_ptr<app::ActivityTrackingService> recorder(const std::shared_ptr<app::ActivityBuffer>& buffer) {
    return app::ActivityTrackingService::make({platform::Workspace::shared(), platform::Accessibility::shared(),
                                               platform::IdleTime::shared(), std::string(kBundleIdentifier), buffer,
                                               nullptr, nullptr});
}

// Samples once the probe window is frontmost; the sample taken, and the seconds since the services were
// installed.
std::pair<app::ActivityEntry, double> sampleWhenFrontmost(const Session& session) {
    const auto& folder = session.dataHome;
    REQUIRE(processEventsUntil([] {
        auto app = platform::Workspace::shared()->frontmostApplication();
        return app && app->bundleIdentifier == "brisko-probe-recorded";
    }));
    auto buffer = std::make_shared<app::ActivityBuffer>(
        std::make_unique<app::ActivityBufferFile>(folder.path() / "buffer.jsonl"));
    platform::LogCapture quiet;
    auto service = recorder(buffer);
    // A moment without input, so that the idle time is more than the notification's second.
    processEventsFor(2500ms);
    service->captureEntry();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - session.installed).count();
    REQUIRE(buffer->count() == 1);
    return {buffer->entries().back().entry, elapsed};
}

void checkSample(const std::pair<app::ActivityEntry, double>& sample, const std::string& title) {
    const auto& [entry, elapsed] = sample;
    CHECK(entry.appName == "記録プローブ");
    CHECK(entry.windowTitle == title);
    // Whole seconds, right to within the notification's one-second timeout.
    CHECK(entry.idleSeconds >= 1);
    CHECK(static_cast<double>(entry.idleSeconds) >= elapsed - 2.0);
    CHECK(static_cast<double>(entry.idleSeconds) <= elapsed + 0.5);
    CHECK(entry.isAwake);
}

}  // namespace

TEST_SUITE("sway") {
    TEST_CASE("on sway the recorder samples the focused native window through the wlroots backend") {
        Session session;
        CHECK(session.choice.backend == platform::DesktopBackend::wlroots);
        CHECK(platform::Accessibility::shared()->isProcessTrusted());
        const std::string title = "記録されるウィンドウ 🎉";
        ChildProcess window({"foot", "--app-id=brisko-probe-recorded", "--title=" + title, "sh", "-c", "sleep 600"});
        checkSample(sampleWhenFrontmost(session), title);
    }
}

TEST_SUITE("kwin") {
    TEST_CASE("on KDE Plasma the recorder samples the active window through the KWin script") {
        Session session;
        CHECK(session.choice.backend == platform::DesktopBackend::kwin);
        REQUIRE(processEventsUntil([] { return platform::Accessibility::shared()->isProcessTrusted(); }));
        const std::string title = "記録されるウィンドウ 🎉";
        auto window = qtWindow("brisko-probe-recorded", title);
        checkSample(sampleWhenFrontmost(session), title);

        // The application quits: KWin no longer runs our script.
        REQUIRE(isKWinScriptLoaded(platform::KWinActiveWindow::kPluginName));
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        QCoreApplication::exec();
        CHECK_FALSE(isKWinScriptLoaded(platform::KWinActiveWindow::kPluginName));
    }
}

TEST_SUITE("weston") {
    TEST_CASE("on a bare compositor the recorder takes no sample and the permission is untrusted with the reason") {
        Session session;
        CHECK(session.choice.backend == platform::DesktopBackend::none);
        CHECK_FALSE(platform::Accessibility::shared()->isProcessTrusted());
        CHECK(platform::Accessibility::shared()->untrustedReason() == session.choice.reason);
        auto buffer = std::make_shared<app::ActivityBuffer>(
            std::make_unique<app::ActivityBufferFile>(session.dataHome.path() / "buffer.jsonl"));
        platform::LogCapture quiet;
        recorder(buffer)->captureEntry();
        CHECK(buffer->count() == 0);
    }
}
