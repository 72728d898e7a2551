// The application delegate: start-up, tray, window, shortcuts and URLs.
#include "app/AppDelegate.hpp"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidgetAction>

#include "app/AccessibilityPermissionMonitor.hpp"
#include "app/recording/ActivityTrackingService.hpp"
#include "app/account/AuthService.hpp"
#include "app/views/CompanionContentView.hpp"
#include "app/CompanionViewModel.hpp"
#include "app/views/DrawingCaches.hpp"
#include "app/views/MainWindow.hpp"
#include "app/views/Palette.hpp"
#include "app/Updater.hpp"
#include "core/AppDelegateSwizzler.hpp"
#include "platform/base/Log.hpp"
#include "platform/desktop/LoginItem.hpp"
#include "platform/base/Text.hpp"

namespace brisko::app {

namespace {
constexpr const char* kToolTipStopped = "Brisko Desktop (停止中)";
constexpr const char* kToolTipRecording = "Brisko Desktop (記録中)";
constexpr const char* kStartTitle = "記録を開始";
constexpr const char* kStopTitle = "記録を停止";
constexpr const char* kOpenWindowTitle = "アプリを開く";
constexpr const char* kCheckUpdatesTitle = "アップデートを確認";
constexpr const char* kQuitTitle = "Brisko Desktop を終了";
constexpr const char* kMainQuitTitle = "Quit Brisko Desktop";
constexpr const char* kEditMenuTitle = "Edit";
constexpr const char* kLoginItemRegisteredLog = "[LoginItem] Registered as login item";
constexpr const char* kLoginItemFailedLog = "[LoginItem] Failed to register login item: %@";
constexpr const char* kAccessibleName = "Brisko";
// Tray hosts can come up after the app at login: keep trying for a while.
constexpr int kTrayRetryMilliseconds = 5000;
constexpr int kTrayRetryAttempts = 24;
// After the window or the menu is hidden: long enough for the events that follow a close.
constexpr int kIdleReleaseDelayMilliseconds = 500;
// Menus exported over D-Bus show plain text; a long window title is shortened in the middle.
constexpr int kTextHeaderMaxCharacters = 48;

QString elideMiddle(const QString& text, int max) {
    if (text.size() <= max) return text;
    const int head = (max - 1) / 2;
    return text.left(head) + QStringLiteral("…") + text.right(max - 1 - head);
}

QPixmap drawStatusSymbol(int side, bool recording, const QColor& color) {
    QPixmap pixmap(side, side);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double outer = side * 0.86;
    const QPointF centre(side / 2.0, side / 2.0);
    const double dot = outer * 0.42;
    if (recording) {
        QPainterPath disc;
        disc.addEllipse(centre, outer / 2, outer / 2);
        QPainterPath hole;
        hole.addEllipse(centre, dot / 2 + outer * 0.08, dot / 2 + outer * 0.08);
        QPainterPath inner;
        inner.addEllipse(centre, dot / 2, dot / 2);
        p.fillPath(disc.subtracted(hole).united(inner), color);
    } else {
        const double line = std::max(1.0, side * 0.09);
        p.setPen(QPen(color, line));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(centre, (outer - line) / 2, (outer - line) / 2);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(centre, dot / 2, dot / 2);
    }
    return pixmap;
}
}  // namespace

const std::vector<std::string>& AppDelegate::statusMessages() {
    static const std::vector<std::string> messages = {
        "いい感じ。今日も進んでる",
        "集中できてる。ナイス",
        "小さく進めば大きい",
        "今の積み重ねが強い",
        "ちゃんと前に進んでる",
        "未来の自分が泣いて喜ぶ",
        "今サボると明日の自分が残業",
        "進捗は嘘をつかない、たぶん",
        "今日の努力、昨日の自分は知らない",
        "ええやん",
        "ほれほれ、頑張れ",
    };
    return messages;
}

AppDelegate::AppDelegate() = default;

AppDelegate::AppDelegate(Services services) : services_(std::move(services)) {}

AppDelegate::~AppDelegate() {
    if (window_) delete window_.data();
    delete menu_;
}

AuthService& AppDelegate::authService() {
    if (!services_.authService) services_.authService = AuthService::shared();
    return *services_.authService;
}

ActivityTrackingService& AppDelegate::trackingService() {
    if (!services_.trackingService) services_.trackingService = ActivityTrackingService::shared();
    return *services_.trackingService;
}

const std::shared_ptr<AccessibilityPermissionMonitor>& AppDelegate::permission() {
    if (!services_.permission) services_.permission = AccessibilityPermissionMonitor::shared();
    return services_.permission;
}

void AppDelegate::applicationWillFinishLaunching() {
    // From here on the application's events reach the proxy's interceptors (unless switched off in the
    // information property list).
    core::AppDelegateSwizzler::proxyOriginalDelegate();
    authService().configureZudiridi();
}

void AppDelegate::applicationDidFinishLaunching() {
    finishLaunching();
}

bool AppDelegate::applicationShouldHandleReopen() {
    showMainWindow();
    return true;
}

void AppDelegate::finishLaunching() {
    QApplication::setQuitOnLastWindowClosed(false);
    idleRelease_ = new QTimer(this);
    idleRelease_->setSingleShot(true);
    idleRelease_->setInterval(kIdleReleaseDelayMilliseconds);
    connect(idleRelease_, &QTimer::timeout, this, &AppDelegate::releaseIdleMemory);
    updaterController_ = new Updater(true, this);
    setupMainMenu();
    setupStatusItem();
    if (services_.registerLoginItem) registerAsLoginItem();
    auto& center = platform::NotificationCenter::defaultCenter();
    QPointer<AppDelegate> weak(this);
    runningObserver_ = platform::ObserverRegistration(
        center,
        center.addObserver(std::string(kTrackingRunningStateDidChange), nullptr,
                           platform::DispatchQueue::main(), [weak](const platform::Notification& note) {
                               if (weak) weak->handleRunningStateChanged(note);
                           }));
    showMainWindow();
    permission()->refresh();
}

void AppDelegate::setupMainMenu() {
    auto* quit = new QAction(QString::fromUtf8(kMainQuitTitle), this);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::WindowShortcut);
    connect(quit, &QAction::triggered, qApp, &QApplication::quit);
    mainMenuActions_ << quit;

