// The product wordmark: "Brisko" in bold over a small, tracked "DESKTOP".
#pragma once

#include <QFont>
#include <QWidget>

namespace brisko::app {

class TextLabel;

class Wordmark : public QWidget {
    Q_OBJECT
  public:
    struct Style {
        double titleSize;
        QFont::Weight secondLineWeight;
        double secondLineTracking;
        Qt::Alignment alignment;  // of the two lines
        int spacing;
    };
    // Sign-in screen: 20, semibold, tracking 2, centred, spacing 4.
    static Style signInStyle();
    // Recording panel: 15, regular, tracking 0.6, leading, spacing 1.
    static Style panelStyle();

    explicit Wordmark(Style style, QWidget* parent = nullptr);

  private:
    TextLabel* title_;
    TextLabel* subtitle_;
};

}  // namespace brisko::app
