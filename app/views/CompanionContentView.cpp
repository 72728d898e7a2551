// The window content's two screens, the poll and the account tasks.
#include "app/views/CompanionContentView.hpp"

#include <QApplication>
#include <QPainter>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <algorithm>

#include "app/AccessibilityPermissionMonitor.hpp"
#include "app/CompanionViewModel.hpp"
#include "app/account/AuthService.hpp"
#include "app/recording/ActivityTrackingService.hpp"
#include "app/views/AccountSection.hpp"
#include "app/views/FlexibleGap.hpp"
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

// Invalidates a layout, every layout inside it and what they remember of their widgets' sizes, so each
// measures its items afresh.
void invalidateTree(QLayout* layout) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QLayout* inner = item->layout()) {
            invalidateTree(inner);
        } else if (QWidget* widget = item->widget(); widget && widget->layout()) {
            invalidateTree(widget->layout());
            widget->updateGeometry();
        }
    }
    layout->invalidate();
}

// Hosts the signed-in column at the window's width. Where the column with its ideal paddings is taller
// than the window's designed height, its gaps give way; where even that is not enough, it asks for the
// height it needs, so no text is ever cut. Tells when it comes on screen and when it leaves.
class ColumnHost : public QWidget {
public:
    ColumnHost(QWidget* column, std::function<void(bool)> onVisibility, std::function<void(int)> onNeededHeight)
        : column_(column), onVisibility_(std::move(onVisibility)), onNeededHeight_(std::move(onNeededHeight)) {
        column_->setParent(this);
        column_->installEventFilter(this);
    }
    void setGaps(std::vector<FlexibleGap> gaps) { gaps_ = std::move(gaps); }

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
        const int w = width();
        int ideal = column_->layout()->totalHeightForWidth(w);
        std::vector<int> before;
        for (const auto& gap : gaps_) {
            ideal += gap.ideal - gap.height();
            before.push_back(gap.height());
        }
        const int left = shrinkGaps(gaps_, ideal - CompanionContentView::kHeight);
        for (std::size_t i = 0; i < gaps_.size(); ++i) {
            if (gaps_[i].height() != before[i]) {
                invalidateTree(column_->layout());  // measured again at the next layout request
                break;
            }
        }
        const int needed = CompanionContentView::kHeight + left;
        onNeededHeight_(needed);
        const QRect target(0, 0, w, std::max(needed, height()));
        if (column_->geometry() != target) column_->setGeometry(target);
    }
    QWidget* column_;
    std::function<void(bool)> onVisibility_;
    std::function<void(int)> onNeededHeight_;
    std::vector<FlexibleGap> gaps_;
};
}  // namespace

CompanionContentView::CompanionContentView(QWidget* parent)
    : CompanionContentView(new CompanionViewModel(AccessibilityPermissionMonitor::shared()), parent) {}

CompanionContentView::CompanionContentView(CompanionViewModel* vm, QWidget* parent) : QWidget(parent), vm_(vm) {
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
    auto* host = new ColumnHost(
        columnWidget,
        [this](bool shown) {
            if (shown) {
                startPermissionPolling();
            } else {
                stopPermissionPolling();
            }
        },
        [this](int needed) { setContentHeight(needed); });
    signedIn_ = host;
    auto* column = new QVBoxLayout(columnWidget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    hero_ = new HeroStatus(vm_);
    column->addWidget(hero_);

    auto* lower = new QVBoxLayout;
    lower->setContentsMargins(24, 0, 24, 0);
    lower->setSpacing(0);
    std::vector<FlexibleGap> gaps = hero_->gaps();
    gaps.push_back(FlexibleGap::add(lower, 20, kPaddingFloor));
    account_ = new AccountSection(vm_);
    connect(account_, &AccountSection::signOutRequested, this, &CompanionContentView::startSignOut);
    lower->addWidget(account_);
    // The flexible spacer between the account row and the note takes what is left; where the window is
    // short of room it gives way first, then the paddings.
    lower->addStretch(1);
    auto* note = new TextLabel(QString::fromUtf8(kPrivacyNote), systemFont(10.5), Palette::textQuaternary());
    note->setWrapping(Qt::AlignHCenter);
    lower->addWidget(note);
    gaps.push_back(FlexibleGap::add(lower, 24, kPaddingFloor));
    host->setGaps(std::move(gaps));
    column->addLayout(lower, 1);
    stack->addWidget(signedIn_);
}

void CompanionContentView::setContentHeight(int height) {
    neededHeight_ = std::max(height, kHeight);
    applyContentHeight();
}

void CompanionContentView::applyContentHeight() {
    // The signed-in column may need more than the designed height; the sign-in screen never does.
    const int wanted = showsSignedInContent() ? neededHeight_ : kHeight;
    if (minimumHeight() == wanted && maximumHeight() == wanted) return;
    setFixedHeight(wanted);
    emit contentSizeChanged();
}

bool CompanionContentView::showsSignedInContent() const {
    return signedIn_ && static_cast<QStackedLayout*>(layout())->currentWidget() == signedIn_;
}

void CompanionContentView::updateScreen() {
    auto* stack = static_cast<QStackedLayout*>(layout());
    stack->setCurrentWidget(vm_->authService()->isAuthenticated() ? signedIn_ : static_cast<QWidget*>(login_));
    applyContentHeight();
}

void CompanionContentView::startPermissionPolling() {
    auto monitor = vm_->permission();
    if (monitor->timer()) return;
    std::weak_ptr<AccessibilityPermissionMonitor> weak = monitor;
    monitor->setTimer(platform::Timer::scheduled(
        platform::DispatchQueue::main(),
        std::chrono::milliseconds(static_cast<int>(AccessibilityPermissionMonitor::kPollIntervalSeconds * 1000)), true,
        [weak] {
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
                            signIn(vm_->authService(), static_cast<std::uint64_t>(keyWindow->winId())), "sign-in");
}

void CompanionContentView::startSignOut() {
    platform::spawnDetached(platform::DispatchQueue::main(), signOut(vm_->authService(), vm_->trackingService()),
                            "sign-out");
}

void CompanionContentView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Palette::background());
}

}  // namespace brisko::app
