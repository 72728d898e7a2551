// The X11 workspace and accessibility against a real display with openbox: the frontmost
// application, its focused window's title in every encoding, trust, and windows that vanish.
#include <doctest/doctest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "platform/desktop/x11/X11Accessibility.hpp"
#include "platform/desktop/x11/X11Connection.hpp"
#include "platform/desktop/x11/X11IdleTime.hpp"
#include "platform/desktop/x11/X11Workspace.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"

using namespace brisko::platform;
using namespace brisko::test;
using namespace std::chrono_literals;

namespace {

// A workspace that sees only the desktop entries in the folder given.
X11Workspace workspaceWith(const std::filesystem::path& applications, std::vector<std::string> languages = {}) {
    X11Workspace::Options options;
    options.applicationDirs = {applications};
    options.languages = std::move(languages);
    return X11Workspace(std::move(options));
}

std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* f = ::popen(command.c_str(), "r")) {
        std::array<char, 256> buf{};
        while (std::fgets(buf.data(), buf.size(), f)) out += buf.data();
        ::pclose(f);
    }
    return out;
}

}  // namespace

TEST_SUITE("X11 desktop") {
    TEST_CASE("the frontmost application and its title follow the window activated") {
        ensureQtApp();
        TemporaryFolder apps;
        std::ofstream(apps.path() / "org.example.Notes.desktop") << "[Desktop Entry]\nType=Application\nName=Notes\n"
                                                                    "Name[ja]=ノート\nExec=/opt/notes/bin/notes %U\n"
                                                                    "StartupWMClass=NotesWindow\n";
        ChildProcess notesProcess({"sleep", "60"});
        ChildProcess scratchProcess({"sleep", "60"});
        auto workspace = workspaceWith(apps.path(), {"ja_JP", "ja"});
        X11Accessibility accessibility;

        X11TestWindow notes({.wmClass = std::pair{"notes", "NotesWindow"},
                             .netWmName = "メモ — 買い物",
                             .pid = static_cast<std::uint32_t>(notesProcess.pid())});
        X11TestWindow scratch({.wmClass = std::pair{"scratch", "Scratch"},
                               .wmName = "caf\xe9 menu",
                               .pid = static_cast<std::uint32_t>(scratchProcess.pid())});

        notes.activate();
        auto app = workspace.frontmostApplication();
        REQUIRE(app);
        CHECK(app->processIdentifier == notesProcess.pid());
        CHECK(app->localizedName == "ノート");
        CHECK(app->bundleIdentifier == "org.example.Notes");
        CHECK(accessibility.focusedWindowTitle(notesProcess.pid()) == "メモ — 買い物");
        // Another application's focused window is not the active one.
        CHECK_FALSE(accessibility.focusedWindowTitle(scratchProcess.pid()));

        scratch.activate();
        app = workspace.frontmostApplication();
        REQUIRE(app);
        CHECK(app->processIdentifier == scratchProcess.pid());
        CHECK(app->localizedName == "Scratch");   // no desktop entry: the window class
        CHECK(app->bundleIdentifier == "sleep");  // no desktop entry: the executable
        CHECK(accessibility.focusedWindowTitle(scratchProcess.pid()) == "café menu");

        notes.activate();
        CHECK(workspace.frontmostApplication()->processIdentifier == notesProcess.pid());
        // Without a Japanese locale the entry's plain Name is used.
        CHECK(workspaceWith(apps.path()).frontmostApplication()->localizedName == "Notes");
    }

    TEST_CASE("this application's own window is reported as the current application") {
        ensureQtApp();
        TemporaryFolder apps;
        Workspace::setCurrentBundleIdentifier("com.brisko.desktop");
        X11TestWindow own({.wmClass = std::pair{"brisko-desktop", "Brisko Desktop"},
                           .netWmName = "Brisko Desktop",
                           .pid = static_cast<std::uint32_t>(::getpid())});
        own.activate();
        auto app = workspaceWith(apps.path()).frontmostApplication();
        Workspace::setCurrentBundleIdentifier(std::nullopt);
        REQUIRE(app);
        CHECK(Workspace::isCurrentApplication(*app));
        CHECK(app->bundleIdentifier == "com.brisko.desktop");
        CHECK(app->processIdentifier == ::getpid());
    }

    TEST_CASE("window titles are read in each encoding clients use, and always come back as UTF-8") {
        ensureQtApp();
        auto connection = X11Connection::open();
        REQUIRE(connection);
        struct Case {
            const char* what;
            X11TestWindow::Properties properties;
            std::optional<std::string> title;
        };
        Case cases[] = {
            {"UTF-8 _NET_WM_NAME", {.netWmName = "タイトル"}, "タイトル"},
            {"_NET_WM_NAME wins over WM_NAME", {.netWmName = "new", .wmName = "old"}, "new"},
            {"COMPOUND_TEXT WM_NAME",
             {.wmName = X11TestWindow::compoundText("タイトル — 日本語 x"), .wmNameType = "COMPOUND_TEXT"},
             "タイトル — 日本語 x"},
            {"Latin-1 STRING WM_NAME", {.wmName = "na\xefve", .wmNameType = "STRING"}, "naïve"},
            {"UTF8_STRING WM_NAME", {.wmName = "é", .wmNameType = "UTF8_STRING"}, "é"},
            {"ill-formed UTF-8 is replaced", {.netWmName = "ab\xff"}, "ab\xEF\xBF\xBD"},
            {"an empty _NET_WM_NAME falls back to WM_NAME", {.netWmName = "", .wmName = "fallback"}, "fallback"},
            {"no title at all", {}, std::nullopt},
        };
        for (const auto& c : cases) {
            CAPTURE(c.what);
            X11TestWindow window(c.properties);
            auto info = connection->windowInfo(window.id(), true);
            REQUIRE(info);
            CHECK(info->title == c.title);
        }
    }

    TEST_CASE("an xterm's COMPOUND_TEXT title is the frontmost window's title") {
        ensureQtApp();
        TemporaryFolder apps;
        ChildProcess xterm({"xterm", "-T", "タイトル", "-e", "sleep", "60"}, {"LC_ALL=C.UTF-8"});
        std::string id;
        processEventsUntil([&] {
            id = commandOutput("xdotool search --pid " + std::to_string(xterm.pid()) + " 2>/dev/null | head -n1");
            return !id.empty();
        });
        REQUIRE_FALSE(id.empty());
        std::uint32_t window = static_cast<std::uint32_t>(std::stoul(id));
        run("timeout 5 xdotool windowactivate --sync " + std::to_string(window) + " 2>/dev/null");
        REQUIRE(processEventsUntil([&] { return X11TestWindow::activeWindow() == window; }, 5000ms));

        auto app = workspaceWith(apps.path()).frontmostApplication();
        REQUIRE(app);
        CHECK(app->processIdentifier == xterm.pid());
        CHECK(app->localizedName == "XTerm");
        CHECK(app->bundleIdentifier == "xterm");
        CHECK(X11Accessibility().focusedWindowTitle(xterm.pid()) == "タイトル");
    }

    TEST_CASE("a window that vanishes mid-query gives no title and the connection keeps working") {
        ensureQtApp();
        auto connection = X11Connection::open();
        REQUIRE(connection);
        std::uint32_t gone = 0;
        {
            X11TestWindow window({.netWmName = "short-lived"});
            gone = window.id();
        }
        CHECK_FALSE(connection->windowInfo(gone, true));
        CHECK(connection->isUsable());

        // Windows come, take focus and go while another thread samples as the recorder does.
        X11Workspace workspace;
        X11Accessibility accessibility;
        std::atomic<bool> stop{false};
        std::atomic<int> samples{0};
        std::thread sampler([&] {
            while (!stop) {
                if (auto app = workspace.frontmostApplication())
                    (void)accessibility.focusedWindowTitle(app->processIdentifier);
                ++samples;
            }
        });
        for (int i = 0; i < 20; ++i) {
            X11TestWindow window(
                {.netWmName = "flicker " + std::to_string(i), .pid = static_cast<std::uint32_t>(::getpid())});
        }
        stop = true;
        sampler.join();
        CHECK(samples > 0);
        CHECK(connection->isUsable());
        X11TestWindow survivor({.netWmName = "still here"});
        CHECK(connection->windowInfo(survivor.id(), true)->title == "still here");
    }

    TEST_CASE("trust needs a window manager that publishes the active window") {
        ensureQtApp();
        X11Accessibility onDesktop;
        CHECK(onDesktop.isProcessTrusted());
        CHECK(onDesktop.untrustedReason().empty());
        CHECK(onDesktop.promptForTrust());

        // A bare X server: it answers, but nothing says which window is active.
        TemporaryFolder folder;
        auto displayFile = folder.path() / "display";
        ChildProcess bare(
            {"sh", "-c", "exec Xvfb -displayfd 3 -nolisten tcp 3>'" + displayFile.string() + "' 2>/dev/null"});
        std::string number;
        REQUIRE(processEventsUntil([&] {
            std::ifstream in(displayFile);
            return static_cast<bool>(std::getline(in, number)) && !number.empty();
        }));
        auto connection = X11Connection::open((":" + number).c_str());
        REQUIRE(connection);
        X11Accessibility accessibility(connection);
        CHECK_FALSE(accessibility.isProcessTrusted());
        CHECK(accessibility.untrustedReason().find("_NET_ACTIVE_WINDOW") != std::string::npos);
        CHECK_FALSE(accessibility.promptForTrust());
        CHECK_FALSE(X11Workspace({.connection = connection}).frontmostApplication());
        CHECK(X11IdleTime(connection).secondsSinceLastInput());

        CHECK_FALSE(X11Connection::open(":4999"));
    }
}
