// The window's views rendered offscreen in each state (signed out, signed in and stopped, recording,
// permission missing), the tray header, and the building blocks.
#include <doctest/doctest.h>

#include <QFontInfo>
#include <QImage>
#include <QLayout>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTest>

#include "app/CompanionViewModel.hpp"
#include "app/views/AccessibilityStatusLine.hpp"
#include "app/views/AccountSection.hpp"
#include "app/views/BriskoMark.hpp"
#include "app/views/CapsuleButton.hpp"
#include "app/views/CompanionContentView.hpp"
#include "app/views/HeroStatus.hpp"
#include "app/views/LoginView.hpp"
#include "app/views/MCToggle.hpp"
#include "app/views/MenuBarHeader.hpp"
#include "app/views/Palette.hpp"
#include "app/views/PulsingDot.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;

namespace {
// Lets the layouts settle: each pass may post the next layout request.
void settle() {
    for (int i = 0; i < 8; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QApplication::processEvents();
    }
}

struct WindowFixture {
    RecorderFixture f;
    bool trusted = true;
    std::shared_ptr<AccessibilityPermissionMonitor> monitor = AccessibilityPermissionMonitor::make({
        [this] { return trusted; },
        [] {},
        [](std::string_view) { return true; },
    });
    CompanionViewModel* vm;
    std::unique_ptr<CompanionContentView> view;

    WindowFixture() {
        qtApp();
        f.workspace->setFrontmostApplication(app("Editor"));
        vm = new CompanionViewModel(monitor, f.recorder, f.auth);
        view = std::make_unique<CompanionContentView>(vm);
        view->show();
    }
    ~WindowFixture() {
        if (f.recorder->isTracking()) {
            f.recorder->stop();
            // Only a signed-in account's samples go out: then the last upload is waited for.
            if (f.auth->isAuthenticated()) waitFor([&] { return !f.service.ingests().empty(); });
        }
    }
    QImage shot(const char* name) {
        settle();
        QImage image = view->grab().toImage();
        image.save(QString::fromUtf8(name) + QStringLiteral(".png"));
        return image;
    }
};

// What of the window's content is cut: each shown text, mark and button must lie wholly inside the
// window, and each wrapping text must have all the height its lines need.
std::string cutContent(const CompanionContentView& view) {
    QStringList cut;
    for (auto* child : view.findChildren<QWidget*>()) {
        if (!child->isVisibleTo(&view) || !child->findChildren<QWidget*>().isEmpty()) continue;
        const QRect area(child->mapTo(&view, QPoint(0, 0)), child->size());
        auto* label = qobject_cast<TextLabel*>(child);
        const QString name = label ? label->text().left(24) : QString::fromUtf8(child->metaObject()->className());
        if (!view.rect().contains(area)) cut << name + QStringLiteral(" outside the window");
        if (label && label->hasHeightForWidth() && label->height() < label->heightForWidth(label->width()))
            cut << name + QStringLiteral(" short of its lines");
    }
    return cut.join(QStringLiteral("; ")).toStdString();
}

bool hasInk(const QImage& image, QRect area, const QColor& background) {
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (QColor(image.pixel(x, y)) != background) return true;
        }
    }
    return false;
}
}  // namespace

TEST_CASE("Japanese text renders with a CJK font") {
    qtApp();
    QFontInfo info(systemFont(12));
    CHECK(info.family().contains(QStringLiteral("CJK")));
    QFontMetrics metrics(systemFont(12));
    CHECK(metrics.inFontUcs4(U'記'));
    CHECK(metrics.inFontUcs4(U'ロ'));
}

TEST_CASE("signed out: the sign-in screen, 460 x 300 on the dark background") {
    WindowFixture w;
    CHECK_FALSE(w.view->showsSignedInContent());
    auto image = w.shot("window-signed-out");
    CHECK(image.size() == QSize(460, 300));
    CHECK(QColor(image.pixel(2, 2)) == Palette::background());
    CHECK(w.view->loginView()->signInButton()->text() == QStringLiteral("Ezevar でログイン"));
    // The mark, the wordmark, the note and the accent button are drawn in the middle column.
    CHECK(hasInk(image, QRect(200, 40, 60, 220), Palette::background()));
    CHECK(QColor(image.pixel(230, 300 - 90)).isValid());
    // Nobody is polled while signed out.
    CHECK(w.monitor->timer() == nullptr);
}

