// Loads our KWin script over D-Bus and takes its reports of the active window.
#include "platform/desktop/kde/KWinActiveWindow.hpp"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QJsonDocument>
#include <QJsonObject>

#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {

namespace {
constexpr const char* kKWinService = "org.kde.KWin";
constexpr const char* kScriptingPath = "/Scripting";
constexpr const char* kScriptingInterface = "org.kde.kwin.Scripting";
constexpr const char* kScriptInterface = "org.kde.kwin.Script";
constexpr int kCallTimeoutMs = 3000;
constexpr const char* kBusName = "brisko-desktop-kwin";

std::string utf8(const QString& s) {
    return sanitizeUTF8(s.toUtf8().toStdString());
}

QDBusMessage call(QDBusConnection& bus, const QString& path, const char* interface, const char* method,
                  const QVariantList& args = {}) {
    auto message = QDBusMessage::createMethodCall(kKWinService, path, interface, method);
    message.setArguments(args);
    return bus.call(message, QDBus::Block, kCallTimeoutMs);
}
}  // namespace

KWinActiveWindow::KWinActiveWindow(QString scriptPath, QString busAddress)
    : bus_(busAddress.isEmpty() ? QDBusConnection::sessionBus()
                                : QDBusConnection::connectToBus(busAddress, QString::fromUtf8(kBusName))),
      scriptPath_(std::move(scriptPath)) {}

KWinActiveWindow::~KWinActiveWindow() {
    stop();
    if (registered_) {
        bus_.unregisterObject(QString::fromUtf8(kObjectPath));
        bus_.unregisterService(QString::fromUtf8(kServiceName));
    }
}

bool KWinActiveWindow::fail(std::string reason) {
    log(LogLevel::warning, "platform", "[KWin] " + reason);
    std::lock_guard lock(mutex_);
    reason_ = std::move(reason);
    return false;
}

bool KWinActiveWindow::startIfDue(std::chrono::milliseconds interval) {
    if (running_) return true;
    if (lastAttempt_ && std::chrono::steady_clock::now() - *lastAttempt_ < interval) return false;
    return start();
}

bool KWinActiveWindow::start() {
    if (running_) return true;
    lastAttempt_ = std::chrono::steady_clock::now();
    if (!bus_.isConnected()) return fail("No D-Bus session bus answers, so KWin cannot report the active window.");
    if (!registered_) {
        if (!bus_.registerObject(QString::fromUtf8(kObjectPath), this, QDBusConnection::ExportScriptableSlots) ||
            !bus_.registerService(QString::fromUtf8(kServiceName))) {
            bus_.unregisterObject(QString::fromUtf8(kObjectPath));
            return fail("Another process owns " + std::string(kServiceName) +
                        " on the session bus, so KWin's reports of the active window cannot reach this app.");
        }
        registered_ = true;
    }
    const auto owner = bus_.interface()->serviceOwner(QString::fromUtf8(kKWinService));
    if (!owner.isValid() || owner.value().isEmpty())
        return fail("KWin does not answer on the session bus (org.kde.KWin), so the active window cannot be seen.");
    kwinOwner_ = owner.value();

    const QString plugin = QString::fromUtf8(kPluginName);
    // A script left behind by an earlier run that ended without unloading it would block the name.
    call(bus_, kScriptingPath, kScriptingInterface, "unloadScript", {plugin});
    const auto loaded = call(bus_, kScriptingPath, kScriptingInterface, "loadScript", {scriptPath_, plugin});
    if (loaded.type() != QDBusMessage::ReplyMessage || loaded.arguments().isEmpty() ||
        loaded.arguments().first().toInt() < 0) {
        return fail("KWin did not load the window script (" + utf8(scriptPath_) +
                    "): " + utf8(loaded.errorMessage().isEmpty() ? QStringLiteral("refused") : loaded.errorMessage()));
    }
    const int id = loaded.arguments().first().toInt();
    // Plasma 6 puts the script at /Scripting/Script<id>, Plasma 5 at /<id>.
    bool ran = false;
    for (const QString& path : {QStringLiteral("/Scripting/Script%1").arg(id), QStringLiteral("/%1").arg(id)}) {
        if (call(bus_, path, kScriptInterface, "run").type() == QDBusMessage::ReplyMessage) {
            ran = true;
            break;
        }
    }
    if (!ran && call(bus_, kScriptingPath, kScriptingInterface, "start").type() != QDBusMessage::ReplyMessage) {
        call(bus_, kScriptingPath, kScriptingInterface, "unloadScript", {plugin});
        return fail("KWin loaded the window script but did not run it.");
    }
    running_ = true;
    std::lock_guard lock(mutex_);
    reason_.clear();
    return true;
}

void KWinActiveWindow::stop() {
    if (!running_) return;
    running_ = false;
    call(bus_, kScriptingPath, kScriptingInterface, "unloadScript", {QString::fromUtf8(kPluginName)});
    std::lock_guard lock(mutex_);
    active_.reset();
    reported_ = false;
}

bool KWinActiveWindow::isRunning() const {
    return running_;
}

void KWinActiveWindow::Update(const QString& facts) {
    // Anyone on the bus can call us; only the compositor knows the active window.
    if (!calledFromDBus() || message().service() != kwinOwner_) return;
    std::optional<KWinWindow> window;
    const auto doc = QJsonDocument::fromJson(facts.toUtf8());
    if (doc.isObject()) {
        const auto o = doc.object();
        window = KWinWindow{utf8(o.value(QStringLiteral("resourceClass")).toString()),
                            utf8(o.value(QStringLiteral("resourceName")).toString()),
                            utf8(o.value(QStringLiteral("caption")).toString()),
                            static_cast<std::int64_t>(o.value(QStringLiteral("pid")).toDouble())};
        if (window->pid < 0) window->pid = 0;
    }
    std::lock_guard lock(mutex_);
    active_ = std::move(window);
    reported_ = true;
}

std::optional<KWinWindow> KWinActiveWindow::activeWindow() const {
    std::lock_guard lock(mutex_);
    return active_;
}

bool KWinActiveWindow::hasReported() const {
    std::lock_guard lock(mutex_);
    return reported_;
}

std::string KWinActiveWindow::untrustedReason() const {
    std::lock_guard lock(mutex_);
    // The script reports as soon as it runs: until then KWin may still fail it (a file it cannot read).
    if (running_ && reported_) return {};
    if (running_) return "KWin has not run the window script (yet), so the active window is not known.";
    return reason_.empty() ? std::string("KWin's window script is not running.") : reason_;
}

}  // namespace brisko::platform
