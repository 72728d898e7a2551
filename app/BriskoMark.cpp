// The mark's drawing.
#include "app/BriskoMark.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>

#include "app/Palette.hpp"

namespace brisko::app {

BriskoMark::BriskoMark(double size, QWidget* parent) : QWidget(parent), size_(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
    setAttribute(Qt::WA_TranslucentBackground);
}

double BriskoMark::ringLineWidth(double size) {
    return std::max(0.07 * size, 1.5);
}

void BriskoMark::paint(QPainter& p, double size) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF square(0, 0, size, size);
    const double corner = 0.26 * size;
    QPainterPath rounded;
    rounded.addRoundedRect(square, corner, corner);

    QRadialGradient fill(QPointF(0.3 * size, 0.2 * size), size);
    fill.setColorAt(0, QColor(27, 32, 39));
    fill.setColorAt(1, QColor(12, 14, 18));
    p.fillPath(rounded, fill);

    // The outline is stroked on the square's edge, half inside and half outside, as drawn strokes are.
    p.setPen(QPen(QColor(255, 255, 255, qRound(255 * 0.07)), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(rounded);

    const QPointF centre(size / 2, size / 2);
    const double ring = 0.5 * size;
    p.setPen(QPen(Palette::accent(), ringLineWidth(size)));
    p.drawEllipse(centre, ring / 2, ring / 2);

    const double dot = 0.16 * size;
    p.setPen(Qt::NoPen);
    p.setBrush(Palette::accent());
    p.drawEllipse(centre, dot / 2, dot / 2);
    p.restore();
}

void BriskoMark::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paint(p, size_);
}

}  // namespace brisko::app