TEST_CASE("signed in and stopped, then recording: the panel, the account row and the privacy note") {
    WindowFixture w;
    w.f.signInUser("a.very.long.address.for.testing@example-company.co.jp");
    REQUIRE(waitFor([&] { return w.view->showsSignedInContent(); }));
    auto stopped = w.shot("window-signed-in-stopped");
    CHECK(stopped.size() == QSize(460, 300));
    CHECK(cutContent(*w.view) == "");
    auto* hero = w.view->heroStatus();
    CHECK(hero->stateText() == QStringLiteral("停止中"));
    CHECK(hero->showsHint());
    CHECK_FALSE(hero->dot()->isPulsing());
    CHECK(hero->accessibilityLine()->statusText() == QStringLiteral("アクセシビリティ 許可済み"));
    CHECK(hero->accessibilityLine()->buttonText().isEmpty());
    CHECK(w.view->accountSection()->emailText() ==
          QStringLiteral("a.very.long.address.for.testing@example-company.co.jp"));
    CHECK(w.view->accountSection()->avatarLetter() == QStringLiteral("a"));
    // The privacy note's two lines stay inside the window, above the bottom padding.
    CHECK(hasInk(stopped, QRect(60, 250, 340, 25), Palette::background()));
    // The poll runs while the signed-in column is shown, once.
    REQUIRE(w.monitor->timer() != nullptr);
    auto timer = w.monitor->timer();
    w.view->startPermissionPolling();
    CHECK(w.monitor->timer() == timer);

    // Flip the switch by clicking it.
    QTest::mouseClick(hero->toggle(), Qt::LeftButton, {}, QPoint(10, 15));
    CHECK(w.vm->isRunning());
    CHECK(w.f.recorder->isTracking());
    QTest::qWait(260);
    auto recording = w.shot("window-recording");
    CHECK(hero->stateText() == QStringLiteral("記録中"));
    CHECK_FALSE(hero->showsHint());
    CHECK(hero->dot()->isPulsing());
    CHECK(hero->toggle()->isOn());
    // The cyan glow sits near the top-right corner of the panel.
    QColor glow(recording.pixel(440, 3));
    CHECK(glow.blue() > Palette::background().blue());

    // Hiding the window stops the poll and clears the timer.
    w.view->hide();
    CHECK(w.monitor->timer() == nullptr);
}

TEST_CASE("permission missing: the caution line, then the settings button and hint once asked") {
    WindowFixture w;
    w.trusted = false;
    w.monitor->refresh();
    w.f.signInUser();
    REQUIRE(waitFor([&] { return w.view->showsSignedInContent(); }));
    platform::MainLoop::drain();
    auto* line = w.view->heroStatus()->accessibilityLine();
    CHECK(line->statusText() == QStringLiteral("アクセシビリティ 未許可 — ウィンドウタイトルを記録できません"));
    CHECK(line->buttonText() == QStringLiteral("許可する"));
    CHECK_FALSE(line->showsHint());
    w.monitor->requestIfNeeded();
    platform::MainLoop::drain();
    CHECK(line->buttonText() == QStringLiteral("システム設定を開く"));
    CHECK(line->showsHint());
    auto image = w.shot("window-permission-missing");
    CHECK(image.size() == QSize(460, 300));
    CHECK(cutContent(*w.view) == "");
}

