// The GNOME Shell backend against a real headless GNOME Shell with Brisko Desktop's extension
// (scripts/with-gnome-shell.sh starts it): the frontmost application, its title and the idle time from
// foot windows, and the untrusted states with their hints and turning the extension on.
#include <doctest/doctest.h>

#include <unistd.h>

#include <fstream>
#include <thread>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

#include "platform/base/Text.hpp"
#include "platform/desktop/gnome/GnomeShellAccessibility.hpp"
#include "platform/desktop/gnome/GnomeShellExtension.hpp"
#include "platform/desktop/gnome/GnomeShellWorkspace.hpp"
#include "platform/desktop/gnome/MutterIdleTime.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko::platform;
using namespace brisko::test;
using namespace std::chrono_literals;

namespace {

const std::string kUUID(GnomeShellExtension::kUUID);
// The tests check what the backend reads, not how fast: a shell slowed down by a busy machine must not
// turn a late answer into none.
constexpr auto kPatientTimeout = 5s;

// A foot terminal with the app_id and title given, running the shell command given.
std::unique_ptr<ChildProcess> foot(const std::string& appId, const std::string& title,
                                   const std::string& command = "sleep 120") {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{"foot", "--app-id=" + appId, "--title=" + title, "sh", "-c", command});
}

// Calls org.gnome.Shell's extension manager as the Extensions app would.
QDBusMessage callShell(const QString& interface, const QString& method, const QVariantList& arguments) {
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
                                                  interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
}

void setExtensionOn(bool on) {
    auto reply = callShell(QStringLiteral("org.gnome.Shell.Extensions"),
                           on ? QStringLiteral("EnableExtension") : QStringLiteral("DisableExtension"),
                           {QString::fromStdString(kUUID)});
    REQUIRE(reply.type() == QDBusMessage::ReplyMessage);
}

void setUserExtensionsEnabled(bool on) {
    auto reply = callShell(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
                           {QStringLiteral("org.gnome.Shell.Extensions"), QStringLiteral("UserExtensionsEnabled"),
                            QVariant::fromValue(QDBusVariant(on))});
    REQUIRE(reply.type() == QDBusMessage::ReplyMessage);
}

struct Backend {
    TemporaryFolder apps;
    std::shared_ptr<GnomeShellExtension> extension =
        std::make_shared<GnomeShellExtension>(GnomeShellExtension::Options{.callTimeout = kPatientTimeout});
    std::unique_ptr<GnomeShellWorkspace> workspace;
    GnomeShellAccessibility accessibility{extension};

    Backend() {
        ensureQtApp();
        std::ofstream(apps.path() / "org.example.Notes.desktop")
            << "[Desktop Entry]\nType=Application\nName=Notes\nName[ja]=ノート\nExec=notes %U\n";
        workspace = std::make_unique<GnomeShellWorkspace>(
            extension, GnomeShellWorkspace::Options{.applicationDirs = {apps.path()}, .languages = {{"ja_JP", "ja"}}});
    }

    // Runs events (the extension's signal) until the frontmost application is the process given.
    bool frontmostBecomes(pid_t pid, std::chrono::milliseconds timeout = 15s) {
        return processEventsUntil(
            [&] {
                auto app = workspace->frontmostApplication();
                return app && app->processIdentifier == pid;
            },
            timeout);
    }
};

}  // namespace

