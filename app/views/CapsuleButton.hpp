// A text button on a capsule: filled (the sign-in button) or outlined (the small buttons).
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QMargins>
#include <optional>

namespace brisko::app {

class CapsuleButton : public QAbstractButton {
    Q_OBJECT
  public:
    struct Style {
        QFont font;
        QColor textColor;
        std::optional<QColor> fill;
        std::optional<QColor> stroke;  // drawn 1 wide
        int horizontalPadding = 0;
        int verticalPadding = 0;
    };

    CapsuleButton(const QString& text, Style style, QWidget* parent = nullptr);
    const Style& style() const { return style_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Style style_;
};

}  // namespace brisko::app
