// The test's side of the desktop tray: a StatusNotifierWatcher (and host) on the session bus, so the
// app shows its tray item through StatusNotifierItem, and a reader of the exported menu that can
// open it and click its items by label, as a panel does.
#pragma once

#include <QDBusArgument>
#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <optional>

namespace brisko::app::test {

struct MenuItem {
    int id = 0;
    QString label;
    bool enabled = true;
    bool visible = true;
};

class StatusNotifierWatcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
  public:
    // Registers the watcher on the session bus; false when the bus or the name is not available.
    bool start();
    QStringList RegisteredStatusNotifierItems() const { return items_; }
    bool IsStatusNotifierHostRegistered() const { return true; }
    int ProtocolVersion() const { return 0; }
    void forget() { items_.clear(); }

    // The menu of the registered item: its items in order (top level), refreshed as a panel does
    // before showing it.
    std::optional<QList<MenuItem>> menu();
    // Clicks the top-level item with this label; false when there is none.
    bool click(const QString& label);

  public slots:
    void RegisterStatusNotifierItem(const QString& service);
    void RegisterStatusNotifierHost(const QString& service);

  signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

  private:
    std::optional<std::pair<QString, QString>> menuAddress();  // service, object path
    QStringList items_;
    QString lastSender_;
};

}  // namespace brisko::app::test
