// Mutter's idle monitor: GetIdletime on the core monitor, in milliseconds.
#include "platform/desktop/gnome/MutterIdleTime.hpp"

#include <QDBusConnection>
#include <QDBusMessage>

namespace brisko::platform {

struct MutterIdleTime::Impl {
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Mutter.IdleMonitor"), QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
        QStringLiteral("org.gnome.Mutter.IdleMonitor"), QStringLiteral("GetIdletime"));
    int timeoutMs = 250;
};

MutterIdleTime::MutterIdleTime(std::chrono::milliseconds timeout) : impl_(std::make_unique<Impl>()) {
    impl_->timeoutMs = static_cast<int>(timeout.count());
}

MutterIdleTime::~MutterIdleTime() = default;

std::optional<double> MutterIdleTime::secondsSinceLastInput() {
    if (!impl_->bus.isConnected()) return std::nullopt;
    auto reply = impl_->bus.call(impl_->request, QDBus::Block, impl_->timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return std::nullopt;
    bool ok = false;
    const qulonglong ms = reply.arguments().at(0).toULongLong(&ok);
    if (!ok) return std::nullopt;
    return static_cast<double>(ms) / 1000.0;
}

}  // namespace brisko::platform
