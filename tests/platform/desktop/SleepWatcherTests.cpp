// Sleep and wake against a logind stand-in on a private bus: the notifications, the delay inhibitor
// and its release once the will-sleep work is done (or the time is up).
#include <doctest/doctest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QProcess>

#include "platform/base/Log.hpp"
#include "platform/base/NotificationCenter.hpp"
#include "platform/desktop/SleepWatcher.hpp"
#include "platform/desktop/Workspace.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"

using namespace brisko::platform;
using namespace brisko::test;
using namespace std::chrono_literals;

namespace {

// logind's Manager as far as sleep goes: Inhibit hands out the write end of a pipe and keeps the
// read end, which reports end-of-file once every copy of the inhibitor is closed.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

  public:
    explicit FakeLogind(const QString& address)
        : bus_(QDBusConnection::connectToBus(address, QStringLiteral("fake-logind"))) {
        bus_.registerObject(QStringLiteral("/org/freedesktop/login1"), this, QDBusConnection::ExportAllSlots);
        registered = bus_.registerService(QStringLiteral("org.freedesktop.login1"));
    }
    ~FakeLogind() override {
        for (int fd : readEnds) ::close(fd);
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-logind"));
    }

    void prepareForSleep(bool start) {
        auto signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                 QStringLiteral("org.freedesktop.login1.Manager"),
                                                 QStringLiteral("PrepareForSleep"));
        signal << start;
        bus_.send(signal);
    }
    // True once every holder closed the inhibitor handed out as number `index`.
    bool released(std::size_t index) const {
        pollfd p{readEnds.at(index), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLHUP);
    }

    bool registered = false;
    std::vector<QStringList> inhibitCalls;
    std::vector<int> readEnds;

  public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        inhibitCalls.push_back({what, who, why, mode});
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return {};
        readEnds.push_back(fds[0]);
        QDBusUnixFileDescriptor handed(fds[1]);  // keeps its own copy
        ::close(fds[1]);
        return handed;
    }

  private:
    QDBusConnection bus_;
};

// A private message bus for one test.
struct PrivateBus {
    QProcess daemon;
    QString address;
    PrivateBus() {
        ensureQtApp();
        daemon.start(QStringLiteral("dbus-daemon"),
                     {"--session", "--nofork", "--print-address=1", "--address=unix:tmpdir=/tmp"});
        processEventsUntil([&] { return daemon.canReadLine() || daemon.state() == QProcess::NotRunning; });
        address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    ~PrivateBus() {
        daemon.terminate();
        if (!daemon.waitForFinished(3000)) daemon.kill();
        daemon.waitForFinished(3000);
    }
};

struct Observed {
    int willSleep = 0;
    int didWake = 0;
    ObserverRegistration sleepRegistration, wakeRegistration;
    std::function<void()> onWillSleep;

    Observed() {
        auto& center = NotificationCenter::workspaceCenter();
        sleepRegistration =
            ObserverRegistration(center, center.addObserver(std::string(kWorkspaceWillSleepNotification),
                                                            nullptr, nullptr, [this](const Notification&) {
                                                                ++willSleep;
                                                                if (onWillSleep) onWillSleep();
                                                            }));
        wakeRegistration = ObserverRegistration(
            center, center.addObserver(std::string(kWorkspaceDidWakeNotification), nullptr, nullptr,
                                       [this](const Notification&) { ++didWake; }));
    }
};

}  // namespace

TEST_CASE("a suspend waits for the will-sleep work, then lets go; waking re-takes the inhibitor") {
    PrivateBus bus;
    REQUIRE_FALSE(bus.address.isEmpty());
    FakeLogind logind(bus.address);
    REQUIRE(logind.registered);
    Observed observed;
    SleepWatcher watcher({.busAddress = bus.address.toStdString(), .maxDelay = 10s});
    REQUIRE(watcher.start());
    REQUIRE(processEventsUntil([&] { return watcher.holdsInhibitor(); }));
    REQUIRE(logind.inhibitCalls.size() == 1);
    CHECK(logind.inhibitCalls[0][0] == "sleep");
    CHECK(logind.inhibitCalls[0][3] == "delay");

    // The observer starts work that must finish first (the last upload) and defers the suspend.
    std::shared_ptr<void> upload;
    bool heldDuringObserver = false;
    observed.onWillSleep = [&] {
        heldDuringObserver = !logind.released(0);
        upload = SleepWatcher::deferSleep();
    };
    logind.prepareForSleep(true);
    REQUIRE(processEventsUntil([&] { return observed.willSleep == 1; }));
    CHECK(heldDuringObserver);
    processEventsFor(100ms);
    CHECK_FALSE(logind.released(0));

    upload.reset();  // the upload finished
    REQUIRE(processEventsUntil([&] { return logind.released(0); }));
    CHECK_FALSE(watcher.holdsInhibitor());
    CHECK(observed.didWake == 0);

    observed.onWillSleep = nullptr;
    logind.prepareForSleep(false);
    REQUIRE(processEventsUntil([&] { return observed.didWake == 1 && watcher.holdsInhibitor(); }));
    CHECK(logind.inhibitCalls.size() == 2);
    CHECK_FALSE(logind.released(1));

    // With nothing deferred, the suspend goes ahead as soon as the observers ran.
    logind.prepareForSleep(true);
    REQUIRE(processEventsUntil([&] { return logind.released(1); }));
    CHECK(observed.willSleep == 2);
}

TEST_CASE("the inhibitor is let go when deferred work outlasts the maximum delay") {
    PrivateBus bus;
    FakeLogind logind(bus.address);
    Observed observed;
    SleepWatcher watcher({.busAddress = bus.address.toStdString(), .maxDelay = 200ms});
    REQUIRE(watcher.start());
    REQUIRE(processEventsUntil([&] { return watcher.holdsInhibitor(); }));

    std::shared_ptr<void> stuck;
    observed.onWillSleep = [&] { stuck = SleepWatcher::deferSleep(); };
    logind.prepareForSleep(true);
    REQUIRE(processEventsUntil([&] { return logind.released(0); }, 5000ms));
    CHECK(stuck);
    stuck.reset();  // finishing late is harmless
    processEventsFor(50ms);
    CHECK_FALSE(watcher.holdsInhibitor());
}

TEST_CASE("without a bus the watcher says so once and does nothing") {
    ensureQtApp();
    LogCapture capture;
    SleepWatcher first({.busAddress = "unix:path=/nonexistent/brisko-test-bus"});
    SleepWatcher second({.busAddress = "unix:path=/nonexistent/brisko-test-bus"});
    CHECK_FALSE(first.start());
    CHECK_FALSE(second.start());
    CHECK_FALSE(first.isWatching());
    int lines = 0;
    for (const auto& m : capture.messages()) {
        if (m.find("no system bus") != std::string::npos) ++lines;
    }
    CHECK(lines == 1);
    CHECK(SleepWatcher::deferSleep());  // outside a suspend: a token that holds nothing
}

#include "SleepWatcherTests.moc"
