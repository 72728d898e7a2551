// The product mark: a dark rounded square with an accent ring and dot.
#pragma once

#include <QIcon>
#include <QWidget>

namespace brisko::app {

class BriskoMark : public QWidget {
    Q_OBJECT
  public:
    explicit BriskoMark(double size, QWidget* parent = nullptr);
    double markSize() const { return size_; }
    // The ring's line width: 0.07 of the size, never thinner than 1.5.
    static double ringLineWidth(double size);

    // Draws the mark into a square at the painter's origin.
    static void paint(QPainter& painter, double size);
    // The app's icon as the installed brisko-desktop.svg draws it (the mark on 240 of 256 units,
    // centred), painted at whatever size is asked, so Qt's SVG module never has to load.
    static QIcon icon();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    double size_;
};

}  // namespace brisko::app
