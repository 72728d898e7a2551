// The label's measuring and drawing.
#include "app/views/TextLabel.hpp"

#include "app/views/SystemFont.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

namespace brisko::app {

namespace {
// The text broken into lines that fit the width.
QList<QTextLine> layoutLines(QTextLayout& layout, double width, Qt::Alignment alignment) {
    QTextOption option(alignment);
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QList<QTextLine> lines;
    double y = 0;
    const double step = lineHeight(layout.font());
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += step;
        lines << line;
    }
    layout.endLayout();
    return lines;
}
}  // namespace

TextLabel::TextLabel(QString text, QFont font, QColor color, QWidget* parent)
    : QWidget(parent), text_(std::move(text)), font_(std::move(font)), color_(std::move(color)) {
    setAttribute(Qt::WA_TranslucentBackground);
    QWidget::setFont(font_);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void TextLabel::changed() {
    updateGeometry();
    update();
}

void TextLabel::setText(QString text) {
    if (text == text_) return;
    text_ = std::move(text);
    changed();
}

void TextLabel::setColor(QColor color) {
    if (color == color_) return;
    color_ = std::move(color);
    update();
}

void TextLabel::setFont(const QFont& font) {
    font_ = font;
    QWidget::setFont(font_);
    changed();
}

void TextLabel::setElideMode(Qt::TextElideMode mode) {
    mode_ = Mode::singleLine;
    elide_ = mode;
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    changed();
}

void TextLabel::setWrapping(Qt::Alignment alignment) {
    mode_ = Mode::wrapping;
    alignment_ = alignment;
    // Not fixed vertically: a fixed height would be capped at the one-line height of its size hint,
    // while the layouts give a wrapping text the height of all its lines at its width.
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    changed();
}

QString TextLabel::displayedText() const {
    if (mode_ == Mode::wrapping) return text_;
    return QFontMetricsF(font_).elidedText(text_, elide_, width());
}

QSize TextLabel::sizeHint() const {
    QFontMetricsF fm(font_);
    if (mode_ == Mode::wrapping) {
        double widest = 0;
        for (const auto& paragraph : text_.split(QLatin1Char('\n')))
            widest = std::max(widest, fm.horizontalAdvance(paragraph));
        const int width = static_cast<int>(std::ceil(widest));
        return QSize(width, heightForWidth(width));
    }
    return QSize(static_cast<int>(std::ceil(fm.horizontalAdvance(text_))), lineHeight(font_));
}

QSize TextLabel::minimumSizeHint() const {
    QFontMetricsF fm(font_);
    if (mode_ == Mode::wrapping) return QSize(0, heightForWidth(width() > 0 ? width() : sizeHint().width()));
    // A one-line text may be shortened down to its ellipsis.
    return QSize(static_cast<int>(std::ceil(fm.horizontalAdvance(QStringLiteral("…")))), lineHeight(font_));
}

int TextLabel::heightForWidth(int width) const {
    if (mode_ != Mode::wrapping) return lineHeight(font_);
    QString text = text_;
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(text, font_);
    return static_cast<int>(layoutLines(layout, width, alignment_).size()) * lineHeight(font_);
}

int TextLabel::baseline() const {
    return baselineOffset(font_);
}

void TextLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setFont(font_);
    p.setPen(color_);
    const double ascent = QFontMetricsF(font_).ascent();
    // QTextLine draws from the top of its own (taller) line box: shift it so the baseline lands right.
    const double shift = baseline() - ascent;
    if (mode_ == Mode::wrapping) {
        QString text = text_;
        text.replace(QLatin1Char('\n'), QChar::LineSeparator);
        QTextLayout layout(text, font_);
        layoutLines(layout, width(), alignment_);
        layout.draw(&p, QPointF(0, shift));
    } else {
        p.drawText(QPointF(0, baseline()), displayedText());
    }
}

}  // namespace brisko::app
