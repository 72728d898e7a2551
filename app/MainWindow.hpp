// The main window: 460 x 300, fixed, dark, titled "Brisko Desktop"; closing it only hides it.
#pragma once

#include <QWidget>

namespace brisko::app {

class CompanionContentView;

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    static constexpr const char* kTitle = "Brisko Desktop";

    explicit MainWindow(CompanionContentView* content, QWidget* parent = nullptr);
    CompanionContentView* content() const { return content_; }
    // Removes resizing and pins the content size to 460 x 300.
    void applyFixedSize();
    // Asks the window manager for dark decorations (X11).
    void preferDarkDecorations();

  private:
    CompanionContentView* content_;
};

}  // namespace brisko::app
