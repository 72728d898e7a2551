// A text in one font and colour, shown verbatim: one line shortened with an ellipsis where it does
// not fit (in the middle or at the end), or wrapped over as many lines as it needs.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QWidget>

namespace brisko::app {

class TextLabel : public QWidget {
    Q_OBJECT
  public:
    enum class Mode { singleLine, wrapping };

    TextLabel(QString text, QFont font, QColor color, QWidget* parent = nullptr);

    void setText(QString text);
    void setColor(QColor color);
    void setFont(const QFont& font);
    // Single line (the default): where it is cut when it does not fit.
    void setElideMode(Qt::TextElideMode mode);
    // Wrapping, with the alignment of its lines.
    void setWrapping(Qt::Alignment alignment);

    const QString& text() const { return text_; }
    const QColor& color() const { return color_; }
    // The text as drawn now (with its ellipsis when cut).
    QString displayedText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return mode_ == Mode::wrapping; }
    int heightForWidth(int width) const override;
    // The first line's baseline from the top.
    int baseline() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void changed();

    QString text_;
    QFont font_;
    QColor color_;
    Mode mode_ = Mode::singleLine;
    Qt::TextElideMode elide_ = Qt::ElideRight;
    Qt::Alignment alignment_ = Qt::AlignLeft;
};

}  // namespace brisko::app