    // Edit commands go to whichever widget has the focus, as menu items without a target do.
    struct EditCommand {
        const char* title;
        QKeySequence::StandardKey key;
        const char* slot;
    };
    static constexpr EditCommand kCommands[] = {
        {"Cut", QKeySequence::Cut, "cut"},
        {"Copy", QKeySequence::Copy, "copy"},
        {"Paste", QKeySequence::Paste, "paste"},
        {"Select All", QKeySequence::SelectAll, "selectAll"},
    };
    for (const auto& command : kCommands) {
        auto* action = new QAction(QString::fromUtf8(command.title), this);
        action->setShortcut(command.key);
        action->setShortcutContext(Qt::WindowShortcut);
        action->setProperty("menu", QString::fromUtf8(kEditMenuTitle));
        const char* slot = command.slot;
        connect(action, &QAction::triggered, this, [slot] {
            if (QWidget* focus = QApplication::focusWidget()) QMetaObject::invokeMethod(focus, slot);
        });
        mainMenuActions_ << action;
    }
}

bool AppDelegate::trayHostExportsMenus() const {
    // Qt shows the tray through StatusNotifierItem, with its menu exported over D-Bus, whenever a host
    // is registered; such menus carry text items only.
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    if (!bus.interface()->isServiceRegistered(watcher)) return false;
    QDBusInterface iface(watcher, QStringLiteral("/StatusNotifierWatcher"), watcher, bus);
    return iface.property("IsStatusNotifierHostRegistered").toBool();
}