TEST_CASE("where the session decides the permission, the line says so instead of offering settings") {
    qtApp();
    // Reasons as the desktop backends give them: one line, two, and three lines of English or Japanese.
    const char* reasons[] = {
        "No X11 display answers.",
        "No X11 display answers, so the frontmost window's title cannot be read (a Wayland session without "
        "Xwayland does not let applications see other windows).",
        "GNOME Shell on Wayland shows other windows only to its extensions: the app has installed its extension, "
        "which GNOME Shell finds once you log out and log in again; then enable it in the Extensions app "
        "(or with gnome-extensions enable) and recording sees the frontmost window.",
        "このデスクトップでは、拡張機能を通してのみほかのウィンドウが見えます。拡張機能はインストール済みです。"
        "いったんログアウトして再びログインしてから、拡張機能アプリで有効にしてください。有効になると、"
        "最前面のウィンドウのタイトルを記録できます。",
    };
    for (const std::string reason : reasons) {
        CAPTURE(reason);
        RecorderFixture f;
        f.workspace->setFrontmostApplication(app("Editor"));
        auto monitor = AccessibilityPermissionMonitor::make({
            .isTrustedProvider = [] { return false; },
            .promptHandler = [] {},
            .settingsOpener = [](std::string_view) { return true; },
            .settingsAddress = std::nullopt,
            .untrustedReason = [reason] { return reason; },
        });
        auto* vm = new CompanionViewModel(monitor, f.recorder, f.auth);
        CompanionContentView view(vm);
        view.show();
        f.signInUser();
        REQUIRE(waitFor([&] { return view.showsSignedInContent(); }));
        CHECK(cutContent(view) == "");
        monitor->requestIfNeeded();
        platform::MainLoop::drain();
        auto* line = view.heroStatus()->accessibilityLine();
        CHECK(line->buttonText().isEmpty());  // no settings button: there is nothing to open
        CHECK(line->showsHint());
        CHECK(line->hintText().startsWith(QStringLiteral("ウィンドウタイトルの読み取りは設定画面ではなく")));
        CHECK(line->hintText().endsWith(QString::fromStdString(reason)));
        // The mark, the whole hint and both lines of the privacy note stay in the window, stopped and
        // recording alike.
        settle();
        CHECK(cutContent(view) == "");
        view.grab().save(QStringLiteral("window-session-decides-%1.png").arg(reason.size()));
        vm->setSwitchValue(true);
        settle();
        CHECK(cutContent(view) == "");
        vm->setSwitchValue(false);
        CHECK(waitFor([&] { return !f.service.ingests().empty(); }));
    }
}

TEST_CASE("an account without an address shows an empty line and the fallback letter") {
    WindowFixture w;
    w.f.signInUser("");
    auto user = std::make_shared<FakeIdentityUser>(std::nullopt);
    w.f.identity->setUser(user);
    REQUIRE(waitFor([&] { return w.f.auth->currentUser() == user; }));
    platform::MainLoop::drain();
    CHECK(w.view->accountSection()->emailText().isEmpty());
    CHECK(w.view->accountSection()->avatarLetter() == QStringLiteral("b"));
    CHECK(avatarLetterFor(QStringLiteral("Zed@example.com")) == QStringLiteral("z"));
}

TEST_CASE("the tray header shows the state, and while recording the app, title and encouragement") {
    qtApp();
    MenuBarHeader header(MenuBarHeader::Content{false, "Stale", std::string("old title"), std::string("old line")});
    CHECK(header.visibleTexts() == QStringList{QStringLiteral("停止中")});
    CHECK(header.width() == 240);
    header.grab().save(QStringLiteral("tray-header-stopped.png"));
    // The dot and the state start at the leading inset in every state, not centred in the row.
    auto* dot = header.findChild<PulsingDot*>();
    REQUIRE(dot);
    const auto dotLeft = [&] {
        header.layout()->activate();
        return dot->geometry().left();
    };
    CHECK(dotLeft() == 14);

    header.setContent({true, "Firefox", std::string(""), std::nullopt});
    CHECK(header.visibleTexts() ==
          QStringList({QStringLiteral("記録中"), QStringLiteral("·"), QStringLiteral("Firefox")}));
    CHECK(dotLeft() == 14);

    header.setContent({true, "Terminal",
                       std::string("日本語のウィンドウ — とても長いタイトルがここに続きます、とても長い"),
                       std::string("今日の努力、昨日の自分は知らない")});
    CHECK(header.visibleTexts().size() == 5);
    CHECK(header.width() == 240);
    CHECK(dotLeft() == 14);
    header.show();
    QApplication::processEvents();
    header.grab().save(QStringLiteral("tray-header-recording.png"));
    CHECK(MenuBarHeader::textLines(header.content()).size() == 3);
}

