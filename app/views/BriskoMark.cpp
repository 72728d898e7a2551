// The mark's drawing.
#include "app/views/BriskoMark.hpp"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>
#include <cmath>

#include "app/views/Palette.hpp"

namespace brisko::app {

namespace {
constexpr double kIconUnits = 256;
constexpr double kIconMarginUnits = 8;
constexpr double kRingWidthEm = 0.07;

// Line widths, and how far inside the square's edge the outline runs.
struct Strokes {
    double ring;
    double outline;
    double outlineInset;
};

void paintMark(QPainter& p, double size, const Strokes& strokes) {
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

    // The outline is stroked on its path, half inside and half outside, as drawn strokes are.
    p.setPen(QPen(QColor(255, 255, 255, qRound(255 * 0.07)), strokes.outline));
    p.setBrush(Qt::NoBrush);
    if (strokes.outlineInset == 0) {
        p.drawPath(rounded);
    } else {
        const double inset = strokes.outlineInset;
        p.drawRoundedRect(square.adjusted(inset, inset, -inset, -inset), corner - inset, corner - inset);
    }

    const QPointF centre(size / 2, size / 2);
    const double ring = 0.5 * size;
    p.setPen(QPen(Palette::accent(), strokes.ring));
    p.drawEllipse(centre, ring / 2, ring / 2);

    const double dot = 0.16 * size;
    p.setPen(Qt::NoPen);
    p.setBrush(Palette::accent());
    p.drawEllipse(centre, dot / 2, dot / 2);
    p.restore();
}

class MarkIconEngine : public QIconEngine {
  public:
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        const double side = std::min(rect.width(), rect.height());
        const double margin = side * kIconMarginUnits / kIconUnits;
        painter->save();
        painter->translate(rect.x() + (rect.width() - side) / 2 + margin,
                           rect.y() + (rect.height() - side) / 2 + margin);
        // The icon's lines keep their proportions at every size (the drawn mark's ring never goes
        // below 1.5 px, its outline is 1 px): the outline is 2 of 256 units, half a unit inside.
        const double unit = side / kIconUnits;
        const double mark = side - 2 * margin;
        paintMark(*painter, mark, {kRingWidthEm * mark, 2 * unit, 0.5 * unit});
        painter->restore();
    }
    // The base class paints over an uninitialised pixmap.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QPixmap pixmap(size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return pixmap;
    }
    QIconEngine* clone() const override { return new MarkIconEngine; }
    QString key() const override { return QStringLiteral("BriskoMark"); }
    bool isNull() override { return false; }
};
}  // namespace

QIcon BriskoMark::icon() {
    return QIcon(new MarkIconEngine);
}

BriskoMark::BriskoMark(double size, QWidget* parent) : QWidget(parent), size_(size) {
    const int side = static_cast<int>(std::ceil(size));
    setFixedSize(side, side);
    setAttribute(Qt::WA_TranslucentBackground);
}

double BriskoMark::ringLineWidth(double size) {
    return std::max(kRingWidthEm * size, 1.5);
}

void BriskoMark::paint(QPainter& p, double size) {
    paintMark(p, size, {ringLineWidth(size), 1, 0});
}

void BriskoMark::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paint(p, size_);
}

}  // namespace brisko::app