void AppDelegate::setupStatusItem() {
    statusItem_ = new QSystemTrayIcon(this);
    statusItem_->setIcon(statusImage(false));
    statusItem_->setToolTip(QString::fromUtf8(kToolTipStopped));

    menu_ = new QMenu;
    menu_->setAccessibleName(QString::fromUtf8(kAccessibleName));
    connect(menu_, &QMenu::aboutToShow, this, &AppDelegate::refreshMenuHeader);
    connect(menu_, &QMenu::aboutToHide, this, &AppDelegate::scheduleIdleRelease);

    useTextHeader_ = trayHostExportsMenus();
    const MenuBarHeader::Content initial{};
    if (useTextHeader_) {
        for (int i = 0; i < 3; ++i) {
            auto* line = menu_->addAction(QString());
            line->setEnabled(false);
            headerTextActions_ << line;
        }
    } else {
        headerView_ = new MenuBarHeader(initial);
        auto* headerItem = new QWidgetAction(menu_);
        headerItem->setDefaultWidget(headerView_);
        menu_->addAction(headerItem);
    }
    setHeaderContent(initial);
    menu_->addSeparator();

    startStopItem_ =
        menu_->addAction(QString::fromUtf8(kStartTitle), this, &AppDelegate::handleToggleRecording);
    auto* open = menu_->addAction(QString::fromUtf8(kOpenWindowTitle), this, &AppDelegate::handleOpenWindow);
    open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    menu_->addAction(QString::fromUtf8(kCheckUpdatesTitle), this, &AppDelegate::handleCheckForUpdates);
    menu_->addSeparator();
    auto* quit = menu_->addAction(QString::fromUtf8(kQuitTitle), qApp, &QApplication::quit);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    statusItem_->setContextMenu(menu_);
    // A left click opens the same menu, as the status item's button does.
    connect(statusItem_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) menu_->popup(QCursor::pos());
    });
    statusItem_->show();

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        trayRetry_ = new QTimer(this);
        trayRetry_->setInterval(kTrayRetryMilliseconds);
        connect(trayRetry_, &QTimer::timeout, this, [this, attempts = 0]() mutable {
            if (QSystemTrayIcon::isSystemTrayAvailable()) {
                statusItem_->hide();
                statusItem_->show();
                trayRetry_->stop();
            } else if (++attempts >= kTrayRetryAttempts) {
                trayRetry_->stop();
            }
        });
        trayRetry_->start();
    }
}

QIcon AppDelegate::statusImage(bool recording) {
    QColor color = recording ? QColor(28, 197, 217) : QGuiApplication::palette().color(QPalette::WindowText);
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64}) icon.addPixmap(drawStatusSymbol(side, recording, color));
    return icon;
}

void AppDelegate::registerAsLoginItem() {
    auto service = platform::LoginItem::mainAppService();
    if (service.status() == platform::LoginItemStatus::enabled) return;
    if (auto error = service.registerAndReturnError()) {
        platform::logLine(platform::format(kLoginItemFailedLog, {error->localizedDescription()}));
    } else {
        platform::logLine(kLoginItemRegisteredLog);
    }
}

void AppDelegate::handleRunningStateChanged(const platform::Notification& note) {
    auto it = note.userInfo.find(kIsRunningKey);
    if (it == note.userInfo.end()) return;
    auto running = it->second.boolean();
    if (!running) return;
    updateRunningStateUI(*running);
}

void AppDelegate::updateRunningStateUI(bool running) {
    if (statusItem_) {
        statusItem_->setIcon(statusImage(running));
        statusItem_->setToolTip(QString::fromUtf8(running ? kToolTipRecording : kToolTipStopped));
    }
    if (startStopItem_) startStopItem_->setText(QString::fromUtf8(running ? kStopTitle : kStartTitle));
}

