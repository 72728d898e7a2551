// The watcher and the dbusmenu reader.
#include "tests/app/TrayMenuDriver.hpp"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDateTime>

namespace brisko::app::test {

namespace {
constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";
constexpr const char* kMenuInterface = "com.canonical.dbusmenu";

struct LayoutNode {
    int id = 0;
    QVariantMap properties;
    QList<LayoutNode> children;
};

// dbusmenu's layout: (ia{sv}av), children wrapped in variants.
void readNode(const QDBusArgument& arg, LayoutNode& node) {
    arg.beginStructure();
    arg >> node.id >> node.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        LayoutNode c;
        readNode(child.variant().value<QDBusArgument>(), c);
        node.children << c;
    }
    arg.endArray();
    arg.endStructure();
}
// Calls without blocking this thread: the app may be calling the watcher at the same time, and a
// blocking call both ways would stall both until the bus times out.
QDBusMessage callServing(const QDBusMessage& message) {
    QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(message, 10000);
    while (!pending.isFinished()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return pending.reply();
}
}  // namespace

bool StatusNotifierWatcher::start() {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    if (!bus.registerService(QString::fromUtf8(kWatcherService))) return false;
    return bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                              QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                  QDBusConnection::ExportAllProperties);
}

void StatusNotifierWatcher::RegisterStatusNotifierItem(const QString& service) {
    // Items register with their bus name or an object path; a path belongs to the caller.
    QString entry = service;
    if (service.startsWith(QLatin1Char('/'))) entry = message().service() + service;
    items_ << entry;
    emit StatusNotifierItemRegistered(entry);
}

void StatusNotifierWatcher::RegisterStatusNotifierHost(const QString&) {
    emit StatusNotifierHostRegistered();
}

std::optional<std::pair<QString, QString>> StatusNotifierWatcher::menuAddress() {
    if (items_.isEmpty()) return std::nullopt;
    QString entry = items_.last();
    QString service = entry;
    QString path = QStringLiteral("/StatusNotifierItem");
    if (int slash = entry.indexOf(QLatin1Char('/')); slash > 0) {
        service = entry.left(slash);
        path = entry.mid(slash);
    }
    auto get = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
    auto reply = callServing(get);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return std::nullopt;
    auto menuPath = reply.arguments().at(0).value<QDBusVariant>().variant().value<QDBusObjectPath>();
    if (menuPath.path().isEmpty()) return std::nullopt;
    return std::make_pair(service, menuPath.path());
}

std::optional<QList<MenuItem>> StatusNotifierWatcher::menu() {
    auto address = menuAddress();
    if (!address) return std::nullopt;
    auto aboutToShow = QDBusMessage::createMethodCall(
        address->first, address->second, QString::fromUtf8(kMenuInterface), QStringLiteral("AboutToShow"));
    aboutToShow << 0;
    callServing(aboutToShow);
    auto call = QDBusMessage::createMethodCall(
        address->first, address->second, QString::fromUtf8(kMenuInterface), QStringLiteral("GetLayout"));
    call << 0 << -1 << QStringList();
    auto reply = callServing(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2) return std::nullopt;
    LayoutNode root;
    readNode(reply.arguments().at(1).value<QDBusArgument>(), root);
    QList<MenuItem> items;
    for (const auto& child : root.children) {
        MenuItem item;
        item.id = child.id;
        item.label = child.properties.value(QStringLiteral("label")).toString().remove(QLatin1Char('_'));
        item.enabled = child.properties.value(QStringLiteral("enabled"), true).toBool();
        item.visible = child.properties.value(QStringLiteral("visible"), true).toBool();
        items << item;
    }
    return items;
}

bool StatusNotifierWatcher::click(const QString& label) {
    auto items = menu();
    auto address = menuAddress();
    if (!items || !address) return false;
    for (const auto& item : *items) {
        if (item.label != label) continue;
        auto event = QDBusMessage::createMethodCall(
            address->first, address->second, QString::fromUtf8(kMenuInterface), QStringLiteral("Event"));
        event << item.id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
              << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
        return callServing(event).type() == QDBusMessage::ReplyMessage;
    }
    return false;
}

}  // namespace brisko::app::test
