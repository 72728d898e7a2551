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
    // Removes resizing and pins the window to its content's size (460 x 300, or taller where the
    // content needs it).
    void applyFixedSize();
    // Asks the window manager for dark decorations (X11); done again whenever the window is shown.
    void preferDarkDecorations();

    // While hidden: lets go of the window's backing store (its pixels, in shared memory with the X
    // server) and its QWindow; showing the window again makes new ones in the same place.
    void releaseNativeWindow();

signals:
    // The window was hidden: closed to the tray, or minimised (then it still counts as visible).
    void hidden();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    CompanionContentView* content_;
};

}  // namespace brisko::app
