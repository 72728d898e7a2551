// Speaks to Brisko Desktop's GNOME Shell extension and to the shell's extension manager over the
// session bus, keeping the focused window from the extension's change signal.
#include "platform/desktop/gnome/GnomeShellExtension.hpp"

#include <mutex>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QObject>
#include <QVariantMap>

#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {

namespace {

const QString kShellService = QStringLiteral("org.gnome.Shell");
const QString kShellPath = QStringLiteral("/org/gnome/Shell");
const QString kExtensionsInterface = QStringLiteral("org.gnome.Shell.Extensions");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The states GetExtensionInfo reports (GNOME 45 renamed 1 and 2 ACTIVE and INACTIVE; 46 added 7, 8).
enum ExtensionState {
    kEnabled = 1,
    kDisabled = 2,
    kError = 3,
    kOutOfDate = 4,
    kDownloading = 5,
    kInitialized = 6,
    kDeactivating = 7,
    kActivating = 8,
};

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// As much of a window's text as X11 reads of a property (64 KiB); a cut code point is replaced.
constexpr std::size_t kMaxTextBytes = 65536;

std::optional<std::string> text(const QVariantMap& map, const char* key) {
    auto it = map.constFind(QString::fromLatin1(key));
    if (it == map.constEnd()) return std::nullopt;
    std::string value = it->toString().toStdString();
    if (value.size() > kMaxTextBytes) value.resize(kMaxTextBytes);
    value = sanitizeUTF8(value);
    if (value.empty()) return std::nullopt;
    return value;
}

GnomeShellExtension::Window windowFrom(const QVariantMap& map) {
    GnomeShellExtension::Window window;
    window.wmClass = text(map, "wmClass");
    window.wmClassInstance = text(map, "wmClassInstance");
    window.title = text(map, "title");
    window.pid = std::max<qlonglong>(0, map.value(QStringLiteral("pid")).toLongLong());
    return window;
}

}  // namespace

struct GnomeShellExtension::Impl : public QObject {
    Q_OBJECT

public:
    explicit Impl(Options o)
        : options(std::move(o)), bus(QDBusConnection::sessionBus()),
          watcher(kShellService, bus, QDBusServiceWatcher::WatchForOwnerChange) {
        connect(&watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &Impl::forget);
        // Without the signal every reading asks the extension.
        subscribed =
            bus.isConnected() &&
            bus.connect(kShellService, qs(kObjectPath), qs(kInterface), QStringLiteral("FocusedWindowChanged"), this,
                        SLOT(focusedWindowChanged(QVariantMap))) &&
            bus.connect(kShellService, kShellPath, kExtensionsInterface, QStringLiteral("ExtensionStateChanged"), this,
                        SLOT(extensionStateChanged(QString, QVariantMap)));
    }

    Options options;
    QDBusConnection bus;
    QDBusServiceWatcher watcher;
    bool subscribed = false;

    std::mutex mutex;
    bool known = false;  // `window` follows the extension's signal
    std::optional<Window> window;

    QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments = {}) {
        auto message = QDBusMessage::createMethodCall(kShellService, path, interface, method);
        message.setArguments(arguments);
        return bus.call(message, QDBus::Block, static_cast<int>(options.callTimeout.count()));
    }

    // Asks the extension for the focused window; false when it does not answer.
    bool query() {
        if (!bus.isConnected()) return false;
        auto reply = call(qs(kObjectPath), qs(kInterface), QStringLiteral("GetFocusedWindow"));
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return false;
        auto map = qdbus_cast<QVariantMap>(reply.arguments().at(0));
        std::lock_guard lock(mutex);
        window = map.isEmpty() ? std::nullopt : std::optional(windowFrom(map));
        known = subscribed;
        return true;
    }

    bool knownOrQueried() {
        {
            std::lock_guard lock(mutex);
            if (known) return true;
        }
        return query();
    }

    std::string reason();

public slots:
    void focusedWindowChanged(const QVariantMap& description) {
        std::lock_guard lock(mutex);
        window = description.isEmpty() ? std::nullopt : std::optional(windowFrom(description));
        known = subscribed;
    }
    void extensionStateChanged(const QString& uuid, const QVariantMap&) {
        if (uuid == qs(options.uuid)) forget();
    }
    void forget() {
        std::lock_guard lock(mutex);
        known = false;
        window.reset();
    }
};

