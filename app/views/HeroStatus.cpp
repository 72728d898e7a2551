// The recording panel's layout and its glow.
#include "app/views/HeroStatus.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QRadialGradient>
#include <QVBoxLayout>

#include "app/CompanionViewModel.hpp"
#include "app/views/AccessibilityStatusLine.hpp"
#include "app/views/BriskoMark.hpp"
#include "app/views/FlexibleGap.hpp"
#include "app/views/MCToggle.hpp"
#include "app/views/Palette.hpp"
#include "app/views/PulsingDot.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"
#include "app/views/Wordmark.hpp"

namespace brisko::app {

namespace {
constexpr const char* kRunningText = "記録中";
constexpr const char* kStoppedText = "停止中";
constexpr const char* kStoppedHint = "トグルをオンにすると再開します";
}  // namespace

HeroStatus::HeroStatus(CompanionViewModel* vm, QWidget* parent) : QWidget(parent), vm_(vm) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 0, 24, 0);
    column->setSpacing(0);
    gaps_.push_back(FlexibleGap::add(column, 22, kPaddingFloor));

    auto* header = new QHBoxLayout;
    header->setSpacing(11);
    header->addWidget(new BriskoMark(30), 0, Qt::AlignVCenter);
    header->addWidget(new Wordmark(Wordmark::panelStyle()), 0, Qt::AlignVCenter);
    header->addStretch(1);
    toggle_ = new MCToggle(
        MCToggle::Binding{[vm] { return vm->switchValue(); }, [vm](bool v) { vm->setSwitchValue(v); }}, true);
    header->addWidget(toggle_, 0, Qt::AlignVCenter);
    column->addLayout(header);
    gaps_.push_back(FlexibleGap::add(column, 20, kPaddingFloor));

    auto* status = new QHBoxLayout;
    status->setSpacing(6);
    dot_ = new PulsingDot(false, Palette::textQuaternary());
    state_ = new TextLabel(QString(), systemFont(12.5, QFont::DemiBold), Palette::textTertiary());
    hint_ = new TextLabel(QString::fromUtf8(kStoppedHint), systemFont(11), Palette::textTertiary());
    status->addWidget(dot_, 0, Qt::AlignVCenter);
    status->addWidget(state_, 0, Qt::AlignVCenter);
    status->addStretch(1);
    status->addWidget(hint_, 0, Qt::AlignVCenter);
    column->addLayout(status);

    accessibility_ = new AccessibilityStatusLine(vm);
    column->addWidget(accessibility_);
    gaps_.push_back(FlexibleGap::add(column, 24, kPaddingFloor));
    // Its height is that of its rows at its width (the permission hint wraps); a fixed policy would cap
    // it at the height of a one-line hint.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    refresh();
}

void HeroStatus::refresh() {
    const bool running = vm_->isRunning();
    toggle_->refresh();
    dot_->setActive(running);
    dot_->setColor(running ? Palette::positive() : Palette::textQuaternary());
    state_->setText(QString::fromUtf8(running ? kRunningText : kStoppedText));
    state_->setColor(running ? Palette::positive() : Palette::textTertiary());
    hint_->setVisible(!running);
    accessibility_->refresh();
    update();
}

QString HeroStatus::stateText() const {
    return state_->text();
}
bool HeroStatus::showsHint() const {
    return !hint_->isHidden();
}

void HeroStatus::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (vm_->isRunning()) {
        QColor glow = Palette::accent();
        glow.setAlphaF(0.1f);
        QColor clear = Palette::accent();
        clear.setAlphaF(0);
        QRadialGradient gradient(QPointF(0.88 * width(), 0), 320);
        gradient.setColorAt(0, glow);
        gradient.setColorAt(1, clear);
        p.fillRect(rect(), gradient);
    }
    p.fillRect(QRect(0, height() - 1, width(), 1), Palette::hairline());
}

}  // namespace brisko::app
