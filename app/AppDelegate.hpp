// The application's spine: the start-up steps, the main window, the tray item with its menu, the
// window's shortcuts (quit and edit), the login item and the hand-over of URLs. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QStringList>

#include "app/views/MainWindow.hpp"
#include "app/views/MenuBarHeader.hpp"
#include "platform/base/NotificationCenter.hpp"

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace brisko::app {

class AccessibilityPermissionMonitor;
class ActivityTrackingService;
class AuthService;
class CompanionViewModel;
class Updater;

class AppDelegate : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* kRecordingSymbol = "record.circle.fill";
    static constexpr const char* kStoppedSymbol = "record.circle";

    struct Services {
        std::shared_ptr<AuthService> authService;
        std::shared_ptr<ActivityTrackingService> trackingService;
        std::shared_ptr<AccessibilityPermissionMonitor> permission;
        // Whether to register the XDG autostart entry at launch.
        bool registerLoginItem = true;
    };

    // With the process's shared services, each made when the start-up first needs it.
    AppDelegate();
    explicit AppDelegate(Services services);
    ~AppDelegate() override;

    // Platform callbacks, in the order the entry point calls them.
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    // A later launch asked for the window (the reopen of the desktop's launcher).
    bool applicationShouldHandleReopen();
    void openURLs(const std::vector<std::string>& urls);

    // The tray menu's actions.
    void handleToggleRecording();
    void handleOpenWindow();
    void handleCheckForUpdates();
    void refreshMenuHeader();
    void handleRunningStateChanged(const platform::Notification& note);

    void showMainWindow();
    // The tray icon: the recording symbol in the accent colour, or the stopped one in the label colour.
    static QIcon statusImage(bool recording);

    // For tests and the end-to-end run: the objects made at launch.
    MainWindow* window() const { return window_; }
    QSystemTrayIcon* statusItem() const { return statusItem_; }
    QMenu* statusMenu() const { return menu_; }
    QAction* startStopItem() const { return startStopItem_; }
    MenuBarHeader* headerView() const { return headerView_; }
    // Whether the tray shows the header as plain disabled items (menus exported over D-Bus).
    bool usesTextHeader() const { return useTextHeader_; }
    QStringList headerTextItems() const;
    Updater* updaterController() const { return updaterController_; }
    const QList<QAction*>& mainMenuActions() const { return mainMenuActions_; }
    int messageIndex() const { return messageIndex_; }
    QSize defaultSize() const { return defaultSize_; }
    static const std::vector<std::string>& statusMessages();

  private:
    void finishLaunching();
    void setupMainMenu();
    void setupStatusItem();
    void registerAsLoginItem();
    void updateRunningStateUI(bool running);
    void postRunningState(bool running);
    void setHeaderContent(const MenuBarHeader::Content& content);
    bool trayHostExportsMenus() const;
    // Once neither the window nor the tray menu is on screen, lets go of what drawing them needed.
    void scheduleIdleRelease();
    void releaseIdleMemory();
    AuthService& authService();
    ActivityTrackingService& trackingService();
    const std::shared_ptr<AccessibilityPermissionMonitor>& permission();

    Services services_;
    QPointer<MainWindow> window_;
    bool isCreatingWindow_ = false;
    QSystemTrayIcon* statusItem_ = nullptr;
    QMenu* menu_ = nullptr;
    QAction* startStopItem_ = nullptr;
    MenuBarHeader* headerView_ = nullptr;
    QList<QAction*> headerTextActions_;
    bool useTextHeader_ = false;
    Updater* updaterController_ = nullptr;
    QSize defaultSize_{460, 300};
    int messageIndex_ = 0;
    QList<QAction*> mainMenuActions_;
    QTimer* trayRetry_ = nullptr;
    QTimer* idleRelease_ = nullptr;
    platform::ObserverRegistration runningObserver_;
};

}  // namespace brisko::app
