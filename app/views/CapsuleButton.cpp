// The capsule button's size and drawing.
#include "app/views/CapsuleButton.hpp"

#include "app/views/SystemFont.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace brisko::app {

CapsuleButton::CapsuleButton(const QString& text, Style style, QWidget* parent)
    : QAbstractButton(parent), style_(std::move(style)) {
    setText(text);
    setFont(style_.font);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TranslucentBackground);
}

QSize CapsuleButton::sizeHint() const {
    QFontMetricsF fm(style_.font);
    return QSize(static_cast<int>(std::ceil(fm.horizontalAdvance(text()))) + 2 * style_.horizontalPadding,
                 lineHeight(style_.font) + 2 * style_.verticalPadding);
}

void CapsuleButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect());
    const double radius = bounds.height() / 2;
    QPainterPath capsule;
    capsule.addRoundedRect(bounds.adjusted(0.5, 0.5, -0.5, -0.5), radius - 0.5, radius - 0.5);
    if (style_.fill) {
        QColor fill = *style_.fill;
        if (isDown()) fill = fill.darker(115);
        p.fillPath(capsule, fill);
    }
    if (style_.stroke) {
        p.setPen(QPen(*style_.stroke, 1));
        p.setBrush(isDown() ? QColor(255, 255, 255, 12) : QColor(Qt::transparent));
        p.drawPath(capsule);
    }
    // The focus ring shows only once the keyboard moved the focus (not on a freshly shown window).
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        QColor focus = style_.textColor;
        focus.setAlphaF(0.5f);
        p.setPen(QPen(focus, 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawPath(capsule);
    }
    p.setFont(style_.font);
    p.setPen(style_.textColor);
    const double textWidth = QFontMetricsF(style_.font).horizontalAdvance(text());
    const double top = (bounds.height() - lineHeight(style_.font)) / 2;
    p.drawText(QPointF((bounds.width() - textWidth) / 2, top + baselineOffset(style_.font)), text());
}

}  // namespace brisko::app
