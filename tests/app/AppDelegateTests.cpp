// The application delegate offscreen: the tray menu's items and header, its start/stop action, the
// window's single instance and fixed size, and the hand-over of URLs.
#include <doctest/doctest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>

#include "app/AccessibilityPermissionMonitor.hpp"
#include "app/AppDelegate.hpp"
#include "app/views/CompanionContentView.hpp"
#include "app/CompanionViewModel.hpp"
#include "app/views/MainWindow.hpp"
#include "app/Updater.hpp"
#include "core/AppDelegateSwizzler.hpp"
#include "tests/app/AppTestSupport.hpp"

#if BRISKO_HAVE_QT_FONT_CACHE
#include <QtGui/private/qfont_p.h>
#endif

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;

namespace {
struct DelegateFixture {
    RecorderFixture f;
    std::shared_ptr<AccessibilityPermissionMonitor> monitor =
        AccessibilityPermissionMonitor::make({[] { return true; }, [] {}, [](std::string_view) { return true; }});
    std::unique_ptr<AppDelegate> delegate;

    DelegateFixture() {
        qtApp();
        f.workspace->setFrontmostApplication(app("Editor"));
        delegate = std::make_unique<AppDelegate>(AppDelegate::Services{f.auth, f.recorder, monitor, false});
        delegate->applicationWillFinishLaunching();
        delegate->applicationDidFinishLaunching();
    }
    ~DelegateFixture() {
        if (f.recorder->isTracking()) {
            f.recorder->stop();
            // Only a signed-in account's samples go out: then the last upload is waited for.
            if (f.auth->isAuthenticated()) waitFor([&] { return !f.service.ingests().empty(); });
        }
    }
    QStringList menuTitles() const {
        QStringList titles;
        for (auto* a : delegate->statusMenu()->actions())
            titles << (a->isSeparator() ? QStringLiteral("-") : a->text());
        return titles;
    }
    QStringList headerTexts() const {
        return delegate->usesTextHeader() ? delegate->headerTextItems() : delegate->headerView()->visibleTexts();
    }
};
}  // namespace

TEST_CASE("launch: the stopped tray item with its menu and the 460 x 300 window in front") {
    DelegateFixture d;
    auto titles = d.menuTitles();
    CHECK(titles.mid(titles.size() - 6) ==
          QStringList({QStringLiteral("-"), QStringLiteral("記録を開始"), QStringLiteral("アプリを開く"),
                       QStringLiteral("アップデートを確認"), QStringLiteral("-"),
                       QStringLiteral("Brisko Desktop を終了")}));
    CHECK(d.delegate->statusItem()->toolTip() == QStringLiteral("Brisko Desktop (停止中)"));
    CHECK(d.headerTexts() == QStringList{QStringLiteral("停止中")});
    auto* window = d.delegate->window();
    REQUIRE(window);
    CHECK(window->isVisible());
    CHECK(window->windowTitle() == QStringLiteral("Brisko Desktop"));
    CHECK(window->size() == QSize(460, 300));
    CHECK(window->minimumSize() == window->maximumSize());
    CHECK_FALSE(d.f.recorder->isTracking());
    CHECK(d.delegate->updaterController()->isStarted());
    QStringList shortcuts;
    for (auto* a : d.delegate->mainMenuActions()) shortcuts << a->shortcut().toString();
    CHECK(shortcuts == QStringList({QStringLiteral("Ctrl+Q"), QStringLiteral("Ctrl+X"), QStringLiteral("Ctrl+C"),
                                    QStringLiteral("Ctrl+V"), QStringLiteral("Ctrl+A")}));
}

TEST_CASE("the tray's start item records, and both the tray and the window follow; choosing it again stops") {
    DelegateFixture d;
    d.f.signInUser();
    auto* vm = d.delegate->window()->content()->viewModel();
    d.delegate->startStopItem()->trigger();
    CHECK(d.f.recorder->isTracking());
    CHECK(vm->isRunning());
    CHECK(d.delegate->statusItem()->toolTip() == QStringLiteral("Brisko Desktop (記録中)"));
    CHECK(d.delegate->startStopItem()->text() == QStringLiteral("記録を停止"));

    d.delegate->startStopItem()->trigger();
    CHECK_FALSE(d.f.recorder->isTracking());
    CHECK_FALSE(vm->isRunning());
    CHECK(d.delegate->startStopItem()->text() == QStringLiteral("記録を開始"));
    REQUIRE(waitFor([&] { return d.f.service.ingests().size() == 1; }));

    // The window's switch moves the tray item too.
    vm->setSwitchValue(true);
    CHECK(d.delegate->statusItem()->toolTip() == QStringLiteral("Brisko Desktop (記録中)"));
}

