// The start-up choice of the desktop backend and the installation of its services.
#include "platform/desktop/DesktopServices.hpp"

#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdlib>

#include "platform/base/Log.hpp"
#include "platform/desktop/Accessibility.hpp"
#include "platform/desktop/IdleTime.hpp"
#include "platform/desktop/Workspace.hpp"
#include "platform/desktop/gnome/GnomeShellServices.hpp"
#include "platform/desktop/kde/KWinAccessibility.hpp"
#include "platform/desktop/kde/KWinActiveWindow.hpp"
#include "platform/desktop/kde/KWinWorkspace.hpp"
#include "platform/desktop/wayland/WaylandConnection.hpp"
#include "platform/desktop/wayland/WaylandIdleTime.hpp"
#include "platform/desktop/wayland/WlrootsAccessibility.hpp"
#include "platform/desktop/wayland/WlrootsWorkspace.hpp"
#include "platform/desktop/x11/X11Services.hpp"
#include "platform/storage/Bundle.hpp"

namespace brisko::platform {

namespace {
constexpr const char* kQtPlatformVariable = "QT_QPA_PLATFORM";
// Qt tries each in turn.
constexpr const char* kWaylandFirst = "wayland;xcb";
constexpr auto kCompositorWait = std::chrono::milliseconds(2000);
constexpr std::string_view kNoKWinScriptReason =
    "The KWin script (kwin-active-window.js) is missing from the app's resources, so the active window cannot "
    "be seen.";

bool& setQtPlatformHere() {
    static bool set = false;
    return set;
}

void installUntrusted(std::string reason, const WaylandOffers& offers) {
    Workspace::setShared(nullptr);
    Accessibility::setShared(Accessibility::untrusted(std::move(reason)));
    // The idle time needs no window: take it where the compositor offers it.
    IdleTime::setShared(offers.seat && (offers.extIdle || offers.kdeIdle) ? std::make_shared<WaylandIdleTime>()
                                                                          : nullptr);
}

void installKWin(const WaylandOffers& offers) {
    auto script = Bundle::main()->pathForResource("kwin-active-window", "js");
    if (!script) {
        installUntrusted(std::string(kNoKWinScriptReason), offers);
        return;
    }
    auto activeWindow = std::make_shared<KWinActiveWindow>(QString::fromStdString(script->string()));
    activeWindow->start();
    // KWin runs the script until it is unloaded: do so before the app leaves.
    if (auto* application = QCoreApplication::instance()) {
        QObject::connect(application, &QCoreApplication::aboutToQuit, activeWindow.get(),
                         [raw = activeWindow.get()] { raw->stop(); });
    }
    Workspace::setShared(std::make_shared<KWinWorkspace>(activeWindow, KWinWorkspace::Options{}));
    Accessibility::setShared(std::make_shared<KWinAccessibility>(activeWindow));
    IdleTime::setShared(std::make_shared<WaylandIdleTime>());
}

std::vector<std::string> ownAppIDs() {
    std::vector<std::string> ids;
    for (const QString& id : {QGuiApplication::desktopFileName(), QCoreApplication::applicationName()}) {
        if (!id.isEmpty()) ids.push_back(id.toStdString());
    }
    ids.push_back(Workspace::currentApplication().localizedName.value_or(""));
    return ids;
}
}  // namespace

void prepareDesktopSession() {
    if (std::getenv(kQtPlatformVariable) || !DesktopSessionFacts::fromEnvironment().waylandSession) return;
    ::setenv(kQtPlatformVariable, kWaylandFirst, 1);
    setQtPlatformHere() = true;
}

DesktopBackendChoice installDesktopServices() {
    // The choice was for this process: programs it starts (the browser) choose for themselves.
    if (setQtPlatformHere()) ::unsetenv(kQtPlatformVariable);

    auto facts = DesktopSessionFacts::fromEnvironment();
    if (facts.waylandSession) {
        auto connection = WaylandConnection::shared();
        connection->waitUntilSettled(kCompositorWait);
        facts.offers = connection->offers();
    }
    auto choice = chooseDesktopBackend(facts);
    switch (choice.backend) {
    case DesktopBackend::x11:
        installX11Services();
        break;
    case DesktopBackend::wlroots:
        Workspace::setShared(std::make_shared<WlrootsWorkspace>(WlrootsWorkspace::Options{.ownAppIDs = ownAppIDs()}));
        Accessibility::setShared(std::make_shared<WlrootsAccessibility>());
        IdleTime::setShared(std::make_shared<WaylandIdleTime>());
        break;
    case DesktopBackend::kwin:
        installKWin(facts.offers);
        break;
    case DesktopBackend::gnomeShell:
        // GNOME on Wayland: Brisko Desktop's shell extension and Mutter's idle monitor.
        installGnomeShellServices();
        break;
    case DesktopBackend::none:
        installUntrusted(choice.reason, facts.offers);
        break;
    }
    log(LogLevel::info, "platform",
        "[Desktop] backend " + std::string(caseName(choice.backend)) +
            (choice.reason.empty() ? std::string() : ": " + choice.reason));
    return choice;
}

}  // namespace brisko::platform
