// The switch's drawing and input.
#include "app/views/MCToggle.hpp"

#include <QGraphicsDropShadowEffect>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "app/views/Palette.hpp"

namespace brisko::app {

namespace {
constexpr int kAnimationMilliseconds = 200;
}

MCToggle::MCToggle(Binding binding, bool big, QWidget* parent)
    : QWidget(parent), binding_(std::move(binding)), big_(big) {
    on_ = binding_.get ? binding_.get() : false;
    knobPosition_ = on_ ? 1 : 0;
    setFixedSize(trackSize());
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_TranslucentBackground);
    animation_.setDuration(kAnimationMilliseconds);
    animation_.setEasingCurve(QEasingCurve::InOutQuad);
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        knobPosition_ = v.toDouble();
        update();
    });
    auto* glow = new QGraphicsDropShadowEffect(this);
    glow->setOffset(0, 0);
    glow->setBlurRadius(14);
    setGraphicsEffect(glow);
    updateGlow();
}

QSize MCToggle::trackSize() const {
    return big_ ? QSize(52, 30) : QSize(42, 24);
}
int MCToggle::knobDiameter() const {
    return big_ ? 26 : 20;
}

void MCToggle::updateGlow() {
    auto* glow = static_cast<QGraphicsDropShadowEffect*>(graphicsEffect());
    QColor color = Palette::accent();
    color.setAlphaF(on_ ? 0.3f : 0.0f);
    glow->setColor(color);
    glow->setEnabled(on_);
}

void MCToggle::refresh() {
    const bool value = binding_.get ? binding_.get() : on_;
    if (value == on_) return;
    on_ = value;
    updateGlow();
    animation_.stop();
    animation_.setStartValue(knobPosition_);
    animation_.setEndValue(on_ ? 1.0 : 0.0);
    if (isVisible()) {
        animation_.start();
    } else {
        knobPosition_ = on_ ? 1 : 0;
        update();
    }
}

void MCToggle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QSizeF track = trackSize();
    const double radius = track.height() / 2;

    QColor fill = Palette::accent();
    if (!on_) fill = QColor(255, 255, 255, qRound(255 * 0.12));
    // While sliding, the track colour follows the knob.
    if (animation_.state() == QAbstractAnimation::Running) {
        QColor off(255, 255, 255, qRound(255 * 0.12));
        const QColor& onColor = Palette::accent();
        const double t = knobPosition_;
        fill = QColor::fromRgbF(off.redF() + (onColor.redF() - off.redF()) * t,
                                off.greenF() + (onColor.greenF() - off.greenF()) * t,
                                off.blueF() + (onColor.blueF() - off.blueF()) * t,
                                off.alphaF() + (onColor.alphaF() - off.alphaF()) * t);
    }
    QPainterPath trackPath;
    trackPath.addRoundedRect(QRectF(QPointF(0, 0), track), radius, radius);
    p.fillPath(trackPath, fill);

    const double knob = knobDiameter();
    const double knobHeight = track.height() - 4;
    const double x = 2 + (track.width() - 4 - knob) * knobPosition_;
    const QRectF knobRect(x, 2, knob, knobHeight);
    // The knob's small shadow: black 0.35, 1 down.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, qRound(255 * 0.18)));
    p.drawEllipse(knobRect.translated(0, 1).adjusted(-0.5, -0.5, 0.5, 0.5));
    p.setBrush(QColor(0, 0, 0, qRound(255 * 0.17)));
    p.drawEllipse(knobRect.translated(0, 1));
    p.setBrush(Qt::white);
    p.drawEllipse(knobRect);
}

void MCToggle::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressed_ = true;
}

void MCToggle::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !pressed_) return;
    pressed_ = false;
    QPainterPath capsule;
    const QSizeF track = trackSize();
    capsule.addRoundedRect(QRectF(QPointF(0, 0), track), track.height() / 2, track.height() / 2);
    if (!capsule.contains(event->position())) return;
    if (binding_.set) binding_.set(!(binding_.get ? binding_.get() : on_));
    refresh();
}

}  // namespace brisko::app
