// Watches logind's PrepareForSleep on the system bus, holding a delay inhibitor between wakes.
#include "platform/desktop/SleepWatcher.hpp"

#include <algorithm>
#include <functional>
#include <vector>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QThread>
#include <QTimer>

#include "platform/base/Log.hpp"
#include "platform/base/NotificationCenter.hpp"
#include "platform/desktop/Workspace.hpp"

namespace brisko::platform {

namespace {

const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kInhibitWho = QStringLiteral("Brisko Desktop");
const QString kInhibitWhy = QStringLiteral("Uploading the last activity samples before sleep");

void note(const std::string& message) {
    log(LogLevel::notice, "platform", "[SleepWatcher] " + message);
}

bool onMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// The suspend under way: how many deferral tokens are out, and how to let it go.
struct PendingSleep {
    int deferrals = 0;
    std::function<void()> release;
};

}  // namespace

struct SleepWatcher::Impl : public QObject {
    Q_OBJECT

  public:
    Impl(Options o) : options(std::move(o)) {}
    ~Impl() override {
        auto& l = live();
        l.erase(std::remove(l.begin(), l.end(), this), l.end());
        if (!options.busAddress.empty()) QDBusConnection::disconnectFromBus(connectionName());
    }

    QString connectionName() const { return QStringLiteral("brisko-sleep-watcher-%1").arg(quintptr(this)); }

    static std::vector<Impl*>& live() {
        static std::vector<Impl*> impls;
        return impls;
    }

    Options options;
    std::optional<QDBusConnection> bus;
    bool watching = false;
    bool inhibitRequested = false;
    std::optional<QDBusUnixFileDescriptor> inhibitor;
    std::shared_ptr<PendingSleep> pending;
    QTimer deadline;

    bool start() {
        if (watching) return true;
        if (options.busAddress.empty()) {
            bus = QDBusConnection::systemBus();
        } else {
            bus =
                QDBusConnection::connectToBus(QString::fromStdString(options.busAddress),
                                              QStringLiteral("brisko-sleep-watcher-%1").arg(quintptr(this)));
        }
        if (!bus->isConnected()) {
            static bool logged = false;
            if (!logged) {
                logged = true;
                note("no system bus: sleep and wake are not observed");
            }
            return false;
        }
        if (!bus->connect(kLogindService, kLogindPath, kLogindManager, QStringLiteral("PrepareForSleep"),
                          this, SLOT(prepareForSleep(bool)))) {
            note("could not subscribe to PrepareForSleep: " + bus->lastError().message().toStdString());
            return false;
        }
        watching = true;
        live().push_back(this);
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, this, [this] {
            note("sleep delay ran out; letting the system sleep");
            releaseNow();
        });
        takeInhibitor();
        return true;
    }

    void takeInhibitor() {
        if (inhibitor || inhibitRequested) return;
        inhibitRequested = true;
        auto call = QDBusMessage::createMethodCall(kLogindService, kLogindPath, kLogindManager,
                                                   QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep") << kInhibitWho << kInhibitWhy << QStringLiteral("delay");
        // Asynchronous: the main thread never waits for logind.
        auto* watcher = new QDBusPendingCallWatcher(bus->asyncCall(call), this);
        QObject::connect(
            watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                inhibitRequested = false;
                QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
                if (reply.isError()) {
                    note("could not take the sleep inhibitor: " + reply.error().message().toStdString());
                    return;
                }
                if (!watching || pending) return;  // stopped, or the suspend already began: let it go
                inhibitor = reply.value();
            });
    }

    void releaseNow() {
        deadline.stop();
        if (pending) pending->release = nullptr;
        pending.reset();
        inhibitor.reset();  // closing our copy of the descriptor ends the delay
    }

  public Q_SLOTS:
    void prepareForSleep(bool goingToSleep) {
        if (goingToSleep) {
            pending = std::make_shared<PendingSleep>();
            pending->release = [this] { releaseNow(); };
            NotificationCenter::workspaceCenter().post(std::string(kWorkspaceWillSleepNotification));
            // The observers ran; wait only for the work they deferred, and never past the limit.
            if (!pending) return;
            if (pending->deferrals == 0) {
                releaseNow();
            } else {
                deadline.start(static_cast<int>(options.maxDelay.count()));
            }
        } else {
            releaseNow();
            NotificationCenter::workspaceCenter().post(std::string(kWorkspaceDidWakeNotification));
            takeInhibitor();
        }
    }
};

SleepWatcher::SleepWatcher() : SleepWatcher(Options{}) {}
SleepWatcher::SleepWatcher(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
SleepWatcher::~SleepWatcher() = default;

bool SleepWatcher::start() {
    return impl_->start();
}
bool SleepWatcher::isWatching() const {
    return impl_->watching;
}
bool SleepWatcher::holdsInhibitor() const {
    return impl_->inhibitor.has_value();
}

std::shared_ptr<void> SleepWatcher::deferSleep() {
    std::vector<std::weak_ptr<PendingSleep>> held;
    if (onMainThread()) {
        for (auto* impl : Impl::live()) {
            if (impl->pending) {
                ++impl->pending->deferrals;
                held.push_back(impl->pending);
            }
        }
    }
    if (held.empty()) return std::make_shared<int>(0);
    auto letGo = [held] {
        for (const auto& weak : held) {
            auto p = weak.lock();
            if (p && --p->deferrals == 0 && p->release) {
                auto release = p->release;  // the call clears p->release
                release();
            }
        }
    };
    return std::shared_ptr<void>(new int(0), [letGo](int* p) {
        delete p;
        if (onMainThread()) {
            letGo();
        } else if (auto* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(app, letGo, Qt::QueuedConnection);
        }
    });
}

}  // namespace brisko::platform

#include "SleepWatcher.moc"
