// The Wayland backend against real headless compositors (scripts/with-compositor.sh): sway with foot
// windows whose app_id and title the tests set, focus moved with swaymsg; and a bare weston, which
// offers none of the interfaces. Suites: "sway", "weston".
#include <doctest/doctest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/base/Text.hpp"
#include "platform/desktop/DesktopBackendChoice.hpp"
#include "platform/desktop/wayland/WaylandConnection.hpp"
#include "platform/desktop/wayland/WaylandIdleTime.hpp"
#include "platform/desktop/wayland/WlrootsAccessibility.hpp"
#include "platform/desktop/wayland/WlrootsWorkspace.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko::platform;
using brisko::test::ChildProcess;
using brisko::test::TemporaryFolder;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<WaylandConnection> connect() {
    auto connection = WaylandConnection::start({});
    REQUIRE(connection->waitUntilSettled(5s));
    return connection;
}

// A foot terminal whose app_id and title are set, running a shell command (default: waiting).
std::unique_ptr<ChildProcess> foot(const std::string& appID, const std::string& title,
                                   const std::string& command = "sleep 600") {
    return std::make_unique<ChildProcess>(std::vector<std::string>{"foot", "--app-id=" + appID, "--title=" + title,
                                                                   "--log-level=error", "sh", "-c", command});
}

bool activeIs(const WaylandConnection& c, const std::string& appID, std::chrono::milliseconds timeout = 10s) {
    return c.waitForActive([&](const std::optional<WaylandToplevel>& t) { return t && t->appID == appID; }, timeout);
}

void swaymsg(const std::string& command) {
    REQUIRE(brisko::test::run("swaymsg -q '" + command + "'") == 0);
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

}  // namespace

