// The KDE Plasma backend against a real kwin_wayland --virtual (scripts/with-compositor.sh kwin) with
// our KWin script loaded over D-Bus, native Wayland windows whose app_id and title the tests set, and
// the focus moved by a small KWin script of the test's. Suite "kwin".
#include <doctest/doctest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/base/Text.hpp"
#include "platform/desktop/kde/KWinAccessibility.hpp"
#include "platform/desktop/kde/KWinActiveWindow.hpp"
#include "platform/desktop/kde/KWinWorkspace.hpp"
#include "platform/desktop/wayland/WaylandConnection.hpp"
#include "platform/desktop/wayland/WaylandIdleTime.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"
#include "tests/platform/desktop/kde/KWinTestSupport.hpp"

using namespace brisko::platform;
using namespace brisko::test;
using namespace std::chrono_literals;

TEST_SUITE("kwin") {
    TEST_CASE("the script reports the active window's application, title and process as the focus moves") {
        ensureQtApp();
        TemporaryFolder apps;
        std::ofstream(apps.path() / "brisko-probe-alpha.desktop")
            << "[Desktop Entry]\nType=Application\nName=Probe Alpha\nName[ja]=探査アルファ\nExec=foot\n";
        auto activeWindow = std::make_shared<KWinActiveWindow>(kwinScriptPath());
        REQUIRE(activeWindow->start());
        CHECK(isKWinScriptLoaded(KWinActiveWindow::kPluginName));
        REQUIRE(processEventsUntil([&] { return activeWindow->hasReported(); }));
        CHECK(activeWindow->untrustedReason().empty());
        KWinWorkspace workspace(activeWindow,
                                {.applicationDirs = {apps.path()}, .languages = std::vector<std::string>{"ja"}});
        KWinAccessibility accessibility(activeWindow);
        CHECK(accessibility.isProcessTrusted());

        const std::string japanese = "日本語のウィンドウ 🎉 — 絵文字";
        const std::string invalid = "broken \xff\xfe bytes";
        auto alpha = qtWindow("brisko-probe-alpha", japanese);
        REQUIRE(waitForActiveClass(*activeWindow, "brisko-probe-alpha"));
        auto beta = qtWindow("brisko-probe-beta", invalid);
        REQUIRE(waitForActiveClass(*activeWindow, "brisko-probe-beta"));

        auto app = workspace.frontmostApplication();
        REQUIRE(app);
        // KWin names the process: the test window's own.
        CHECK(app->processIdentifier == beta->pid());
        CHECK(app->localizedName == "brisko-probe-beta");
        auto title = accessibility.focusedWindowTitle(app->processIdentifier);
        REQUIRE(title);
        CHECK(isValidUTF8(*title));
        CHECK(title->rfind("broken ", 0) == 0);
        CHECK(title->find("\xef\xbf\xbd") != std::string::npos);  // U+FFFD in place of the bad bytes
        // Another process's title is not this window's.
        CHECK_FALSE(accessibility.focusedWindowTitle(alpha->pid()));

        activateKWinWindow("brisko-probe-alpha");
        REQUIRE(waitForActiveClass(*activeWindow, "brisko-probe-alpha"));
        app = workspace.frontmostApplication();
        REQUIRE(app);
        CHECK(app->processIdentifier == alpha->pid());
        CHECK(app->localizedName == "探査アルファ");
        CHECK(app->bundleIdentifier == "brisko-probe-alpha");
        CHECK(accessibility.focusedWindowTitle(alpha->pid()) == japanese);

        // Unloaded at stop, so that KWin runs nothing of ours once the app is gone.
        activeWindow->stop();
        CHECK_FALSE(isKWinScriptLoaded(KWinActiveWindow::kPluginName));
        CHECK_FALSE(accessibility.isProcessTrusted());
        CHECK_FALSE(workspace.frontmostApplication());
    }

    TEST_CASE("a changed caption is reported, and reports from anyone but KWin are ignored") {
        ensureQtApp();
        auto activeWindow = std::make_shared<KWinActiveWindow>(kwinScriptPath());
        REQUIRE(activeWindow->start());
        auto window = qtWindow("brisko-probe-retitled", "before", "after 変更");
        REQUIRE(waitForActiveClass(*activeWindow, "brisko-probe-retitled"));
        CHECK(processEventsUntil([&] {
            auto w = activeWindow->activeWindow();
            return w && w->caption == "after 変更";
        }));

        // A forged report from another client on the bus.
        auto forger = QDBusConnection::connectToBus(QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                                                    QStringLiteral("forger"));
        auto forged = QDBusMessage::createMethodCall(KWinActiveWindow::kServiceName, KWinActiveWindow::kObjectPath,
                                                     KWinActiveWindow::kServiceName, QStringLiteral("Update"));
        forged.setArguments({QStringLiteral(R"({"resourceClass":"forged","caption":"forged","pid":1})")});
        // Delivered and answered (the reply comes from this process's own main loop), but not taken.
        auto pending = forger.asyncCall(forged, 3000);
        REQUIRE(processEventsUntil([&] { return pending.isFinished(); }));
        CHECK_FALSE(pending.isError());
        REQUIRE(activeWindow->activeWindow());
        CHECK(activeWindow->activeWindow()->resourceClass == "brisko-probe-retitled");
        QDBusConnection::disconnectFromBus(QStringLiteral("forger"));
    }

    TEST_CASE("a start after an unclean end replaces the script that run left loaded in KWin") {
        ensureQtApp();
        // As if the app had been killed: KWin still holds a script under our name.
        REQUIRE(loadKWinScript(kwinScriptPath(), KWinActiveWindow::kPluginName) >= 0);
        REQUIRE(isKWinScriptLoaded(KWinActiveWindow::kPluginName));
        KWinActiveWindow activeWindow(kwinScriptPath());
        CHECK(activeWindow.start());
        CHECK(processEventsUntil([&] { return activeWindow.hasReported(); }));
    }

    TEST_CASE("a start that failed is tried again when the permission is next checked") {
        ensureQtApp();
        auto first = std::make_unique<KWinActiveWindow>(kwinScriptPath());
        REQUIRE(first->start());
        // The name is taken (as by an instance on its way out): this one cannot start yet.
        auto second = std::make_shared<KWinActiveWindow>(kwinScriptPath());
        CHECK_FALSE(second->start());
        KWinAccessibility accessibility(second);
        CHECK_FALSE(accessibility.isProcessTrusted());
        CHECK(accessibility.untrustedReason().find("owns com.brisko.desktop.ActiveWindow") != std::string::npos);
        first.reset();
        CHECK(processEventsUntil([&] { return accessibility.isProcessTrusted(); }, 15s));
        CHECK(second->isRunning());
    }

    TEST_CASE("a script KWin cannot load leaves the untrusted state with the reason") {
        ensureQtApp();
        KWinActiveWindow activeWindow(QStringLiteral("/nonexistent/brisko-kwin-script.js"));
        activeWindow.start();
        processEventsFor(500ms);
        CHECK_FALSE(activeWindow.hasReported());
        CHECK_FALSE(activeWindow.untrustedReason().empty());
        KWinAccessibility accessibility(std::shared_ptr<KWinActiveWindow>(&activeWindow, [](auto*) {}));
        CHECK_FALSE(accessibility.isProcessTrusted());
    }

    TEST_CASE("the idle seconds come from the compositor's ext-idle-notify") {
        // No input comes in this session: the idle time runs from the notification's set-up, just after.
        const auto started = std::chrono::steady_clock::now();
        auto connection = WaylandConnection::start({.idleTimeout = 1000ms});
        REQUIRE(connection->waitUntilSettled(5s));
        CHECK(connection->offers().extIdle);
        WaylandIdleTime idle(connection);
        std::this_thread::sleep_for(2500ms);
        const double quiet = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        auto seconds = idle.secondsSinceLastInput();
        REQUIRE(seconds);
        CHECK(*seconds >= quiet - 1.5);
        CHECK(*seconds <= quiet + 0.5);
    }
}