TEST_CASE("building blocks: the mark's ring never thinner than 1.5, the switch flips on a tap anywhere on it") {
    qtApp();
    CHECK(BriskoMark::ringLineWidth(20) == doctest::Approx(1.5));
    CHECK(BriskoMark::ringLineWidth(56) == doctest::Approx(3.92));

    bool value = false;
    QWidget host;
    auto& toggle = *new MCToggle({[&] { return value; }, [&](bool v) { value = v; }}, false, &host);
    CHECK(toggle.size() == QSize(42, 24));
    host.show();
    REQUIRE(QTest::qWaitForWindowExposed(&host));
    QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(35, 12));  // the transparent end of the track
    CHECK(value);
    CHECK(toggle.isOn());
    QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(1, 1));  // outside the capsule's rounded end
    CHECK(value);

    PulsingDot dot(true, Palette::positive());
    dot.show();
    CHECK(dot.isPulsing());
    dot.setActive(false);
    CHECK_FALSE(dot.isPulsing());
    CHECK(dot.scale() == 1.0);
    CHECK(dot.opacity() == 1.0);
}

TEST_CASE("the dot breathes only while its window is on screen: not while minimized, nor once closed") {
    qtApp();
    struct Window : QWidget {
        using QWidget::destroy;
    } window;
    auto* dot = new PulsingDot(true, Palette::positive(), &window);
    window.show();
    REQUIRE(QTest::qWaitForWindowExposed(&window));
    CHECK(dot->isPulsing());

    window.showMinimized();
    QApplication::processEvents();
    CHECK(dot->isVisible());  // to Qt a minimized window's widgets stay visible
    CHECK_FALSE(dot->isPulsing());
    window.showNormal();
    QApplication::processEvents();
    CHECK(dot->isPulsing());

    // Closed, its native window released as the app does, and shown again: it follows the new one.
    window.close();
    CHECK_FALSE(dot->isPulsing());
    window.destroy();
    window.show();
    REQUIRE(QTest::qWaitForWindowExposed(&window));
    CHECK(dot->isPulsing());
}

TEST_CASE("the breathing dot repaints only its own rect, at 24 frames a second or more") {
    qtApp();
    // What of the window was painted while the dot breathed, and how often the dot was painted.
    struct Backdrop : QWidget {
        QRegion painted;
        void paintEvent(QPaintEvent* event) override {
            painted += event->region();
            QPainter(this).fillRect(rect(), Palette::background());
        }
    };
    struct CountingDot : PulsingDot {
        using PulsingDot::PulsingDot;
        int frames = 0;
        void paintEvent(QPaintEvent* event) override {
            ++frames;
            PulsingDot::paintEvent(event);
        }
    };
    Backdrop window;
    window.resize(200, 100);
    auto* dot = new CountingDot(true, Palette::positive(), &window);
    dot->move(40, 30);
    window.show();
    REQUIRE(QTest::qWaitForWindowExposed(&window));
    REQUIRE(dot->isPulsing());
    QApplication::processEvents();
    window.painted = QRegion();
    dot->frames = 0;
    REQUIRE(QTest::qWaitFor([&] { return dot->frames >= 6; }, 10000));
    CHECK_FALSE(window.painted.isEmpty());
    CHECK(QRegion(dot->geometry()).united(window.painted) == QRegion(dot->geometry()));
    CHECK(dot->frameIntervalMilliseconds() <= 1000 / 24);
    CHECK(dot->keepsFrameTime());

    // Stopped, nothing is painted any more.
    dot->setActive(false);
    QApplication::processEvents();
    window.painted = QRegion();
    dot->frames = 0;
    QTest::qWait(200);
    CHECK(dot->frames == 0);
    CHECK(window.painted.isEmpty());
}
