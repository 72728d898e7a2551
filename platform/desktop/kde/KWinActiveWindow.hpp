// KDE Plasma's active window, as our KWin script reports it: the app owns a D-Bus name, loads the
// script into KWin (org.kde.KWin /Scripting) and receives the active window's resource class, caption
// and process id whenever they change. Create, use and destroy on the thread running Qt's event loop.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace brisko::platform {

struct KWinWindow {
    std::string resourceClass;  // valid UTF-8, as every text here
    std::string resourceName;
    std::string caption;
    std::int64_t pid = 0;  // 0 when KWin names no process
    bool operator==(const KWinWindow&) const = default;
};

class KWinActiveWindow : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.brisko.desktop.ActiveWindow")

public:
    static constexpr const char* kServiceName = "com.brisko.desktop.ActiveWindow";
    static constexpr const char* kObjectPath = "/ActiveWindow";
    static constexpr const char* kPluginName = "brisko-desktop-active-window";

    // The script file KWin is to load, and the session bus (empty: the session bus of the process).
    KWinActiveWindow(QString scriptPath, QString busAddress = {});
    // Unloads the script.
    ~KWinActiveWindow() override;

    // Owns the name and loads and runs the script; false (with the reason kept) when the bus, the name
    // or KWin fails. Called again, it tries again.
    bool start();
    // Starts again when not running and the last attempt is `interval` old (KWin may come up after
    // the app at login, or another process held the name); true when running.
    bool startIfDue(std::chrono::milliseconds interval = std::chrono::milliseconds(2000));
    // Unloads the script from KWin (also done at destruction).
    void stop();
    bool isRunning() const;

    // The active window as last reported; none before the first report or with no active window.
    std::optional<KWinWindow> activeWindow() const;
    // True once the script reported at least once (it does so right after it runs).
    bool hasReported() const;
    // Why the active window is not known, in a sentence for the user; empty once the running script
    // reported.
    std::string untrustedReason() const;

public slots:
    // Called by the script with the window's facts as JSON ({"resourceClass", "resourceName",
    // "caption", "pid"}, or null for no active window). Only KWin's own calls are taken.
    Q_SCRIPTABLE void Update(const QString& facts);

private:
    bool fail(std::string reason);
    QDBusConnection bus_;
    QString scriptPath_;
    QString kwinOwner_;  // KWin's unique bus name, the only sender taken
    std::atomic<bool> running_{false};
    bool registered_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastAttempt_;
    mutable std::mutex mutex_;  // readers may be on other threads
    std::optional<KWinWindow> active_;
    bool reported_ = false;
    std::string reason_;
};

}  // namespace brisko::platform