TEST_CASE("opening the menu while recording rotates the encouragement: lines 1 to 10, then 0, then 1") {
    DelegateFixture d;
    d.f.accessibility->setTitle(4242, "README.md");
    auto openMenu = [&] { emit d.delegate->statusMenu()->aboutToShow(); };
    openMenu();
    CHECK(d.headerTexts() == QStringList{QStringLiteral("停止中")});
    CHECK(d.delegate->messageIndex() == 0);

    d.delegate->startStopItem()->trigger();
    const auto& lines = AppDelegate::statusMessages();
    REQUIRE(lines.size() == 11);
    std::vector<std::size_t> expected{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 1};
    for (auto index : expected) {
        openMenu();
        auto texts = d.headerTexts();
        CHECK(texts.last().startsWith(QString::fromStdString(lines[index]).left(8)));
    }
    CHECK(d.headerTexts().join(' ').contains(QStringLiteral("Editor")));
    CHECK(d.headerTexts().join(' ').contains(QStringLiteral("README.md")));
    if (d.delegate->headerView()) d.delegate->headerView()->grab().save(QStringLiteral("tray-menu-header.png"));
}

TEST_CASE("the window is made once; closing hides it and reopening brings the same one back at its size") {
    DelegateFixture d;
    auto* window = d.delegate->window();
    window->close();
    CHECK_FALSE(window->isVisible());
    d.delegate->handleOpenWindow();
    CHECK(d.delegate->window() == window);
    CHECK(window->isVisible());
    CHECK(d.delegate->applicationShouldHandleReopen());
    CHECK(d.delegate->window() == window);
    CHECK(window->size() == QSize(460, 300));
}

TEST_CASE("every close lets go of the fonts, and the reopened window draws exactly as before") {
    DelegateFixture d;
    auto* window = d.delegate->window();
    QApplication::processEvents();
    const QImage before = window->grab().toImage();
    for (int round = 0; round < 2; ++round) {
        CAPTURE(round);
#if BRISKO_HAVE_QT_FONT_CACHE
        const int cache = QFontCache::instance()->id();
        window->close();
        // Once the window has been hidden for a moment the font cache is dropped; asking for it
        // then makes a new one.
        CHECK(QTest::qWaitFor([&] { return QFontCache::instance()->id() != cache; }, 10000));
#else
        window->close();
#endif
        d.delegate->handleOpenWindow();
        QApplication::processEvents();
        CHECK(window->grab().toImage() == before);
    }
}

TEST_CASE("URLs are offered to the Ezevar sign-in until one is accepted") {
    DelegateFixture d;
    d.f.ezevar->accepts = [](std::string_view url) { return url.find("oauth2callback") != std::string_view::npos; };
    d.delegate->openURLs({"brisko://open", "com.example:/oauth2callback?code=1", "brisko://after"});
    CHECK(d.f.ezevar->offered == std::vector<std::string>{"brisko://open", "com.example:/oauth2callback?code=1"});
}

TEST_CASE("URLs the app is asked to open reach the app-delegate proxy's interceptors, then the sign-in") {
    struct Interceptor : brisko::core::ApplicationDelegate {
        std::vector<std::string> seen;
        std::optional<bool> applicationOpenURLs(const std::vector<std::string>& urls) override {
            seen.insert(seen.end(), urls.begin(), urls.end());
            return true;
        }
    };
    DelegateFixture d;  // launching turns the proxy on
    auto interceptor = std::make_shared<Interceptor>();
    auto id = brisko::core::AppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);
    REQUIRE(id);
    d.delegate->openURLs({"brisko://open"});
    brisko::core::AppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(*id);
    CHECK(interceptor->seen == std::vector<std::string>{"brisko://open"});
    // The interceptor's answer does not keep the URL from the sign-in layer.
    CHECK(d.f.ezevar->offered == std::vector<std::string>{"brisko://open"});
}

TEST_CASE("the update check tells the user where updates come from") {
    DelegateFixture d;
    d.delegate->handleCheckForUpdates();
    auto* notice = d.delegate->updaterController()->notice();
    REQUIRE(notice);
    CHECK(notice->text().contains(QStringLiteral("パッケージマネージャー")));
    notice->close();
}