void AppDelegate::postRunningState(bool running) {
    postTrackingRunningState(running);
}

void AppDelegate::handleToggleRecording() {
    auto& recorder = trackingService();
    const bool wasTracking = recorder.isTracking();
    if (wasTracking) {
        recorder.stop();
    } else {
        permission()->requestIfNeeded();
        recorder.start();
    }
    postRunningState(!wasTracking);
}

void AppDelegate::handleOpenWindow() {
    showMainWindow();
}

void AppDelegate::handleCheckForUpdates() {
    if (updaterController_) updaterController_->checkForUpdates();
}

void AppDelegate::refreshMenuHeader() {
    const auto& recorder = trackingService();
    const bool recording = recorder.isTracking();
    std::optional<std::string> encouragement;
    const auto& messages = statusMessages();
    if (recording && !messages.empty()) {
        messageIndex_ = (messageIndex_ + 1) % static_cast<int>(messages.size());
        encouragement = messages[static_cast<std::size_t>(messageIndex_)];
    }
    setHeaderContent(MenuBarHeader::Content{recording, recorder.latestAppName(), recorder.latestWindowTitle(),
                                            encouragement});
    if (startStopItem_) startStopItem_->setText(QString::fromUtf8(recording ? kStopTitle : kStartTitle));
}

void AppDelegate::setHeaderContent(const MenuBarHeader::Content& content) {
    if (headerView_) headerView_->setContent(content);
    if (headerTextActions_.isEmpty()) return;
    const QStringList lines = MenuBarHeader::textLines(content);
    for (int i = 0; i < headerTextActions_.size(); ++i) {
        auto* action = headerTextActions_[i];
        action->setVisible(i < lines.size());
        action->setText(i < lines.size() ? elideMiddle(lines[i], kTextHeaderMaxCharacters) : QString());
    }
}

QStringList AppDelegate::headerTextItems() const {
    QStringList texts;
    for (auto* action : headerTextActions_) {
        if (action->isVisible()) texts << action->text();
    }
    return texts;
}

void AppDelegate::showMainWindow() {
    if (isCreatingWindow_) return;
    if (window_) {
        if (!window_->isVisible()) window_->show();
        window_->applyFixedSize();
        window_->raise();
        window_->activateWindow();
        return;
    }
    isCreatingWindow_ = true;
    authService();
    trackingService();
    auto* vm = new CompanionViewModel(permission(), services_.trackingService, services_.authService);
    auto* window = new MainWindow(new CompanionContentView(vm));
    window->addActions(mainMenuActions_);
    connect(window, &MainWindow::hidden, this, &AppDelegate::scheduleIdleRelease);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect visible = screen->availableGeometry();
        window->move(visible.center().x() + 1 - defaultSize_.width() / 2,
                     visible.center().y() + 1 - defaultSize_.height() / 2);
    }
    window->show();
    window->raise();
    window->activateWindow();
    window_ = window;
    isCreatingWindow_ = false;
}

void AppDelegate::scheduleIdleRelease() {
    if (idleRelease_) idleRelease_->start();
}

void AppDelegate::releaseIdleMemory() {
    // The app spends nearly all its life in the tray; the window's fonts, glyphs and pixels would
    // otherwise stay resident for all of it.
    if ((window_ && window_->isVisible()) || (menu_ && menu_->isVisible())) return;
    if (window_) window_->releaseNativeWindow();
    releaseDrawingCaches();
}

void AppDelegate::openURLs(const std::vector<std::string>& urls) {
    // Library code that registered with the app-delegate proxy sees the URLs first; the sign-in layer
    // is offered them whatever the interceptors answered, as the delegate's own handling.
    core::AppDelegateSwizzler::applicationOpenURLs(urls);
    for (const auto& url : urls) {
        if (authService().ezevar()->handleURL(url)) break;
    }
}

}  // namespace brisko::app
