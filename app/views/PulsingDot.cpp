// The dot's breathing: redrawn 25 times a second while active and on screen, never otherwise.
#include "app/views/PulsingDot.hpp"

#include <QEasingCurve>
#include <QPainter>
#include <QWindow>
#include <cmath>

namespace brisko::app {

namespace {
constexpr int kDiameter = 8;
constexpr double kHalfPeriodSeconds = 0.9;
constexpr double kSmallScale = 0.92;
constexpr double kDimOpacity = 0.65;
// 25 frames a second: smooth to the eye, and no more than that asks of the process.
constexpr int kFrameMilliseconds = 40;
}  // namespace

PulsingDot::PulsingDot(bool active, QColor color, QWidget* parent)
    : QWidget(parent), active_(active), color_(std::move(color)) {
    setFixedSize(kDiameter, kDiameter);
    setAttribute(Qt::WA_TranslucentBackground);
    timer_.setInterval(kFrameMilliseconds);
    // A coarse timer may fire up to 5 % late, below 24 frames a second.
    timer_.setTimerType(Qt::PreciseTimer);
    // Painted at once: a posted update would cost the event loop a second turn for every frame.
    connect(&timer_, &QTimer::timeout, this, [this] { repaint(); });
}

void PulsingDot::setActive(bool active) {
    if (active == active_) return;
    active_ = active;
    updateTimer();
    update();
}

void PulsingDot::setColor(QColor color) {
    if (color == color_) return;
    color_ = std::move(color);
    update();
}

double PulsingDot::phase() const {
    if (!timer_.isActive()) return 0;
    const double t = std::fmod(clock_.elapsed() / 1000.0, 2 * kHalfPeriodSeconds) / kHalfPeriodSeconds;
    const double leg = t <= 1 ? t : 2 - t;  // autoreverse
    return QEasingCurve(QEasingCurve::InOutQuad).valueForProgress(leg);
}

double PulsingDot::scale() const {
    return 1 - (1 - kSmallScale) * phase();
}
double PulsingDot::opacity() const {
    return 1 - (1 - kDimOpacity) * phase();
}

void PulsingDot::updateTimer() {
    // A minimized window stays visible to Qt, which only sends its widgets hide events.
    const bool run = active_ && shown_ && !unexposed_ && isVisible();
    if (run && !timer_.isActive()) {
        clock_.start();
        timer_.start();
    } else if (!run && timer_.isActive()) {
        timer_.stop();
    }
}

void PulsingDot::showEvent(QShowEvent*) {
    shown_ = true;
    // The window's native counterpart exists once it is shown (again: closing may have destroyed it).
    if (QWindow* handle = window()->windowHandle()) {
        unexposed_ = false;
        handle->installEventFilter(this);
    }
    updateTimer();
}
void PulsingDot::hideEvent(QHideEvent*) {
    shown_ = false;
    updateTimer();
}

bool PulsingDot::eventFilter(QObject* watched, QEvent* event) {
    // Unmapped without being minimized (moved to another workspace) or mapped again.
    if (event->type() == QEvent::Expose && watched == window()->windowHandle()) {
        unexposed_ = !static_cast<QWindow*>(watched)->isExposed();
        updateTimer();
    }
    return QWidget::eventFilter(watched, event);
}

void PulsingDot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setOpacity(opacity());
    p.setBrush(color_);
    const double d = kDiameter * scale();
    const double inset = (kDiameter - d) / 2;
    p.drawEllipse(QRectF(inset, inset, d, d));
}

}  // namespace brisko::app