std::string GnomeShellExtension::Impl::reason() {
    const std::string uuid = options.uuid;
    const std::string enableHow =
        "press 許可する, turn it on in the Extensions app, or run \"gnome-extensions enable " + uuid + "\"";
    if (!bus.isConnected())
        return "No D-Bus session bus answers, so GNOME Shell cannot tell which window has the focus.";
    if (knownOrQueried()) return {};
    auto info = call(kShellPath, kExtensionsInterface, QStringLiteral("GetExtensionInfo"), {qs(uuid)});
    if (info.type() != QDBusMessage::ReplyMessage || info.arguments().size() != 1)
        return "GNOME Shell does not answer on the session bus (" + info.errorMessage().toStdString() +
               "), so the focused window cannot be read.";
    auto map = qdbus_cast<QVariantMap>(info.arguments().at(0));
    if (map.isEmpty())
        return "GNOME Shell has no Brisko Desktop extension (" + uuid +
               "), which tells the app which window has the focus: install the brisko-desktop package, then log "
               "out and in again (on Wayland, GNOME Shell finds a newly installed extension only at login).";
    auto userExtensions = call(kShellPath, kPropertiesInterface, QStringLiteral("Get"),
                               {kExtensionsInterface, QStringLiteral("UserExtensionsEnabled")});
    const bool switchedOff = userExtensions.type() == QDBusMessage::ReplyMessage &&
                             userExtensions.arguments().size() == 1 &&
                             !qdbus_cast<QDBusVariant>(userExtensions.arguments().at(0)).variant().toBool();
    if (switchedOff)
        return "Extensions are switched off in GNOME Shell, so the Brisko Desktop extension (" + uuid +
               ") cannot tell the app which window has the focus: switch extensions on in the Extensions app, "
               "then press 許可する.";
    const int state = static_cast<int>(map.value(QStringLiteral("state")).toDouble());
    const std::string error = sanitizeUTF8(map.value(QStringLiteral("error")).toString().toStdString());
    switch (state) {
    case kError:
        return "The Brisko Desktop extension (" + uuid + ") failed in GNOME Shell" +
               (error.empty() ? std::string() : ": " + error) +
               ". Log out and in again; if it fails again, reinstall the brisko-desktop package.";
    case kOutOfDate:
        return "The Brisko Desktop extension (" + uuid +
               ") installed is not made for this GNOME Shell: reinstall the brisko-desktop package, then log out and "
               "in "
               "again.";
    case kDisabled:
    case kInitialized:
    case kDeactivating:
        return "The Brisko Desktop extension (" + uuid +
               "), which tells the app which window has the focus, is turned off: " + enableHow + ".";
    default:
        return "The Brisko Desktop extension (" + uuid +
               ") is turned on but does not answer yet; if this lasts, log out and in again.";
    }
}

GnomeShellExtension::GnomeShellExtension() : GnomeShellExtension(Options{}) {}

GnomeShellExtension::GnomeShellExtension(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

GnomeShellExtension::~GnomeShellExtension() = default;

std::optional<GnomeShellExtension::Window> GnomeShellExtension::focusedWindow() {
    if (!impl_->knownOrQueried()) return std::nullopt;
    std::lock_guard lock(impl_->mutex);
    return impl_->window;
}

bool GnomeShellExtension::isAnswering() {
    return impl_->knownOrQueried();
}

std::string GnomeShellExtension::unavailableReason() {
    return impl_->reason();
}

bool GnomeShellExtension::enable() {
    if (impl_->knownOrQueried()) return true;
    auto reply =
        impl_->call(kShellPath, kExtensionsInterface, QStringLiteral("EnableExtension"), {qs(impl_->options.uuid)});
    const bool accepted =
        reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1 && reply.arguments().at(0).toBool();
    // The shell turns an installed extension on before it answers the call.
    if (accepted && impl_->query()) {
        log(LogLevel::notice, "platform", "[Accessibility] turned on the GNOME Shell extension " + impl_->options.uuid);
        return true;
    }
    log(LogLevel::warning, "platform", "[Accessibility] " + impl_->reason());
    return false;
}

}  // namespace brisko::platform

#include "GnomeShellExtension.moc"
