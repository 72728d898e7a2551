// KWin test helpers over org.kde.KWin /Scripting.
#include "tests/platform/desktop/kde/KWinTestSupport.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <fstream>
#include <sys/stat.h>

#include <doctest/doctest.h>

namespace brisko::test {

namespace {
QDBusMessage scripting(const char* method, const QVariantList& args) {
    auto message = QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
                                                  QStringLiteral("org.kde.kwin.Scripting"), QString::fromUtf8(method));
    message.setArguments(args);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, 5000);
}
}  // namespace

QString kwinScriptPath() {
    return QStringLiteral(BRISKO_SOURCE_DIR "/resources/kwin-active-window.js");
}

std::unique_ptr<ChildProcess> qtWindow(const std::string& appID, const std::string& title,
                                       const std::optional<std::string>& retitle) {
    std::vector<std::string> argv{BRISKO_QT_TEST_WINDOW, appID, title};
    if (retitle) argv.push_back(*retitle);
    return std::make_unique<ChildProcess>(std::move(argv));
}

bool waitForActiveClass(const platform::KWinActiveWindow& activeWindow, const std::string& resourceClass) {
    return processEventsUntil([&] {
        auto w = activeWindow.activeWindow();
        return w && w->resourceClass == resourceClass;
    });
}

int loadKWinScript(const QString& path, const char* pluginName) {
    auto reply = scripting("loadScript", {path, QString::fromUtf8(pluginName)});
    return reply.arguments().isEmpty() ? -1 : reply.arguments().first().toInt();
}

bool isKWinScriptLoaded(const char* pluginName) {
    auto reply = scripting("isScriptLoaded", {QString::fromUtf8(pluginName)});
    return !reply.arguments().isEmpty() && reply.arguments().first().toBool();
}

void activateKWinWindow(const std::string& resourceClass) {
    // KWin runs as another user in the tests: the folder and the file must be readable to it.
    TemporaryFolder folder;
    ::chmod(folder.path().c_str(), 0755);
    const auto path = folder.path() / "activate.js";
    std::ofstream(path) << "const wanted = " << '"' << resourceClass << '"' << R"(;
const windows = workspace.windowList ? workspace.windowList() : workspace.clientList();
for (const w of windows) {
    if (String(w.resourceClass) === wanted || String(w.desktopFileName) === wanted) {
        if (workspace.windowList) workspace.activeWindow = w; else workspace.activeClient = w;
    }
}
)";
    ::chmod(path.c_str(), 0644);
    const char* plugin = "brisko-desktop-test-activate";
    scripting("unloadScript", {QString::fromUtf8(plugin)});
    const int id = loadKWinScript(QString::fromStdString(path.string()), plugin);
    REQUIRE(id >= 0);
    bool ran = false;
    for (const QString& object : {QStringLiteral("/Scripting/Script%1").arg(id), QStringLiteral("/%1").arg(id)}) {
        auto run = QDBusMessage::createMethodCall(QStringLiteral("org.kde.KWin"), object,
                                                  QStringLiteral("org.kde.kwin.Script"), QStringLiteral("run"));
        if (QDBusConnection::sessionBus().call(run, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage) {
            ran = true;
            break;
        }
    }
    REQUIRE(ran);
    // The script ran synchronously; give KWin a moment before the file goes.
    processEventsFor(std::chrono::milliseconds(200));
    scripting("unloadScript", {QString::fromUtf8(plugin)});
}

}  // namespace brisko::test