TEST_SUITE("sway") {
    TEST_CASE("the compositor's offers choose the wlroots backend and KWin or GNOME where they are the desktop") {
        auto connection = connect();
        const auto offers = connection->offers();
        CHECK(offers.connected);
        CHECK(offers.foreignToplevels);
        CHECK(offers.seat);
        CHECK((offers.extIdle || offers.kdeIdle));
        DesktopSessionFacts facts{
            .waylandSession = true, .x11Display = false, .currentDesktop = "sway", .offers = offers};
        CHECK(chooseDesktopBackend(facts).backend == DesktopBackend::wlroots);
        facts.currentDesktop = "KDE";
        CHECK(chooseDesktopBackend(facts).backend == DesktopBackend::kwin);
    }

    TEST_CASE("the frontmost application and title follow the focus, named by the desktop entry of the app_id") {
        TemporaryFolder apps;
        writeFile(apps.path() / "brisko-probe-alpha.desktop",
                  "[Desktop Entry]\nType=Application\nName=Probe Alpha\nName[ja]=探査アルファ\nExec=foot\n");
        auto connection = connect();
        WlrootsWorkspace workspace({.applicationDirs = {apps.path()},
                                    .languages = std::vector<std::string>{"ja"},
                                    .ownAppIDs = {"brisko-desktop"},
                                    .connection = connection});
        WlrootsAccessibility accessibility(connection);
        CHECK(accessibility.isProcessTrusted());
        CHECK(accessibility.untrustedReason().empty());

        const std::string japanese = "日本語のウィンドウ 🎉 — 絵文字";
        const std::string invalid = "broken \xff\xfe bytes \xe6\x97";
        auto alpha = foot("brisko-probe-alpha", japanese);
        REQUIRE(activeIs(*connection, "brisko-probe-alpha"));
        auto beta = foot("brisko-probe-beta", invalid);
        REQUIRE(activeIs(*connection, "brisko-probe-beta"));

        auto app = workspace.frontmostApplication();
        REQUIRE(app);
        // No desktop entry: the app_id names and identifies it.
        CHECK(app->localizedName == "brisko-probe-beta");
        CHECK(app->bundleIdentifier == "brisko-probe-beta");
        CHECK(app->processIdentifier == 0);
        auto title = accessibility.focusedWindowTitle(app->processIdentifier);
        REQUIRE(title);
        CHECK(isValidUTF8(*title));
        CHECK(*title == sanitizeUTF8(invalid));
        CHECK(title->find("broken ") == 0);

        swaymsg("[app_id=\"brisko-probe-alpha\"] focus");
        REQUIRE(activeIs(*connection, "brisko-probe-alpha"));
        app = workspace.frontmostApplication();
        REQUIRE(app);
        CHECK(app->localizedName == "探査アルファ");
        CHECK(app->bundleIdentifier == "brisko-probe-alpha");
        CHECK(accessibility.focusedWindowTitle(0) == japanese);
        // A process id the workspace did not report is not this window's.
        CHECK_FALSE(accessibility.focusedWindowTitle(::getpid() + 1));

        // The active window closes: the other one takes the focus, never a closed one.
        alpha.reset();
        REQUIRE(activeIs(*connection, "brisko-probe-beta"));
        CHECK(workspace.frontmostApplication()->bundleIdentifier == "brisko-probe-beta");
    }

    TEST_CASE("a title the application changes is read anew, and an empty workspace has no frontmost window") {
        auto connection = connect();
        WlrootsWorkspace workspace({.ownAppIDs = {}, .connection = connection});
        WlrootsAccessibility accessibility(connection);
        auto window = foot("brisko-probe-retitled", "before", "sleep 1; printf '\\033]2;after 変更\\007'; sleep 600");
        REQUIRE(activeIs(*connection, "brisko-probe-retitled"));
        CHECK(connection->waitForActive([](const auto& t) { return t && t->title == "after 変更"; }, 10s));
        CHECK(accessibility.focusedWindowTitle(0) == "after 変更");

        swaymsg("workspace brisko-empty");
        CHECK(connection->waitForActive([](const auto& t) { return !t; }, 10s));
        CHECK_FALSE(workspace.frontmostApplication());
        CHECK_FALSE(accessibility.focusedWindowTitle(0));
        swaymsg("workspace 1");
        CHECK(activeIs(*connection, "brisko-probe-retitled"));
    }

    TEST_CASE("a window with this application's app_id is this application") {
        auto connection = connect();
        WlrootsWorkspace workspace({.ownAppIDs = {"Brisko-Desktop-Probe-Self"}, .connection = connection});
        auto self = foot("brisko-desktop-probe-self", "own window");
        REQUIRE(activeIs(*connection, "brisko-desktop-probe-self"));
        auto app = workspace.frontmostApplication();
        REQUIRE(app);
        CHECK(Workspace::isCurrentApplication(*app));
        CHECK(*app == Workspace::currentApplication());
    }

    TEST_CASE("the idle seconds grow while nothing is typed, right to within a second, and restart at input") {
        // No input comes in this session: the idle time runs from the notification's set-up, just after.
        const auto started = std::chrono::steady_clock::now();
        auto connection = WaylandConnection::start({.idleTimeout = 1000ms});
        REQUIRE(connection->waitUntilSettled(5s));
        WaylandIdleTime idle(connection);
        REQUIRE(idle.secondsSinceLastInput());
        CHECK(*idle.secondsSinceLastInput() < 1.0);
        std::this_thread::sleep_for(2500ms);
        const double quiet = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        auto seconds = idle.secondsSinceLastInput();
        REQUIRE(seconds);
        CHECK(*seconds >= quiet - 1.5);
        CHECK(*seconds <= quiet + 0.5);

        // Pointer motion through the seat is input: the next reading starts from zero.
        swaymsg("seat seat0 cursor move 5 5");
        std::this_thread::sleep_for(300ms);
        seconds = idle.secondsSinceLastInput();
        REQUIRE(seconds);
        CHECK(*seconds < 1.0);
    }

    // Last in the suite: it ends the compositor.
    TEST_CASE("when the compositor goes away nothing stale is left: no window, no idle time, untrusted") {
        auto connection = WaylandConnection::start({.reconnectInterval = 200ms});
        REQUIRE(connection->waitUntilSettled(5s));
        WlrootsWorkspace workspace({.connection = connection});
        WlrootsAccessibility accessibility(connection);
        WaylandIdleTime idle(connection);
        auto window = foot("brisko-probe-last", "last window");
        REQUIRE(activeIs(*connection, "brisko-probe-last"));
        REQUIRE(idle.secondsSinceLastInput());

        brisko::test::run("swaymsg -q exit");
        CHECK(connection->waitForActive([](const auto& t) { return !t; }, 10s));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (connection->offers().connected && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        CHECK_FALSE(connection->offers().connected);
        CHECK_FALSE(workspace.frontmostApplication());
        CHECK_FALSE(accessibility.isProcessTrusted());
        CHECK(accessibility.untrustedReason().find("No Wayland compositor answers") != std::string::npos);
        CHECK_FALSE(idle.secondsSinceLastInput());
        // It keeps trying (every 200 ms here) without a crash or a busy loop, and stops when asked.
        std::this_thread::sleep_for(700ms);
        connection.reset();
    }
}

TEST_SUITE("weston") {
    TEST_CASE("a compositor offering none of the interfaces gives the untrusted state with a reason, and no window") {
        auto connection = connect();
        const auto offers = connection->offers();
        CHECK(offers.connected);
        CHECK_FALSE(offers.foreignToplevels);
        auto facts = DesktopSessionFacts::fromEnvironment();
        facts.offers = offers;
        const auto choice = chooseDesktopBackend(facts);
        CHECK(choice.backend == DesktopBackend::none);
        CHECK(choice.reason.find("offers no way for applications to see the active window") != std::string::npos);

        // The wlroots services on it answer honestly too.
        WlrootsWorkspace workspace({.connection = connection});
        WlrootsAccessibility accessibility(connection);
        CHECK_FALSE(accessibility.isProcessTrusted());
        CHECK(accessibility.untrustedReason().find("zwlr_foreign_toplevel_manager_v1") != std::string::npos);
        CHECK_FALSE(workspace.frontmostApplication());
        CHECK_FALSE(accessibility.focusedWindowTitle(0));
        // Weston's headless backend has no seat: no idle time rather than a made-up one.
        CHECK_FALSE(WaylandIdleTime(connection).secondsSinceLastInput());
    }
}

TEST_SUITE("choice") {
    TEST_CASE("the backend follows the session and what its compositor offers") {
        const WaylandOffers none{.connected = true};
        const WaylandOffers wlr{.connected = true, .foreignToplevels = true, .kdeIdle = true, .seat = true};
        struct Case {
            const char* name;
            DesktopSessionFacts facts;
            DesktopBackend expected;
        };
        const Case cases[] = {
            {"an X11 session",
             {.waylandSession = false, .x11Display = true, .currentDesktop = "XFCE"},
             DesktopBackend::x11},
            {"no session facts at all", {}, DesktopBackend::x11},
            {"a stale WAYLAND_DISPLAY beside an answering X display",
             {.waylandSession = true, .x11Display = true, .currentDesktop = "sway", .offers = {}},
             DesktopBackend::x11},
            {"no compositor and no X display", {.waylandSession = true, .offers = {}}, DesktopBackend::none},
            {"sway", {.waylandSession = true, .currentDesktop = "sway", .offers = wlr}, DesktopBackend::wlroots},
            {"Hyprland with XWayland",
             {.waylandSession = true, .x11Display = true, .currentDesktop = "Hyprland", .offers = wlr},
             DesktopBackend::wlroots},
            {"KDE Plasma",
             {.waylandSession = true, .x11Display = true, .currentDesktop = "KDE", .offers = none},
             DesktopBackend::kwin},
            {"GNOME in a list",
             {.waylandSession = true, .currentDesktop = "ubuntu:GNOME", .offers = none},
             DesktopBackend::gnomeShell},
            {"a bare compositor beside XWayland",
             {.waylandSession = true, .x11Display = true, .offers = none},
             DesktopBackend::none},
        };
        for (const auto& c : cases) {
            CAPTURE(c.name);
            const auto choice = chooseDesktopBackend(c.facts);
            CHECK(choice.backend == c.expected);
            CHECK(choice.reason.empty() == (c.expected != DesktopBackend::none));
        }
        CHECK(currentDesktopIs("ubuntu:GNOME", "gnome"));
        CHECK_FALSE(currentDesktopIs("GNOME-Classic", "GNOME"));
        CHECK_FALSE(currentDesktopIs("", "KDE"));
    }
}
