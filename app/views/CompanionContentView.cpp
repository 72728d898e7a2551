// The window content's two screens, the poll and the account tasks.
#include "app/views/CompanionContentView.hpp"

#include <QApplication>
#include <QPainter>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "app/AccessibilityPermissionMonitor.hpp"
#include "app/views/AccountSection.hpp"
#include "app/recording/ActivityTrackingService.hpp"
#include "app/account/AuthService.hpp"
#include "app/CompanionViewModel.hpp"
#include "app/views/HeroStatus.hpp"
#include "app/views/LoginView.hpp"
#include "app/views/Palette.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"

namespace brisko::app {

namespace {
constexpr const char* kPrivacyNote =
    "使用中のアプリ名・ウィンドウタイトル・操作の有無を記録し、\nログを自動記録するための AI "
    "活動推測にのみ使用します。";

// Hosts a column at its natural height: stretched to fill when it fits, centred (its top and bottom
// edges cut alike) when it is taller than the window, never squeezed. Tells when it comes on screen
// and when it leaves.
class ColumnHost : public QWidget {
  public:
    ColumnHost(QWidget* column, std::function<void(bool)> onVisibility)
        : column_(column), onVisibility_(std::move(onVisibility)) {
        column_->setParent(this);
        column_->installEventFilter(this);
    }

  protected:
    void showEvent(QShowEvent*) override { onVisibility_(true); }
    void hideEvent(QHideEvent*) override { onVisibility_(false); }
    void resizeEvent(QResizeEvent*) override { place(); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == column_ && event->type() == QEvent::LayoutRequest) place();
        return false;
    }

  private:
    void place() {
        const int natural = column_->minimumSizeHint().height();
        const int h = std::max(natural, height());
        const QRect target(0, (height() - h) / 2, width(), h);
        if (column_->geometry() != target) column_->setGeometry(target);
    }
    QWidget* column_;
    std::function<void(bool)> onVisibility_;
};
}  // namespace

CompanionContentView::CompanionContentView(QWidget* parent)
    : CompanionContentView(new CompanionViewModel(AccessibilityPermissionMonitor::shared()), parent) {}

CompanionContentView::CompanionContentView(CompanionViewModel* vm, QWidget* parent)
    : QWidget(parent), vm_(vm) {
    vm_->setParent(this);
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(false);
    setAttribute(Qt::WA_OpaquePaintEvent);
    build();
    connect(vm_, &CompanionViewModel::changed, this, [this] {
        account_->refresh();
        updateScreen();
    });
    connect(vm_, &CompanionViewModel::isRunningChanged, hero_, &HeroStatus::refresh);
    connect(vm_, &CompanionViewModel::permissionStateChanged, hero_, &HeroStatus::refresh);
    updateScreen();
}

CompanionContentView::~CompanionContentView() {
    delete signedIn_;
    signedIn_ = nullptr;
    stopPermissionPolling();
}

void CompanionContentView::build() {
    auto* stack = new QStackedLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);

    login_ = new LoginView(vm_);
    connect(login_, &LoginView::signInRequested, this, &CompanionContentView::startSignIn);
    stack->addWidget(login_);

    auto* columnWidget = new QWidget;
    signedIn_ = new ColumnHost(columnWidget, [this](bool shown) {
        if (shown) {
            startPermissionPolling();
        } else {
            stopPermissionPolling();
        }
    });
    auto* column = new QVBoxLayout(columnWidget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    hero_ = new HeroStatus(vm_);
    column->addWidget(hero_);

    auto* lower = new QVBoxLayout;
    lower->setContentsMargins(24, 20, 24, 24);
    lower->setSpacing(0);
    account_ = new AccountSection(vm_);
    connect(account_, &AccountSection::signOutRequested, this, &CompanionContentView::startSignOut);
    lower->addWidget(account_);
    // The flexible spacer between the account row and the note (with the column's spacing of 22
    // around it) takes what is left; where the window is short of room it gives way first.
    lower->addStretch(1);
    auto* note = new TextLabel(QString::fromUtf8(kPrivacyNote), systemFont(10.5), Palette::textQuaternary());
    note->setWrapping(Qt::AlignHCenter);
    lower->addWidget(note);
    column->addLayout(lower, 1);
    stack->addWidget(signedIn_);
}

bool CompanionContentView::showsSignedInContent() const {
    return signedIn_ && static_cast<QStackedLayout*>(layout())->currentWidget() == signedIn_;
}

void CompanionContentView::updateScreen() {
    auto* stack = static_cast<QStackedLayout*>(layout());
    stack->setCurrentWidget(vm_->authService()->isAuthenticated() ? signedIn_
                                                                  : static_cast<QWidget*>(login_));
}

void CompanionContentView::startPermissionPolling() {
    auto monitor = vm_->permission();
    if (monitor->timer()) return;
    std::weak_ptr<AccessibilityPermissionMonitor> weak = monitor;
    monitor->setTimer(platform::Timer::scheduled(
        platform::DispatchQueue::main(),
        std::chrono::milliseconds(
            static_cast<int>(AccessibilityPermissionMonitor::kPollIntervalSeconds * 1000)),
        true, [weak] {
            if (auto m = weak.lock()) m->pollTick();
        }));
}

void CompanionContentView::stopPermissionPolling() {
    auto monitor = vm_->permission();
    if (monitor->timer()) monitor->timer()->invalidate();
    monitor->setTimer(nullptr);
}

void CompanionContentView::startSignIn() {
    QWidget* keyWindow = QApplication::activeWindow();
    if (!keyWindow) return;
    platform::spawnDetached(platform::DispatchQueue::main(),
                            signIn(vm_->authService(), static_cast<std::uint64_t>(keyWindow->winId())),
                            "sign-in");
}

void CompanionContentView::startSignOut() {
    platform::spawnDetached(platform::DispatchQueue::main(),
                            signOut(vm_->authService(), vm_->trackingService()), "sign-out");
}

void CompanionContentView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Palette::background());
}

}  // namespace brisko::app
