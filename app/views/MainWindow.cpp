// The main window.
#include "app/views/MainWindow.hpp"

#include <QGuiApplication>
#include <QHideEvent>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include <xcb/xcb.h>

#include "app/views/CompanionContentView.hpp"
#include "app/views/Palette.hpp"

namespace brisko::app {

MainWindow::MainWindow(CompanionContentView* content, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                          Qt::CustomizeWindowHint),
      content_(content) {
    setWindowTitle(QString::fromUtf8(kTitle));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content_);
    QPalette dark = palette();
    dark.setColor(QPalette::Window, Palette::background());
    setPalette(dark);
    setAutoFillBackground(true);
    applyFixedSize();
    connect(content_, &CompanionContentView::contentSizeChanged, this, &MainWindow::applyFixedSize);
}

void MainWindow::applyFixedSize() {
    setFixedSize(CompanionContentView::kWidth, std::max(content_->minimumHeight(), CompanionContentView::kHeight));
}

void MainWindow::showEvent(QShowEvent* event) {
    // Closing the window destroys its native window; the one made when it is shown again carries none
    // of the earlier one's properties.
    preferDarkDecorations();
    QWidget::showEvent(event);
}

void MainWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    emit hidden();
}

void MainWindow::releaseNativeWindow() {
    // Closing already destroyed the native window, but not the QWindow nor the backing store.
    if (!isVisible()) destroy();
}

void MainWindow::preferDarkDecorations() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) return;
    xcb_connection_t* c = x11->connection();
    auto internAtom = [c](const char* name) -> xcb_atom_t {
        auto cookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
        auto* reply = xcb_intern_atom_reply(c, cookie, nullptr);
        xcb_atom_t atom = reply ? reply->atom : XCB_ATOM_NONE;
        std::free(reply);
        return atom;
    };
    const xcb_atom_t variant = internAtom("_GTK_THEME_VARIANT");
    const xcb_atom_t utf8 = internAtom("UTF8_STRING");
    if (variant == XCB_ATOM_NONE || utf8 == XCB_ATOM_NONE) return;
    static constexpr char kDark[] = "dark";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(winId()), variant, utf8, 8,
                        sizeof(kDark) - 1, kDark);
    xcb_flush(c);
}

}  // namespace brisko::app