TEST_SUITE("GNOME Shell desktop") {
    TEST_CASE("with the extension on, the frontmost application and its title follow the focused window") {
        Backend backend;
        REQUIRE(backend.accessibility.isProcessTrusted());
        CHECK(backend.accessibility.untrustedReason().empty());

        auto notes = foot("org.example.Notes", "メモ — 買い物 😀");
        REQUIRE(backend.frontmostBecomes(notes->pid()));
        auto app = backend.workspace->frontmostApplication();
        REQUIRE(app);
        CHECK(app->localizedName == "ノート");  // the desktop entry whose id is the app_id, localised
        CHECK(app->bundleIdentifier == "org.example.Notes");
        CHECK(backend.accessibility.focusedWindowTitle(notes->pid()) == "メモ — 買い物 😀");

        // No desktop entry: the app_id names it, the executable identifies it. Ill-formed bytes in the
        // title never come out as they are; the title then changes (through the extension's signal).
        auto scratch =
            foot("scratch.tool", "caf\xe9 \xff\xfe menu", "sleep 1; printf '\\033]2;%s\\007' '新しい題 ✨'; sleep 120");
        REQUIRE(backend.frontmostBecomes(scratch->pid()));
        app = backend.workspace->frontmostApplication();
        REQUIRE(app);
        CHECK(app->localizedName == "scratch.tool");
        CHECK(app->bundleIdentifier == "foot");
        auto first = backend.accessibility.focusedWindowTitle(scratch->pid());
        if (first) CHECK(isValidUTF8(*first));
        CHECK(processEventsUntil(
            [&] { return backend.accessibility.focusedWindowTitle(scratch->pid()) == "新しい題 ✨"; }));
        // Another process's window does not have the focus.
        CHECK_FALSE(backend.accessibility.focusedWindowTitle(notes->pid()));

        // Closing the window gives the focus back to the one before.
        scratch.reset();
        REQUIRE(backend.frontmostBecomes(notes->pid()));
        CHECK(backend.accessibility.focusedWindowTitle(notes->pid()) == "メモ — 買い物 😀");
    }

    TEST_CASE("the idle seconds come from Mutter and grow without input") {
        MutterIdleTime idle(kPatientTimeout);
        auto before = idle.secondsSinceLastInput();
        REQUIRE(before);
        CHECK(*before >= 0);
        std::this_thread::sleep_for(1200ms);
        auto after = idle.secondsSinceLastInput();
        REQUIRE(after);
        CHECK(*after >= *before + 1.0);
        CHECK(*after < *before + 5.0);
    }

    TEST_CASE("with the extension off: untrusted with a hint, and the prompt turns it on") {
        Backend backend;
        auto notes = foot("org.example.Notes", "ノート 1");
        REQUIRE(backend.frontmostBecomes(notes->pid()));

        // The user turns it off in the Extensions app: the state signal drops what was known.
        setExtensionOn(false);
        REQUIRE(processEventsUntil([&] { return !backend.accessibility.isProcessTrusted(); }));
        CHECK_FALSE(backend.workspace->frontmostApplication());
        CHECK_FALSE(backend.accessibility.focusedWindowTitle(notes->pid()));
        auto reason = backend.accessibility.untrustedReason();
        CHECK(reason.find("is turned off") != std::string::npos);
        CHECK(reason.find("gnome-extensions enable " + kUUID) != std::string::npos);
        CHECK(reason.find("許可する") != std::string::npos);

        // 許可する: the shell turns it on, and it answers at once.
        CHECK(backend.accessibility.promptForTrust());
        CHECK(backend.accessibility.isProcessTrusted());
        CHECK(backend.accessibility.untrustedReason().empty());
        REQUIRE(backend.frontmostBecomes(notes->pid()));
        CHECK(backend.accessibility.focusedWindowTitle(notes->pid()) == "ノート 1");
    }

    TEST_CASE("with extensions switched off as a whole, the hint says so and the prompt cannot help") {
        Backend backend;
        setUserExtensionsEnabled(false);
        REQUIRE(processEventsUntil([&] { return !backend.accessibility.isProcessTrusted(); }));
        auto reason = backend.accessibility.untrustedReason();
        CHECK(reason.find("Extensions are switched off") != std::string::npos);
        CHECK_FALSE(backend.accessibility.promptForTrust());
        CHECK_FALSE(backend.accessibility.isProcessTrusted());

        setUserExtensionsEnabled(true);
        CHECK(processEventsUntil([&] { return backend.accessibility.isProcessTrusted(); }));
    }

    TEST_CASE("an extension the shell has not found: the hint names the package and logging in again") {
        ensureQtApp();
        // Ours is off, so nothing answers; the backend looks for one by a uuid the shell never found.
        setExtensionOn(false);
        auto extension = std::make_shared<GnomeShellExtension>(
            GnomeShellExtension::Options{.uuid = "not-installed@brisko.example", .callTimeout = kPatientTimeout});
        GnomeShellAccessibility accessibility(extension);
        CHECK(processEventsUntil([&] { return !accessibility.isProcessTrusted(); }));
        auto reason = accessibility.untrustedReason();
        CHECK(reason.find("not-installed@brisko.example") != std::string::npos);
        CHECK(reason.find("install the brisko-desktop package") != std::string::npos);
        CHECK(reason.find("log out and in again") != std::string::npos);
        CHECK_FALSE(accessibility.promptForTrust());
        CHECK_FALSE(accessibility.isProcessTrusted());
        setExtensionOn(true);
    }
}
